"""The stream reader against real streams served on 127.0.0.1: frames, limits, the ways streams
fail, its watcher's account of the bus, and what it leaves behind.

The library start-up is replaced by a recording stand-in (it would leave its main loop running in
this process for good); the `main_loop` fixture dispatches the bus watches meanwhile."""

import gc
import math
import subprocess
import sys
import threading
import weakref

import pytest

import streams
from plumo.errors import (InvalidCustomPipelineError, InvalidRuntimeOptionError, StreamReadError,
                          StreamSetupError)  # fmt: skip
from plumo.pipeline_factories import base
from plumo.stream_reader import StreamReader
from plumo.stream_reader import reader as reader_module
from plumo.utils.gstreamer import GLib, Gst, Pipeline

CUSTOM_TEMPLATE = (
    "souphttpsrc location={url} name=buffer_src ! matroskademux ! jpegdec ! videoconvert"
    " ! video/x-raw,format=BGR ! appsink name=main_sink"
)


@pytest.fixture(autouse=True)
def sysboot_starts(monkeypatch, main_loop):
    starts = []
    boot = type("Boot", (), {"start": lambda: starts.append(1)})
    monkeypatch.setattr(reader_module, "sysboot", boot)
    return starts


def assert_red(frames, count):
    streams.assert_red_frames(frames, count)
    assert not any(frame.flags.writeable for frame in frames)


# --- frames ------------------------------------------------------------------------------------


@pytest.mark.parametrize("template", [None, CUSTOM_TEMPLATE])
def test_reads_every_frame_then_ends(server, sysboot_starts, template):
    with StreamReader(server.url("/clip.mkv"), template=template) as reader:
        assert sysboot_starts == [1] and reader.is_open
        frames = list(reader)
        assert reader.read() is None  # the end stays the end
    assert_red(frames, 60)
    assert reader.frames_read == 60 and not reader.is_open
    # Each frame owns its pixels: they are all still red after the pipeline is gone.
    assert_red(frames, 60)


@pytest.mark.parametrize(
    "path, frames", [("/av.mkv", 60), ("/live.mjpg?frames=12", 12)], ids=["with-sound", "camera"]
)
def test_other_streams_read_to_their_end(server, path, frames):
    with StreamReader(server.url(path)) as reader:
        assert_red(list(reader), frames)


@pytest.mark.parametrize("template", [None, CUSTOM_TEMPLATE], ids=["http", "custom"])
@pytest.mark.parametrize("limit, expected", [(5, 10), (15, 30)])
def test_max_framerate_keeps_one_frame_in_so_many(server, template, limit, expected):
    # The clip is 2 s at 30 frames a second; its timestamps set the pace, not the clock.
    with StreamReader(server.url("/clip.mkv"), template=template, max_framerate=limit) as reader:
        assert_red(list(reader), expected)


def test_a_camera_is_limited_by_the_clock(server):
    with StreamReader(server.url("/live.mjpg?frames=30"), max_framerate=10) as reader:
        frames = list(reader)
    # About 1 s of camera at 30 frames a second, limited to 10 a second.
    assert 6 <= len(frames) <= 14, len(frames)


def test_a_source_that_pushes_before_it_is_linked_is_no_error(server, monkeypatch):
    # A busy machine: the factory's early-started source pushes before the decoder is set up,
    # and its "not-linked" error reaches the watcher. That is not news of the stream.
    set_up = base.PipelineFactory._set_up_decoder

    def slow(self, *args):
        threading.Event().wait(0.05)
        set_up(self, *args)

    monkeypatch.setattr(base.PipelineFactory, "_set_up_decoder", slow)
    with StreamReader(server.url("/clip.mkv")) as reader:
        assert_red(list(reader), 60)


# --- failures ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "path, message",
    [
        ("/nothing-here", "Not Found"),
        (None, "Could not establish connection to server."),
        ("/audio.wav", "The stream has no video: audio/x-raw"),
        ("/page.html", "Your GStreamer installation is missing a plug-in."),
    ],
    ids=["404", "refused", "no-video", "not-media"],
)
def test_a_stream_that_cannot_start_says_why(server, path, message):
    url = server.url(path) if path else f"http://127.0.0.1:{streams.closed_port()}/x"
    # The cause, not a time-out: the start wait must not miss it, whichever of the wait and the
    # watcher takes it off the bus. Repeated, since which one does is a race.
    for _ in range(3 if path != "/nothing-here" else 25):
        reader = StreamReader(url, start_timeout=10)
        with pytest.raises(StreamSetupError) as excinfo:
            reader.open()
        assert str(excinfo.value) == f"Cannot open '{url}': {message}"
        assert not reader.is_open


def test_a_stream_that_breaks_gives_its_frames_then_the_error(server):
    url = server.url("/truncated.mkv")
    frames = []
    with StreamReader(url) as reader:
        with pytest.raises(StreamReadError, match=f"^Error reading '{url}': Server does not"):
            for frame in reader:
                frames.append(frame)
    # Half the clip was sent; what was decoded before the break is delivered.
    assert 20 <= len(frames) < 60
    assert_red(frames, len(frames))


def test_no_frame_within_the_read_timeout(server):
    # A live source with a frame every 10 s: the first comes at once, the second not in time.
    template = ("videotestsrc is-live=true name={url} ! video/x-raw,framerate=1/10"
                " ! videoconvert ! video/x-raw,format=BGR ! appsink name=main_sink")  # fmt: skip
    with StreamReader("slow", template=template, read_timeout=0.3) as reader:
        assert reader.read() is not None
        with pytest.raises(TimeoutError, match=r"^No frame from 'slow' within 0.3 s$"):
            reader.read()


def test_a_stream_that_never_plays_times_out(server):
    # The appsink holds the pipeline back until a frame comes; none ever does.
    template = "souphttpsrc location={url} name=buffer_src ! fakesink  appsink name=main_sink"
    with pytest.raises(StreamSetupError, match="Timeout while waiting for stream to start"):
        StreamReader(server.url("/clip.mkv"), template=template, start_timeout=0.5).open()


# --- options and arguments ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "options, message",
    [
        ({"fps": 5}, "Unknown option 'fps'"),
        ({"start_timeout": "5"}, "Option 'start_timeout' should be of type"),
        ({"read_timeout": [1]}, "Option 'read_timeout' should be of type"),
        ({"max_framerate": 0}, "Option 'max_framerate' should be a positive, finite number, got 0"),
        ({"max_framerate": True}, "should be a positive, finite number, got True"),
        ({"start_timeout": -1}, "got -1"),
        ({"start_timeout": None}, "Option 'start_timeout' should be of type"),
        ({"read_timeout": math.inf}, "got inf"),
        ({"read_timeout": math.nan}, "got nan"),
    ],
)
def test_bad_options_are_refused_at_once(options, message):
    with pytest.raises(InvalidRuntimeOptionError, match=message.replace("(", r"\(")):
        StreamReader("http://camera.local/video", **options)


@pytest.mark.parametrize(
    "url, template, error, message",
    [
        ("ftp://camera.local/x", None, ValueError, "not an HTTP URL"),
        ("camera.local/video", None, ValueError, "not an HTTP URL"),
        ("http://", None, ValueError, "not an HTTP URL"),
        (b"http://camera.local/x", None, TypeError, "url must be a str"),
        ("http://x/", b"{url}", TypeError, "template must be a str or None"),
        ("http://x/", "videotestsrc ! appsink", InvalidCustomPipelineError, "must contain"),
        ('http://x/" ! filesink location="/tmp/y', CUSTOM_TEMPLATE, ValueError, "cannot be filled"),
    ],
)
def test_bad_sources_are_refused_at_once(url, template, error, message):
    with pytest.raises(error, match=message):
        StreamReader(url, template=template)


# --- life cycle --------------------------------------------------------------------------------


def test_life_cycle_misuse(server):
    url = server.url("/clip.mkv")
    reader = StreamReader(url)
    assert repr(reader) == f"<StreamReader '{url}' not opened, 0 frames read>"
    with pytest.raises(RuntimeError, match="is not open: call open"):
        reader.read()
    with pytest.raises(RuntimeError, match="is not open"):
        next(iter(reader))
    with reader:
        with pytest.raises(RuntimeError, match="is already open"):
            reader.open()
        reader.read()
        assert repr(reader) == f"<StreamReader '{url}' open, 1 frames read>"
    reader.close()  # again: nothing to do
    assert reader.read() is None
    with pytest.raises(RuntimeError, match="was closed"):
        reader.open()


def test_closing_from_another_thread_ends_the_reading(server):
    with StreamReader(server.url("/live.mjpg"), read_timeout=None) as reader:
        assert reader.read() is not None
        threading.Timer(0.3, reader.close).start()
        frames = list(reader)  # the camera never ends by itself
    assert 3 <= len(frames) <= 20  # about 0.3 s of a 30 frames a second camera


def test_a_forgotten_reader_stops_its_pipeline(server):
    reader = StreamReader(server.url("/live.mjpg"))
    reader.open()
    pipeline = weakref.ref(reader._pipeline)
    appsink = pipeline().appsink
    assert reader.read() is not None
    del reader
    gc.collect()
    assert pipeline() is None
    assert appsink.get_state(0)[1] == Gst.State.NULL


def test_a_failed_open_leaves_nothing_running(server, monkeypatch):
    built = []
    build = reader_module.HTTPPipelineFactory.build

    def recording_build(self):
        pipeline = build(self)
        built.append(weakref.ref(pipeline))
        return pipeline

    monkeypatch.setattr(reader_module.HTTPPipelineFactory, "build", recording_build)
    with pytest.raises(StreamSetupError):
        StreamReader(server.url("/nothing-here")).open()
    gc.collect()
    assert built and built[0]() is None


def live_pipelines():
    gc.collect()
    return sum(isinstance(o, Pipeline) for o in gc.get_objects())


def test_open_read_close_cycles_leave_nothing_behind(server):
    pipelines_before = live_pipelines()
    usage = []
    for _ in range(40):
        with StreamReader(server.url("/clip.mkv")) as reader:
            assert reader.read() is not None
        usage.append(streams.native_usage())
    threads, fds, rss = zip(*usage)
    # Streaming threads go back to GLib's pool, which lets them go a moment later.
    assert streams.wait_for(lambda: streams.native_usage()[0] <= max(threads[:10]), 5), threads
    assert max(fds[10:]) <= max(fds[:10]), fds
    assert rss[-1] - max(rss[:10]) < 4 * 1024, rss
    assert live_pipelines() == pipelines_before


def test_the_package_imports_gstreamer_only_for_the_reader():
    code = (
        "import sys; import plumo.stream_reader.knobset;"
        "assert 'gi.repository.Gst' not in sys.modules;"
        "from plumo.stream_reader import StreamReader, SUPPORTED_OPTIONS;"
        "assert 'gi.repository.Gst' in sys.modules;"
        "print(sorted(SUPPORTED_OPTIONS))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['max_framerate', 'read_timeout', 'start_timeout']"
    import plumo.stream_reader as package

    with pytest.raises(AttributeError, match="has no attribute 'Reader'"):
        package.Reader


# --- the watcher's account, and the start wait ----------------------------------------------------
# The start wait and the watcher take messages off the same bus. Messages are handed to the
# watcher here by hand, as the main loop would, to see what it tells the wait.


@pytest.fixture
def quiet_pipeline(stopped_at_end):
    pipeline = Pipeline("quiet")
    stopped_at_end.append(pipeline)
    return pipeline


def state_changed(src, new=Gst.State.READY):
    return Gst.Message.new_state_changed(src, Gst.State.NULL, new, Gst.State.VOID_PENDING)


def error_from(src, text, debug="details"):
    code = int(Gst.ResourceError.NOT_FOUND)
    error = GLib.Error.new_literal(Gst.ResourceError.quark(), text, code)
    return Gst.Message.new_error(src, error, debug)


def test_the_watcher_ignores_what_comes_before_the_pipelines_own_start(quiet_pipeline):
    pipeline, report = quiet_pipeline, reader_module._BusReport()
    source = Gst.ElementFactory.make("fakesrc", "buffer_src")
    bus = pipeline.get_bus()
    assert report.watch(bus, error_from(source, "stale"), pipeline) is True
    assert report.watch(bus, state_changed(source), pipeline) is True  # an element's, not its own
    assert report.error is None and not report.wait_for_start(0)
    report.watch(bus, state_changed(pipeline), pipeline)
    assert report.wait_for_start(0)
    report.watch(bus, error_from(source, "Not Found"), pipeline)
    report.watch(bus, error_from(source, "later"), pipeline)
    assert report.error == "Not Found" and report.wait_for_end(0)
    # Nobody was waiting for the start: nothing was posted for the wait.
    assert bus.pop() is None


@pytest.mark.parametrize("outcome", ["playing", "error"])
def test_the_watcher_hands_the_start_wait_what_it_took(quiet_pipeline, outcome):
    pipeline, report = quiet_pipeline, reader_module._BusReport()
    bus = pipeline.get_bus()
    report.watch(bus, state_changed(pipeline), pipeline)
    assert report.begin_start_wait() is False  # nothing known yet: wait
    if outcome == "playing":
        report.watch(bus, state_changed(pipeline, Gst.State.PLAYING), pipeline)
    else:
        report.watch(bus, error_from(pipeline, "Not Found"), pipeline)
    # The watcher took the message the wait needed; the wait gets a copy of it.
    nudge = bus.pop()
    assert nudge is not None and bus.pop() is None
    # If the watcher gets its copy back, the wait is still waiting for one: it passes it on a
    # moment later, and the wait finds it.
    report.watch(bus, nudge, pipeline)
    if outcome == "playing":
        pipeline.wait_until_playing(1)
    else:
        with pytest.raises(StreamSetupError, match="^Not Found$"):
            pipeline.wait_until_playing(1)
    report.end_start_wait()
    # After the wait, a copy that comes back is dropped, and the outcome is known without one.
    report.watch(bus, nudge, pipeline)
    assert bus.timed_pop(Gst.SECOND // 10) is None
    assert report.begin_start_wait() is True


@pytest.mark.parametrize(
    "watcher_heard, wait_raised, cause",
    [
        (None, "Not Found", "Not Found"),
        ("Not Found", "Internal data stream error.", "Not Found"),
        ("flow", "Not Found", "Not Found"),
        ("flow", "Timeout while waiting for stream to start", "Internal data stream error."),
        ("Not Found", "Timeout while waiting for stream to start", "Not Found"),
    ],
)
def test_the_first_cause_of_a_failed_start(quiet_pipeline, watcher_heard, wait_raised, cause):
    pipeline, report = quiet_pipeline, reader_module._BusReport()
    bus = pipeline.get_bus()
    report.watch(bus, state_changed(pipeline), pipeline)
    if watcher_heard == "flow":
        # What a streaming thread posts when data stops flowing after another element failed.
        error = GLib.Error.new_literal(Gst.StreamError.quark(), "Internal data stream error.",
                                       int(Gst.StreamError.FAILED))  # fmt: skip
        message = Gst.Message.new_error(pipeline, error, "streaming stopped, reason error (-5)")
        report.watch(bus, message, pipeline)
    elif watcher_heard:
        report.watch(bus, error_from(pipeline, watcher_heard), pipeline)
    assert report.first_cause(wait_raised) == cause
