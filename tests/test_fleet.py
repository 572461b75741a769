"""Cameras that run unattended: streams down at the start tried again (and those that no retry
mends refused at once), a stream's status through a drop, quiet logs, and groups that change while
they run. Against real servers: GStreamer's RTSP server as cameras that start late, die and come
back, and the test HTTP server's MJPEG cameras."""

import contextlib
import dataclasses
import logging
import socket
import threading

import pytest

import streams
from plumo.errors import InvalidRuntimeOptionError, StreamSetupError
from plumo.stream_reader import StreamGroup, StreamReader
from plumo.stream_reader import causes
from plumo.stream_reader import reader as reader_module

START = 5.0
WAIT = 30.0


@pytest.fixture(autouse=True)
def sysboot_starts(monkeypatch, main_loop):
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))


# --- a stream down at the start -----------------------------------------------------------------


@contextlib.contextmanager
def failing_source(kind, server, tmp_path):
    """The URL of a stream that cannot start, for the reason `kind` names."""
    with contextlib.ExitStack() as stack:
        if kind == "refused":
            yield f"http://127.0.0.1:{streams.closed_port()}/camera"
        elif kind == "no answer":
            yield f"http://127.0.0.1:{stack.enter_context(streams.black_hole())}/camera"
        elif kind.startswith("http "):
            trouble = stack.enter_context(streams.TroubleServer({}))
            path = {"401": "/private", "404": "/missing"}.get(kind[5:], f"/status?code={kind[5:]}")
            yield trouble.url(path)
        elif kind == "untrusted certificate":
            certificate = streams.self_signed_certificate(tmp_path)
            yield stack.enter_context(streams.TroubleServer({}, certificate)).url("/clip.mkv")
        elif kind == "unknown host":
            yield "rtsp://camera.invalid/stream"
        elif kind == "not a video":
            yield server.url("/page.html")
        elif kind == "missing file":
            yield str(tmp_path / "missing.mkv")
        elif kind == "rtsp refused":
            yield f"rtsp://127.0.0.1:{streams.closed_port()}/stream"
        else:
            user = "viewer" if kind == "rtsp 401" else None
            camera = stack.enter_context(streams.RtspCamera(
                "mjpeg", user=user, password="secret" if user else None,
                max_sessions=1 if kind == "rtsp busy" else None))  # fmt: skip
            url = f"rtsp://127.0.0.1:{camera.port}/stream"
            if kind == "rtsp busy":  # the one session it serves is taken
                stack.enter_context(StreamReader(url, rtsp_transport="tcp"))
            yield url.replace("/stream", "/nothing") if kind == "rtsp 404" else url


# (kind, whether a retry may mend it)
STARTS = [
    ("refused", True), ("no answer", True), ("http 503", True), ("http 500", True),
    ("http 429", True), ("rtsp refused", True), ("rtsp busy", True),
    ("http 404", False), ("http 401", False), ("http 403", False), ("rtsp 404", False),
    ("rtsp 401", False), ("unknown host", False), ("untrusted certificate", False),
    ("not a video", False), ("missing file", False),
]  # fmt: skip


@pytest.mark.parametrize("kind, passes", STARTS, ids=[kind for kind, _ in STARTS])
def test_a_stream_down_at_the_start_is_tried_again_only_when_that_may_help(
    kind, passes, server, tmp_path
):
    start_timeout = 1.5 if kind == "no answer" else START
    with failing_source(kind, server, tmp_path) as url:
        reader = StreamReader(url, reconnect=True, start_timeout=start_timeout, read_timeout=0.2)
        if not passes:
            with pytest.raises(StreamSetupError, match="^Cannot open"):
                reader.open()
            assert not reader.is_open
            status = reader.status
            assert status.state == "failed" and status.last_error and "secret" not in str(status)
            return
        with reader:
            status = reader.status
            assert status.state == "connecting" and status.frames == 0, status
            assert status.last_error and reader.info is None and "connecting" in repr(reader)
            with pytest.raises(TimeoutError, match=r"\(connecting\)$"):
                reader.read()
        assert reader.status.state == "closed"
        # Without reconnect, the same failure is an error at once.
        with pytest.raises(StreamSetupError, match="^Cannot open"):
            StreamReader(url, start_timeout=start_timeout).open()


def test_a_name_server_that_does_not_answer_may_pass(monkeypatch):
    # What the resolver says when no name server answers (EAI_AGAIN), not that the name is unknown.
    def no_name_server(*_args, **_kwargs):
        raise socket.gaierror(socket.EAI_AGAIN, "Temporary failure in name resolution")

    monkeypatch.setattr(causes.socket, "getaddrinfo", no_name_server)
    with StreamReader("http://camera.invalid/x", reconnect=True, start_timeout=START) as reader:
        assert reader.status.state == "connecting"
        assert "for now (no name server answered)" in reader.status.last_error


def keep_reading(reader, stop, frames, errors):
    """Reads until `stop` is set, counting frames and keeping what it raised."""
    try:
        while not stop.is_set():
            frames.append(reader.read())
    except Exception as e:  # noqa: BLE001 - the test looks at it
        errors.append(e)


@pytest.mark.parametrize("attempt", range(3))
def test_a_camera_down_at_the_start_is_read_once_it_comes_up(attempt, caplog):
    caplog.set_level(logging.INFO, logger="plumo")
    camera = streams.RtspCamera("h264" if attempt % 2 else "mjpeg")
    try:
        with StreamReader(camera.url, reconnect=True, read_timeout=WAIT) as reader:
            assert reader.status.state == "connecting" and reader.info is None
            coming = threading.Timer(1.0, camera.start)
            coming.start()
            frame = reader.read()
            coming.join()
            status = reader.status
            assert frame is not None and reader.info.width == 320
            assert status.state == "streaming" and status.frames == 1
            assert status.reconnects == 0 and status.drops == 0
    finally:
        camera.stop()
    warnings = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    assert len(warnings) == 1 and "cannot be reached yet: " in warnings[0], warnings
    assert "is up after" in caplog.text


def test_a_camera_that_comes_up_refusing_the_credentials_is_an_error_then():
    camera = streams.RtspCamera("mjpeg", user="viewer", password="right")
    url = camera.url.replace("viewer:right@", "viewer:wrong@")
    try:
        with StreamReader(url, reconnect=True, read_timeout=WAIT) as reader:
            assert reader.status.state == "connecting"
            camera.start()
            with pytest.raises(StreamSetupError, match="Unauthorized"):
                while True:
                    reader.read()
            assert reader.status.state == "failed" and "wrong" not in str(reader.status)
    finally:
        camera.stop()


# --- status, and what is logged -------------------------------------------------------------------


def test_status_follows_a_drop_and_the_return():
    with streams.RtspCamera("mjpeg", user="viewer", password="secret") as camera:
        with StreamReader(camera.url, reconnect=True, read_timeout=WAIT) as reader:
            for _ in range(20):
                assert reader.read() is not None
            before = reader.status
            assert before.state == "streaming" and before.frames == 20 and before.fps > 0
            assert before.last_frame_age is not None and before.last_frame_age >= 0
            with pytest.raises(dataclasses.FrozenInstanceError):
                before.state = "closed"  # type: ignore[misc]
            stop, frames, errors = threading.Event(), [], []
            reading = threading.Thread(target=keep_reading, args=(reader, stop, frames, errors))
            reading.start()
            try:
                camera.stop()
                assert streams.wait_for(lambda: reader.status.state == "reconnecting", WAIT)
                away = reader.status
                # What rtspsrc said at once; the cause once the reading thread has it.
                assert away.since >= before.since and away.last_error, away
                assert streams.wait_for(lambda: reader.status.drops == 1, WAIT)
                camera.start()
                # Streaming once it plays; its frames follow.
                assert streams.wait_for(lambda: reader.status.state == "streaming"
                                        and reader.status.frames > before.frames, WAIT)
                back = reader.status
                assert back.since >= away.since
                assert back.reconnects == 1 and back.drops == 1
            finally:
                stop.set()
                reader.close()
                reading.join(WAIT)
    assert not reading.is_alive() and errors == []
    assert reader.status.state == "closed" and "secret" not in str(reader.status)


def test_a_drop_and_its_failed_attempts_are_a_few_one_line_records(caplog):
    caplog.set_level(logging.DEBUG, logger="plumo")
    with streams.RtspCamera("mjpeg") as camera:
        with StreamReader(camera.url, reconnect=True, read_timeout=WAIT) as reader:
            assert reader.read() is not None
            stop, frames, errors = threading.Event(), [], []
            reading = threading.Thread(target=keep_reading, args=(reader, stop, frames, errors))
            reading.start()
            try:
                camera.stop()
                assert streams.wait_for(lambda: "attempt 3 failed" in caplog.text, 4 * WAIT)
                camera.start()
                assert streams.wait_for(lambda: "reconnected after" in caplog.text, WAIT)
            finally:
                stop.set()
                reader.close()
                reading.join(WAIT)
    records = [r for r in caplog.records if r.name == "plumo"]
    assert all("\n" not in r.getMessage() for r in records)
    assert not [r.getMessage() for r in records if r.levelno >= logging.ERROR]
    by_level = {level: [r.getMessage() for r in records if r.levelno == level]
                for level in (logging.WARNING, logging.INFO, logging.DEBUG)}  # fmt: skip
    assert len(by_level[logging.WARNING]) == 1 and "dropped: " in by_level[logging.WARNING][0]
    assert sum("attempt 1 failed: " in m for m in by_level[logging.INFO]) == 1
    assert sum("attempt 2 failed: " in m for m in by_level[logging.DEBUG]) == 1
    assert any("reconnected after" in m for m in by_level[logging.INFO])
    # GStreamer's own words (its source file and function) only in debug records.
    gstreamer = [r for r in records if ".c(" in r.getMessage()]
    assert gstreamer and all(r.levelno == logging.DEBUG for r in gstreamer)


# --- groups that change while they run ------------------------------------------------------------


def test_a_camera_down_at_the_start_joins_the_group_and_keeps_it_going(server):
    # The HTTP camera ends after 20 frames; the group goes on for the camera still trying.
    camera = streams.RtspCamera("mjpeg")
    ending = server.url("/camera.mjpg?frames=20&end=closing&fleet")
    try:
        with StreamGroup([ending, camera.url], reconnect=True) as group:
            assert group.status()[camera.url].state == "connecting"
            coming = threading.Timer(2.0, camera.start)
            coming.start()
            counts = {ending: 0, camera.url: 0}
            for source, _frame in group:
                counts[source] += 1
                if counts[camera.url] == 5:
                    break
            coming.join()
            assert counts[ending] == 20 and group.errors == {}
            assert group.status()[ending].state == "closed"  # it ended and left
            assert group.status()[camera.url].state == "streaming"
    finally:
        camera.stop()


def test_streams_are_added_and_removed_while_the_group_runs(server):
    live = [server.url(f"/live.mjpg?fleet={n}") for n in range(3)]
    group = StreamGroup([live[0]]).open()
    order, removed_at = [], None
    try:
        for source, frame in group:
            order.append((source, frame.image.ndim))
            if len(order) == 5:  # from another thread, while the iteration runs
                threading.Thread(target=group.add, args=(live[1],),
                                 kwargs={"pixel_format": "gray"}).start()  # fmt: skip
            if source == live[1] and removed_at is None:
                group.remove(live[0])
                removed_at = len(order)
            if removed_at and len(order) >= removed_at + 10:
                break
        assert removed_at is not None, order
        # A removed stream yields nothing more; the added one has its own options.
        assert all(source == live[1] for source, _ in order[removed_at:])
        assert {ndim for source, ndim in order if source == live[1]} == {2}
        assert {ndim for source, ndim in order if source == live[0]} == {3}
        assert group.sources == [live[1]] and list(group.status()) == [live[1]]
        # Removing the last stream from another thread ends the iteration.
        threading.Timer(0.3, group.remove, args=(live[1],)).start()
        rest = []
        iterating = threading.Thread(target=lambda: rest.extend(group))
        iterating.start()
        iterating.join(WAIT)
        assert not iterating.is_alive() and group.sources == [] and group.errors == {}
    finally:
        group.close()


def test_adding_and_removing_from_several_threads_keeps_the_table_whole(server):
    group = StreamGroup([server.url("/live.mjpg?churn=base")]).open()
    failures = []

    def churn(name):
        try:
            for round_ in range(6):
                source = server.url(f"/live.mjpg?churn={name}-{round_}")
                group.add(source, latest=True)
                threading.Event().wait(0.1)
                group.remove(source)
        except Exception as e:  # noqa: BLE001 - the test looks at it
            failures.append(e)

    seen = set()
    workers = [threading.Thread(target=churn, args=(name,)) for name in "abc"]
    try:
        for worker in workers:
            worker.start()
        for source, _frame in group:
            seen.add(source)
            if not any(worker.is_alive() for worker in workers):
                break
        for worker in workers:
            worker.join(WAIT)
        assert failures == [] and group.errors == {}
        assert group.sources == [server.url("/live.mjpg?churn=base")]
        assert len(group._by_key) == 1 and len(group._free_keys) >= 1
        assert len(seen) > 1  # added streams were read
    finally:
        group.close()


LIVE = "/live.mjpg?fleet=bad"


@pytest.mark.parametrize(
    "source, options, error, message",
    [
        ("ftp://camera.local/x", {}, ValueError, "not a source plumo reads"),
        (LIVE, {"latest": "yes"}, InvalidRuntimeOptionError, "Option 'latest'"),
        (LIVE, {"lastest": True}, InvalidRuntimeOptionError, "did you mean 'latest'"),
        ("missing.mkv", {}, StreamSetupError, "No such file"),
        ("/live.mjpg?fleet=there", {}, ValueError, "already in the group"),
    ],
)
def test_add_refuses_bad_input_in_the_caller(server, tmp_path, source, options, error, message):
    there = server.url("/live.mjpg?fleet=there")
    source = server.url(source) if source.startswith("/") else source
    source = str(tmp_path / source) if source == "missing.mkv" else source
    with StreamGroup([there]) as group:
        with pytest.raises(error, match=message):
            group.add(source, **options)
        assert group.sources == [there] and group.errors == {}
        with pytest.raises(KeyError, match="is not in the group"):
            group.remove(server.url("/live.mjpg?fleet=never"))
        source, _frame = next(iter(group))
        assert source == there


def test_each_stream_has_its_options_over_the_groups(server):
    gray, plain = server.url("/live.mjpg?fleet=gray"), server.url("/live.mjpg?fleet=plain")
    with StreamGroup({gray: {"pixel_format": "gray"}, plain: {}}, latest=True) as group:
        shapes = {}
        for source, frame in group:
            shapes[source] = frame.image.shape
            if len(shapes) == 2:
                break
        assert shapes == {gray: (240, 320), plain: (240, 320, 3)}
        assert all(reader._appsink.get_property("max-buffers") == 1
                   for reader in group.readers.values())  # fmt: skip
    with pytest.raises(TypeError, match="must be a mapping"):
        StreamGroup({gray: "gray"})  # type: ignore[dict-item]


def test_a_stream_that_fails_stays_in_the_status_as_failed(server):
    good, bad = server.url("/live.mjpg?fleet=good"), server.url("/nothing")
    with StreamGroup([good, bad], reconnect=True) as group:
        status = group.status()
        assert status[bad].state == "failed" and status[bad].last_error == "Not Found"
        assert isinstance(group.errors[bad], StreamSetupError)
        assert status[good].state == "streaming"
