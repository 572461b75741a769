"""A group of streams read at once: every frame of each, in arrival order, the failures of some
not stopping the others, closing from another thread, bounded memory, and no thread per
stream."""

import collections
import itertools
import os
import pathlib
import threading
import time

import pytest

import streams
from plumo.errors import InvalidRuntimeOptionError, StreamReadError, StreamSetupError
from plumo.stream_reader import StreamGroup, StreamReader
from plumo.stream_reader import reader as reader_module

WAIT = 20.0


@pytest.fixture(autouse=True)
def sysboot_starts(monkeypatch, main_loop):
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))


def test_every_frame_of_each_stream_and_the_failures_apart(server):
    paths = ["/clip.mkv", "/mpeg4.mkv", "/nothing", "/camera.mjpg?frames=20&end=reset"]
    sources = [server.url(path) for path in paths]
    alone = {}
    for source in sources[:2]:
        with StreamReader(source) as reader:
            alone[source] = [frame.tobytes() for frame in reader]
    got = collections.defaultdict(list)
    with StreamGroup(sources) as group:
        for source, frame in group:
            got[source].append(frame)
    for source, frames in alone.items():
        assert [frame.image.tobytes() for frame in got[source]] == frames
        assert [frame.index for frame in got[source]] == list(range(len(frames)))
    assert len(got[sources[3]]) == 20  # what the cut-off camera sent, then its error
    assert set(group.errors) == {sources[2], sources[3]}
    assert isinstance(group.errors[sources[2]], StreamSetupError)
    assert isinstance(group.errors[sources[3]], StreamReadError)
    assert "Not Found" in str(group.errors[sources[2]])


def test_live_streams_interleave_as_their_frames_arrive(server):
    sources = [server.url("/live.mjpg?a"), server.url("/live.mjpg?b")]
    order = []
    with StreamGroup(sources) as group:
        for source, _frame in group:
            order.append(source)
            if len(order) == 60:
                break
    # Both at about 30 frames a second: neither waits for the other to end.
    counts = collections.Counter(order[10:])
    assert counts[sources[0]] >= 10 and counts[sources[1]] >= 10, counts


def test_closing_from_another_thread_ends_the_iteration(server):
    group = StreamGroup([server.url("/live.mjpg?c"), server.url("/live.mjpg?d")]).open()
    seen = []
    iterating = threading.Thread(target=lambda: seen.extend(group))
    iterating.start()
    assert streams.wait_for(lambda: len(seen) >= 5, WAIT)
    group.close()
    iterating.join(WAIT)
    assert not iterating.is_alive()
    assert not any(reader.is_open for reader in group.readers.values())


def test_a_slow_consumer_holds_a_file_back_and_loses_nothing(server):
    with StreamGroup([server.url("/clip.mkv"), server.url("/live.mjpg?e")]) as group:
        counts = collections.Counter()
        for source, _frame in group:
            counts[source] += 1
            time.sleep(0.02)
            if counts[server.url("/clip.mkv")] == 60 or counts[server.url("/live.mjpg?e")] == 300:
                break
        held = [reader._appsink.get_property("max-buffers")
                for reader in group.readers.values() if reader._appsink is not None]  # fmt: skip
    assert counts[server.url("/clip.mkv")] == 60
    assert held and max(held) <= 4


def test_latest_drops_what_a_slow_consumer_misses(server):
    source = server.url("/live.mjpg?f")
    with StreamGroup([source], latest=True) as group:
        for n, (_, _frame) in enumerate(group):
            time.sleep(0.2)
            if n == 5:
                break
        assert group.readers[source].frames_dropped > 0


def python_threads() -> int:
    """This process's Python threads, but for the test server's, one per connection, and
    GStreamer's own threads that called into Python."""
    return sum(1 for thread in threading.enumerate()
               if "process_request" not in thread.name
               and not isinstance(thread, threading._DummyThread))  # fmt: skip


def test_no_thread_is_kept_per_stream(server):
    sources = [server.url(f"/live.mjpg?n={n}") for n in range(8)]
    before = python_threads()
    counts = []
    for group_sources in (sources[:2], sources):
        with StreamGroup(group_sources) as group:
            for n, _ in enumerate(group):
                if n == 10 * len(group_sources):
                    break
            counts.append(python_threads())
    # A few converting threads, as many with 8 streams as with 2.
    assert counts[0] == counts[1] <= before + max(2, os.cpu_count() or 1), (before, counts)
    assert streams.wait_for(lambda: python_threads() == before, WAIT)


def test_a_dropped_camera_comes_back_into_the_group(server):
    with streams.RtspCamera("mjpeg") as cam:
        sources = [cam.url, server.url("/live.mjpg?g")]
        with StreamGroup(sources, reconnect=True) as group:
            before = after = 0
            deadline = time.monotonic() + 4 * WAIT
            for source, _frame in group:
                assert time.monotonic() < deadline, "the camera did not come back"
                if source != cam.url:
                    continue
                if group.readers[cam.url].reconnects:
                    after += 1
                    if after == 5:
                        break
                else:
                    before += 1
                    if before == 5:
                        cam.stop()
                        threading.Timer(1.0, cam.start).start()
            assert group.errors == {}


@pytest.mark.parametrize(
    "sources, options, error",
    [
        ([], {}, ValueError),
        (["ftp://camera/x"], {}, ValueError),
        (["http://camera/x"], {"latest": "yes"}, InvalidRuntimeOptionError),
    ],
)
def test_bad_arguments_are_refused_at_once(sources, options, error):
    with pytest.raises(error):
        StreamGroup(sources, **options)


@pytest.mark.parametrize("one", ["rtsp://camera.local/stream", b"rtsp://camera.local/stream",
                                 pathlib.Path("recording.mp4")])  # fmt: skip
def test_one_source_instead_of_a_list_is_refused(one):
    # Iterated, a string would be read as a stream for each of its characters.
    with pytest.raises(TypeError, match="sources must be a list of URLs or paths, not a"):
        StreamGroup(one)


@pytest.mark.parametrize("group", [False, True], ids=["reader", "group"])
def test_a_slow_frame_rate_limit_never_times_out_a_healthy_stream(server, group):
    # A camera at 30 frames a second, one frame kept every two seconds: the wait for a frame
    # takes the limit's slot into account, or every read would time out.
    url, options = server.url("/live.mjpg"), {"max_framerate": 0.5, "read_timeout": 1}
    if group:
        with StreamGroup([url], **options) as stream_group:
            frames = [frame for _, frame in itertools.islice(stream_group, 3)]
        assert not stream_group.errors
    else:
        with StreamReader(url, **options) as reader:
            frames = [reader.read_frame() for _ in range(3)]
    assert len(frames) == 3 and all(frame is not None for frame in frames)


def test_a_source_given_twice_is_read_once(server):
    source = server.url("/clip.mkv")
    with StreamGroup([source, source]) as group:
        assert group.sources == [source]
        assert sum(1 for _ in group) == 60
