"""Hostile input to the frame path: samples whose video meta, caps or sizes lie, arguments that
run Python code mid-call, waits and names at the edges of their types. None may write or read
past what it was given, leak a mapping, or be taken for something it is not; the random samples
of frame_fuzz.py run in a child process, where any GStreamer-CRITICAL is fatal."""

import json
import os
import subprocess
import sys
import threading
from pathlib import Path

import gi
import numpy as np
import pytest

from plumo.utils.gstreamer import (FrameBell, Gst, SampleConversionError, convert_sample,
                                   pull_frame)  # fmt: skip

gi.require_version("GstVideo", "1.0")
from gi.repository import GLib, GstVideo  # noqa: E402

HERE = Path(__file__).parent


def exact_buffer(data: bytes) -> Gst.Buffer:
    """A buffer of exactly these bytes: new_wrapped rounds memory up, which hides over-reads."""
    return Gst.Buffer.new_wrapped_bytes(GLib.Bytes.new(data))


def sample(buffer, caps_text):
    return Gst.Sample.new(buffer, Gst.Caps.from_string(caps_text), None, None)


def i420_meta(buffer, width, height, fmt=GstVideo.VideoFormat.I420, planes=3):
    """A video meta of a tightly packed I420 (or other 3-plane) frame of this size."""
    chroma = (width + 1) // 2
    offsets = [0, width * height, width * height + chroma * ((height + 1) // 2), 0]
    strides = [width, chroma, chroma, 0]
    GstVideo.buffer_add_video_meta_full(buffer, GstVideo.VideoFrameFlags.NONE, fmt, width, height,
                                        planes, offsets, strides)  # fmt: skip
    return buffer


@pytest.mark.parametrize("pixel_format", ["bgr", "rgb", "gray"])
@pytest.mark.parametrize(
    "meta_size, meta_format, caps_size, said",
    [
        # A meta far larger than the caps' frame: mapping takes its size, and the conversion
        # wrote a 64x64 frame into an array made for 2x2.
        ((64, 64), GstVideo.VideoFormat.I420, (2, 2), "64x64 I420 in 3 planes"),
        ((8, 8), GstVideo.VideoFormat.I420, (8, 6), "8x8 I420 in 3 planes"),
        ((4, 4), GstVideo.VideoFormat.I420, (8, 8), "4x4 I420 in 3 planes"),
        ((8, 8), GstVideo.VideoFormat.Y444, (8, 8), "8x8 Y444 in 3 planes"),
    ],
)  # fmt: skip
def test_a_video_meta_that_disagrees_with_the_caps_is_refused(
    meta_size, meta_format, caps_size, said, pixel_format
):
    width, height = meta_size
    buffer = i420_meta(exact_buffer(bytes(width * height * 3)), width, height, meta_format)
    caps = f"video/x-raw,format=I420,width={caps_size[0]},height={caps_size[1]}"
    with pytest.raises(SampleConversionError) as raised:
        convert_sample(sample(buffer, caps), pixel_format)
    message = str(raised.value)
    assert said in message and f"its caps a {caps_size[0]}x{caps_size[1]} I420 frame" in message


def test_a_meta_that_agrees_with_the_caps_converts_as_the_plain_layout():
    rng = np.random.default_rng(5)
    data = rng.integers(16, 236, 8 * 6 + 2 * 4 * 3, dtype=np.uint8).tobytes()
    caps = "video/x-raw,format=I420,width=8,height=6"
    plain = convert_sample(sample(exact_buffer(data), caps))
    through_meta = convert_sample(sample(i420_meta(exact_buffer(data), 8, 6), caps))
    assert (plain == through_meta).all()


def test_a_frame_too_wide_for_the_converter_is_refused_without_touching_its_buffer():
    # Caps accept it; its rows of BGR are longer than an int counts. The buffer is the frame's
    # full size and never written, so its pages cost nothing unless something reads them.
    width = 1431655680
    buffer = Gst.Buffer.new_allocate(None, width * 3 // 2 + 2, None)
    caps = f"video/x-raw,format=I420,width={width},height=1,colorimetry=bt709"
    held = sample(buffer, caps)
    references = buffer.mini_object.refcount
    for pixel_format in ("bgr", "gray"):
        with pytest.raises(SampleConversionError, match="too large to convert"):
            convert_sample(held, pixel_format)
    assert buffer.mini_object.refcount == references  # no reference or mapping kept


@pytest.mark.parametrize("colorimetry", ["-1:-1:-1:-1", "255:255:255:255", "0:99:0:0"])
def test_colorimetry_numbers_outside_their_enums_count_as_unknown(colorimetry):
    data = np.random.default_rng(1).integers(16, 236, 16 * 16 * 3 // 2, dtype=np.uint8).tobytes()
    caps = "video/x-raw,format=I420,width=16,height=16"
    unknown = convert_sample(sample(exact_buffer(data), caps))
    garbled = convert_sample(sample(exact_buffer(data), f"{caps},colorimetry={colorimetry}"))
    assert (unknown == garbled).all()


@pytest.mark.parametrize("name", ["bgr\0junk", "rgb\0", "\0gray"])
def test_a_pixel_format_with_a_nul_is_no_pixel_format(name):
    caps = "video/x-raw,format=BGR,width=2,height=2"
    with pytest.raises(ValueError, match="pixel_format must be"):
        convert_sample(sample(exact_buffer(bytes(12)), caps), name)


def test_a_timeout_too_long_for_the_clock_waits_for_the_frame(pipelines):
    p = pipelines("appsrc name=src format=time ! appsink name=sink sync=false")
    src, sink = p.get_by_name("src"), p.get_by_name("sink")
    p.set_state(Gst.State.PLAYING)
    caps = Gst.Caps.from_string("video/x-raw,format=BGR,width=4,height=1")
    timer = threading.Timer(0.3, lambda: src.push_sample(Gst.Sample.new(
        exact_buffer(bytes(range(12))), caps, None, None)))  # fmt: skip
    timer.start()
    try:
        pulled = pull_frame(sink, 1e300)  # once returned None at once: the clock's time overflowed
    finally:
        timer.join()
    assert pulled is not None and pulled[0].tobytes() == bytes(range(12))


class ReplacesState:
    """A key whose conversion replaces the bell's state, as any Python code given as an argument
    may."""

    def __init__(self, bell, replacement):
        self.bell, self.replacement = bell, replacement

    def __index__(self):
        self.bell._bell = self.replacement
        return 0


def test_a_key_that_replaces_the_bells_state_never_reaches_freed_state():
    bell = FrameBell()
    with pytest.raises(TypeError, match="FrameBell has no state"):
        bell.ring(ReplacesState(bell, None))
    # With another bell's state in its place, the ring goes to that state.
    other = FrameBell()
    bell.ring(ReplacesState(bell, other._bell))
    assert other.wait(0.0) == [0]


def test_a_watch_whose_key_replaces_the_state_keeps_the_state_it_took(pipelines):
    bell, other = FrameBell(), FrameBell()
    p = pipelines("videotestsrc num-buffers=3 ! video/x-raw,width=8,height=8 "
                  "! appsink name=sink sync=false")  # fmt: skip
    bell.watch(p.get_by_name("sink"), ReplacesState(bell, other._bell))
    p.set_state(Gst.State.PLAYING)
    assert other.wait(10.0) == [0]


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_samples_convert_or_are_refused_and_nothing_else(seed):
    env = {**os.environ, "G_DEBUG": "fatal-criticals"}
    done = subprocess.run([sys.executable, str(HERE / "frame_fuzz.py"), str(seed), "3000"],
                          capture_output=True, text=True, timeout=600, env=env)  # fmt: skip
    assert done.returncode == 0, done.stderr[-3000:]
    summary = json.loads(done.stdout.strip().splitlines()[-1])
    # Every kind of sample was made, and both outcomes seen.
    assert summary["converted"] > 1000 and summary["refused"] > 500
    assert summary["same_through_meta"] > 500 and summary["pulled"] > 50
