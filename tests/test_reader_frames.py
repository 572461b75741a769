"""The reader's frames through the native frame path, end to end over HTTP: colour on natural
pictures against the exact formula, every pixel format, the decoder's own layouts and those that
still go through the converter, timestamps (variable frame rates too) and `Frame` objects."""

import dataclasses
import os
import pathlib

import gi
import numpy as np
import pytest

import streams
from plumo.errors import InvalidRuntimeOptionError
from plumo.stream_reader import Frame, StreamReader
from plumo.stream_reader import reader as reader_module
from plumo.utils.gstreamer import Gst, convert_sample, offer_video_meta

gi.require_version("GstVideo", "1.0")
from gi.repository import GstVideo  # noqa: E402

from test_frame_scaling import resized  # noqa: E402
from test_native_frames import assert_close, exact_bgr, exact_gray  # noqa: E402

# The real clip lives in shared/media/, beside the repository's work tree (and beside CI's clone
# of it); PLUMO_MEDIA names another folder that holds it.
NATURAL_CLIP = next(
    (path for path in (
        pathlib.Path(os.environ.get("PLUMO_MEDIA", "/nonexistent")) / "bigbuckbunny.mp4",
        pathlib.Path(__file__).resolve().parents[2] / "shared" / "media" / "bigbuckbunny.mp4",
        pathlib.Path("/work/shared/media/bigbuckbunny.mp4"),
    ) if path.is_file()),
    None,
)  # fmt: skip


@pytest.fixture(autouse=True)
def sysboot_starts(monkeypatch, main_loop):
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))


def decoded(url, video_meta=False):
    """The decoder's own samples of a stream, as a plain pipeline receives them; with
    `video_meta`, where the appsink says it takes buffers with a video meta."""
    pipeline = Gst.parse_launch(
        f"souphttpsrc location={url} ! decodebin ! appsink name=out sync=false"
    )
    sink = pipeline.get_by_name("out")
    if video_meta:
        offer_video_meta(sink.get_static_pad("sink"))
    pipeline.set_state(Gst.State.PLAYING)
    samples = []
    try:
        while (sample := sink.try_pull_sample(10 * Gst.SECOND)) is not None:
            samples.append(sample)
        assert sink.is_eos()
    finally:
        pipeline.set_state(Gst.State.NULL)
    return samples


def planes(sample):
    """The Y, U and V planes of an I420 sample, through its video meta where it has one."""
    caps = sample.get_caps()
    info = GstVideo.VideoInfo.new_from_caps(caps)
    buffer = sample.get_buffer()
    meta = GstVideo.buffer_get_video_meta(buffer)
    offsets, strides = (meta.offset, meta.stride) if meta else (info.offset, info.stride)
    data = np.frombuffer(buffer.extract_dup(0, buffer.get_size()), np.uint8)
    w, h = info.width, info.height
    sizes = [(h, w), ((h + 1) // 2, (w + 1) // 2), ((h + 1) // 2, (w + 1) // 2)]
    return [
        np.lib.stride_tricks.as_strided(data[offset:], shape, (stride, 1))
        for (offset, stride, shape) in zip(offsets, strides, sizes)
    ]


def reader_caps(reader):
    return reader._appsink.get_static_pad("sink").get_current_caps().get_structure(0)


@pytest.fixture(scope="module")
def natural_server():
    """The natural clip's first 60 pictures (1280x720 H.264, 4:2:0, no colorimetry given), in
    Matroska, without its sound."""
    if NATURAL_CLIP is None:
        pytest.skip("bigbuckbunny.mp4 not found: set PLUMO_MEDIA to the folder that holds it")
    remuxed = b"".join(streams.encode(
        f"filesrc location={NATURAL_CLIP} ! qtdemux name=d d.video_0 ! h264parse"
        " ! video/x-h264,stream-format=avc ! identity eos-after=61 ! matroskamux"
    ))  # fmt: skip
    with streams.TroubleServer({"/natural.mkv": remuxed}) as server:
        yield server


def test_natural_pictures_come_out_as_the_exact_formula_gives(natural_server):
    url = natural_server.url("/natural.mkv")
    reference = decoded(url)
    assert reference[0].get_caps().get_structure(0).get_value("format") == "I420"
    frames = {}
    for pixel_format in ("bgr", "rgb", "gray"):
        with StreamReader(url, pixel_format=pixel_format) as reader:
            frames[pixel_format] = [reader.read_frame() for _ in range(len(reference))]
            assert reader.read_frame() is None
            assert reader_caps(reader).get_value("format") == "I420"  # the decoder's own
    for index in range(0, len(reference), 15):
        y, u, v = planes(reference[index])
        up = [np.repeat(np.repeat(c, 2, 0), 2, 1)[:720, :1280] for c in (u, v)]
        exact = exact_bgr(y, *up, "bt709", full=False)  # 720 lines, nothing said: BT.709
        bgr = frames["bgr"][index].image
        assert bgr.shape == (720, 1280, 3)
        # Natural pictures have a few values beyond the legal range (a luma of 12 where 16 is
        # black), which the range stretch clips at black before the conversion.
        assert_close(bgr, exact, worst=6)
        assert np.array_equal(frames["rgb"][index].image, bgr[..., ::-1])
        assert_close(frames["gray"][index].image, exact_gray(y, full=False), mean=0.5, worst=1)
    # Each frame's time is its picture's own.
    assert [f.pts for f in frames["bgr"]] == [s.get_buffer().pts / Gst.SECOND for s in reference]


@pytest.mark.parametrize("size", [(320, 180), (427, 241)])
def test_natural_pictures_at_a_size_are_a_resize_of_the_exact_conversion(natural_server, size):
    url = natural_server.url("/natural.mkv")
    reference = decoded(url)
    frames = {}
    for pixel_format in ("rgb", "gray"):
        with StreamReader(url, pixel_format=pixel_format, size=size) as reader:
            frames[pixel_format] = list(iter(reader.read_frame, None))
            assert reader.size == size
            assert (reader.info.width, reader.info.height) == (1280, 720)  # the stream's own
    width, height = size
    for index in range(0, len(reference), 20):
        y, u, v = planes(reference[index])
        up = [np.repeat(np.repeat(c, 2, 0), 2, 1)[:720, :1280] for c in (u, v)]
        exact = exact_bgr(y, *up, "bt709", full=False)
        rgb = frames["rgb"][index].image
        assert rgb.shape == (height, width, 3)
        assert np.abs(rgb[..., ::-1] - resized(exact, width, height)).mean() <= 2
        gray = resized(exact_gray(y, full=False), width, height)
        assert np.abs(frames["gray"][index].image - gray).mean() <= 1
    for frames_of_a_format in frames.values():  # each time still its picture's own
        assert [f.pts for f in frames_of_a_format] == [
            s.get_buffer().pts / Gst.SECOND for s in reference
        ]


def pattern_bgr(raw, width, height):
    """The exact BGR of videotestsrc's colours in `raw` pixels (BT.601, limited range, as
    GStreamer assumes below 720 lines): what a lossless clip of them must read as."""
    (data,) = streams.encode(
        f"videotestsrc num-buffers=1 pattern=colors ! video/x-raw,format={raw},width={width},"
        f"height={height}"
    )
    info = GstVideo.VideoInfo.new_from_caps(Gst.Caps.from_string(
        f"video/x-raw,format={raw},width={width},height={height}"
    ))  # fmt: skip
    bytes_ = np.frombuffer(data, np.uint8)

    def plane(index, rows, columns, dtype=np.uint8):
        values = np.frombuffer(data, dtype, offset=info.offset[index])
        row_length = info.stride[index] // values.itemsize
        return values[: rows * row_length].reshape(rows, row_length)[:, :columns]

    if raw == "RGB":
        return plane(0, height, width * 3).reshape(height, width, 3)[..., ::-1].astype(float)
    if raw == "YUY2":
        packed = plane(0, height, width * 2)
        y, u, v = packed[:, 0::2], packed[:, 1::4], packed[:, 3::4]
        sx, sy = 2, 1
    else:
        dtype = np.dtype("<u2") if raw == "I420_10LE" else np.uint8
        sx, sy = {"I420": (2, 2), "I420_10LE": (2, 2), "Y42B": (2, 1), "Y444": (1, 1)}[raw]
        cw, ch = -(-width // sx), -(-height // sy)
        y, u, v = plane(0, height, width, dtype), plane(1, ch, cw, dtype), plane(2, ch, cw, dtype)
        if dtype != np.uint8:  # 10 bits: the same formula, a quarter of the scale
            y, u, v = (p / 4 for p in (y, u, v))
    del bytes_
    up = [np.repeat(np.repeat(c, sy, 0), sx, 1)[:height, :width] for c in (u, v)]
    return exact_bgr(y, *up, "bt601", full=False)


def test_a_decoder_told_of_the_video_meta_hands_out_its_own_pictures(natural_server):
    url = natural_server.url("/natural.mkv")
    copied = decoded(url)
    own = decoded(url, video_meta=True)
    metas = [GstVideo.buffer_get_video_meta(s.get_buffer()) for s in (copied[0], own[0])]
    # The decoder's pictures are padded (here 20 rows below the luma, for the libav decoder's own
    # alignment), which only a video meta can describe; without one it copies them into plain
    # planes.
    assert metas[0] is None and metas[1] is not None
    assert metas[1].offset[1] > 1280 * 720
    assert len(own) == len(copied)
    for index in (0, len(own) // 2, len(own) - 1):
        assert np.array_equal(convert_sample(own[index]), convert_sample(copied[index]))
    with pytest.raises(TypeError, match="must be a Gst.Pad"):
        offer_video_meta(url)


# Clips whose decoder hands out each layout: FFV1 decodes into the layout it was encoded from,
# losslessly, as raw video does. Other layouts are converted before the appsink: packed YUY2
# into the nearest planar layout, 10-bit into 8-bit, RGB into BGR.
@pytest.mark.parametrize("raw, encoder, at_sink, mean, worst", [
    ("I420", "avenc_ffv1", "I420", 1.0, 3),
    ("Y42B", "avenc_ffv1", "Y42B", 1.0, 3),
    ("Y444", "avenc_ffv1", "Y444", 1.0, 3),
    ("YUY2", None, "Y42B", 1.0, 3),
    ("I420_10LE", "avenc_ffv1", "I420", 1.0, 5),  # dithered down to 8 bits first
    ("RGB", None, "BGR", 0.0, 0),
])  # fmt: skip
def test_each_layout_reaches_the_reader_as_expected_and_reads_right(
    raw, encoder, at_sink, mean, worst
):
    chain = f" ! {encoder}" if encoder else ""
    clip = b"".join(streams.encode(
        f"videotestsrc num-buffers=3 pattern=colors ! video/x-raw,format={raw},width=322,height=242"
        f",framerate=10/1{chain} ! matroskamux"
    ))  # fmt: skip
    with streams.TroubleServer({"/clip.mkv": clip}) as server:
        with StreamReader(server.url("/clip.mkv")) as reader:
            frames = list(reader)
            assert reader_caps(reader).get_value("format") == at_sink
    expected = pattern_bgr(raw, 322, 242)
    assert len(frames) == 3
    for frame in frames:
        assert frame.shape == (242, 322, 3)
        assert_close(frame, expected, mean=mean, worst=worst)


def test_a_variable_frame_rate_keeps_each_pictures_own_time():
    # Intervals from 10 ms to 170 ms, none a multiple of another: Matroska keeps milliseconds.
    times_ms = np.cumsum([0, 33, 10, 170, 47, 59, 12, 101, 33, 66]).tolist()
    Gst.init(None)
    pipeline = Gst.parse_launch(
        "appsrc name=src format=time caps=video/x-raw,format=I420,width=64,height=48,"
        "framerate=0/1 ! jpegenc ! matroskamux ! appsink name=out sync=false"
    )
    src, out = pipeline.get_by_name("src"), pipeline.get_by_name("out")
    pipeline.set_state(Gst.State.PLAYING)
    for ms in times_ms:
        buffer = Gst.Buffer.new_wrapped(bytes([128]) * (64 * 48 * 3 // 2))
        buffer.pts = ms * Gst.MSECOND
        src.emit("push-buffer", buffer)
    src.emit("end-of-stream")
    chunks = []
    while (sample := out.try_pull_sample(10 * Gst.SECOND)) is not None:
        chunks.append(sample.get_buffer().extract_dup(0, sample.get_buffer().get_size()))
    pipeline.set_state(Gst.State.NULL)

    with streams.TroubleServer({"/vfr.mkv": b"".join(chunks)}) as server:
        with StreamReader(server.url("/vfr.mkv")) as reader:
            frames = []
            while (frame := reader.read_frame()) is not None:
                frames.append(frame)
    assert [frame.index for frame in frames] == list(range(len(times_ms)))
    assert [frame.pts for frame in frames] == pytest.approx([ms / 1000 for ms in times_ms],
                                                            abs=0.001)  # fmt: skip


def test_frames_are_immutable_and_counted_and_iteration_gives_images(server):
    with StreamReader(server.url("/clip.mkv"), pixel_format="rgb") as reader:
        first = reader.read_frame()
        rest = list(reader)
    assert isinstance(first, Frame) and first.index == 0 and first.pts == 0.0
    assert first.arrival > 0 and not first.image.flags.writeable
    with pytest.raises(dataclasses.FrozenInstanceError):
        first.index = 3
    assert all(isinstance(image, np.ndarray) for image in rest) and len(rest) == 59
    assert reader.frames_read == 60
    # The test clip is red; in RGB, red comes first.
    assert first.image[..., 0].mean() > 200 and first.image[..., 2].mean() < 60
    assert reader.pixel_format == "rgb"
    assert repr(first) == "<Frame 0 pts=0.000 240x320x3>"


def test_a_template_may_deliver_yuv_as_well_as_bgr(server):
    template = (
        "souphttpsrc location={url} ! matroskademux ! jpegdec ! video/x-raw,format=I420"
        " ! appsink name=main_sink"
    )
    with StreamReader(server.url("/clip.mkv"), template=template, pixel_format="gray") as reader:
        frames = list(reader)
    assert len(frames) == 60 and frames[0].shape == (240, 320)
    # Red's luma, full range: 0.299 * 255.
    assert abs(float(frames[0].mean()) - 76) < 6


@pytest.mark.parametrize("value, message", [
    ("BGR", "one of 'bgr', 'rgb', 'gray', got 'BGR'"),
    ("yuv", "got 'yuv'"),
    (3, "pixel_format"),
    (None, "pixel_format"),
])  # fmt: skip
def test_bad_pixel_formats_are_refused_at_once(value, message):
    with pytest.raises(InvalidRuntimeOptionError, match=message):
        StreamReader("http://camera.invalid/video", pixel_format=value)


@pytest.mark.parametrize("options, message", [
    ({"size": (0, 360)}, r"two positive ints \(width, height\), got \(0, 360\)"),
    ({"size": (640,)}, "two positive ints"),
    ({"size": (640, 360, 3)}, "two positive ints"),
    ({"size": (640.0, 360)}, "two positive ints"),
    ({"size": (True, 360)}, "two positive ints"),
    ({"size": "640x360"}, "Option 'size' should be a tuple or None, got str"),
    ({"size": [640, 360]}, "should be a tuple or None, got list"),
    ({"size": (9000, 9000)}, "9000x9000 frames exceed max_frame_pixels"),
    ({"size": (100, 100), "max_frame_pixels": 9999}, "exceed max_frame_pixels"),
])  # fmt: skip
def test_sizes_that_are_not_two_positive_ints_are_refused_at_once(options, message):
    with pytest.raises(InvalidRuntimeOptionError, match=message):
        StreamReader("http://camera.invalid/video", **options)


def test_a_template_and_a_group_scale_their_frames_too(server):
    from plumo.stream_reader import StreamGroup

    template = (
        "souphttpsrc location={url} ! matroskademux ! jpegdec ! video/x-raw,format=I420"
        " ! appsink name=main_sink"
    )
    with StreamReader(server.url("/clip.mkv"), template=template, size=(33, 17)) as reader:
        assert {frame.shape for frame in reader} == {(17, 33, 3)}
    sources = [server.url("/clip.mkv"), server.url("/live.mjpg?size")]
    with StreamGroup(sources, size=(64, 48), pixel_format="gray") as group:
        shapes = {}
        for source, frame in group:
            shapes.setdefault(source, set()).add(frame.image.shape)
            if len(shapes) == 2 and all(len(s) for s in shapes.values()) and frame.index >= 5:
                break
    assert shapes == {source: {(48, 64)} for source in sources}
