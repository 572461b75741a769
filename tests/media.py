"""Clips of every codec and container the set-up decodes, made with ffmpeg, and what ffmpeg makes of
them on its own: each frame's timestamp and keyframe mark, and its pictures, converted to BGR with
the exact formulas. The conformance tests hold plumo's frames against these."""

import json
import os
import subprocess
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

import numpy as np

# Kr and Kb of each matrix, and its code in a caps colorimetry string ("range:matrix:0:0").
MATRICES = {"bt601": (0.299, 0.114, 4), "bt709": (0.2126, 0.0722, 3), "bt2020": (0.2627, 0.0593, 6)}


def exact_bgr(y, u, v, matrix, full):
    """The exact conversion of full-size planes, rounded: what every layout must come close to."""
    kr, kb, _ = MATRICES[matrix]
    y, u, v = (plane.astype(np.float64) for plane in (y, u, v))
    if full:
        luma, cb, cr = y, u - 128, v - 128
    else:
        luma, cb, cr = (y - 16) * 255 / 219, (u - 128) * 255 / 224, (v - 128) * 255 / 224
    r = luma + 2 * (1 - kr) * cr
    b = luma + 2 * (1 - kb) * cb
    g = (luma - kr * r - kb * b) / (1 - kr - kb)
    return np.clip(np.rint(np.stack([b, g, r], axis=-1)), 0, 255)


FPS = 25
FRAMES = 24
GROUP = 12  # frames from one keyframe to the next
_SOURCE = ["-f", "lavfi", "-i", f"testsrc2=size={{size}}:rate={FPS}", "-frames:v", "{frames}"]
_H264 = ["-c:v", "libx264", "-preset", "ultrafast", "-g", str(GROUP)]


@dataclass(frozen=True)
class Clip:
    name: str  # the file's name: its extension is the container's
    codec: List[str]  # ffmpeg's output options
    size: str = "160x120"
    frames: int = FRAMES
    # The largest difference, in any of B, G or R, from the exact conversion of ffmpeg's own
    # decoding where its values are legal, and the largest mean: the README's figures for the
    # conversion, and where the pictures take another way than the conversion alone, what that
    # way adds. Values past the legal range (a codec's overshoot at sharp edges) may be off by
    # up to OVERSHOOT_WORST.
    worst: int = 2
    mean: float = 0.5


OVERSHOOT_WORST = 5


# The codecs and containers the set-up decodes, and the pictures that try the conversion. H.264
# takes two B-frames between references wherever its container takes them.
CLIPS = [
    Clip("h264-index-last.mp4", _H264 + ["-bf", "2"]),
    Clip("h264-index-first.mp4", _H264 + ["-bf", "2", "-movflags", "+faststart"]),
    Clip("h264.mkv", _H264 + ["-bf", "2"]),
    Clip("h264.avi", _H264 + ["-bf", "0"]),
    Clip("h264.ts", _H264 + ["-bf", "2"]),
    Clip("h265.mp4", ["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                      f"log-level=error:keyint={GROUP}:min-keyint={GROUP}:bframes=2"]),
    Clip("vp8.webm", ["-c:v", "libvpx", "-g", str(GROUP), "-b:v", "1M"]),
    Clip("vp9.webm", ["-c:v", "libvpx-vp9", "-g", str(GROUP), "-b:v", "1M", "-deadline",
                      "realtime", "-cpu-used", "8"]),
    Clip("av1.mkv", ["-c:v", "libsvtav1", "-g", str(GROUP), "-preset", "12", "-svtav1-params",
                     "svt-log-level=0"]),
    Clip("mpeg2.ts", ["-c:v", "mpeg2video", "-g", str(GROUP), "-bf", "2", "-q:v", "3"]),
    Clip("mpeg4.avi", ["-c:v", "mpeg4", "-g", str(GROUP), "-bf", "0", "-q:v", "3"]),
    # jpegdec's and ffmpeg's IDCTs differ by up to 3 in Y, U or V.
    Clip("mjpeg.avi", ["-c:v", "mjpeg", "-q:v", "3"], worst=8, mean=0.8),
    Clip("theora.ogg", ["-c:v", "libtheora", "-g", str(GROUP), "-q:v", "8"]),
    # 10-bit pictures reach plumo's conversion as 8 bits, by way of videoconvert.
    Clip("h264-10bit.mkv", _H264 + ["-bf", "0", "-pix_fmt", "yuv420p10le"], worst=5, mean=0.8),
    Clip("h264-444.mkv", _H264 + ["-bf", "0", "-pix_fmt", "yuv444p"]),
    Clip("h264-full-range.mkv", _H264 + ["-bf", "0", "-pix_fmt", "yuvj420p"]),
    Clip("h264-bt709.mkv", _H264 + ["-bf", "0", "-colorspace", "bt709", "-color_primaries",
                                    "bt709", "-color_trc", "bt709"]),
    # Rows that are no multiple of 4 bytes in BGR, nor of 16 pixels.
    Clip("h264-odd-size.mkv", _H264 + ["-bf", "0"], size="318x178"),
    Clip("vp9-odd-444.webm", ["-c:v", "libvpx-vp9", "-g", str(GROUP), "-b:v", "1M", "-deadline",
                              "realtime", "-cpu-used", "8", "-pix_fmt", "yuv444p"],
         size="161x97"),
    # The pictures come as coded: a rotation the container asks for is not applied.
    Clip("h264-rotated.mp4", _H264 + ["-bf", "0", "-metadata:s:v:0", "rotate=90"]),
    # 40 ms apart up to 0.36 s, then 80-120 ms apart.
    Clip("h264-variable-rate.mkv",
         _H264 + ["-bf", "0", "-vf", "setpts='(N*0.04+if(gte(N,10),(N-9)*0.06,0))/TB'",
                  "-fps_mode", "passthrough"]),
]
# MP4 whose index comes after 5 MB of frames, which its demuxer, reading a stream, skips to and
# comes back from when the source can seek (when it cannot, it keeps the frames until then).
LARGE_INDEX_LAST = Clip("h264-large-index-last.mp4", _H264 + ["-bf", "0", "-b:v", "4M"],
                        size="640x360", frames=250)  # fmt: skip
CLIPS_BY_NAME = {clip.name: clip for clip in CLIPS + [LARGE_INDEX_LAST]}


def make(clip: Clip, folder: str) -> str:
    """The clip's file in `folder`, made with ffmpeg."""
    path = os.path.join(folder, clip.name)
    source = [part.format(size=clip.size, frames=clip.frames) for part in _SOURCE]
    subprocess.run(["ffmpeg", "-v", "error", "-y", *source, "-an", *clip.codec, path],
                   check=True, timeout=120)  # fmt: skip
    return path


@dataclass(frozen=True)
class Stream:
    """What ffmpeg makes of a clip's video: the frames' timestamps in presentation order (in
    seconds), which of them are keyframes, and the pictures' layout and colour."""

    timestamps: List[float]
    keyframes: List[float]
    pix_fmt: str
    width: int
    height: int
    matrix: str
    full_range: bool


def probe(path: str) -> Stream:
    def ffprobe(*entries: str) -> dict:
        done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                               "-show_entries", ",".join(entries), "-of", "json", path],
                              check=True, capture_output=True, text=True, timeout=60)  # fmt: skip
        return json.loads(done.stdout)

    frames = ffprobe("frame=best_effort_timestamp_time,key_frame")["frames"]
    [stream] = ffprobe("stream=pix_fmt,width,height,color_space,color_range")["streams"]
    timed = sorted((float(f["best_effort_timestamp_time"]), f["key_frame"]) for f in frames)
    pix_fmt, height = stream["pix_fmt"], stream["height"]
    space = stream.get("color_space", "unknown")
    # Where the stream does not say: as GStreamer assumes, by the picture's height.
    matrix = {"bt709": "bt709", "bt2020nc": "bt2020", "bt470bg": "bt601", "smpte170m": "bt601"}.get(
        space, "bt709" if height > 576 else "bt601"
    )
    full = stream.get("color_range") == "pc" or pix_fmt.startswith("yuvj")
    return Stream([t for t, _ in timed], [t for t, key in timed if key], pix_fmt,
                  stream["width"], height, matrix, full)  # fmt: skip


# ffmpeg's layouts: (bytes a value, chroma subsampling horizontally, vertically).
_LAYOUTS = {"yuv420p": (1, 2, 2), "yuvj420p": (1, 2, 2), "yuv422p": (1, 2, 1),
            "yuvj422p": (1, 2, 1), "yuv444p": (1, 1, 1), "yuv420p10le": (2, 2, 2)}  # fmt: skip


@dataclass(frozen=True)
class Picture:
    bgr: np.ndarray  # by the exact formulas, unrounded
    legal: np.ndarray  # each pixel: whether its Y, U and V are within the range's legal values


def pictures(path: str, stream: Stream) -> List[Picture]:
    """Every picture ffmpeg decodes from the clip, in presentation order, converted with the
    exact formulas (each chroma value for the pixels it covers, as plumo's conversion takes
    it)."""
    size, sx, sy = _LAYOUTS[stream.pix_fmt]
    done = subprocess.run(["ffmpeg", "-v", "error", "-noautorotate", "-i", path, "-f", "rawvideo",
                           "-pix_fmt", stream.pix_fmt, "-vsync", "passthrough", "-"],
                          check=True, capture_output=True, timeout=120)  # fmt: skip
    dtype = np.uint16 if size == 2 else np.uint8
    data = np.frombuffer(done.stdout, dtype=dtype).astype(np.float64) / (4 if size == 2 else 1)
    w, h = stream.width, stream.height
    cw, ch = -(-w // sx), -(-h // sy)
    per_picture = w * h + 2 * cw * ch
    images = []
    for start in range(0, len(data) - per_picture + 1, per_picture):
        y = data[start : start + w * h].reshape(h, w)
        u = data[start + w * h : start + w * h + cw * ch].reshape(ch, cw)
        v = data[start + w * h + cw * ch : start + per_picture].reshape(ch, cw)
        u, v = (np.repeat(np.repeat(p, sy, axis=0), sx, axis=1)[:h, :w] for p in (u, v))
        legal = np.ones((h, w), dtype=bool)
        if not stream.full_range:
            legal = (y >= 16) & (y <= 235) & (u >= 16) & (u <= 240) & (v >= 16) & (v <= 240)
        images.append(Picture(exact_bgr(y, u, v, stream.matrix, stream.full_range), legal))
    return images


def slot_grid(timestamps: List[float], limit: float) -> List[float]:
    """The timestamps a limit of `limit` frames a second keeps, as plumo's documentation says:
    the first frame at or after each slot of 1/limit seconds, a late frame starting the grid
    again from itself (slack: 2 ms, or a tenth of the slot)."""
    interval = 1 / limit
    slack = min(0.002, interval / 10)
    chosen: List[float] = []
    due: Optional[float] = None
    for t in timestamps:
        if due is not None and t < due - slack:
            continue
        on_grid = due is not None and t - due < interval
        due = (due if on_grid else t) + interval
        chosen.append(t)
    return chosen


def compare(image: np.ndarray, reference: Picture) -> Tuple[float, int, int]:
    """The mean absolute difference of a BGR image from the reference, the largest where the
    reference's values are legal, and the largest anywhere."""
    difference = np.abs(image.astype(np.float64) - reference.bgr)
    legal = difference[reference.legal]
    return float(difference.mean()), int(legal.max(initial=0)), int(difference.max())


class ClipFiles(Dict[str, str]):
    """Clip name to file path, made on first use into one folder."""

    def __init__(self, folder: str):
        super().__init__()
        self.folder = folder
        self._streams: Dict[str, Stream] = {}
        self._pictures: Dict[str, List[Picture]] = {}

    def path(self, name: str) -> str:
        if name not in self:
            self[name] = make(CLIPS_BY_NAME[name], self.folder)
        return self[name]

    def stream(self, name: str) -> Stream:
        if name not in self._streams:
            self._streams[name] = probe(self.path(name))
        return self._streams[name]

    def pictures(self, name: str) -> List[Picture]:
        if name not in self._pictures:
            self._pictures[name] = pictures(self.path(name), self.stream(name))
        return self._pictures[name]
