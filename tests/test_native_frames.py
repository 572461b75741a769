"""The native frame path: the decoder's own YUV pictures (and BGR) into BGR, RGB or gray arrays,
checked against the exact conversion formulas, for every layout, matrix and range it takes;
layouts from the video meta; pictures it must refuse; and pulling with the GIL released."""

import threading

import gi
import numpy as np
import pytest

from plumo.utils.gstreamer import (Gst, SampleConversionError, SampleSizeError, convert_sample,
                                   pull_frame)  # fmt: skip

gi.require_version("GstVideo", "1.0")
from gi.repository import GstVideo  # noqa: E402

from media import MATRICES, exact_bgr  # noqa: E402

FULL, LIMITED = 1, 2
# Chroma subsampling (horizontal, vertical) of each layout the converter takes.
SUBSAMPLING = {"I420": (2, 2), "YV12": (2, 2), "NV12": (2, 2), "NV21": (2, 2), "Y42B": (2, 1),
               "Y444": (1, 1)}  # fmt: skip


def exact_gray(y, full):
    return y.astype(np.float64) if full else np.clip(np.rint((y - 16.0) * 255 / 219), 0, 255)


def random_planes(fmt, width, height, full, seed=0):
    """Luma at full size and chroma at the layout's size, over the range's legal values."""
    rng = np.random.default_rng(seed)
    sx, sy = SUBSAMPLING[fmt]
    low, top_y, top_c = (0, 255, 255) if full else (16, 235, 240)
    cw, ch = -(-width // sx), -(-height // sy)
    y = rng.integers(low, top_y + 1, (height, width), dtype=np.uint8)
    u = rng.integers(low, top_c + 1, (ch, cw), dtype=np.uint8)
    v = rng.integers(low, top_c + 1, (ch, cw), dtype=np.uint8)
    return y, u, v


def upsampled(fmt, plane, width, height):
    """Chroma as the converter samples it: each value for the pixels it covers."""
    sx, sy = SUBSAMPLING[fmt]
    return np.repeat(np.repeat(plane, sy, axis=0), sx, axis=1)[:height, :width]


def caps_for(fmt, width, height, colorimetry=None, extra=""):
    text = f"video/x-raw,format={fmt},width={width},height={height},framerate=0/1{extra}"
    if colorimetry is not None:
        text += f",colorimetry={colorimetry}"
    return Gst.Caps.from_string(text)


def plane_rows(fmt, y, u, v):
    """The rows each plane holds, in the layout's plane order."""
    if fmt in ("NV12", "NV21"):
        first, second = (u, v) if fmt == "NV12" else (v, u)
        interleaved = np.stack([first, second], axis=-1).reshape(first.shape[0], -1)
        return [y, interleaved]
    return [y, v, u] if fmt == "YV12" else [y, u, v]


def packed(fmt, y, u, v, caps):
    """The planes laid out as GStreamer lays out this format by default (rows padded to 4)."""
    info = GstVideo.VideoInfo.new_from_caps(caps)
    data = bytearray(info.size)
    for rows, offset, stride in zip(plane_rows(fmt, y, u, v), info.offset, info.stride):
        for index, row in enumerate(rows):
            start = offset + index * stride
            data[start:start + row.size] = row.tobytes()
    return bytes(data)


def yuv_sample(fmt, y, u, v, colorimetry=None, extra=""):
    height, width = y.shape
    caps = caps_for(fmt, width, height, colorimetry, extra)
    return Gst.Sample.new(Gst.Buffer.new_wrapped(packed(fmt, y, u, v, caps)), caps, None, None)


def assert_close(image, reference, mean=1.0, worst=3):
    difference = np.abs(image.astype(np.float64) - reference)
    assert difference.mean() <= mean and difference.max() <= worst, (
        difference.mean(), difference.max())


# --- colour ------------------------------------------------------------------------------------


@pytest.mark.parametrize("full", [False, True], ids=["limited", "full"])
@pytest.mark.parametrize("matrix", list(MATRICES))
@pytest.mark.parametrize("fmt", list(SUBSAMPLING))
def test_every_layout_matrix_and_range_converts_by_the_formula(fmt, matrix, full):
    # An odd size: rows padded to 4 bytes, and the last column and row share their chroma with
    # nobody.
    y, u, v = random_planes(fmt, 321, 241, full)
    sample = yuv_sample(fmt, y, u, v, f"{FULL if full else LIMITED}:{MATRICES[matrix][2]}:0:0")
    reference = exact_bgr(y, upsampled(fmt, u, 321, 241), upsampled(fmt, v, 321, 241), matrix,
                          full)  # fmt: skip

    bgr, rgb, gray = (convert_sample(sample, pixel) for pixel in ("bgr", "rgb", "gray"))
    assert bgr.shape == rgb.shape == (241, 321, 3) and gray.shape == (241, 321)
    assert_close(bgr, reference)
    assert np.array_equal(rgb, bgr[..., ::-1])
    assert_close(gray, exact_gray(y, full), mean=0.5, worst=1)


def test_every_legal_value_of_the_worst_tables_is_within_the_target():
    # BT.709 and BT.2020 in limited range, every Y and a dense grid of U and V: the values whose
    # blue came out up to 13 and 16 too dark through the library's own limited-range tables.
    y, u, v = np.meshgrid(np.arange(16, 236), np.arange(16, 241, 3), np.arange(16, 241, 3),
                          indexing="ij")  # fmt: skip
    y, u, v = (plane.reshape(220, -1).astype(np.uint8) for plane in (y, u, v))
    for matrix in ("bt709", "bt2020"):
        sample = yuv_sample("Y444", y, u, v, f"{LIMITED}:{MATRICES[matrix][2]}:0:0")
        assert_close(convert_sample(sample), exact_bgr(y, u, v, matrix, False), mean=0.5)


@pytest.mark.parametrize("height, colorimetry, matrix, full", [
    (480, None, "bt601", False),  # caps that say nothing: GStreamer's defaults by size
    (720, None, "bt709", False),
    (720, "1:0:0:0", "bt709", True),  # full range, matrix unknown: the range is kept
    (480, "1:0:0:0", "bt601", True),
    (720, "2:4:0:0", "bt601", False),  # what the caps say wins over the size
])  # fmt: skip
def test_what_the_caps_leave_unknown_is_filled_in_by_size(height, colorimetry, matrix, full):
    y, u, v = random_planes("I420", 64, height, full, seed=height)
    sample = yuv_sample("I420", y, u, v, colorimetry)
    reference = exact_bgr(y, upsampled("I420", u, 64, height), upsampled("I420", v, 64, height),
                          matrix, full)  # fmt: skip
    assert_close(convert_sample(sample), reference)


def test_bgr_samples_are_copied_swapped_or_turned_to_luma():
    rng = np.random.default_rng(3)
    bgr = rng.integers(0, 256, (7, 5, 3), dtype=np.uint8)
    caps = caps_for("BGR", 5, 7)
    info = GstVideo.VideoInfo.new_from_caps(caps)
    data = bytearray(info.size)  # rows of 15 bytes, padded to 16
    for row in range(7):
        data[row * info.stride[0]:row * info.stride[0] + 15] = bgr[row].tobytes()
    sample = Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(data)), caps, None, None)

    assert np.array_equal(convert_sample(sample), bgr)
    assert np.array_equal(convert_sample(sample, "rgb"), bgr[..., ::-1])
    b, g, r = (bgr[..., i].astype(np.float64) for i in range(3))
    assert_close(convert_sample(sample, "gray"), np.rint(0.299 * r + 0.587 * g + 0.114 * b),
                 mean=0.5, worst=1)  # fmt: skip


# --- layouts and the frame's memory ------------------------------------------------------------


def video_meta_sample(y, u, v, colorimetry):
    """A 21x11 I420 sample laid out by its video meta: chroma first, then luma, each row padded
    differently from the default layout."""
    strides = [40, 24, 16, 0]
    offsets = [24 * 6 + 16 * 6, 0, 24 * 6, 0]
    data = bytearray(offsets[0] + 40 * 11)
    for plane, offset, stride in zip((y, u, v), offsets, strides):
        for index, row in enumerate(plane):
            data[offset + index * stride:offset + index * stride + row.size] = row.tobytes()
    buffer = Gst.Buffer.new_wrapped(bytes(data))
    GstVideo.buffer_add_video_meta_full(buffer, GstVideo.VideoFrameFlags.NONE,
                                        GstVideo.VideoFormat.I420, 21, 11, 3, offsets, strides)
    return Gst.Sample.new(buffer, caps_for("I420", 21, 11, colorimetry), None, None)


def test_planes_are_found_through_the_video_meta():
    y, u, v = random_planes("I420", 21, 11, full=False, seed=5)
    sample = video_meta_sample(y, u, v, "2:4:0:0")
    reference = exact_bgr(y, upsampled("I420", u, 21, 11), upsampled("I420", v, 21, 11), "bt601",
                          False)  # fmt: skip
    assert_close(convert_sample(sample), reference)


def test_a_video_meta_that_reaches_past_the_buffer_is_refused():
    buffer = Gst.Buffer.new_wrapped(bytes(32 * 16 + 2 * 16 * 8))
    # The V plane's rows run 64 bytes past the end.
    GstVideo.buffer_add_video_meta_full(buffer, GstVideo.VideoFrameFlags.NONE,
                                        GstVideo.VideoFormat.I420, 32, 16, 3,
                                        [0, 512, 640, 0], [32, 16, 24, 0])  # fmt: skip
    sample = Gst.Sample.new(buffer, caps_for("I420", 32, 16), None, None)
    with pytest.raises(SampleSizeError, match="reach past its buffer"):
        convert_sample(sample)


@pytest.mark.parametrize("fmt", ["I420", "NV12", "Y444", "BGR"])
def test_a_buffer_shorter_than_its_frame_is_refused(fmt):
    caps = caps_for(fmt, 321, 241)
    size = GstVideo.VideoInfo.new_from_caps(caps).size
    sample = Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(size - 1)), caps, None, None)
    with pytest.raises(SampleSizeError, match=f"holds {size - 1} bytes; a 321x241 {fmt} frame "
                                              f"needs {size}"):  # fmt: skip
        convert_sample(sample)
    with pytest.raises(TypeError):  # what numpy raised for short buffers
        convert_sample(sample)


@pytest.mark.parametrize("caps, message", [
    (caps_for("RGBx", 8, 8), "unsupported color format: RGBx"),
    (caps_for("I420_10LE", 8, 8), "unsupported color format: I420_10LE"),
    (caps_for("I420", 8, 8, extra=",interlace-mode=interleaved"), "interlaced"),
    (Gst.Caps.from_string("audio/x-raw,format=S16LE,rate=8000,channels=1,layout=interleaved"),
     "not raw video"),
])  # fmt: skip
def test_pictures_the_converter_does_not_take_are_refused(caps, message):
    sample = Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(4096)), caps, None, None)
    with pytest.raises(SampleConversionError, match=message):
        convert_sample(sample)


def test_the_frame_owns_its_memory_and_is_read_only():
    y, u, v = random_planes("NV12", 16, 8, full=True)
    data = bytearray(packed("NV12", y, u, v, caps_for("NV12", 16, 8)))
    buffer = Gst.Buffer.new_wrapped(bytes(data))
    sample = Gst.Sample.new(buffer, caps_for("NV12", 16, 8, "1:4:0:0"), None, None)
    frame = convert_sample(sample)
    assert frame.base is None and frame.flags.owndata and not frame.flags.writeable
    del sample, buffer  # the pixels outlive the buffer
    again = exact_bgr(y, upsampled("NV12", u, 16, 8), upsampled("NV12", v, 16, 8), "bt601", True)
    assert_close(frame, again)


def test_frames_made_in_memory_earlier_frames_left_are_whole_and_apart():
    # Frames' memory is kept for the next frames of the same size once their arrays go: a frame
    # must never show another's pixels, nor share memory with one still alive.
    samples = []
    for seed, (width, height) in enumerate([(16, 8), (64, 48), (16, 8), (30, 20)]):
        y, u, v = random_planes("I420", width, height, full=True, seed=seed)
        data = packed("I420", y, u, v, caps_for("I420", width, height))
        caps = caps_for("I420", width, height, "1:4:0:0")
        samples.append(Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(data)), caps, None, None))
    forms = [("bgr", None), ("gray", None), ("rgb", (10, 6))]
    reference = {(i, form): np.array(convert_sample(sample, *form))
                 for i, sample in enumerate(samples) for form in forms}  # fmt: skip
    alive = []
    for _ in range(6):
        for (i, form), expected in reference.items():
            frame = convert_sample(samples[i], *form)
            assert np.array_equal(frame, expected) and frame.flags.owndata and frame.base is None
            alive.append((frame, expected))
        alive = alive[::3]  # the rest go, and their memory to the next frames
    for frame, expected in alive:
        assert np.array_equal(frame, expected)
    frames = [frame for frame, _ in alive]
    assert not any(np.shares_memory(a, b) for n, a in enumerate(frames) for b in frames[n + 1 :])
    # The frames' allocator is numpy's only while a frame is made.
    assert np.core.multiarray.get_handler_name() == np.core.multiarray.get_handler_name(np.ones(3))
    assert np.core.multiarray.get_handler_name() != np.core.multiarray.get_handler_name(frames[0])


@pytest.mark.parametrize("call, error, message", [
    (lambda s: convert_sample(s, "bgra"), ValueError, "'bgr', 'rgb' or 'gray', not 'bgra'"),
    (lambda s: convert_sample(s, None), ValueError, "not None"),
    (lambda s: convert_sample(s, b"bgr"), TypeError, "expected str, got bytes"),
    (lambda s: convert_sample(s.get_buffer()), TypeError, "must be a Gst.Sample, not"),
])  # fmt: skip
def test_bad_arguments(call, error, message):
    y, u, v = random_planes("I420", 4, 4, full=False)
    with pytest.raises(error, match=message):
        call(yuv_sample("I420", y, u, v))


# --- pulling -----------------------------------------------------------------------------------


@pytest.fixture
def source(pipelines):
    pipeline = pipelines(
        "appsrc name=src format=time caps=video/x-raw,format=I420,width=64,height=48,"
        "framerate=25/1,colorimetry=bt601 ! appsink name=sink sync=false"
    )
    pipeline.set_state(Gst.State.PLAYING)
    return pipeline.get_by_name("src"), pipeline.get_by_name("sink")


def test_pull_frame_returns_frames_with_their_times_then_none_at_the_end(source):
    src, sink = source
    y, u, v = random_planes("I420", 64, 48, full=False)
    data = packed("I420", y, u, v, caps_for("I420", 64, 48))
    for pts in (0, 40 * Gst.MSECOND, None):
        buffer = Gst.Buffer.new_wrapped(data)
        buffer.pts = Gst.CLOCK_TIME_NONE if pts is None else pts
        src.emit("push-buffer", buffer)
    src.emit("end-of-stream")
    reference = exact_bgr(y, upsampled("I420", u, 64, 48), upsampled("I420", v, 64, 48), "bt601",
                          False)  # fmt: skip
    pulled = [pull_frame(sink, 5.0, "bgr") for _ in range(3)]
    assert [pts for _, pts in pulled] == [0.0, 0.04, None]
    for image, _ in pulled:
        assert_close(image, reference)
    assert pull_frame(sink, 0.1) is None and sink.is_eos()


def test_pull_frame_lets_other_threads_run_while_it_waits(source):
    _, sink = source
    ticks = []
    waiting = threading.Event()
    done = threading.Event()

    def other_thread():
        waiting.wait(5)
        while not done.is_set() and len(ticks) < 1000:
            ticks.append(1)
            done.wait(0.001)

    thread = threading.Thread(target=other_thread)
    thread.start()
    waiting.set()
    # Nothing is pushed: the wait runs to its end, and the other thread ticks meanwhile. With
    # the GIL held for the wait, it could not tick once.
    assert pull_frame(sink, 0.5) is None
    ticked = len(ticks)
    done.set()
    thread.join(5)
    assert ticked > 0


@pytest.mark.parametrize("appsink, timeout, error", [
    (None, 1.0, TypeError),
    ("sink", -1.0, ValueError),
    ("sink", float("nan"), ValueError),
    ("sink", "1", TypeError),
])  # fmt: skip
def test_pull_frame_refuses_bad_arguments(source, appsink, timeout, error):
    _, sink = source
    with pytest.raises(error):
        pull_frame(sink if appsink == "sink" else appsink, timeout)
