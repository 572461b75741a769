"""plumo.ray on a local Ray: recordings read into a Dataset frame for frame as a reader alone
reads them, live cameras on actors handing back what a function made of their frames, an actor
killed mid-stream whose cameras come back, and the set-up's numpy left as Debian's."""

import collections
import os
import subprocess
import sys
import threading
import time

# Ray on the loopback alone: without this it binds to the machine's outward address.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

import pytest  # noqa: E402
import ray  # noqa: E402

import plumo.ray  # noqa: E402
import streams  # noqa: E402
from plumo.errors import InvalidRuntimeOptionError, StreamReadError, StreamSetupError  # noqa: E402
from plumo.ray import CameraFleet, read_streams  # noqa: E402
from plumo.stream_reader import StreamReader  # noqa: E402
from plumo.stream_reader import reader as reader_module  # noqa: E402

# The most any wait here lasts: a fleet still iterating then is closed, which ends it.
WAIT = 60.0


@pytest.fixture(scope="session")
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, logging_level="warning",
             configure_logging=False)  # fmt: skip
    # The functions given to fleets live here, a module the workers cannot import.
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    yield
    ray.shutdown()


@pytest.fixture
def in_process(monkeypatch, main_loop):
    """Readers in this process, on the tests' own main loop (see test_stream_group.py)."""
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))


def bounded(fleet, seconds=WAIT):
    """Closes `fleet` after `seconds`, which ends its iteration; cancel() the timer returned."""
    timer = threading.Timer(seconds, fleet.close)
    timer.daemon = True
    timer.start()
    return timer


# --- installation ---------------------------------------------------------------------------


def test_numpy_stays_debians():
    import numpy

    assert numpy.__version__.startswith("1.")
    assert numpy.__file__.startswith("/usr/lib/python3/dist-packages/")


@pytest.mark.parametrize("first, second", [("pyarrow", "plumo.stream_reader.reader"),
                                           ("plumo.stream_reader.reader", "pyarrow")])  # fmt: skip
def test_plumo_and_pyarrow_import_together(first, second):
    code = (
        f"import {first}, {second}, numpy, pyarrow as pa\n"
        "a = numpy.arange(12, dtype=numpy.uint8)\n"
        "assert pa.py_buffer(a).to_pybytes() == a.tobytes()\n"
        "print(numpy.__version__)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == __import__("numpy").__version__


@pytest.mark.parametrize("hide", ["sys.modules['ray'] = None", "sys.modules['ray.data'] = None"])
def test_without_ray_the_import_says_how_to_install_it(hide):
    code = f"import sys\n{hide}\nimport plumo.ray\n"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode != 0
    assert "ImportError" in done.stderr
    assert "pip install 'plumo[ray]'" in done.stderr


# --- read_streams -----------------------------------------------------------------------------


@pytest.mark.parametrize("parallelism", [None, 1, 2])
def test_every_frame_of_each_recording_as_a_reader_alone_reads_it(
    local_ray, in_process, server, parallelism
):
    sources = [server.url(path) for path in ("/clip.mkv", "/mpeg4.mkv", "/av.mkv")]
    alone = {}
    for source in sources:
        with StreamReader(source) as reader:
            alone[source] = [(f.index, f.pts, f.image.tobytes()) for f in iter(reader.read_frame, None)]
    rows = collections.defaultdict(list)
    for batch in read_streams(sources, parallelism=parallelism).iter_batches(
        batch_size=None, batch_format="numpy"
    ):
        for source, index, pts, image in zip(
            batch["source"], batch["index"], batch["pts"], batch["image"]
        ):
            assert image.shape == (240, 320, 3)
            rows[str(source)].append((int(index), float(pts), image.tobytes()))
    assert set(rows) == set(sources)
    for source in sources:
        got = sorted(rows[source], key=lambda row: row[0])
        assert len(got) == len(alone[source]) == 60
        assert [row[0] for row in got] == list(range(60))
        assert [row[1] for row in got] == pytest.approx([frame[1] for frame in alone[source]])
        assert all(a[2] == b[2] for a, b in zip(got, alone[source]))


def test_the_columns_and_a_source_given_twice(local_ray, server, caplog):
    source = server.url("/clip.mkv")
    with caplog.at_level("WARNING", logger="plumo"):
        dataset = read_streams([source, source], pixel_format="gray", size=(81, 61))
    assert "given twice" in caplog.text
    schema = dataset.schema()
    assert schema.names == ["source", "index", "pts", "image"]
    rows = dataset.take_all()
    assert len(rows) == 60
    assert rows[0]["image"].shape == (61, 81) and rows[0]["pts"] == 0.0


@pytest.mark.parametrize(
    "path, error, message",
    [("/nothing", StreamSetupError, "Not Found"),
     ("/truncated.mkv", StreamReadError, "The connection closed after")],
)  # fmt: skip
def test_a_failing_source_fails_the_read_naming_it(local_ray, server, path, error, message):
    bad = server.url(path)
    dataset = read_streams([server.url("/clip.mkv"), bad])
    # Ray raises the task's error as a RayTaskError that is also of the error's own class.
    with pytest.raises(error) as excinfo:
        dataset.take_all()
    assert f"'{bad}'" in str(excinfo.value) and message in str(excinfo.value)


BAD_ARGUMENTS = [
    ([], {}, ValueError),
    (["ftp://camera/x"], {}, ValueError),
    (["http://camera/x"], {"latest": "yes"}, InvalidRuntimeOptionError),
    (["http://camera/x"], {"max_framerate": 0}, InvalidRuntimeOptionError),
    (["http://camera/x"], {"no_such_option": 1}, InvalidRuntimeOptionError),
    (["http://camera/x"], {"size": (640, 0)}, InvalidRuntimeOptionError),
    ("http://camera/x", {}, TypeError),
]


@pytest.mark.parametrize("sources, options, error", BAD_ARGUMENTS + [
    (["http://camera/x"], {"parallelism": 0}, ValueError),
])  # fmt: skip
def test_read_streams_refuses_bad_arguments_before_scheduling(monkeypatch, sources, options,
                                                               error):  # fmt: skip
    monkeypatch.setattr(ray.data, "read_datasource", lambda *a, **k: pytest.fail("scheduled"))
    with pytest.raises(error):
        read_streams(sources, **options)


@pytest.mark.parametrize("sources, options, error", BAD_ARGUMENTS + [
    (["http://camera/x"], {"fn": "not callable"}, TypeError),
    (["http://camera/x"], {"cameras_per_actor": 0}, ValueError),
    (["http://camera/x"], {"max_buffered": -1}, ValueError),
])  # fmt: skip
def test_a_fleet_refuses_bad_arguments_before_starting_actors(monkeypatch, sources, options,
                                                              error):  # fmt: skip
    monkeypatch.setattr(ray, "remote", lambda *a, **k: pytest.fail("an actor was started"))
    options = {"fn": shape_of, **options}
    with pytest.raises(error):
        CameraFleet(sources, options.pop("fn"), **options)


# --- CameraFleet ------------------------------------------------------------------------------


def shape_of(source, frame):
    return os.getpid(), frame.index, frame.image.shape


def test_a_fleet_hands_back_results_from_every_camera(local_ray, server):
    cameras = [server.url(f"/live.mjpg?fleet={n}") for n in range(3)]
    results = collections.defaultdict(list)
    with CameraFleet(cameras, shape_of, cameras_per_actor=2, max_framerate=10) as fleet:
        assert [len(group) for group in fleet.groups] == [2, 1]
        timer = bounded(fleet)
        for source, result in fleet:
            results[source].append(result)
            if all(len(results[camera]) >= 10 for camera in cameras):
                break
        timer.cancel()
        actors = fleet.actors
    assert set(results) == set(cameras)
    assert all(len(results[camera]) >= 10 for camera in cameras), {
        camera: len(results[camera]) for camera in cameras}  # fmt: skip
    for camera in cameras:
        pids = {pid for pid, _, _ in results[camera]}
        indexes = [index for _, index, _ in results[camera]]
        assert len(pids) == 1 and os.getpid() not in pids
        assert indexes == sorted(indexes) and {shape for _, _, shape in results[camera]} == {
            (240, 320, 3)}  # fmt: skip
    # One process per actor: the first two cameras share one.
    assert [results[c][0][0] for c in cameras[:2]] == [results[cameras[0]][0][0]] * 2
    assert results[cameras[2]][0][0] != results[cameras[0]][0][0]
    # Closed: the actors are gone for good (ray.kill takes effect a moment later).
    assert streams.wait_for(lambda: is_dead(actors[0]), WAIT)


def is_dead(actor) -> bool:
    try:
        ray.get(actor.poll.remote(1, 0.0), timeout=WAIT)
    except ray.exceptions.RayActorError:
        return True
    return False


def test_finite_streams_end_the_iteration_and_failures_are_kept(local_ray, server):
    clip, missing = server.url("/clip.mkv"), server.url("/nothing")
    with CameraFleet([clip, missing], shape_of, cameras_per_actor=1) as fleet:
        timer = bounded(fleet)
        got = [result for _, result in fleet]
        timer.cancel()
    assert [index for _, index, _ in got] == list(range(60))
    assert list(fleet.errors) == [missing]
    assert isinstance(fleet.errors[missing], StreamSetupError)


def fails_every_third(source, frame):
    if frame.index % 3 == 0:
        raise ValueError(f"no good: {source}")
    return frame.index


def test_an_fn_that_raises_is_logged_without_credentials_and_the_fleet_goes_on(
    local_ray, server, caplog
):
    camera = server.url("/live.mjpg?raising").replace("http://", "http://viewer:hunter2@")
    got = []
    with caplog.at_level("WARNING", logger="plumo"):
        with CameraFleet([camera], fails_every_third) as fleet:
            timer = bounded(fleet)
            for _, index in fleet:
                got.append(index)
                if len(got) == 20:
                    break
            timer.cancel()
    assert len(got) == 20 and all(index % 3 for index in got)
    assert fleet.fn_failures[camera] >= 6
    logged = [r.getMessage() for r in caplog.records if "fn raised" in r.getMessage()]
    assert logged and "ValueError: no good" in logged[0]
    assert "hunter2" not in caplog.text and "viewer:***@" in logged[0]


def test_a_slow_caller_has_the_oldest_results_dropped(local_ray, server):
    camera = server.url("/live.mjpg?slow")
    with CameraFleet([camera], shape_of, max_buffered=3, poll_batch=1) as fleet:
        timer = bounded(fleet)
        indexes = []
        for _, (_, index, _) in fleet:
            indexes.append(index)
            if len(indexes) == 1:
                time.sleep(2.0)  # the camera sends about 60 frames meanwhile
            elif len(indexes) == 6:
                break
        timer.cancel()
    assert fleet.dropped >= 30
    assert max(b - a for a, b in zip(indexes, indexes[1:])) >= 30


def whose(source, frame):
    return os.getpid()


def test_a_killed_actors_cameras_come_back_on_its_restart(local_ray, server):
    cameras = [server.url("/live.mjpg?kill=a"), server.url("/live.mjpg?kill=b")]
    with CameraFleet(cameras, whose, cameras_per_actor=1, max_framerate=10) as fleet:
        timer = bounded(fleet)
        first = {}
        after_kill = collections.Counter()
        killed_at = back_after = None
        for source, pid in fleet:
            first.setdefault(source, pid)
            if killed_at is None and len(first) == 2:
                ray.kill(fleet.actors[0], no_restart=False)
                killed_at = time.monotonic()
            elif killed_at is not None and pid != first[source]:
                back_after = back_after or time.monotonic() - killed_at
                after_kill[source] += 1
                if after_kill[source] >= 5:
                    break
        timer.cancel()
    print(f"the killed actor's camera came back {back_after} s after the kill")
    assert killed_at is not None and back_after is not None, "the camera did not come back"
    assert after_kill[cameras[0]] >= 5 and cameras[1] not in after_kill
    assert fleet.restarts == 1 and fleet.errors == {}


def test_the_package_lists_what_it_offers():
    assert set(plumo.ray.__all__) == {"read_streams", "StreamDatasource", "CameraFleet"}
