"""The stream reader against real streams served on 127.0.0.1: frames, limits, the ways streams
fail, its watcher's account of the bus, and what it leaves behind.

The library start-up is replaced by a recording stand-in (it would leave its main loop running in
this process for good); the `main_loop` fixture dispatches the bus watches meanwhile."""

import gc
import math
import pathlib
import subprocess
import sys
import threading
import time
import weakref

import pytest

import streams
from plumo.errors import (FrameTooLargeError, InvalidCustomPipelineError,
                          InvalidRuntimeOptionError, StreamReadError, StreamSetupError)  # fmt: skip
from plumo.pipeline_factories import base
from plumo.stream_reader import StreamGroup, StreamReader
from plumo.stream_reader import connection as connection_module
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
    "path, frames",
    [("/av.mkv", 60), ("/camera.mjpg?frames=12&end=closing", 12)],
    ids=["with-sound", "camera"],
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
    with StreamReader(server.url("/camera.mjpg?frames=30&end=closing"), max_framerate=10) as reader:
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
        ("/page.html", "The URL served a web page (text/html), not a video stream"),
        ("/notes.txt", "The URL served text (text/plain), not a video stream"),
        ("/status.json", "The URL served JSON (application/json), not a video stream"),
        ("http://camera.invalid/x", "Could not resolve server name 'camera.invalid'"),
    ],
    ids=["404", "refused", "no-video", "web-page", "text", "json", "unknown-host"],
)
def test_a_stream_that_cannot_start_says_why(server, path, message):
    url = (path if path.startswith("http") else server.url(path)) if path else \
        f"http://127.0.0.1:{streams.closed_port()}/x"  # fmt: skip
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
        with pytest.raises(StreamReadError, match=f"^Error reading '{url}': The connection closed "
                           "after [0-9]+ bytes of [0-9]+$"):  # fmt: skip
            for frame in reader:
                frames.append(frame)
    # Half the clip was sent; what was decoded before the break is delivered.
    assert 20 <= len(frames) < 60
    assert_red(frames, len(frames))


def test_a_frame_shorter_than_its_caps_is_an_error_not_a_frame():
    # A live source the test feeds by hand: one whole frame, then one a byte short.
    template = ("appsrc name={url} is-live=true format=time"
                " caps=video/x-raw,format=BGR,width=4,height=2,framerate=0/1"
                " ! appsink name=main_sink")  # fmt: skip
    reader = StreamReader("feed", template=template)

    def feed_once_built():  # the first frame lets the pipeline start
        assert streams.wait_for(lambda: reader._pipeline is not None, 10)
        reader._pipeline.get_by_name("feed").emit(
            "push-buffer", Gst.Buffer.new_wrapped(bytes(range(24))))  # fmt: skip

    threading.Thread(target=feed_once_built).start()
    with reader:
        source = reader._pipeline.get_by_name("feed")
        assert reader.read().tobytes() == bytes(range(24))
        source.emit("push-buffer", Gst.Buffer.new_wrapped(bytes(23)))
        with pytest.raises(StreamReadError, match="^Error reading 'feed': .*23 bytes.*24"):
            reader.read()


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
        ({"start_timeout": "5"}, "Option 'start_timeout' should be a number, got str '5'"),
        ({"read_timeout": [1]}, "Option 'read_timeout' should be a number or None, got list$"),
        ({"max_framerate": 0}, "Option 'max_framerate' should be a positive, finite number, got 0"),
        ({"max_framerate": True}, "should be a positive, finite number, got True"),
        ({"start_timeout": -1}, "got -1"),
        ({"start_timeout": None}, "Option 'start_timeout' should be a number, got NoneType"),
        ({"read_timeout": math.inf}, "got inf"),
        ({"read_timeout": math.nan}, "got nan"),
        ({"max_frame_pixels": 0}, "Option 'max_frame_pixels' should be a positive"),
        ({"max_frame_pixels": 1.5}, "should be a whole number or None, got float 1.5"),
        ({"max_frame_pixels": False}, "got False"),
    ],
)
def test_bad_options_are_refused_at_once(options, message):
    with pytest.raises(InvalidRuntimeOptionError, match=message.replace("(", r"\(")):
        StreamReader("http://camera.local/video", **options)


@pytest.mark.parametrize(
    "url, template, error, message",
    [
        ("ftp://camera.local/x", None, ValueError, "not a source plumo reads: give an http://"),
        ("udp://0.0.0.0:5000", None, ValueError, "https://, rtsp://, rtsps:// or file:// URL"),
        ("http://", None, ValueError, "has no host"),
        ("rtsp:///stream", None, ValueError, "has no host"),
        ("file://camera.local/x.mkv", None, ValueError, "a file on another host"),
        (b"http://camera.local/x", None, TypeError, "url must be a str or a path"),
        ("http://x/", b"{url}", TypeError, "template must be a str or None"),
        ("http://x/", "videotestsrc ! appsink", InvalidCustomPipelineError, "must contain"),
        ('http://x/" ! filesink location="/tmp/y', CUSTOM_TEMPLATE, ValueError, "cannot be filled"),
    ],
)
def test_bad_sources_are_refused_at_once(url, template, error, message):
    with pytest.raises(error, match=message):
        StreamReader(url, template=template)


@pytest.fixture(scope="module")
def https_server(tmp_path_factory):
    """The clip over HTTPS with a self-signed certificate, and that certificate's file."""
    certificate = streams.self_signed_certificate(str(tmp_path_factory.mktemp("certificate")))
    clip = streams.make_clips()["/clip.mkv"]
    with streams.TroubleServer({"/clip.mkv": clip}, certificate) as secure:
        yield secure.url("/clip.mkv"), certificate[0]


def test_a_ca_file_lets_a_camera_with_its_own_certificate_be_read(https_server):
    url, ca_file = https_server
    with pytest.raises(StreamSetupError, match="certificate is not trusted .* as ca_file"):
        StreamReader(url).open()
    with StreamReader(url, ca_file=pathlib.Path(ca_file)) as reader:
        assert_red(list(reader), 60)


@pytest.mark.parametrize(
    "options, message",
    [({"ca_file": "/no/such/ca.pem"}, "Option 'ca_file': ca_file '/no/such/ca.pem' cannot be read"),
     ({"ca_file": 5}, "Option 'ca_file' should be a string, a path or None, got int 5"),
     ({"ca_file": __file__}, "holds no PEM certificate"),
     ({"ca_file": __file__, "template": CUSTOM_TEMPLATE}, "applies to HTTPS URLs read without")],
)  # fmt: skip
def test_a_ca_file_that_cannot_serve_is_refused_at_once(options, message):
    with pytest.raises(InvalidRuntimeOptionError, match=message):
        StreamReader("https://camera.local/video", **options)


@pytest.mark.parametrize("template", [None, CUSTOM_TEMPLATE], ids=["http", "custom"])
def test_frames_above_max_frame_pixels_are_refused_with_their_size(server, template):
    url = server.url("/clip.mkv")
    with pytest.raises(FrameTooLargeError, match="320x240 frames exceed max_frame_pixels") as e:
        StreamReader(url, template=template, max_frame_pixels=320 * 240 - 1).open()
    # What open() promises, and what a read of such frames raises.
    assert isinstance(e.value, StreamSetupError) and isinstance(e.value, StreamReadError)
    for limit in (320 * 240, None):
        with StreamReader(url, template=template, max_frame_pixels=limit) as reader:
            assert_red(list(reader), 60)


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
    build = reader_module.URLPipelineFactory.build

    def recording_build(self):
        pipeline = build(self)
        built.append(weakref.ref(pipeline))
        return pipeline

    monkeypatch.setattr(reader_module.URLPipelineFactory, "build", recording_build)
    with pytest.raises(StreamSetupError):
        StreamReader(server.url("/nothing-here")).open()
    gc.collect()
    assert built and built[0]() is None


def open_and_close(kind, server):
    """Opens a reader, or a group of 4 readers, reads from it, and closes it; returns it and weak
    references to its pipelines."""
    sources = [server.url(f"/clip.mkv?n={n}") for n in range(1 if kind == "reader" else 4)]
    opened = StreamReader(sources[0]) if kind == "reader" else StreamGroup(sources)
    with opened:
        readers = [opened] if kind == "reader" else list(opened.readers.values())
        pipelines = [weakref.ref(reader._pipeline) for reader in readers]
        if kind == "reader":
            assert opened.read() is not None
        else:
            assert len([frame for _, frame in zip(range(4), opened)]) == 4
    return opened, pipelines


@pytest.mark.parametrize("kind", ["reader", "group"])
def test_a_closed_reader_holds_nothing_of_its_pipeline(server, kind):
    # The reader (or group) is kept: what it built must go at close(), not with it. Its last
    # frame held the decoder's buffer pool, and with it two sockets for every stream.
    open_and_close(kind, server)  # GStreamer's own first-time allocations
    gc.collect()
    fds = streams.settled_usage()[1]
    kept, pipelines = open_and_close(kind, server)
    assert streams.wait_for(lambda: gc.collect() is not None
                            and not any(pipeline() for pipeline in pipelines), 10)  # fmt: skip
    assert streams.wait_for(lambda: streams.process_usage()[1] <= fds, 10), (
        fds, streams.process_usage()[1])
    del kept  # only now


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
    assert streams.SANITIZED or rss[-1] - max(rss[:10]) < 4 * 1024, rss
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
    assert done.stdout.strip() == str(sorted(
        ["ca_file", "headers", "keyframes_only", "latest", "max_frame_pixels", "max_framerate",
         "pixel_format", "read_timeout", "reconnect", "rtsp_transport", "size", "start_timeout",
         "tls_verify", "user_agent"]))  # fmt: skip
    import plumo.stream_reader as package

    with pytest.raises(AttributeError, match="has no attribute 'Reader'"):
        package.Reader


# --- the watcher's account, and the waits -----------------------------------------------------
# The watcher is the only consumer of the bus. Messages are handed to it by hand here, as the
# main loop would.


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


def flow_error_from(src):
    # What a streaming thread posts when data stops flowing after another element failed.
    error = GLib.Error.new_literal(Gst.StreamError.quark(), "Internal data stream error.",
                                   int(Gst.StreamError.FAILED))  # fmt: skip
    return Gst.Message.new_error(src, error, "streaming stopped, reason error (-5)")


def new_state(url="http://cam/x"):
    return connection_module._StreamState(url, None)


Phase = connection_module._Phase


def test_the_watcher_ignores_what_comes_before_the_pipelines_own_start(quiet_pipeline):
    pipeline, state = quiet_pipeline, new_state()
    source = Gst.ElementFactory.make("fakesrc", "buffer_src")
    bus = pipeline.get_bus()
    assert state.watch(bus, error_from(source, "stale"), pipeline) is True
    assert state.watch(bus, state_changed(source, Gst.State.PLAYING), pipeline) is True
    assert state.phase is Phase.STARTING
    state.watch(bus, state_changed(pipeline), pipeline)
    state.watch(bus, state_changed(source, Gst.State.PLAYING), pipeline)  # not its own
    assert state.phase is Phase.STARTING
    state.watch(bus, state_changed(pipeline, Gst.State.PLAYING), pipeline)
    # A live pipeline plays before its first frame: the stream has started once the frames'
    # format is known too.
    assert state.phase is Phase.STARTING
    state._on_caps(Gst.Caps.from_string("video/x-raw,format=I420,width=4,height=2"))
    assert state.phase is Phase.PLAYING
    state.watch(bus, error_from(source, "Not Found"), pipeline)
    state.watch(bus, error_from(source, "later"), pipeline)
    assert state.phase is Phase.FAILED and state.cause() == "Not Found"
    # The watcher never posts anything of its own.
    assert bus.pop() is None


@pytest.mark.parametrize(
    "heard, cause",
    [
        (["Not Found", "flow"], "Not Found"),
        (["flow", "Not Found"], "Not Found"),
        (["flow"], "Internal data stream error."),
        (["Not Found", "Unauthorized"], "Not Found"),
    ],
)
def test_an_elements_own_error_is_the_cause_not_the_generic_one(quiet_pipeline, heard, cause):
    pipeline, state = quiet_pipeline, new_state()
    bus = pipeline.get_bus()
    state.watch(bus, state_changed(pipeline), pipeline)
    for text in heard:
        message = flow_error_from(pipeline) if text == "flow" else error_from(pipeline, text)
        state.watch(bus, message, pipeline)
    assert state.phase is Phase.FAILED and state.cause() == cause


def test_closed_is_final_and_wakes_every_waiter(quiet_pipeline):
    pipeline, state = quiet_pipeline, new_state()
    bus = pipeline.get_bus()
    state.watch(bus, state_changed(pipeline), pipeline)
    seen = []
    waiter = threading.Thread(target=lambda: seen.append(state.wait_while(Phase.STARTING, 30)))
    waiter.start()
    state.close()
    waiter.join(10)
    assert seen == [Phase.CLOSED]
    state.watch(bus, state_changed(pipeline, Gst.State.PLAYING), pipeline)
    state.watch(bus, error_from(pipeline, "Not Found"), pipeline)
    assert state.phase is Phase.CLOSED


def test_closing_from_another_thread_ends_the_start_wait(silent_server):
    # A server that takes the request and never answers: the start would wait its whole minute.
    reader = StreamReader(silent_server, start_timeout=60)
    started = time.monotonic()

    def close_once_waiting():
        streams.wait_for(lambda: reader.is_open, 10)
        time.sleep(0.2)
        reader.close()

    threading.Thread(target=close_once_waiting).start()
    with pytest.raises(StreamSetupError, match="the reader was closed$"):
        reader.open()
    assert time.monotonic() - started < 30
    assert not reader.is_open and reader.read() is None


def test_a_start_that_times_out_says_so(silent_server):
    port = silent_server.split(":")[2].split("/")[0]
    with pytest.raises(StreamSetupError, match=r"Timeout while waiting for stream to start "
                       rf"\(0.5 s\): no answer from 127.0.0.1:{port} yet$"):  # fmt: skip
        StreamReader(silent_server, start_timeout=0.5).open()


def test_without_a_main_loop_the_time_out_says_what_is_missing(server, main_loop):
    main_loop.quit()
    assert streams.wait_for(lambda: not main_loop.is_running(), 5)
    with pytest.raises(StreamSetupError, match="nothing runs the default GLib main context"):
        StreamReader(server.url("/clip.mkv"), start_timeout=0.5).open()
