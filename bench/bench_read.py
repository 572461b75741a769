"""Reading natural H.264 video over HTTP into numpy arrays, end to end: plumo's StreamReader in
each pixel format against OpenCV (FFmpeg and GStreamer back-ends) and PyAV (thread_type "FRAME"
and "AUTO"), with two GStreamer limits; then 1, 4 and 8 streams at once; then plumo's resident
memory over a long read.

Set-up: bench/setup.sh
Run:    .venv/bin/python bench/bench_read.py [--rounds N] [--quick]

Clips (bench/clips.py, made once into bench/.cache/): Big Buck Bunny looped to 600 frames (200
with --quick) and encoded as a camera would send it (libx264 veryfast, GOP 50, no B-frames,
Matroska), at 1280x720 and 1920x1080, each served whole by plumo.demo.ClipServer on 127.0.0.1.
Every contender reads the URL from opening it to the end of the stream, each frame an array of its
own; the order rotates from round to round, so that drift hits all alike.

Per contender and clip: frames per second (wall time) and CPU time per frame (the whole process's,
every thread), medians over the rounds, and both as ratios to OpenCV/FFmpeg's in the same round.
Every read's frames are counted and their shapes checked; the middle frame is compared with
OpenCV/FFmpeg's and with the clip's own YUV picture converted with BT.601 and with BT.709 in
numpy, which tells the matrix each reader uses. The "(limit)" rows run plumo's chain in this
process into a fakesink: to BGR, and to I420 (decoder and queue only: the limit of a reader that
converts the decoder's pictures itself).

Frames at the size models take: the 1920x1080 clip read at 640x360 and the 1280x720 clip at
320x180, in RGB: plumo with `size`, against OpenCV/FFmpeg reading and then shrinking each frame
with cv2.resize(INTER_AREA) (and cvtColor to RGB), and PyAV (thread_type "AUTO") with
to_ndarray(width=, height=, format="rgb24"); each middle frame against the clip's own picture
converted exactly (BT.709) and shrunk with INTER_AREA. An MJPEG camera (bench_sampling.py's: the
clip's pictures as 1280x720 JPEGs, 25 a second, over HTTP) read by plumo for a few seconds at full
size and at 320x180: CPU time per frame.

Streams at once: N threads with a reader each on the 1280x720 clip, plumo (bgr) against
OpenCV/FFmpeg. Memory: a process of its own reads 1,000 frames (300 with --quick), resident size
every 100, with glibc's malloc as it comes and with its mmap threshold pinned (PINNED_MALLOC). A
timing during which other processes took more than 15% of the CPUs is taken again (3 tries at
most). The results are printed as Markdown tables.
"""

import argparse
import contextlib
import json
import os
import statistics
import subprocess
import sys
import threading
import time
import weakref
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np

# First: it pins the bindings' versions, and OpenCV's GStreamer back-end shares the library.
from plumo.utils.gstreamer import Gst  # isort: skip
from plumo import sysboot  # noqa: E402
from plumo.demo import ClipServer  # noqa: E402
from plumo.errors import InvalidRuntimeOptionError  # noqa: E402
from plumo.pipeline_factories import base  # noqa: E402
from plumo.stream_reader import StreamReader  # noqa: E402

import bench_sampling  # noqa: E402  (bench/: its MJPEG camera)
import clips  # noqa: E402  (bench/, this script's folder)

# OpenCV and PyAV come in with rivals(): the memory child process reads with plumo alone.
av = cv2 = None

TIMEOUT = 120.0
REFERENCE = "OpenCV/FFmpeg"
OTHERS = clips.OthersWatch()


def rivals() -> None:
    global av, cv2
    # OpenCV: not its warnings that it cannot tell the position of a stream while it starts.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    import av as _av
    import cv2 as _cv2

    av, cv2 = _av, _cv2


def pixel_formats_supported() -> bool:
    """Whether this plumo's reader takes `pixel_format` (checked once, without opening)."""
    try:
        StreamReader("http://127.0.0.1:9/probe", pixel_format="rgb")
    except InvalidRuntimeOptionError:
        return False
    return True


# --- frames -------------------------------------------------------------------------------------


@dataclass
class Clip:
    label: str
    path: Path
    width: int
    height: int
    frames: int
    url: str = ""


class Frames:
    """Checks each frame a contender hands over, and keeps a copy of the middle one."""

    def __init__(self, clip: Clip, layout: Optional[str], size: Optional[Tuple[int, int]] = None):
        width, height = size or (clip.width, clip.height)
        self.shape = (height, width) + (() if layout == "gray" else (3,))
        self.middle_index = clip.frames // 2
        self.count = 0
        self.bad = 0
        self.middle = None

    def add(self, frame: np.ndarray) -> None:
        if frame.shape != self.shape or frame.dtype != np.uint8:
            self.bad += 1
        if self.count == self.middle_index:
            self.middle = np.array(frame)
        self.count += 1


# --- the contenders: each reads the URL to its end, handing each frame to `frames.add` ----------


def read_plumo(url: str, frames: Frames, pixel_format: Optional[str], **options) -> None:
    if pixel_format is not None:
        options["pixel_format"] = pixel_format
    with StreamReader(url, **options) as reader:
        for frame in reader:
            frames.add(frame)


def read_capture(capture, frames: Frames, then: Optional[Callable] = None) -> None:
    """Every frame of `capture`, through `then` where one is given."""
    try:
        if not capture.isOpened():
            raise RuntimeError("VideoCapture did not open")
        while True:
            ok, frame = capture.read()
            if not ok:
                return
            frames.add(frame if then is None else then(frame))
    finally:
        capture.release()


def read_opencv_ffmpeg(url: str, frames: Frames) -> None:
    read_capture(cv2.VideoCapture(url, cv2.CAP_FFMPEG), frames)


OPENCV_GSTREAMER = "souphttpsrc location={url} ! decodebin ! videoconvert ! video/x-raw,format=BGR"


def read_opencv_gstreamer(url: str, frames: Frames) -> None:
    description = f"{OPENCV_GSTREAMER.format(url=url)} ! appsink sync=false"
    read_capture(cv2.VideoCapture(description, cv2.CAP_GSTREAMER), frames)


def read_pyav(url: str, frames: Frames, thread_type: str, **to_ndarray) -> None:
    with av.open(url) as container:
        stream = container.streams.video[0]
        stream.thread_type = thread_type
        for frame in container.decode(stream):
            frames.add(frame.to_ndarray(**{"format": "bgr24", **to_ndarray}))


def read_opencv_resized(url: str, frames: Frames, size: Tuple[int, int]) -> None:
    """OpenCV/FFmpeg's frames, each shrunk with INTER_AREA and turned into RGB."""
    read_capture(cv2.VideoCapture(url, cv2.CAP_FFMPEG), frames, lambda frame: cv2.cvtColor(
        cv2.resize(frame, size, interpolation=cv2.INTER_AREA), cv2.COLOR_BGR2RGB))  # fmt: skip


def read_pyav_resized(url: str, frames: Frames, size: Tuple[int, int]) -> None:
    read_pyav(url, frames, "AUTO", width=size[0], height=size[1], format="rgb24")


QUEUE = "queue max-size-buffers=4 max-size-bytes=0 max-size-time=0"
LIMIT_BGR = (
    f"souphttpsrc location={{url}} ! decodebin name=decoder ! {QUEUE}"
    f" ! videoconvert n-threads={base._converter_threads()} ! video/x-raw,format=BGR"
)
LIMIT_I420 = (
    f"souphttpsrc location={{url}} ! decodebin name=decoder ! {QUEUE} ! video/x-raw,format=I420"
)


def read_gstreamer(url: str, frames: Frames, description: str) -> None:
    """Runs the description into a fakesink, with plumo's decoder set-up; counts what arrives."""
    pipeline = Gst.parse_launch(f"{description.format(url=url)} ! fakesink name=sink sync=false")
    pipeline.get_by_name("decoder").connect(
        "deep-element-added", base._tune_decoder_element, weakref.ref(pipeline)
    )
    bus = pipeline.get_bus()
    pipeline.set_state(Gst.State.PLAYING)
    try:
        end = bus.timed_pop_filtered(
            int(TIMEOUT * Gst.SECOND), Gst.MessageType.EOS | Gst.MessageType.ERROR
        )
        if end is None:
            raise TimeoutError(f"no end within {TIMEOUT} s")
        if end.type == Gst.MessageType.ERROR:
            raise RuntimeError(end.parse_error()[0].message)
        frames.count = pipeline.get_by_name("sink").get_property("stats").get_value("rendered")
    finally:
        pipeline.set_state(Gst.State.NULL)


@dataclass
class Contender:
    name: str
    read: Callable[[str, Frames], None]
    layout: Optional[str]  # "bgr", "rgb", "gray"; None: no frame leaves GStreamer
    supported: bool = True


def contenders(pixel_formats: bool) -> List[Contender]:
    def plumo(fmt):
        return lambda url, frames: read_plumo(url, frames, fmt if pixel_formats else None)

    return [
        Contender("plumo, bgr", plumo("bgr"), "bgr"),
        Contender("plumo, rgb", plumo("rgb"), "rgb", supported=pixel_formats),
        Contender("plumo, gray", plumo("gray"), "gray", supported=pixel_formats),
        Contender(REFERENCE, read_opencv_ffmpeg, "bgr"),
        Contender("OpenCV/GStreamer", read_opencv_gstreamer, "bgr"),
        Contender('PyAV, thread_type "FRAME"', lambda u, f: read_pyav(u, f, "FRAME"), "bgr"),
        Contender('PyAV, thread_type "AUTO"', lambda u, f: read_pyav(u, f, "AUTO"), "bgr"),
        Contender("GStreamer to BGR, plumo's chain (limit)",
                  lambda u, f: read_gstreamer(u, f, LIMIT_BGR), None),  # fmt: skip
        Contender("GStreamer to I420, decoder+queue (limit)",
                  lambda u, f: read_gstreamer(u, f, LIMIT_I420), None),  # fmt: skip
    ]


RESIZE_REFERENCE = "OpenCV/FFmpeg + cv2.resize(INTER_AREA)"
# The clip (by height) and the size it is read at.
RESIZES = [(1080, (640, 360)), (720, (320, 180))]


@dataclass
class Resizer:
    name: str
    read: Callable[[str, Frames, Tuple[int, int]], None]


RESIZERS = [
    Resizer("plumo, size, rgb", lambda u, f, size: read_plumo(u, f, "rgb", size=size)),
    Resizer(RESIZE_REFERENCE, read_opencv_resized),
    Resizer('PyAV "AUTO", to_ndarray(width, height, rgb24)', read_pyav_resized),
]


@dataclass
class Run:
    wall: float
    cpu: float
    frames: int


def measure_resize(resizer: Resizer, clip: Clip, size: Tuple[int, int]) -> Run:
    frames = Frames(clip, "rgb", size)
    OTHERS.start()
    cpu, wall = time.process_time(), time.perf_counter()
    resizer.read(clip.url, frames, size)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    OTHERS.stop()
    check(resizer.name, clip, frames)
    return Run(wall, cpu, frames.count)


def read_camera(url: str, seconds: float, size: Optional[Tuple[int, int]]) -> Run:
    """plumo reading the camera for `seconds`, every frame, at its own size or at `size`."""
    shape = None if size is None else (size[1], size[0], 3)
    with StreamReader(url, size=size) as reader:
        reader.read()  # the pipeline is up and decoding before the timing starts
        count = 0
        OTHERS.start()
        cpu, wall = time.process_time(), time.perf_counter()
        for image in reader:
            count += 1
            if shape is not None and image.shape != shape:
                raise RuntimeError(f"camera frame of {image.shape}, not {shape}")
            if time.perf_counter() - wall >= seconds:
                break
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        OTHERS.stop()
    return Run(wall, cpu, count)


def measure(contender: Contender, clip: Clip) -> Run:
    frames = Frames(clip, contender.layout)
    OTHERS.start()
    cpu, wall = time.process_time(), time.perf_counter()
    contender.read(clip.url, frames)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    OTHERS.stop()
    check(contender.name, clip, frames)
    return Run(wall, cpu, frames.count)


def check(name: str, clip: Clip, frames: Frames) -> None:
    if frames.count != clip.frames or frames.bad:
        raise RuntimeError(
            f"{name} on {clip.label}: {frames.count} frames of {clip.frames},"
            f" {frames.bad} of the wrong shape or type (expected {frames.shape} uint8)"
        )


def run_streams(contender: Contender, clip: Clip, streams: int) -> Run:
    """`streams` threads, each reading the clip with a reader of its own, started together."""
    barrier = threading.Barrier(streams + 1)
    done: List[Frames] = []
    errors: List[BaseException] = []

    def work():
        frames = Frames(clip, contender.layout)
        barrier.wait()
        try:
            contender.read(clip.url, frames)
            done.append(frames)
        except BaseException as e:  # noqa: B036  (reported below, on the main thread)
            errors.append(e)

    threads = [threading.Thread(target=work, name=f"stream-{i}") for i in range(streams)]
    for thread in threads:
        thread.start()
    OTHERS.start()
    barrier.wait()
    cpu, wall = time.process_time(), time.perf_counter()
    for thread in threads:
        thread.join()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    OTHERS.stop()
    if errors:
        raise RuntimeError(f"{contender.name}, {streams} streams: {errors[0]!r}") from errors[0]
    for frames in done:
        check(f"{contender.name} ({streams} streams)", clip, frames)
    return Run(wall, cpu, clip.frames * streams)


# --- colours -----------------------------------------------------------------------------------


def yuv_planes(path: Path, index: int):
    """The Y, U and V planes of frame `index` of the clip, as PyAV's decoder gives them."""
    with av.open(str(path)) as container:
        for i, frame in enumerate(container.decode(video=0)):
            if i == index:
                planes = frame.to_ndarray(format="yuv420p")
                h, w = frame.height, frame.width
                y = planes[:h]
                u = planes[h : h + h // 4].reshape(h // 2, w // 2)
                v = planes[h + h // 4 :].reshape(h // 2, w // 2)
                return y, u, v
    raise RuntimeError(f"{path.name} has no frame {index}")


def yuv_to_bgr(y, u, v, kr: float, kb: float) -> np.ndarray:
    """Limited-range YUV 4:2:0 to BGR with the matrix of (kr, kb), chroma repeated."""
    kg = 1 - kr - kb
    yn = (y.astype(np.float32) - 16) / 219
    cb = (u.astype(np.float32).repeat(2, 0).repeat(2, 1) - 128) / 224
    cr = (v.astype(np.float32).repeat(2, 0).repeat(2, 1) - 128) / 224
    r = yn + 2 * (1 - kr) * cr
    b = yn + 2 * (1 - kb) * cb
    g = (yn - kr * r - kb * b) / kg
    return np.clip(np.rint(np.stack([b, g, r], axis=-1) * 255), 0, 255).astype(np.uint8)


def mad(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.abs(a.astype(np.int16) - b.astype(np.int16)).mean())


class ColourCheck:
    """The middle frame of a reader against the reference reader's and the clip's own YUV."""

    def __init__(self, clip: Clip, reference: np.ndarray):
        y, u, v = yuv_planes(clip.path, clip.frames // 2)
        self.bt601 = yuv_to_bgr(y, u, v, 0.299, 0.114)
        self.bt709 = yuv_to_bgr(y, u, v, 0.2126, 0.0722)
        self.y_limited = y
        self.y_full = np.clip(np.rint((y.astype(np.float32) - 16) * 255 / 219), 0, 255).astype(
            np.uint8
        )
        self.reference = reference
        self.reference_gray = cv2.cvtColor(reference, cv2.COLOR_BGR2GRAY)

    def describe(self, layout: str, middle: np.ndarray):
        """(mean abs diff from the reference's frame, what the frame matches best)."""
        if layout == "gray":
            limited, full = mad(middle, self.y_limited), mad(middle, self.y_full)
            best = "Y as is (16-235)" if limited < full else "Y stretched to 0-255"
            return mad(middle, self.reference_gray), f"{best}: {limited:.2f} / {full:.2f}"
        bgr = middle[..., ::-1] if layout == "rgb" else middle
        d601, d709 = mad(bgr, self.bt601), mad(bgr, self.bt709)
        best = "BT.601" if d601 < d709 else "BT.709"
        return mad(bgr, self.reference), f"{best}: {d601:.2f} / {d709:.2f}"


# --- resident memory (in a process of its own) ----------------------------------------------


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def rss_child(url: str, every: int = 100) -> None:
    """Prints, as JSON, [frames, KiB] before plumo starts and after each `every` frames."""
    sysboot.start()
    series = [[0, rss_kib()]]
    count = 0
    with StreamReader(url) as reader:
        for _frame in reader:
            count += 1
            if count % every == 0:
                series.append([count, rss_kib()])
    print(json.dumps({"frames": count, "series": series}))


def rss_series(url: str, env: Optional[Dict[str, str]] = None) -> dict:
    command = [sys.executable, __file__, "--rss-child", url]
    run = subprocess.run(command, check=True, capture_output=True, text=True, timeout=600,
                         env={**os.environ, **(env or {})})  # fmt: skip
    return json.loads(run.stdout.strip().splitlines()[-1])


# glibc raises its threshold for serving a block with mmap to the size of each mmapped block that
# is freed, so after the first frame is let go, frames come from the heap, whose high-water mark
# creeps up as it fragments. Pinned (as this variable does), every frame is mapped and unmapped,
# and what is left is what the reader itself keeps.
PINNED_MALLOC = {"MALLOC_MMAP_THRESHOLD_": "131072"}


def describe_rss(memory: dict, frame_bytes: int) -> str:
    """The series from frame 100 on: its range, and the slope of a straight line through it."""
    points = [(n, kib / 1024) for n, kib in memory["series"] if n >= 100]
    frames, mib = zip(*points)
    slope = float(np.polyfit(frames, mib, 1)[0]) if len(points) > 1 else 0.0
    rise = slope * (frames[-1] - frames[0])
    # Flat: the line moves by less than two frames' arrays over the whole read. The pipeline holds
    # a few frames at a time (the queue's, the appsink's), and their coming and going moves single
    # samples by about that much; a leak of 6 KB a frame would still show.
    frame_mib = frame_bytes / 2**20
    verdict = "flat" if abs(rise) < 2 * frame_mib else ("grows" if rise > 0 else "falls")
    return (
        f"from frame 100 on {min(mib):.1f}-{max(mib):.1f} MiB, the fitted line rises"
        f" {rise:+.1f} MiB from frame {frames[0]} to {frames[-1]}: {verdict}"
    )


# --- reporting ----------------------------------------------------------------------------------


@dataclass
class Row:
    runs: List[Run] = field(default_factory=list)
    fps_ratios: List[float] = field(default_factory=list)
    cpu_ratios: List[float] = field(default_factory=list)

    def fps(self) -> List[float]:
        return [r.frames / r.wall for r in self.runs]

    def cpu_ms(self) -> List[float]:
        return [r.cpu / r.frames * 1e3 for r in self.runs]


def paired_ratios(rows: Dict[str, Row], reference: str) -> None:
    """Each round's fps and CPU per frame over the reference's in the same round."""
    ref = rows[reference]
    for row in rows.values():
        row.fps_ratios = [a / b for a, b in zip(row.fps(), ref.fps())]
        row.cpu_ratios = [a / b for a, b in zip(row.cpu_ms(), ref.cpu_ms())]


def med(values: List[float]) -> float:
    return statistics.median(values)


def spread(values: List[float], fmt: str) -> str:
    return f"{med(values):{fmt}} ({min(values):{fmt}}-{max(values):{fmt}})"


def versions() -> str:
    gst = ".".join(map(str, Gst.version()[:3]))
    ffmpeg = ".".join(map(str, av.library_versions["libavcodec"]))
    return (
        f"GStreamer {gst}, OpenCV {cv2.__version__}, PyAV {av.__version__}"
        f" (libavcodec {ffmpeg}), numpy {np.__version__}"
    )


# --- the run ------------------------------------------------------------------------------------


PARTS = ("single", "resize", "camera", "streams", "memory")


def target_line(what: str, value: float, bound: float, at_least: bool) -> str:
    met = value >= bound if at_least else value <= bound
    sign = ">=" if at_least else "<="
    verdict = "met" if met else f"missed by {abs(value - bound) / bound:.0%}"
    return f"- {what}: {value:.2f} (target {sign} {bound}): {verdict}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=None, help="rounds (default 5; --quick: 2)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: 200-frame clips")
    parser.add_argument("--only", metavar="PART[,PART]", default=",".join(PARTS),
                        help=f"run only these parts: {', '.join(PARTS)} (default: all)")
    parser.add_argument("--rss-child", metavar="URL", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.rss_child:
        rss_child(args.rss_child)
        return
    rounds = clips.rounds_asked(args, parser, full=5, quick=2)
    parts = set(args.only.split(","))
    if not parts <= set(PARTS):
        parser.error(f"--only takes {', '.join(PARTS)}")
    length = 200 if args.quick else 600
    long_length = 300 if args.quick else 1000
    camera_seconds = 4.0 if args.quick else 10.0
    stream_counts = [1, 4, 8]

    rivals()
    sysboot.start()
    pixel_formats = pixel_formats_supported()
    all_contenders = contenders(pixel_formats)
    active = [c for c in all_contenders if c.supported]
    by_name = {c.name: c for c in all_contenders}
    clip_list = [
        Clip("1280x720", clips.natural_clip(length), 1280, 720, length),
        Clip("1920x1080", clips.natural_clip(length, 1920, 1080), 1920, 1080, length),
    ]
    long_clip = clips.natural_clip(long_length)

    print(f"{os.cpu_count()} CPUs, load average before: {os.getloadavg()[0]:.2f}; {versions()}")
    print(f"clips: Big Buck Bunny, {length} frames, {clips.ENCODING_NOTE}; {rounds} rounds")
    print(f"pixel_format: {'supported' if pixel_formats else 'not supported by this plumo'}")

    servers = [ClipServer(clip.path.read_bytes()) for clip in clip_list]
    long_server = ClipServer(long_clip.read_bytes())
    by_height = {clip.height: clip for clip in clip_list}
    camera = contextlib.ExitStack()
    for server in servers + [long_server]:
        server.__enter__()
    try:
        for clip, server in zip(clip_list, servers):
            clip.url = server.url
        camera_url = None
        if "camera" in parts:
            camera_url = camera.enter_context(bench_sampling.camera(bench_sampling.camera_jpegs()))

        # Warm-up: plug-ins loaded, caches filled; the middle frames kept for the colour check.
        middles: Dict[str, Dict[str, np.ndarray]] = {clip.label: {} for clip in clip_list}
        for clip in clip_list:
            for contender in active if "single" in parts else []:
                frames = Frames(clip, contender.layout)
                contender.read(clip.url, frames)
                check(contender.name, clip, frames)
                if frames.middle is not None:
                    middles[clip.label][contender.name] = frames.middle
        resized_middles: Dict[Tuple[int, str], np.ndarray] = {}
        for height, size in RESIZES if "resize" in parts else []:
            for resizer in RESIZERS:
                frames = Frames(by_height[height], "rgb", size)
                resizer.read(by_height[height].url, frames, size)
                check(resizer.name, by_height[height], frames)
                resized_middles[height, resizer.name] = frames.middle

        single = {(clip.label, c.name): Row() for clip in clip_list for c in active}
        jobs = [(clip, c) for clip in clip_list for c in active] if "single" in parts else []
        resize = {(height, r.name): Row() for height, _ in RESIZES for r in RESIZERS}
        resize_jobs = [(height, size, r) for height, size in RESIZES for r in RESIZERS]
        resize_jobs = resize_jobs if "resize" in parts else []
        camera_sizes = {"plumo, bgr, 1280x720 (full size)": None, "plumo, bgr, 320x180": (320, 180)}
        camera_rows = {name: Row() for name in camera_sizes}
        camera_jobs = list(camera_sizes) if camera_url is not None else []
        multi_names = ["plumo, bgr", REFERENCE]
        multi = {(n, name): Row() for n in stream_counts for name in multi_names}
        multi_jobs = [(n, name) for n in stream_counts for name in multi_names]
        multi_jobs = multi_jobs if "streams" in parts else []
        clip720 = clip_list[0]
        for round_ in range(rounds):
            started = time.perf_counter()
            for clip, contender in clips.rotated(jobs, round_):
                result = OTHERS.quietly(lambda: measure(contender, clip))
                single[clip.label, contender.name].runs.append(result)
            for height, size, resizer in clips.rotated(resize_jobs, round_):
                result = OTHERS.quietly(lambda: measure_resize(resizer, by_height[height], size))
                resize[height, resizer.name].runs.append(result)
            for name in clips.rotated(camera_jobs, round_):
                result = OTHERS.quietly(
                    lambda: read_camera(camera_url, camera_seconds, camera_sizes[name])
                )  # fmt: skip
                camera_rows[name].runs.append(result)
            for n, name in clips.rotated(multi_jobs, round_):
                result = OTHERS.quietly(lambda: run_streams(by_name[name], clip720, n))
                multi[n, name].runs.append(result)
            print(f"round {round_ + 1}/{rounds}: {time.perf_counter() - started:.0f} s",
                  file=sys.stderr, flush=True)  # fmt: skip

        memory = {}
        if "memory" in parts:
            memory = {
                "glibc's default malloc": rss_series(long_server.url),
                "mmap threshold pinned": rss_series(long_server.url, PINNED_MALLOC),
            }
    finally:
        camera.close()
        for server in servers + [long_server]:
            server.__exit__(None, None, None)
    print(f"load average after: {os.getloadavg()[0]:.2f}; {OTHERS.summary()}")
    targets: List[str] = []

    if "single" in parts:
        report_single(clip_list, all_contenders, single, middles, length, targets)
    if "resize" in parts:
        report_resize(by_height, resize, resized_middles, length, targets)
    if "camera" in parts:
        report_camera(camera_rows, camera_seconds, targets)
    if "streams" in parts:
        report_streams(stream_counts, multi_names, multi, clip720, length, targets)
    if "memory" in parts:
        report_memory(memory, long_length, clip720)
    print("\n### Against the targets\n")
    print("\n".join(targets))


def report_single(clip_list, all_contenders, single, middles, length, targets) -> None:
    lines = [
        "| clip | reader | fps | fps / OpenCV-FFmpeg | CPU ms/frame | CPU / OpenCV-FFmpeg"
        " | middle frame vs OpenCV-FFmpeg | matrix (601 / 709 diff) |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for clip in clip_list:
        rows = {name: row for (label, name), row in single.items() if label == clip.label}
        paired_ratios(rows, REFERENCE)
        check_colours = ColourCheck(clip, middles[clip.label][REFERENCE])
        for contender in all_contenders:
            if not contender.supported:
                lines.append(f"| {clip.label} | {contender.name} | not supported by this plumo"
                             " | | | | | |")  # fmt: skip
                continue
            row = rows[contender.name]
            middle = middles[clip.label].get(contender.name)
            if middle is None:
                diff, matrix = "(no frames out)", ""
            else:
                d, matrix = check_colours.describe(contender.layout, middle)
                diff = f"{d:.2f}"
            lines.append(
                f"| {clip.label} | {contender.name} | {spread(row.fps(), '.0f')}"
                f" | {med(row.fps_ratios):.2f} | {spread(row.cpu_ms(), '.2f')}"
                f" | {med(row.cpu_ratios):.2f} | {diff} | {matrix} |"
            )
        frame_pyav = rows['PyAV, thread_type "FRAME"']
        auto_pyav = rows['PyAV, thread_type "AUTO"']
        ratio = med([a / b for a, b in zip(auto_pyav.fps(), frame_pyav.fps())])
        faster = '"AUTO"' if ratio > 1 else '"FRAME"'
        print(f"{clip.label}: PyAV AUTO/FRAME fps, paired by round: {ratio:.2f} ({faster} faster)")
        plumo_row = rows["plumo, bgr"]
        targets.append(target_line(f"{clip.label}, one stream, plumo fps / OpenCV-FFmpeg",
                                   med(plumo_row.fps_ratios), 1.15, True))  # fmt: skip
        versus_pyav = med([a / b for a, b in zip(plumo_row.fps(), auto_pyav.fps())])
        targets.append(target_line(f'{clip.label}, one stream, plumo fps / PyAV "AUTO"',
                                   versus_pyav, 1.0, True))  # fmt: skip
        targets.append(target_line(f"{clip.label}, one stream, plumo CPU / OpenCV-FFmpeg",
                                   med(plumo_row.cpu_ratios), 1.0, False))  # fmt: skip

    print(f"\n### One stream ({length} frames, every reader delivered all of them in every round;"
          " medians (range) of the rounds)\n")  # fmt: skip
    print("\n".join(lines))
    print("\nfps / OpenCV-FFmpeg and CPU / OpenCV-FFmpeg: medians of each round's ratio. Middle"
          " frame: mean absolute difference per value (gray: against OpenCV's frame turned gray"
          " by cvtColor). Matrix: the frame against the clip's YUV turned into BGR with BT.601 /"
          " BT.709 (gray: against Y as it is / stretched to full range), mean absolute"
          " difference.")  # fmt: skip



def report_resize(by_height, resize, resized_middles, length, targets) -> None:
    lines = [
        "| clip | read at | reader | fps | fps / OpenCV+resize | CPU ms/frame"
        " | CPU / OpenCV+resize | middle frame vs exact + INTER_AREA |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for height, size in RESIZES:
        clip = by_height[height]
        rows = {r.name: resize[height, r.name] for r in RESIZERS}
        paired_ratios(rows, RESIZE_REFERENCE)
        y, u, v = yuv_planes(clip.path, clip.frames // 2)
        exact = yuv_to_bgr(y, u, v, 0.2126, 0.0722)  # no colour tags, HD: BT.709
        reference = cv2.resize(exact, size, interpolation=cv2.INTER_AREA)
        for resizer in RESIZERS:
            row = rows[resizer.name]
            middle = resized_middles[height, resizer.name][..., ::-1]
            lines.append(
                f"| {clip.label} | {size[0]}x{size[1]} | {resizer.name}"
                f" | {spread(row.fps(), '.0f')} | {med(row.fps_ratios):.2f}"
                f" | {spread(row.cpu_ms(), '.2f')} | {med(row.cpu_ratios):.2f}"
                f" | {mad(middle, reference):.2f} |"
            )
        plumo_row = rows[RESIZERS[0].name]
        what = f"{clip.label} at {size[0]}x{size[1]}, plumo"
        targets.append(target_line(f"{what} fps / OpenCV+resize", med(plumo_row.fps_ratios),
                                   1.5, True))  # fmt: skip
        targets.append(target_line(f"{what} CPU / OpenCV+resize", med(plumo_row.cpu_ratios),
                                   0.7, False))  # fmt: skip
        pyav_row = rows[RESIZERS[2].name]
        versus_pyav = med([a / b for a, b in zip(plumo_row.fps(), pyav_row.fps())])
        targets.append(target_line(f"{what} fps / PyAV's", versus_pyav, 1.0, True))
    print(f"\n### Frames at another size ({length} frames, RGB; medians (range) of the rounds)\n")
    print("\n".join(lines))
    print("\nMiddle frame: mean absolute difference from the clip's own picture converted with"
          " BT.709 and shrunk with INTER_AREA.")  # fmt: skip


def report_camera(camera_rows, seconds, targets) -> None:
    full_name, small_name = list(camera_rows)
    full = camera_rows[full_name]
    lines = ["| reader | frames | fps | CPU ms/frame | CPU / full size |", "|---|---|---|---|---|"]
    for name, row in camera_rows.items():
        ratios = [a / b for a, b in zip(row.cpu_ms(), full.cpu_ms())]
        lines.append(
            f"| {name} | {spread([r.frames for r in row.runs], '.0f')}"
            f" | {spread(row.fps(), '.1f')} | {spread(row.cpu_ms(), '.2f')}"
            f" | {med(ratios):.2f} |"
        )
        if name == small_name:
            targets.append(target_line("MJPEG camera at 320x180, CPU / full size", med(ratios),
                                       0.5, False))  # fmt: skip
    print(f"\n### An MJPEG camera, 1280x720 at 25 frames a second over HTTP, read for {seconds:g} s"
          " (medians (range) of the rounds)\n")  # fmt: skip
    print("\n".join(lines))


def report_streams(stream_counts, multi_names, multi, clip720, length, targets) -> None:
    lines = [
        "| streams | reader | total fps | fps / OpenCV-FFmpeg | CPU ms/frame"
        " | CPU / OpenCV-FFmpeg |",
        "|---|---|---|---|---|---|",
    ]
    for n in stream_counts:
        rows = {name: row for (count, name), row in multi.items() if count == n}
        paired_ratios(rows, REFERENCE)
        for name in multi_names:
            row = rows[name]
            lines.append(
                f"| {n} | {name} | {spread(row.fps(), '.0f')} | {med(row.fps_ratios):.2f}"
                f" | {spread(row.cpu_ms(), '.2f')} | {med(row.cpu_ratios):.2f} |"
            )
        if n > 1:
            plumo_row = rows["plumo, bgr"]
            targets.append(target_line(f"{n} streams, plumo fps / OpenCV-FFmpeg",
                                       med(plumo_row.fps_ratios), 1.1, True))  # fmt: skip
            targets.append(target_line(f"{n} streams, plumo CPU / OpenCV-FFmpeg",
                                       med(plumo_row.cpu_ratios), 0.9, False))  # fmt: skip
    print(f"\n### Streams at once ({clip720.label}, {length} frames each, a thread and a reader"
          " per stream)\n")  # fmt: skip
    print("\n".join(lines))



def report_memory(memory, long_length, clip720) -> None:
    print(f"\n### plumo's resident memory, a {long_length}-frame {clip720.label} clip, in a"
          " process of its own (MiB; before the start, then every 100 frames)\n")  # fmt: skip
    marks = [n for n, _ in next(iter(memory.values()))["series"]]
    print("| malloc | " + " | ".join(str(n) for n in marks) + " |")
    print("|---|" + "---|" * len(marks))
    for name, series in memory.items():
        values = " | ".join(f"{kib / 1024:.0f}" for _, kib in series["series"])
        print(f"| {name} | {values} |")
    print()
    for name, series in memory.items():
        if series["frames"] != long_length:
            print(f"{name}: only {series['frames']} of {long_length} frames arrived")
        print(f"{name}: {describe_rss(series, clip720.width * clip720.height * 3)}")
    frame_mib = clip720.width * clip720.height * 3 / 2**20
    pinned = " ".join(f"{k}={v}" for k, v in PINNED_MALLOC.items())
    print(f"(flat: the line moves by less than two BGR frames, {2 * frame_mib:.1f} MiB; pinned:"
          f" {pinned})")  # fmt: skip


if __name__ == "__main__":
    main()
