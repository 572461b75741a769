"""CPU time per second of stream when only some frames are wanted: plumo's StreamReader with
max_framerate and keyframes_only, against the same reader delivering every frame, and against what
a PyAV or OpenCV user does for the same, on a 25 fps 720p H.264 clip and a live 25 fps 720p MJPEG
camera, both over local HTTP.

Set-up: bench/setup.sh
Run:    .venv/bin/python bench/bench_sampling.py [--rounds N] [--quick]

H.264: the natural clip of bench/clips.py (Big Buck Bunny, 1280x720, 25 fps, libx264 veryfast, a key
frame every 50 frames or sooner at a cut of scene, no B-frames, Matroska), 1,500 frames (60 s of
stream; 250 with --quick), served whole by plumo.demo.ClipServer and read from opening to the end of
the stream as fast as each reader goes: plumo with every frame, max_framerate=1 and 5,
keyframes_only=True; PyAV with every frame, with skip_frame "NONKEY" (key frames only), and every
frame decoded but 1 in 25 converted to an array (a PyAV user's 1 fps); OpenCV's VideoCapture
(cv2.CAP_FFMPEG) with every frame, and grab() on every frame but retrieve() on 1 in 25.

MJPEG: a camera in a process of its own (this script with --serve-mjpeg), so that its work is not
the reader's: multipart/x-mixed-replace, parts without timestamps, 25 a second on a clock (a
client too slow for a part misses it, as with a camera), 250 JPEGs (quality 80, GStreamer's
jpegenc) of the clip's first 250 pictures, looped. Each reader reads it for 20 s (5 with --quick):
plumo as above, PyAV (format "mpjpeg") with every frame and with 1 in 25 converted.

Every measurement runs in a fresh process of its own (this script with --measure), which imports
its reader, reads the stream once up to its first frame (plug-ins and libraries loaded, not timed),
and then times the read with time.process_time() (the whole process, every thread) and the wall
clock, from opening the stream to closing it. CPU per second of stream: that CPU time over the
clip's duration (H.264) or over the wall time read (the camera). PyAV decodes with thread_type
"SLICE" (no frame threads: one thread for these one-slice frames); OpenCV keeps its own FFmpeg
threading. Contenders take turns in an order that rotates from round to round (3 rounds, 1 with
--quick); a read during which other processes took more than 15% of the CPUs is taken again (3
tries at most). Tables, in Markdown: frames delivered (against the count the setting should give),
CPU seconds per second of stream (median and range of the rounds), and its ratio to the same
reader's every-frame row in the same round. Options this plumo does not take (keyframes_only
before it exists) are reported as "not supported by this plumo".
"""

import argparse
import contextlib
import gc
import itertools
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Callable, Dict, Iterator, List, Optional

import clips  # (bench/, this script's folder)

FPS = clips.FPS
SHAPE = (720, 1280, 3)
JPEG_FRAMES = 250
JPEG_QUALITY = 80
BOUNDARY = "plumoframe"
TIMEOUT = 60.0  # for a reader to open, and for each frame
UNSUPPORTED = "not supported by this plumo"
OTHERS = clips.OthersWatch()


# --- the readers: each yields the BGR frames it delivers ----------------------------------------


def plumo_frames(url: str, **options) -> Iterator:
    from plumo.stream_reader import StreamReader

    with StreamReader(url, start_timeout=TIMEOUT, read_timeout=TIMEOUT, **options) as reader:
        yield from reader


def pyav_frames(url: str, every: int = 1, skip_frame: Optional[str] = None,
                format: Optional[str] = None) -> Iterator:  # fmt: skip
    import av

    with av.open(url, format=format, timeout=TIMEOUT) as container:
        stream = container.streams.video[0]
        stream.thread_type = "SLICE"
        if skip_frame is not None:
            stream.codec_context.skip_frame = skip_frame
        for i, frame in enumerate(container.decode(stream)):
            if i % every == 0:
                yield frame.to_ndarray(format="bgr24")


def opencv_frames(url: str, every: int = 1) -> Iterator:
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    import cv2

    capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    try:
        if not capture.isOpened():
            raise RuntimeError(f"VideoCapture did not open {url}")
        for i in itertools.count():
            if not capture.grab():
                return
            if i % every == 0:
                ok, frame = capture.retrieve()
                if not ok:
                    raise RuntimeError(f"retrieve() failed at frame {i}")
                yield frame
    finally:
        capture.release()


@dataclass
class Contender:
    name: str
    frames: Callable[[str], Iterator]
    base: str  # the same reader's every-frame row
    rate: Optional[float]  # frames a second it should deliver; None: every frame
    options: Dict[str, object] = field(default_factory=dict)  # plumo's, checked up front
    key_frames_only: bool = False


def plumo(label: str, rate: Optional[float] = None, key: bool = False, **options) -> Contender:
    return Contender(f"plumo, {label}", lambda url: plumo_frames(url, **options),
                     "plumo, all frames", rate, options, key)  # fmt: skip


PLUMO = [
    plumo("all frames"),
    plumo("max_framerate=1", 1, max_framerate=1),
    plumo("max_framerate=5", 5, max_framerate=5),
    plumo("keyframes_only=True", key=True, keyframes_only=True),
]
H264 = PLUMO + [
    Contender("PyAV, all frames", pyav_frames, "PyAV, all frames", None),
    Contender('PyAV, skip_frame "NONKEY"', lambda url: pyav_frames(url, skip_frame="NONKEY"),
              "PyAV, all frames", None, key_frames_only=True),  # fmt: skip
    Contender("PyAV, all decoded, 1 in 25 converted", lambda url: pyav_frames(url, every=25),
              "PyAV, all frames", FPS / 25),  # fmt: skip
    Contender("OpenCV/FFmpeg, all frames", opencv_frames, "OpenCV/FFmpeg, all frames", None),
    Contender("OpenCV/FFmpeg, grab() all, retrieve() 1 in 25",
              lambda url: opencv_frames(url, every=25), "OpenCV/FFmpeg, all frames", FPS / 25),
]  # fmt: skip
MJPEG = PLUMO + [
    Contender("PyAV (mpjpeg), all frames", lambda url: pyav_frames(url, format="mpjpeg"),
              "PyAV (mpjpeg), all frames", None),  # fmt: skip
    Contender("PyAV (mpjpeg), 1 in 25 converted",
              lambda url: pyav_frames(url, every=25, format="mpjpeg"),
              "PyAV (mpjpeg), all frames", FPS / 25),  # fmt: skip
]
CONTENDERS = {c.name: c for c in H264 + MJPEG}


# --- one measurement, in a process of its own ----------------------------------------------------


@dataclass
class Run:
    frames: int
    cpu: float  # CPU seconds of the reading process, every thread
    wall: float
    others: float  # share of the CPUs other processes took meanwhile
    stream_seconds: float = 0.0

    def cpu_per_second(self) -> float:
        return self.cpu / self.stream_seconds


def measure_child(job: dict) -> None:
    """Reads job["url"] with the contender job["name"] (to the end, or for job["seconds"] of wall
    time) and prints what it measured as JSON."""
    from plumo.errors import InvalidRuntimeOptionError

    contender = CONTENDERS[job["name"]]
    try:
        with contextlib.closing(contender.frames(job["url"])) as frames:
            next(frames, None)  # loads the plug-ins and libraries the read will use
    except InvalidRuntimeOptionError as e:
        print(json.dumps({"unsupported": str(e)}))
        return
    gc.collect()
    count = bad = 0
    watch = clips.OthersWatch()
    watch.start()
    cpu, wall = time.process_time(), time.perf_counter()
    deadline = wall + job["seconds"] if job["seconds"] else math.inf
    with contextlib.closing(contender.frames(job["url"])) as frames:
        for image in frames:
            count += 1
            bad += image.shape != SHAPE or image.dtype.name != "uint8"
            if time.perf_counter() >= deadline:
                break
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    others = watch.stop()
    if bad:
        raise RuntimeError(f"{contender.name}: {bad} of {count} frames not {SHAPE} uint8")
    print(json.dumps({"frames": count, "cpu": cpu, "wall": wall, "others": others}))


def measure(name: str, url: str, seconds: Optional[float]) -> Optional[Run]:
    """One read in a fresh process; None when this plumo does not take the contender's options."""
    job = json.dumps({"name": name, "url": url, "seconds": seconds})
    limit = (seconds or 0) + 600
    child = subprocess.run([sys.executable, __file__, "--measure", job], capture_output=True,
                           text=True, timeout=limit)  # fmt: skip
    if child.returncode != 0:
        raise RuntimeError(f"{name} on {url} failed ({child.returncode}):\n{child.stderr}")
    result = json.loads(child.stdout.strip().splitlines()[-1])
    if "unsupported" in result:
        return None
    return Run(**result)


def quietly(read: Callable[[], Optional[Run]]) -> Optional[Run]:
    """Takes a read again while others took more than OTHERS.limit of the CPUs during it (the
    child measures that share around its own read), OTHERS.tries times at most."""
    for attempt in range(OTHERS.tries):
        run = read()
        if run is None:
            return None
        if run.others <= OTHERS.limit or attempt == OTHERS.tries - 1:
            break
        OTHERS.retaken += 1
    OTHERS.shares.append(run.others)
    return run


# --- the camera, in a process of its own ---------------------------------------------------------


def camera_jpegs() -> Path:
    """The folder of JPEGs of the clip's first JPEG_FRAMES pictures, made once into the cache."""
    folder = clips.CACHE / f"bbb-1280x720-{JPEG_FRAMES}-jpegenc-q{JPEG_QUALITY}"
    if folder.is_dir():
        return folder
    from plumo.utils.gstreamer import Gst

    clip = clips.natural_clip(JPEG_FRAMES)
    partial = folder.with_suffix(".part")
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir(parents=True)
    print(f"making {folder.name} (once) ...", file=sys.stderr, flush=True)
    pipeline = Gst.parse_launch(
        f"filesrc location={clip} ! matroskademux ! h264parse ! avdec_h264 ! videoconvert"
        f" ! jpegenc quality={JPEG_QUALITY} ! multifilesink location={partial}/%04d.jpg"
    )
    pipeline.set_state(Gst.State.PLAYING)
    try:
        end = pipeline.get_bus().timed_pop_filtered(
            int(TIMEOUT * Gst.SECOND), Gst.MessageType.EOS | Gst.MessageType.ERROR
        )
    finally:
        pipeline.set_state(Gst.State.NULL)
    if end is None or end.type == Gst.MessageType.ERROR:
        raise RuntimeError(f"could not make the JPEGs: {end and end.parse_error()[0].message}")
    made = len(list(partial.glob("*.jpg")))
    if made != JPEG_FRAMES:
        raise RuntimeError(f"made {made} JPEGs of {JPEG_FRAMES}")
    partial.rename(folder)
    return folder


def serve_mjpeg(port: int, folder: Path) -> None:
    """A camera on 127.0.0.1:`port` (0: any free port, printed first): each GET gets the JPEGs of
    `folder`, looped, as a multipart stream of 25 parts a second, until it hangs up."""
    jpegs = [path.read_bytes() for path in sorted(folder.glob("*.jpg"))]

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={BOUNDARY}")
            self.send_header("Cache-Control", "no-cache")
            self.end_headers()
            start, slot = time.monotonic(), 0
            while True:
                # The next part is the one due now: a client that fell behind misses parts.
                slot = max(slot, int((time.monotonic() - start) * FPS))
                time.sleep(max(0.0, start + slot / FPS - time.monotonic()))
                jpeg = jpegs[slot % len(jpegs)]
                if not clips.send_jpeg_part(self.wfile, jpeg, BOUNDARY):
                    return
                slot += 1

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


@contextlib.contextmanager
def camera(folder: Path) -> Iterator[str]:
    """Starts the camera process; yields its URL; stops it."""
    command = [sys.executable, __file__, "--serve-mjpeg", "0", "--jpegs", str(folder)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    try:
        port = int(process.stdout.readline())
        yield f"http://127.0.0.1:{port}/camera.mjpg"
    finally:
        process.terminate()
        process.wait(10)


# --- reporting -----------------------------------------------------------------------------------


def med(values: List[float]) -> float:
    return statistics.median(values)


def spread(values: List[float], fmt: str) -> str:
    return f"{med(values):{fmt}} ({min(values):{fmt}}-{max(values):{fmt}})"


def cpu_ratios(runs: Dict[str, List[Run]], contender: Contender) -> List[float]:
    """Each round's CPU per second of stream over the same reader's every-frame read's."""
    own, base = runs.get(contender.name), runs.get(contender.base)
    if not own or not base:
        return []
    return [a.cpu_per_second() / b.cpu_per_second() for a, b in zip(own, base)]


def key_frames(path: Path) -> int:
    """The clip's key frames, as its container marks them (ffprobe): one every 50 frames at most,
    and libx264 starts the next group early at a cut of scene (where the loop starts again)."""
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags",
         "-of", "csv=p=0", str(path)], check=True, capture_output=True, text=True,
    )  # fmt: skip
    return sum("K" in line for line in probe.stdout.splitlines())


def expected_frames(contender: Contender, seconds: float, keys: Optional[int]) -> float:
    """What `contender` should deliver over `seconds` of stream that has `keys` key frames (None:
    every frame is one)."""
    if contender.key_frames_only and keys is not None:
        return keys
    return seconds * (contender.rate or FPS)


def table(contenders: List[Contender], runs: Dict[str, List[Run]], keys: Optional[int]) -> str:
    lines = [
        "| reader | frames delivered | expected | CPU s per s of stream | / same reader's all"
        " frames | wall s |",
        "|---|---|---|---|---|---|",
    ]
    for contender in contenders:
        own = runs.get(contender.name)
        if not own:
            lines.append(f"| {contender.name} | {UNSUPPORTED} | | | | |")
            continue
        seconds = med([run.stream_seconds for run in own])
        expected = expected_frames(contender, seconds, keys)
        ratios = cpu_ratios(runs, contender)
        ratio = spread(ratios, ".3f") if ratios else "(no all-frames row)"
        lines.append(
            f"| {contender.name} | {spread([run.frames for run in own], '.0f')}"
            f" | {expected:.0f}"
            f" | {spread([run.cpu_per_second() for run in own], '.4f')} | {ratio}"
            f" | {spread([run.wall for run in own], '.1f')} |"
        )
    return "\n".join(lines)


def target(runs: Dict[str, List[Run]], name: str, bound: float, strict: bool) -> str:
    ratios = cpu_ratios(runs, CONTENDERS[name])
    relation = "<" if strict else "<="
    if not ratios:
        return f"{name}: {UNSUPPORTED} (target {relation} {bound})"
    ratio = med(ratios)
    met = ratio < bound if strict else ratio <= bound
    return (f"{name} / all frames: {ratio:.3f} (target {relation} {bound}):"
            f" {'met' if met else 'NOT met'}")  # fmt: skip


def versions() -> str:
    import av
    import cv2
    from plumo.utils.gstreamer import Gst

    gst = ".".join(map(str, Gst.version()[:3]))
    libavcodec = ".".join(map(str, av.library_versions["libavcodec"]))
    return (f"GStreamer {gst}, PyAV {av.__version__} (libavcodec {libavcodec}),"
            f" OpenCV {cv2.__version__}")  # fmt: skip


# --- the run -------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=None, help="rounds (default 3; --quick: 1)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: a 250-frame clip, 5 s of the camera")  # fmt: skip
    parser.add_argument("--measure", metavar="JOB", help=argparse.SUPPRESS)
    parser.add_argument("--serve-mjpeg", metavar="PORT", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--jpegs", metavar="DIR", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        measure_child(json.loads(args.measure))
        return
    if args.serve_mjpeg is not None:
        serve_mjpeg(args.serve_mjpeg, args.jpegs)
        return
    rounds = clips.rounds_asked(args, parser, full=3, quick=1)
    length = 250 if args.quick else 1500
    camera_seconds = 5.0 if args.quick else 20.0

    # First: it pins the bindings' versions and initialises GStreamer.
    from plumo.utils.gstreamer import Gst  # noqa: F401
    from plumo.demo import ClipServer

    clip = clips.natural_clip(length)
    jpegs = camera_jpegs()
    jpeg_kib = sum(p.stat().st_size for p in jpegs.glob("*.jpg")) / JPEG_FRAMES / 1024
    clip_seconds = length / FPS
    keys = key_frames(clip)
    print(f"{os.cpu_count()} CPUs, load average before: {os.getloadavg()[0]:.2f}; {versions()}")
    print(f"H.264: {clip.name}, {length} frames = {clip_seconds:.0f} s of stream"
          f" ({clips.ENCODING_NOTE}), {keys} key frames; camera: {JPEG_FRAMES} JPEGs of"
          f" 1280x720, quality {JPEG_QUALITY}, {jpeg_kib:.0f} KiB on average, {FPS} a second, read"
          f" {camera_seconds:.0f} s; rounds: {rounds}")  # fmt: skip

    h264_runs: Dict[str, List[Run]] = {}
    mjpeg_runs: Dict[str, List[Run]] = {}
    skipped = set()  # contenders this plumo does not take
    with ClipServer(clip.read_bytes()) as server, camera(jpegs) as camera_url:
        jobs = [(c, server.url, None, h264_runs) for c in H264]
        jobs += [(c, camera_url, camera_seconds, mjpeg_runs) for c in MJPEG]
        for round_ in range(rounds):
            started = time.perf_counter()
            for contender, url, seconds, runs in clips.rotated(jobs, round_):
                if contender.name in skipped:
                    continue
                run = quietly(lambda: measure(contender.name, url, seconds))
                if run is None:
                    skipped.add(contender.name)
                    continue
                # The camera's stream lasts as long as it was read; the clip, its own length.
                run.stream_seconds = run.wall if seconds else clip_seconds
                runs.setdefault(contender.name, []).append(run)
            print(f"round {round_ + 1}/{rounds}: {time.perf_counter() - started:.0f} s",
                  file=sys.stderr, flush=True)  # fmt: skip
    print(f"load average after: {os.getloadavg()[0]:.2f}; {OTHERS.summary()}")

    print(f"\n### H.264, 1280x720, {FPS} fps, {length} frames ({clip_seconds:.0f} s of stream),"
          " over HTTP, read as fast as each reader goes; medians (range) of the rounds\n")
    print(table(H264, h264_runs, keys))
    print(f"\n### MJPEG camera, 1280x720, {FPS} frames a second, read for"
          f" {camera_seconds:.0f} s; medians (range) of the rounds\n")  # fmt: skip
    print(table(MJPEG, mjpeg_runs, None))
    print(f"\nExpected: what the setting should deliver over the stream's seconds (the clip's,"
          f" or the wall time read from the camera): {FPS} a second for every frame, the clip's"
          f" {keys} key frames (every JPEG is one), the rate asked for otherwise. CPU s"
          " per s of stream: CPU time of the reading process over those seconds. / same"
          " reader's all frames: each round's ratio, median (range).\n")  # fmt: skip
    print("Targets (plumo, medians of the paired ratios):")
    print("- H.264, " + target(h264_runs, "plumo, keyframes_only=True", 0.2, strict=False))
    print("- MJPEG, " + target(mjpeg_runs, "plumo, max_framerate=1", 0.2, strict=False))
    print("- H.264, " + target(h264_runs, "plumo, max_framerate=1", 0.6, strict=True))


if __name__ == "__main__":
    main()
