"""The whole road, for real: clips made with GStreamer, served over HTTP on 127.0.0.1, read by both
factories into BGR arrays; the ways streams fail; and the decoder set-up under churn."""

import os
import re
import threading

import numpy as np
import pytest

import streams
from streams import SANITIZED, assert_red_frames, native_usage, wait_for
from plumo.errors import StreamSetupError
from plumo.pipeline_factories import base
from plumo.pipeline_factories.custom import CustomPipelineFactory
from plumo.pipeline_factories.http import HTTPPipelineFactory
from plumo.stream_reader.causes import FailureEvidence
from plumo.utils.gstreamer import GLib, Gst, Pipeline, sample_to_ndarray

CUSTOM_TEMPLATE = (
    "souphttpsrc location={url} name=buffer_src ! decodebin ! videoconvert"
    " ! video/x-raw,format=BGR ! appsink name=main_sink"
)


class Recorder:
    """A bus watcher and on-complete callback that remember what they were given.

    Like a reader, it takes no notice of what comes before the pipeline's own first state
    change: the HTTP factory starts its source before it links it, and a source quick enough to
    push meanwhile reports an error about a start that is then undone.
    """

    def __init__(self, url=None):
        self.errors = []
        # What a reader makes of the messages.
        self.evidence = FailureEvidence(url or "")
        self.early = []
        self.started = False
        self.eos = threading.Event()
        self.failed = threading.Event()
        self.completed = []

    def watch(self, _bus, message, pipeline):
        assert isinstance(pipeline, Pipeline)
        if message.type == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
            self.started = True
        elif not self.started:
            self.early.append(message)
            return True
        self.evidence.note(message)
        if message.type == Gst.MessageType.ERROR:
            self.errors.append(message.parse_error()[0].message)
            self.failed.set()
        elif message.type == Gst.MessageType.EOS:
            self.eos.set()
        return True

    def complete(self, pipeline):
        self.completed.append(pipeline)


@pytest.fixture
def built(stopped_at_end):
    """Builds pipelines with a factory, and stops and releases every one at the end."""

    def build(factory):
        stopped_at_end.append(factory.build())
        return stopped_at_end[-1]

    return build


def http_factory(url, recorder, max_framerate=None):
    factory = HTTPPipelineFactory(url=url, pipeline_watcher=recorder.watch,
                                  on_complete=recorder.complete)  # fmt: skip
    factory.max_framerate = max_framerate
    return factory


def pull_frames(pipeline, count, timeout=5.0):
    frames = []
    while len(frames) < count:
        sample = pipeline.appsink.try_pull_sample(int(timeout * Gst.SECOND))
        if sample is None:
            break
        frames.append(sample_to_ndarray(sample))
    return frames


# --- frames, both factories ---------------------------------------------------------------------


@pytest.mark.parametrize("path", ["/clip.mkv", "/live.mjpg", "/av.mkv"])
def test_http_factory_delivers_bgr_frames(server, built, path):
    recorder = Recorder()
    pipeline = built(http_factory(server.url(path), recorder))
    pipeline.wait_until_playing(10)
    assert_red_frames(pull_frames(pipeline, 10), 10)
    assert recorder.completed == [pipeline]
    source = pipeline.get_by_name("buffer_src")
    assert source.get_property("location") == server.url(path)


def test_custom_factory_delivers_bgr_frames(server, built):
    recorder = Recorder()
    factory = CustomPipelineFactory(CUSTOM_TEMPLATE, url=server.url("/clip.mkv"),
                                    pipeline_watcher=recorder.watch,
                                    on_complete=recorder.complete)  # fmt: skip
    pipeline = built(factory)
    pipeline.wait_until_playing(10)
    assert pipeline.get_name() == server.url("/clip.mkv")
    assert_red_frames(pull_frames(pipeline, 60), 60)
    # The custom pipeline decodes itself; the base's set-up never ran.
    assert recorder.completed == []


def test_every_frame_of_a_clip_arrives_then_the_end(server, built, main_loop):
    recorder = Recorder()
    pipeline = built(http_factory(server.url("/clip.mkv"), recorder))
    assert_red_frames(pull_frames(pipeline, 100, timeout=2), 60)
    assert recorder.eos.wait(5) and recorder.errors == []


@pytest.mark.parametrize("limit, expected", [(5, 10), (7.5, 15), (30, 60), (1000, 60)])
def test_max_framerate_keeps_one_frame_in_so_many_of_a_clip(server, built, limit, expected):
    # The clip has 60 frames at 30 per second: 2 seconds of its own time.
    pipeline = built(http_factory(server.url("/clip.mkv"), Recorder(), max_framerate=limit))
    frames = pull_frames(pipeline, 100, timeout=2)
    assert len(frames) == expected


def test_max_framerate_of_a_stream_without_timestamps_goes_by_the_clock(server, built):
    # A camera's MJPEG frames carry no timestamps; 30 come each second.
    pipeline = built(http_factory(server.url("/live.mjpg"), Recorder(), max_framerate=10))
    pipeline.wait_until_playing(10)
    pull_frames(pipeline, 1)
    start = GLib.get_monotonic_time()
    pull_frames(pipeline, 10)
    elapsed = (GLib.get_monotonic_time() - start) / 1e6
    assert 0.7 < elapsed < 2.0


@pytest.mark.parametrize(
    "value, error",
    [("5", TypeError), (True, TypeError), (0, ValueError), (-1.5, ValueError),
     (float("nan"), ValueError), (float("inf"), ValueError)],
)  # fmt: skip
def test_max_framerate_is_checked(value, error):
    factory = http_factory("http://127.0.0.1:9/", Recorder())
    with pytest.raises(error, match="max_framerate"):
        factory.max_framerate = value
    assert factory.max_framerate is None
    factory.max_framerate = 12
    assert factory.max_framerate == 12.0


# --- the conversion chain -----------------------------------------------------------------------


def top_level(pipeline, factory_name):
    return [e for e in pipeline.iterate_elements() if e.get_factory().get_name() == factory_name]


def buffer_threads(pad):
    """The threads that push buffers through `pad` from now on: a list, one entry per buffer."""
    threads = []

    def probe(_pad, _info):
        threads.append(threading.get_ident())
        return Gst.PadProbeReturn.OK

    pad.add_probe(Gst.PadProbeType.BUFFER, probe)
    return threads


CPUS = len(os.sched_getaffinity(0))


@pytest.mark.parametrize("path", ["/clip.mkv", "/live.mjpg", "/av.mkv", "/mpeg4.mkv"])
def test_decoding_and_conversion_run_on_threads_of_their_own(server, built, path):
    pipeline = built(http_factory(server.url(path), Recorder()))
    [queue] = top_level(pipeline, "queue")
    [convert] = top_level(pipeline, "videoconvert")
    assert convert.get_property("n-threads") == max(1, CPUS // 2)
    decoded = buffer_threads(queue.get_static_pad("sink"))
    converted = buffer_threads(convert.get_static_pad("sink"))
    assert_red_frames(pull_frames(pipeline, 20), 20)
    assert decoded and converted and not set(decoded) & set(converted)


def libav_decoder(pipeline):
    [decoder] = [e for e in pipeline.iterate_recurse() if e.get_factory().get_name() == "avdec_mpeg4"]
    return decoder


def test_the_cpus_are_shared_among_the_streams_open_as_each_decoder_starts(
    server, built, monkeypatch
):
    monkeypatch.setattr(base, "_cpu_count", lambda: 4)
    others = len(base._OPEN_STREAMS)  # left open by other tests: none, unless one leaks
    url = server.url("/mpeg4.mkv")
    started = []
    for _ in range(4):  # each decoder started before the next pipeline is built
        started.append(built(http_factory(url, Recorder())))
        assert_red_frames(pull_frames(started[-1], 1), 1)
        assert len(base._OPEN_STREAMS) == others + len(started)
    threads = [libav_decoder(pipeline).get_property("max-threads") for pipeline in started]
    assert threads == [max(1, 4 // (others + n)) for n in (1, 2, 3, 4)]
    for pipeline in started[1:]:  # a released pipeline no longer counts
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()
    assert len(base._OPEN_STREAMS) == others + 1
    again = built(http_factory(url, Recorder()))
    assert_red_frames(pull_frames(again, 60), 60)
    assert libav_decoder(again).get_property("max-threads") == max(1, 4 // (others + 2))
    # A decoder's threads are whatever kind libav takes for the stream (slice threads alone for a
    # live one), but for a reader of the newest frame, which takes no frame threads.
    assert int(libav_decoder(again).get_property("thread-type")) == 0
    newest = http_factory(url, Recorder())
    newest.newest_frame_only = True
    newest_pipeline = built(newest)
    assert pull_frames(newest_pipeline, 1)
    assert int(libav_decoder(newest_pipeline).get_property("thread-type")) == 2  # slice


@pytest.mark.parametrize("limit, expected", [(5, 10), (15, 30)])
def test_max_framerate_drops_frames_before_they_are_queued(server, built, limit, expected):
    # The clip has 60 frames: only those the limit keeps may take a place in the queue.
    pipeline = built(http_factory(server.url("/clip.mkv"), Recorder(), max_framerate=limit))
    [queue] = top_level(pipeline, "queue")
    queued = buffer_threads(queue.get_static_pad("src"))
    assert len(pull_frames(pipeline, 100, timeout=2)) == expected
    assert len(queued) == expected


# --- churn: the decoder's pads come and go ------------------------------------------------------


def test_every_rapid_build_delivers_frames(server, built):
    # The factory starts its source before the pipeline starts; the set-up must not be thrown
    # by that, nor by the pads the decoder drops and re-exposes meanwhile.
    factory = http_factory(server.url("/clip.mkv"), Recorder())
    stalled = []
    for i in range(300):
        pipeline = factory.build()
        try:
            if pipeline.appsink.try_pull_sample(5 * Gst.SECOND) is None:
                stalled.append(i)
        finally:
            pipeline.set_state(Gst.State.NULL)
            pipeline.release_resources()
    assert stalled == []


@pytest.mark.parametrize("path", ["/clip.mkv", "/live.mjpg"])
def test_a_restarted_pipeline_links_the_new_decoded_pad(server, built, path):
    recorder = Recorder()
    pipeline = built(http_factory(server.url(path), recorder))
    assert_red_frames(pull_frames(pipeline, 5), 5)
    for _ in range(3):
        # Down to READY the decoder removes its pads; back up it exposes new ones.
        pipeline.set_state(Gst.State.READY)
        assert pipeline.get_state(5 * Gst.SECOND)[0] == Gst.StateChangeReturn.SUCCESS
        pipeline.set_state(Gst.State.PLAYING)
        assert_red_frames(pull_frames(pipeline, 5), 5)
    assert recorder.completed == [pipeline]


def test_an_early_start_reports_only_before_the_pipeline_starts(server, built, main_loop):
    class Slow(HTTPPipelineFactory):
        def _set_up_decoder(self, *args):
            threading.Event().wait(0.05)  # a busy machine: the source pushes before it is linked
            super()._set_up_decoder(*args)

    recorder = Recorder()
    pipeline = built(Slow(url=server.url("/clip.mkv"), pipeline_watcher=recorder.watch,
                          on_complete=recorder.complete))  # fmt: skip
    assert_red_frames(pull_frames(pipeline, 60), 60)
    assert recorder.eos.wait(5) and recorder.errors == []
    early_errors = [m for m in recorder.early if m.type == Gst.MessageType.ERROR]
    assert [m.src.get_name() for m in early_errors] == [base.BUFFER_SRC_NAME]
    assert "not-linked" in early_errors[0].parse_error()[1]


@pytest.mark.parametrize("where", ["silent", "refused"])
def test_an_early_start_that_gets_no_answer_is_given_up(where, silent_server, built):
    # The early-started source is stopped once its first request is answered: a server that
    # never answers, or a port that refuses, must not hold the build up for ever.
    url = silent_server if where == "silent" else f"http://127.0.0.1:{streams.closed_port()}/"
    result = []
    builder = threading.Thread(target=lambda: result.append(built(http_factory(url, Recorder()))))
    builder.start()
    builder.join(15)
    assert not builder.is_alive() and len(result) == 1
    assert result[0].get_by_name(base.BUFFER_SRC_NAME).get_state(0)[1] != Gst.State.NULL


def test_a_source_without_a_pad_is_refused(pipelines):
    pipeline = pipelines()
    pipeline.appsink = pipeline.new_element("appsink")
    source = pipeline.new_element("fakesrc")
    factory = http_factory("http://127.0.0.1:9/", Recorder())
    with pytest.raises(StreamSetupError, match="'fakesrc.*' has no 'src' pad"):
        factory._set_up_decoder(source, None, pipeline)


def test_an_on_complete_that_raises_is_reported_on_the_bus(server, built):
    def complete(_pipeline):
        raise LookupError("no room")

    factory = HTTPPipelineFactory(url=server.url("/clip.mkv"), pipeline_watcher=Recorder().watch,
                                  on_complete=complete)  # fmt: skip
    pipeline = built(factory)
    with pytest.raises(StreamSetupError, match=r"on_complete failed: LookupError\('no room'\)"):
        pipeline.wait_until_playing(10)


# --- streams that fail --------------------------------------------------------------------------

# A refused connection: libsoup 2.4 says so; libsoup 3 only stops the source's streaming (and a
# typefind after it runs out of data), leaving the cause to its debug log and to a diagnosis.
REFUSED_BY_EITHER_LIBSOUP = (
    "Could not establish connection to server|Internal data stream error|Stream doesn't contain"
)
FAILURES = [
    # path, what the bus says (one of), the cause a reader makes of it
    ("/missing", "Not Found", "Not Found"),
    ("unreachable", REFUSED_BY_EITHER_LIBSOUP, "Could not establish connection to server."),
    ("/audio.wav", "The stream has no video: audio/x-raw", "The stream has no video: audio/x-raw"),
    ("/page.html", "missing a plug-in", "The URL served a web page (text/html), not a video"),
]


def failing_url(server, path):
    return f"http://127.0.0.1:{streams.closed_port()}/" if path == "unreachable" else server.url(path)


@pytest.mark.parametrize("path, text, _cause", FAILURES)
def test_a_failing_stream_ends_the_start_wait(server, built, path, text, _cause):
    pipeline = built(http_factory(failing_url(server, path), Recorder()))
    with pytest.raises(StreamSetupError, match=text):
        pipeline.wait_until_playing(10)


@pytest.mark.parametrize("path, text, cause", FAILURES + [("/truncated.mkv", "", "")])
def test_a_failing_stream_reaches_the_watcher(server, main_loop, path, text, cause):
    url = failing_url(server, path)
    recorder = Recorder(url)
    pipeline = http_factory(url, recorder).build()
    try:
        def failed():
            pipeline.appsink.try_pull_sample(0)  # take the frames there are, as a reader would
            return recorder.failed.is_set()

        assert wait_for(failed, 10), "no error reached the watcher"
        assert any(re.search(text, message) for message in recorder.errors), recorder.errors
        assert cause in recorder.evidence.cause(diagnose_within=5)
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()
    assert pipeline.get_state(0)[1] == Gst.State.NULL
    assert all(e.get_state(0)[1] == Gst.State.NULL for e in pipeline.iterate_recurse())
    assert pipeline.destructors == []
    # No streaming task is left: not the source's, not the decoder's queues'.
    pads = [pad for element in pipeline.iterate_recurse() for pad in element.pads]
    assert pads and all(pad.get_task_state() == Gst.TaskState.STOPPED for pad in pads)


def test_a_server_that_closes_mid_clip_delivers_the_frames_it_sent_then_an_error(server, built):
    pipeline = built(http_factory(server.url("/truncated.mkv"), Recorder()))
    pipeline.wait_until_playing(10)
    frames = pull_frames(pipeline, 100, timeout=2)
    assert 0 < len(frames) < 60
    assert_red_frames(frames, len(frames))
    message = pipeline.get_bus().timed_pop_filtered(5 * Gst.SECOND, Gst.MessageType.ERROR)
    assert message is not None and message.src.get_name() == base.BUFFER_SRC_NAME


def test_a_camera_that_hangs_up_ends_its_stream(server, built, main_loop):
    recorder = Recorder()
    pipeline = built(http_factory(server.url("/live.mjpg?frames=12"), recorder))
    frames = pull_frames(pipeline, 100, timeout=2)
    assert_red_frames(frames, 12)
    assert recorder.eos.wait(5)


# --- resources ----------------------------------------------------------------------------------


def test_build_play_stop_release_cycles_leave_nothing_behind(server):
    # Nothing may keep the pipelines (as a recording on_complete would).
    factory = HTTPPipelineFactory(url=server.url("/clip.mkv"), pipeline_watcher=Recorder().watch,
                                  on_complete=lambda pipeline: None)  # fmt: skip
    usage = []
    for _ in range(50):
        pipeline = factory.build()
        pipeline.wait_until_playing(10)
        assert len(pull_frames(pipeline, 10)) == 10
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(10)
        pipeline.release_resources()
        del pipeline
        usage.append(native_usage())
    threads, fds, rss = zip(*usage)
    # After the first few cycles (caches warm up) nothing grows. Streaming threads go back to
    # GLib's pool, which lets them go a moment later: give them that moment.
    assert wait_for(lambda: native_usage()[0] <= max(threads[:10]), 5), f"{threads}"
    assert max(fds[10:]) <= max(fds[:10]), f"{fds}"
    assert SANITIZED or rss[-1] - max(rss[:10]) < 4 * 1024, rss
