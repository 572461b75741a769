"""Streams cut short, and frames too large, through the HTTP factory with its guards on: the frames
that arrive, what the bus says and in which order; on libsoup 3 (what souphttpsrc prefers) and,
in a subprocess, on libsoup 2.4; then the stream reader as it is."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

import media
import streams
from plumo.errors import StreamReadError, StreamSetupError
from plumo.pipeline_factories import base
from plumo.pipeline_factories.guards import DEFAULT_MAX_FRAME_PIXELS, refuse_large_frames
from plumo.pipeline_factories.http import HTTPPipelineFactory
from plumo.stream_reader import StreamReader
from plumo.stream_reader import reader as reader_module
from plumo.utils.gstreamer import Gst, sample_to_ndarray

SOURCE = base.BUFFER_SRC_NAME


def read_to_end(url, *, detect_truncation=True, max_frame_pixels=None, max_frames=100):
    """Reads `url` with the HTTP factory until its appsink ends (or `max_frames`), then takes what
    the bus holds: ({"frames", "eos", "errors": [[element, text], ...] in order, "facts": the
    details of the first of plumo's errors}, frames). No main loop runs the factory's watch here,
    so every message waits on the bus."""
    factory = HTTPPipelineFactory(url=url, pipeline_watcher=lambda *_: True,
                                  on_complete=lambda _: None)  # fmt: skip
    factory.detect_truncation = detect_truncation
    factory.max_frame_pixels = max_frame_pixels
    pipeline = factory.build()
    frames = []
    try:
        while len(frames) < max_frames:
            sample = pipeline.appsink.try_pull_sample(10 * Gst.SECOND)
            if sample is None:
                break
            frames.append(sample_to_ndarray(sample))
        eos = pipeline.appsink.is_eos()
        errors, facts = [], {}
        while (message := pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)) is not None:
            errors.append([message.src.get_name(), message.parse_error()[0].message])
            details = message.parse_error_details()
            if not facts and details is not None and details.get_name().startswith("plumo-"):
                facts = {details.nth_field_name(i): details.get_value(details.nth_field_name(i))
                         for i in range(details.n_fields())}  # fmt: skip
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()
    return {"frames": len(frames), "eos": eos, "errors": errors, "facts": facts}, frames


# --- streams cut short, and their complete twins -------------------------------------------------


def camera_bytes(server, frames, extra=0):
    jpegs = server.clips["/jpegs"]
    return sum(len(streams.camera_part(jpegs[i % len(jpegs)])) for i in range(frames)) + extra


def cut_camera(server, frames=12, extra=0):
    received = camera_bytes(server, frames, extra)
    return (f"The camera's stream ended without its closing boundary after {frames} frames "
            f"({received} bytes)")  # fmt: skip


def cut_file(server):
    body = server.clips["/clip.mkv"]
    return f"The connection closed after {len(body) // 2} bytes of {len(body)}"


def cut_chunked(server):
    received = len(server.clips["/clip.mkv"]) // 2 + 100  # and the first 100 of the torn chunk
    return f"The connection closed after {received} bytes, before the body's last chunk"


def half_part(server):
    return len(streams.camera_part(server.clips["/jpegs"][12 % 10])) // 2


# (path, frames: a count or "some" for a part of the clip, the first error's text or None)
STREAM_ENDS = {
    "camera, closing delimiter": ("/camera.mjpg?frames=12&end=closing", 12, None),
    "camera, closed": ("/camera.mjpg?frames=12&end=close", 12, cut_camera),
    "camera, reset": ("/camera.mjpg?frames=12&end=reset", 12, cut_camera),
    "camera, closed mid-part": ("/live.mjpg?frames=12", 12,
                                lambda s: cut_camera(s, extra=half_part(s))),
    # A camera that answers the request for the rest with a new stream: none of it is spliced in.
    "camera, reset and resumed": ("/camera.mjpg?frames=12&end=resume", 12, cut_camera),
    "file, whole": ("/clip.mkv", 60, None),
    "file, closed": ("/truncated.mkv", "some", cut_file),
    "file, reset": ("/file.mkv?cut=reset", "some", cut_file),
    # A server that answers the request for the rest with the rest (206): the body is whole.
    "file, reset and resumed": ("/file.mkv?cut=resumable", 60, None),
    "chunked, whole": ("/chunked.mkv", 60, None),
    "chunked, closed mid-chunk": ("/chunked.mkv?cut=mid-chunk", "some", cut_chunked),
}  # fmt: skip


def check_stream_end(server, case, result):
    path, frames, cause = STREAM_ENDS[case]
    if frames == "some":
        assert 20 <= result["frames"] < 60, result
    else:
        assert result["frames"] == frames, result
    # The end always reaches the appsink, after every frame; a cause is the first error.
    assert result["eos"], result
    if cause is None:
        assert result["errors"] == [], result
    else:
        assert result["errors"] and result["errors"][0] == [SOURCE, cause(server)], result


@pytest.mark.parametrize("case", STREAM_ENDS)
def test_a_stream_cut_short_ends_with_its_cause_after_its_frames(server, case):
    result, frames = read_to_end(server.url(STREAM_ENDS[case][0]))
    check_stream_end(server, case, result)
    streams.assert_red_frames(frames, len(frames))


SOUP2_READER = """
import ctypes, json, sys
ctypes.CDLL("libsoup-2.4.so.1", mode=ctypes.RTLD_GLOBAL)  # before any souphttpsrc runs
sys.path.insert(0, {tests!r})
from test_stream_guards import read_to_end
results = {{case: read_to_end(url)[0] for case, url in json.loads(sys.argv[1]).items()}}
with open("/proc/self/maps") as maps:
    results["libsoup"] = sorted({{line.split("/")[-1].strip() for line in maps
                                  if "libsoup" in line}})
print(json.dumps(results))
"""


@pytest.fixture(scope="module")
def soup2_results(server):
    urls = {case: server.url(path) for case, (path, _, _) in STREAM_ENDS.items()}
    code = SOUP2_READER.format(tests=str(Path(__file__).parent))
    done = subprocess.run([sys.executable, "-c", code, json.dumps(urls)], capture_output=True,
                          text=True, timeout=120)  # fmt: skip
    assert done.returncode == 0, done.stderr
    results = json.loads(done.stdout)
    assert [name for name in results["libsoup"] if name.startswith("libsoup-3")] == [], results
    return results


@pytest.mark.parametrize("case", STREAM_ENDS)
def test_a_stream_cut_short_on_libsoup_2_4(server, soup2_results, case):
    check_stream_end(server, case, soup2_results[case])


@pytest.mark.parametrize(
    "path, facts",
    [("/file.mkv?cut=reset", {"bytes": "half", "length": "whole"}),
     ("/camera.mjpg?frames=3&end=close", {"bytes": "parts", "frames": 3})],
)  # fmt: skip
def test_the_error_of_a_cut_stream_carries_its_facts(server, path, facts):
    # The answer's status among them, as souphttpsrc gives its own errors theirs: a reader's
    # account of the failure goes by it.
    size = len(server.clips["/clip.mkv"])
    values = {"half": size // 2, "whole": size, "parts": camera_bytes(server, 3)}
    result, _ = read_to_end(server.url(path))
    expected = {name: values.get(value, value) for name, value in facts.items()}
    assert result["facts"] == {"http-status-code": 200, **expected}, result


def test_a_camera_is_asked_for_the_rest_of_its_stream_once(server, stopped_at_end):
    # souphttpsrc asks again after an answer that breaks off before its first byte, as often as
    # its retries let it (3 more times): a camera's stream cannot be resumed, and is asked once.
    path = "/camera.mjpg?frames=3&end=flaky"
    factory = HTTPPipelineFactory(url=server.url(path), pipeline_watcher=lambda *_: True,
                                  on_complete=lambda _: None)  # fmt: skip
    factory.detect_truncation = True
    stopped_at_end.append(factory.build())
    texts = []
    bus = stopped_at_end[-1].get_bus()
    # Until the source gives up (its streaming thread's error): every request it makes is made.
    while (message := bus.timed_pop_filtered(10 * Gst.SECOND, Gst.MessageType.ERROR)) is not None:
        texts.append(message.parse_error()[0].message)
        if texts[-1] == "Internal data stream error.":
            break
    assert texts == [cut_camera(server, frames=3), "Internal data stream error."]
    asked_for_the_rest = [headers for requested, headers in server.request_headers
                          if requested == path and "Range" in headers]  # fmt: skip
    assert len(asked_for_the_rest) == 1


@pytest.mark.xfail(strict=True, reason="libsoup (3.2 and 2.74, Debian 12) reads a chunked body "
                   "that stops between two chunks as complete: nothing of it reaches GStreamer")
def test_a_chunked_body_cut_between_chunks(server):
    result, _ = read_to_end(server.url("/chunked.mkv?cut=between-chunks"))
    assert result["errors"], result


def test_a_cut_short_stream_reports_by_default_as_before(server):
    # A factory built by users is left as it was: the camera's end looks complete.
    result, _ = read_to_end(server.url("/camera.mjpg?frames=3&end=close"), detect_truncation=False)
    assert (result["frames"], result["eos"], result["errors"]) == (3, True, []), result


# --- frames too large ---------------------------------------------------------------------------

SMALL = streams.WIDTH * streams.HEIGHT
TOO_SMALL_TEXT = f"320x240 frames exceed max_frame_pixels ({SMALL - 1} pixels)"


@pytest.mark.parametrize("path", ["/clip.mkv", "/live.mjpg", "/mpeg4.mkv"])
@pytest.mark.parametrize("limit", [SMALL - 1, SMALL])
def test_frames_above_the_limit_end_the_stream_with_their_size(server, path, limit):
    result, frames = read_to_end(server.url(path), max_frame_pixels=limit, max_frames=10)
    if limit < SMALL:
        # Refused as the decoder announces them: not one reaches the appsink, which ends.
        assert (result["frames"], result["eos"]) == (0, True), result
        [[element, text]] = result["errors"]
        assert text == TOO_SMALL_TEXT and element != SOURCE
        assert result["facts"] == {"width": 320, "height": 240, "max": SMALL - 1}
    else:
        assert result["errors"] == []
        streams.assert_red_frames(frames, 10)


def test_frames_that_grow_beyond_the_limit_end_the_stream_after_the_smaller_ones(pipelines):
    # What a reader puts on the appsink of a pipeline of the user's own.
    pipeline = pipelines(
        "concat name=c ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink sync=false"
        " videotestsrc num-buffers=3 ! video/x-raw,width=160,height=120 ! c."
        " videotestsrc num-buffers=3 ! video/x-raw,width=320,height=240 ! c."
    )
    appsink = pipeline.get_by_name("sink")
    refuse_large_frames(pipeline, appsink.get_static_pad("sink"), 160 * 120)
    pipeline.set_state(Gst.State.PLAYING)
    sizes = []
    while (sample := appsink.try_pull_sample(5 * Gst.SECOND)) is not None:
        sizes.append(sample_to_ndarray(sample).shape)
    assert sizes == [(120, 160, 3)] * 3 and appsink.is_eos()
    errors = []
    while (message := pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)) is not None:
        errors.append((message.src.get_name(), message.parse_error()[0].message))
    assert errors == [("sink", "320x240 frames exceed max_frame_pixels (19200 pixels)")]


@pytest.mark.parametrize(
    "name, value, error",
    [("detect_truncation", 1, TypeError), ("detect_truncation", None, TypeError),
     ("native_frames", "yes", TypeError),
     ("max_frame_pixels", "big", TypeError), ("max_frame_pixels", 2.5, TypeError),
     ("max_frame_pixels", True, TypeError), ("max_frame_pixels", 0, ValueError),
     ("max_frame_pixels", -1, ValueError)],
)  # fmt: skip
def test_the_guards_options_are_checked(name, value, error, pipelines):
    factory = HTTPPipelineFactory(url="http://127.0.0.1:9/", pipeline_watcher=lambda *_: True,
                                  on_complete=lambda _: None)  # fmt: skip
    default = getattr(factory, name)
    with pytest.raises(error, match=name):
        setattr(factory, name, value)
    assert getattr(factory, name) == default
    if name == "max_frame_pixels":
        pipeline = pipelines("fakesrc ! fakesink name=sink")
        with pytest.raises(error, match=name):
            sink_pad = pipeline.get_by_name("sink").get_static_pad("sink")
            refuse_large_frames(pipeline, sink_pad, value)


HUGE_READER = """
import json, sys
sys.path.insert(0, {tests!r})
from test_stream_guards import read_to_end
result, _ = read_to_end(sys.argv[1], max_frame_pixels=int(sys.argv[2]))
# The peak of this process's own memory. Not getrusage's ru_maxrss, which carries over the peak
# of the process that started this one (Linux keeps it across the exec).
with open("/proc/self/status") as status:
    peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
result["max_rss_mib"] = peak_kib / 1024
print(json.dumps(result))
"""


def test_a_camera_of_16000x16000_frames_is_refused_within_700_mib(server):
    # Read to the end, the same stream takes about 3.4 GB (bench/bench_frame_limit.py).
    code = HUGE_READER.format(tests=str(Path(__file__).parent))
    url = server.url("/huge.mjpg?frames=3")
    done = subprocess.run([sys.executable, "-c", code, url, str(DEFAULT_MAX_FRAME_PIXELS)],
                          capture_output=True, text=True, timeout=120)  # fmt: skip
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result["errors"] == [["jpegdec0", "16000x16000 frames exceed max_frame_pixels "
                                             "(67108864 pixels)"]], result  # fmt: skip
    assert result["frames"] == 0 and result["eos"], result
    # AddressSanitizer's shadow memory and quarantine come on top (scripts/sanitize.sh); a
    # decoded frame would still be 730 MiB more.
    assert result["max_rss_mib"] < (1000 if streams.SANITIZED else 700), result


# --- the stream reader, as it is -----------------------------------------------------------------


@pytest.fixture
def no_sysboot(monkeypatch, main_loop):
    # The library start-up would leave its main loop running in this process for good; the
    # main_loop fixture dispatches the reader's bus watch meanwhile.
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))


# What a cut stream gives through the reader: every frame that reached the factory's appsink (a
# file's are still on their way when the error comes), then its cause.
READER_CASES = {
    "/camera.mjpg?frames=12&end=reset": cut_camera,
    "/truncated.mkv": cut_file,
    "/chunked.mkv?cut=mid-chunk": cut_chunked,
}


@pytest.fixture(scope="module")
def arrivals(server):
    """The factory's reading of each case, before any main loop runs (it would take the messages
    off the bus)."""
    return {path: read_to_end(server.url(path))[0] for path in READER_CASES}


@pytest.mark.parametrize("path", READER_CASES)
def test_the_reader_gives_a_cut_streams_frames_then_its_cause(server, arrivals, no_sysboot, path):
    url = server.url(path)
    reader = StreamReader(url)
    frames = []
    with reader, pytest.raises(StreamReadError) as excinfo:
        for frame in reader:
            frames.append(frame)
    streams.assert_red_frames(frames, arrivals[path]["frames"])
    assert str(excinfo.value) == f"Error reading '{url}': {READER_CASES[path](server)}"


# --- a seek is not a cut -------------------------------------------------------------------------


@pytest.mark.parametrize("clip", ["theora.ogg", media.LARGE_INDEX_LAST.name])
def test_a_server_that_ignores_range_requests_serves_a_stream_whole(
    clip_files, file_servers, reader_loop, clip
):
    # Python's http.server answers a request for the rest of a file with all of it. Demuxers
    # that seek (Ogg to its end for the duration and back, MP4 past its frames to its index and
    # back) must do without: the server never said it takes Range requests.
    stream = clip_files.stream(clip)
    with StreamReader(file_servers["http-no-range"].url(clip)) as reader:
        frames = list(iter(reader.read_frame, None))
    assert len(frames) == len(stream.timestamps)


def test_a_seek_the_server_answers_with_the_whole_file_fails_with_its_own_cause(
    clip_files, file_servers, reader_loop
):
    # The server says it takes Range requests, and does not: the demuxer's seek fails, which is
    # no stream cut short.
    clip_files.path(media.LARGE_INDEX_LAST.name)
    url = file_servers["http-false-range"].url(media.LARGE_INDEX_LAST.name)
    with pytest.raises(StreamSetupError) as excinfo:
        StreamReader(url).open()
    assert str(excinfo.value) == f"Cannot open '{url}': Server does not support seeking."
