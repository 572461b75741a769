"""Random samples through the frame path, in a process of its own (a memory error ends it, and
under G_DEBUG=fatal-criticals so does any GStreamer-CRITICAL).

Every sample is laid out in exactly the bytes it claims (a buffer over a bytes object of that
length: a read or write past the end lands outside it), with layouts a decoder makes and layouts
nothing sane makes: tiny and odd sizes, padded strides and plane offsets in a video meta, metas
that disagree with the caps, strides and offsets out of range, short buffers, caps that are not
fixed or not video, colorimetry of any numbers, every pixel format. Each conversion must give a
read-only array of the caps' size in the asked format, or a SampleConversionError; nothing else.
Pictures that convert both laid out plainly and through a padded meta must give the same pixels.

    python frame_fuzz.py SEED COUNT   # prints a JSON summary on its last line
"""

import json
import random
import re
import sys
import threading

import gi

from plumo.utils.gstreamer import (Gst, SampleConversionError, convert_sample, pull_frame,
                                   sample_to_ndarray)  # fmt: skip

gi.require_version("GstVideo", "1.0")
gi.require_version("GstApp", "1.0")
from gi.repository import GLib, GstApp, GstVideo  # noqa: E402

CONVERTED = ["I420", "YV12", "NV12", "NV21", "Y42B", "Y444", "BGR"]
OTHERS = ["RGB", "GRAY8", "I420_10LE", "YUY2", "BGRx", "NV16"]
PIXEL_FORMATS = ["bgr", "rgb", "gray"]
SIZES = [1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 31, 33, 64, 65]
COLORIMETRIES = [None, "bt601", "bt709", "bt2020", "1:4:0:0", "2:3:5:1", "1:0:0:0",
                 "-1:-1:-1:-1", "255:255:255:255", "0:7:0:0", "3:99:0:0", "2147483647:1:1:1"]  # fmt: skip


def caps_text(fmt, width, height, colorimetry=None, extra=""):
    text = f"video/x-raw,format={fmt},width={width},height={height},framerate=0/1{extra}"
    return text if colorimetry is None else f"{text},colorimetry=(string){colorimetry}"


def exact_buffer(data: bytes) -> Gst.Buffer:
    """A buffer of exactly these bytes (new_wrapped rounds its memory up)."""
    return Gst.Buffer.new_wrapped_bytes(GLib.Bytes.new(data)) if data else Gst.Buffer.new()


def video_info(caps):
    info = GstVideo.VideoInfo.new_from_caps(caps)
    return info if info is not None and info.finfo is not None else None


def plane_geometry(info):
    """Each plane's bytes per row and rows, as a tightly packed frame has them."""
    planes = []
    for index in range(info.finfo.n_planes):
        component = next(c for c in range(info.finfo.n_components)
                         if info.finfo.plane[c] == index)  # fmt: skip
        width = -(-info.width >> info.finfo.w_sub[component])  # rounded up
        height = -(-info.height >> info.finfo.h_sub[component])
        row = width * info.finfo.pixel_stride[component]
        planes.append((row, height))
    return planes


def padded_layout(rng, geometry, gap=False):
    """Offsets and strides of a layout with padded rows (and, with `gap`, bytes between planes),
    and the buffer length it needs."""
    offsets, strides, end = [], [], 0
    for row, height in geometry:
        stride = row + rng.choice([0, 1, 3, 16, 64])
        end += rng.choice([0, 5, 32]) if gap else 0
        offsets.append(end)
        strides.append(stride)
        end += stride * height
    return offsets, strides, end


def with_meta(data, fmt, width, height, offsets, strides):
    buffer = exact_buffer(data)
    n = len(offsets)
    GstVideo.buffer_add_video_meta_full(buffer, GstVideo.VideoFrameFlags.NONE,
                                        GstVideo.VideoFormat.from_string(fmt), width, height, n,
                                        offsets + [0] * (4 - n), strides + [0] * (4 - n))  # fmt: skip
    return buffer


def lay_out(rows_of_planes, offsets, strides, length, rng):
    """The planes' rows placed at the layout's offsets and strides; the rest random."""
    data = bytearray(rng.randbytes(length))
    for rows, offset, stride in zip(rows_of_planes, offsets, strides):
        for i, row in enumerate(rows):
            data[offset + i * stride:offset + i * stride + len(row)] = row
    return bytes(data)


class Fuzz:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.counts = {"converted": 0, "refused": 0, "same_through_meta": 0, "pulled": 0}
        self.refusals = {}

    def check(self, sample, pixel_format, expect=None):
        """Converts `sample`; the outcome must be a frame of the caps' size or a refusal."""
        try:
            image = convert_sample(sample, pixel_format)
        except SampleConversionError as e:
            self.counts["refused"] += 1
            kind = re.sub(r"\d+x\d+ \w+|\d+", "N", str(e)).split(":")[0]
            self.refusals[kind] = self.refusals.get(kind, 0) + 1
            if expect == "frame":
                raise AssertionError(f"refused a sound sample: {e}") from None
            return None
        if expect == "refusal":
            raise AssertionError("converted a sample it should have refused")
        structure = sample.get_caps().get_structure(0)
        width, height = structure.get_int("width")[1], structure.get_int("height")[1]
        shape = (height, width) if pixel_format == "gray" else (height, width, 3)
        assert image.shape == shape, (image.shape, shape)
        assert image.dtype == "uint8" and not image.flags.writeable and image.flags.owndata
        self.counts["converted"] += 1
        return image

    def sound_picture(self):
        """A sample laid out plainly, and the same picture through a padded video meta."""
        rng = self.rng
        fmt = rng.choice(CONVERTED)
        width, height = rng.choice(SIZES), rng.choice(SIZES)
        caps = Gst.Caps.from_string(caps_text(fmt, width, height, rng.choice(COLORIMETRIES)))
        info = video_info(caps)
        geometry = plane_geometry(info)
        rows = [[rng.randbytes(row) for _ in range(plane_rows)] for row, plane_rows in geometry]
        plain = lay_out(rows, [info.offset[i] for i in range(len(geometry))],
                        [info.stride[i] for i in range(len(geometry))], info.size, rng)  # fmt: skip
        offsets, strides, length = padded_layout(rng, geometry, gap=True)
        meta = with_meta(lay_out(rows, offsets, strides, length, rng), fmt, width, height,
                         offsets, strides)  # fmt: skip
        pixel_format = rng.choice(PIXEL_FORMATS)
        first = self.check(Gst.Sample.new(exact_buffer(plain), caps, None, None), pixel_format,
                           expect="frame")  # fmt: skip
        second = self.check(Gst.Sample.new(meta, caps, None, None), pixel_format, expect="frame")
        assert (first == second).all(), f"{fmt} {width}x{height}: the meta's layout changed pixels"
        self.counts["same_through_meta"] += 1

    def hostile_sample(self):
        rng = self.rng
        fmt = rng.choice(CONVERTED + OTHERS)
        width, height = rng.choice(SIZES), rng.choice(SIZES)
        extra = rng.choice(["", "", ",interlace-mode=interleaved", ",pixel-aspect-ratio=1/1"])
        caps = Gst.Caps.from_string(caps_text(fmt, width, height, rng.choice(COLORIMETRIES), extra))
        info = video_info(caps)
        size = info.size if info is not None else width * height * 3
        kind = rng.choice(["exact", "short", "long", "meta", "meta"])
        if kind != "meta":
            length = {"exact": size, "short": rng.randrange(0, max(1, size)),
                      "long": size + rng.randrange(1, 64)}[kind]  # fmt: skip
            buffer = exact_buffer(rng.randbytes(length))
        else:
            # A meta of another size, format or plane count, or with planes out of the buffer.
            meta_fmt = fmt if rng.random() < 0.6 or fmt not in CONVERTED else rng.choice(CONVERTED)
            meta_width = width if rng.random() < 0.6 else rng.choice(SIZES + [width * 32])
            meta_height = height if rng.random() < 0.6 else rng.choice(SIZES + [height * 32])
            meta_info = video_info(Gst.Caps.from_string(caps_text(meta_fmt, meta_width,
                                                                  meta_height)))  # fmt: skip
            geometry = plane_geometry(meta_info)
            offsets, strides, length = padded_layout(rng, geometry)
            if rng.random() < 0.5:
                plane = rng.randrange(len(geometry))
                twist = rng.choice(["stride", "offset", "short"])
                if twist == "stride":
                    strides[plane] = rng.choice([-strides[plane], 0, 1, strides[plane] * 1000])
                elif twist == "offset":
                    offsets[plane] = rng.choice([length, length + 7, 2**31, 2**63])
                else:
                    length = rng.randrange(0, max(1, length))
            buffer = exact_buffer(rng.randbytes(length))
            count = len(geometry) if rng.random() < 0.9 else rng.randrange(1, 5)
            offsets, strides = (offsets * 4)[:count], (strides * 4)[:count]
            GstVideo.buffer_add_video_meta_full(
                buffer, GstVideo.VideoFrameFlags.NONE, GstVideo.VideoFormat.from_string(meta_fmt),
                meta_width, meta_height, count, offsets + [0] * (4 - count),
                strides + [0] * (4 - count))  # fmt: skip
        self.check(Gst.Sample.new(buffer, caps, None, None), rng.choice(PIXEL_FORMATS))

    def not_a_frame(self):
        """Caps that describe no one frame of raw video."""
        text = self.rng.choice([
            "video/x-raw,format=I420,width=[1,64],height=8", "video/x-raw,format={I420,NV12},"
            "width=8,height=8", "video/x-raw,width=8,height=8", "video/x-raw,format=I420",
            "video/x-h264,width=8,height=8", "audio/x-raw,format=S16LE,rate=8000,channels=1",
            "video/x-raw,format=I420,width=8,height=8; video/x-raw,format=NV12,width=8,height=8",
            "EMPTY", "ANY", "video/x-raw,format=I420,width=0,height=8",
            "video/x-raw,format=I420,width=-8,height=8",
        ])  # fmt: skip
        caps = Gst.Caps.from_string(text)
        self.check(Gst.Sample.new(exact_buffer(bytes(96)), caps, None, None), "bgr",
                   expect="refusal")  # fmt: skip

    def packed_bgr(self):
        """sample_to_ndarray's packed BGR frames: exact, padded rows, short."""
        rng = self.rng
        width, height = rng.choice(SIZES), rng.choice(SIZES)
        padded = (width * 3 + 3) // 4 * 4 * height
        length = rng.choice([width * height * 3, padded, rng.randrange(0, width * height * 3)])
        sample = Gst.Sample.new(exact_buffer(rng.randbytes(length)),
                                Gst.Caps.from_string(caps_text("BGR", width, height)), None, None)
        try:
            frame = sample_to_ndarray(sample)
        except SampleConversionError:
            assert length < width * height * 3
            self.counts["refused"] += 1
            return
        assert frame.shape == (height, width, 3) and not frame.flags.writeable
        self.counts["converted"] += 1

    def pulled(self, count):
        """Samples of changing caps through a real appsrc and appsink, pulled by pull_frame."""
        pipeline = Gst.parse_launch("appsrc name=src format=time ! appsink name=sink sync=false")
        src, sink = pipeline.get_by_name("src"), pipeline.get_by_name("sink")
        pipeline.set_state(Gst.State.PLAYING)
        pusher = threading.Thread(target=self._push, args=(src, count))
        pusher.start()
        try:
            while True:
                try:
                    pulled = pull_frame(sink, 5.0, self.rng.choice(PIXEL_FORMATS))
                except SampleConversionError:
                    self.counts["refused"] += 1
                    continue
                if pulled is None:
                    break
                self.counts["pulled"] += 1
        finally:
            pusher.join(10)
            pipeline.set_state(Gst.State.NULL)
        assert sink.is_eos(), "pull_frame gave up before the end of the samples"

    def _push(self, src, count):
        for _ in range(count):
            fmt = self.rng.choice(CONVERTED)
            width, height = self.rng.choice(SIZES), self.rng.choice(SIZES)
            caps = Gst.Caps.from_string(caps_text(fmt, width, height))
            size = video_info(caps).size
            length = size if self.rng.random() < 0.8 else self.rng.randrange(0, size)
            src.push_sample(Gst.Sample.new(exact_buffer(self.rng.randbytes(length)), caps, None,
                                           None))  # fmt: skip
        src.end_of_stream()


def main():
    seed, count = int(sys.argv[1]), int(sys.argv[2])
    Gst.init(None)
    fuzz = Fuzz(seed)
    for _ in range(count):
        roll = fuzz.rng.random()
        if roll < 0.35:
            fuzz.sound_picture()
        elif roll < 0.85:
            fuzz.hostile_sample()
        elif roll < 0.92:
            fuzz.not_a_frame()
        else:
            fuzz.packed_bgr()
    fuzz.pulled(max(10, count // 20))
    print(json.dumps({**fuzz.counts, "refusals": fuzz.refusals}))


if __name__ == "__main__":
    main()
