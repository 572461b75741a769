"""Reading a clip over HTTP into BGR arrays, end to end: plumo against GStreamer's own decode and
colour conversion (the limit of the pipeline plumo builds), OpenCV with its GStreamer and FFmpeg
back-ends, and PyAV, in one run; then plumo's resident memory over a long clip.

Set-up: bench/setup.sh (plumo, and OpenCV, PyAV and x264enc from Debian).
Run: .venv/bin/python bench/bench_read.py [--rounds N]

The clips (1280x720 H.264 from x264enc, in Matroska, 30 frames a second) are made once and kept in
bench/.cache/. A local HTTP server (plumo.demo.ClipServer, on 127.0.0.1, in a thread) sends each
one whole, with its length. Every contender reads the clip from that server, from opening the URL
to the end of the stream, and turns every frame into a BGR numpy array of its own (the arrays are
checked, then let go: keeping 300 frames of 2.7 MB each would time the allocator). The contenders
take turns, in an order that rotates from round to round, so that drift hits them alike.

"plumo" reads with StreamReader; "plumo (factory, appsink)" takes the reader's road by hand: the
HTTP factory's pipeline, its appsink pulled and each sample turned into an array with
sample_to_ndarray (the only plumo row for a plumo without its reader). The middle frame of each
contender is compared with plumo's: FFmpeg (OpenCV's and PyAV's) converts with the BT.601 matrix,
where GStreamer follows the clip's BT.709, so theirs differ by a few values.

"GStreamer decode+BGR" is the limit: the description below, run in this process with
Gst.parse_launch into a fakesink (no frame leaves GStreamer), timed from PLAYING to the end of the
stream. "GStreamer, plumo's chain" is the same with what plumo's decoder set-up adds (a queue
before the conversion, the decoder's and the converter's thread counts): what GStreamer itself
makes of plumo's pipeline, without taking the frames out. gst-launch-1.0 runs the plain
description in a process of its own; its wall time includes starting that process, loading the
plug-ins and tearing down, so it is printed twice: as measured, and less the wall time of the same
command on a one-frame clip (the fixed cost of a run).
"""

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Optional

import numpy as np

# First: it pins the bindings' versions, and OpenCV's GStreamer back-end shares the library.
from plumo.utils.gstreamer import Gst, sample_to_ndarray  # isort: skip
from plumo import sysboot  # noqa: E402
from plumo.demo import ClipServer  # noqa: E402
from plumo.pipeline_factories import base  # noqa: E402
from plumo.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402

try:
    from plumo.stream_reader import StreamReader  # noqa: E402
except ImportError:  # a plumo without its reader: the factory road alone
    StreamReader = None

# OpenCV: not its warnings that it cannot tell the position of a stream while it starts.
os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
import av  # noqa: E402
import cv2  # noqa: E402

CACHE = Path(__file__).resolve().parent / ".cache"
WIDTH, HEIGHT, FRAMES, LONG_FRAMES = 1280, 720, 300, 1000
TIMEOUT = 30.0

DECODE = "souphttpsrc location={url} ! decodebin ! videoconvert ! video/x-raw,format=BGR"
# The same with what plumo's decoder set-up adds: the queue, the converter's threads, and (see
# read_gstreamer_tuned) the decoder's.
DECODE_TUNED = (
    "souphttpsrc location={url} ! decodebin name=decoder"
    " ! queue max-size-buffers=4 max-size-bytes=0 max-size-time=0"
    f" ! videoconvert n-threads={base._converter_threads()} ! video/x-raw,format=BGR"
)
LIMIT = "GStreamer decode+BGR"
CHAIN = "GStreamer, plumo's chain"


# --- the clips and the server -------------------------------------------------------------------


def make_clip(frames: int) -> Path:
    """The clip of `frames` frames, made with x264enc the first time it is asked for."""
    path = CACHE / f"smpte-{WIDTH}x{HEIGHT}-{frames}.mkv"
    if path.exists():
        return path
    CACHE.mkdir(exist_ok=True)
    partial = path.with_suffix(".part")
    print(f"making {path.name} (once) ...", file=sys.stderr, flush=True)
    # A moving test card: every frame differs from the last, as in a real video. I420 in, so
    # that x264enc makes the usual 8-bit 4:2:0 High profile, not the 4:4:4 it would otherwise pick.
    pipeline = Gst.parse_launch(
        f"videotestsrc num-buffers={frames} pattern=smpte horizontal-speed=4"
        f" ! video/x-raw,format=I420,width={WIDTH},height={HEIGHT},framerate=30/1"
        f" ! x264enc ! video/x-h264,profile=high ! matroskamux ! filesink location={partial}"
    )
    end = run_to_end(pipeline, timeout=600)
    if end.type != Gst.MessageType.EOS:
        raise RuntimeError(f"could not make {path.name}: {end.parse_error()[0].message}")
    partial.rename(path)
    return path


def run_to_end(pipeline: Gst.Pipeline, timeout: float = TIMEOUT, at_end=None) -> Gst.Message:
    """Plays the pipeline to its end (or first error), calls `at_end` with it there, and stops
    it; returns that message."""
    bus = pipeline.get_bus()
    pipeline.set_state(Gst.State.PLAYING)
    try:
        message = bus.timed_pop_filtered(
            int(timeout * Gst.SECOND), Gst.MessageType.EOS | Gst.MessageType.ERROR
        )
        if message is None:
            raise TimeoutError(f"no end within {timeout} s")
        if at_end is not None:
            at_end(pipeline)
    finally:
        pipeline.set_state(Gst.State.NULL)
    return message


# --- the contenders: each reads the URL and returns its frames' checker -------------------------


class Frames:
    """Checks each frame a contender hands over, and keeps one (the middle one) to compare."""

    def __init__(self):
        self.count = 0
        self.bad = 0
        self.middle = None

    def add(self, frame: np.ndarray) -> None:
        if frame.shape != (HEIGHT, WIDTH, 3) or frame.dtype != np.uint8:
            self.bad += 1
        if self.count == FRAMES // 2:
            self.middle = np.array(frame)
        self.count += 1


class Watcher:
    """The factory's bus watch: the first error after the pipeline's own start."""

    def __init__(self):
        self.started = False
        self.error = None

    def watch(self, _bus, message, pipeline):
        if message.type == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
            self.started = True
        elif self.started and message.type == Gst.MessageType.ERROR and self.error is None:
            self.error = message.parse_error()[0].message
        return True


def plumo_frames(url: str):
    """Yields the frames of the URL as the HTTP factory's pipeline delivers them."""
    watcher = Watcher()
    factory = HTTPPipelineFactory(url=url, pipeline_watcher=watcher.watch,
                                  on_complete=lambda pipeline: None)  # fmt: skip
    pipeline = factory.build()
    try:
        appsink = pipeline.appsink
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            sample = appsink.try_pull_sample(Gst.SECOND)
            if sample is not None:
                yield sample_to_ndarray(sample)
            elif appsink.is_eos():
                return
            elif watcher.error is not None:
                raise RuntimeError(watcher.error)
        raise TimeoutError(f"no end within {TIMEOUT} s")
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()


def read_plumo(url: str, frames: Frames) -> None:
    with StreamReader(url) as reader:
        for frame in reader:
            frames.add(frame)


def read_plumo_factory(url: str, frames: Frames) -> None:
    for frame in plumo_frames(url):
        frames.add(frame)


def read_gstreamer(url: str, frames: Frames, description: str = DECODE, tune=None) -> None:
    def count(pipeline):
        # The sink counts what it got (until it stops); no frame is taken out of GStreamer here.
        stats = pipeline.get_by_name("sink").get_property("stats")
        frames.count = stats.get_value("rendered")

    pipeline = Gst.parse_launch(f"{description.format(url=url)} ! fakesink name=sink sync=false")
    if tune is not None:
        pipeline.get_by_name("decoder").connect("deep-element-added", tune)
    end = run_to_end(pipeline, at_end=count)
    if end.type == Gst.MessageType.ERROR:
        raise RuntimeError(end.parse_error()[0].message)


def read_opencv_gstreamer(url: str, frames: Frames) -> None:
    capture = cv2.VideoCapture(f"{DECODE.format(url=url)} ! appsink sync=false", cv2.CAP_GSTREAMER)
    read_capture(capture, frames)


def read_opencv_ffmpeg(url: str, frames: Frames) -> None:
    read_capture(cv2.VideoCapture(url, cv2.CAP_FFMPEG), frames)


def read_capture(capture, frames: Frames) -> None:
    try:
        if not capture.isOpened():
            raise RuntimeError("VideoCapture did not open")
        while True:
            ok, frame = capture.read()
            if not ok:
                return
            frames.add(frame)
    finally:
        capture.release()


def read_gstreamer_tuned(url: str, frames: Frames) -> None:
    read_gstreamer(url, frames, DECODE_TUNED, base._tune_decoder_element)


def read_pyav(url: str, frames: Frames, thread_type: Optional[str] = None) -> None:
    with av.open(url) as container:
        stream = container.streams.video[0]
        if thread_type is not None:
            stream.thread_type = thread_type
        for frame in container.decode(stream):
            frames.add(frame.to_ndarray(format="bgr24"))


def read_pyav_threaded(url: str, frames: Frames) -> None:
    # PyAV decodes in slice threads unless told otherwise: one thread for a clip of one slice a
    # frame, as x264enc makes them. "AUTO" adds frame threads.
    read_pyav(url, frames, "AUTO")


PLUMO = "plumo" if StreamReader is not None else "plumo (factory, appsink)"
READERS = {
    **({"plumo": read_plumo} if StreamReader is not None else {}),
    "plumo (factory, appsink)": read_plumo_factory,
    LIMIT: read_gstreamer,
    CHAIN: read_gstreamer_tuned,
    "OpenCV/GStreamer": read_opencv_gstreamer,
    "OpenCV/FFmpeg": read_opencv_ffmpeg,
    "PyAV": read_pyav,
    "PyAV, thread_type AUTO": read_pyav_threaded,
}


def gst_launch(url: str) -> float:
    """The wall time of gst-launch-1.0 running the limit's description to its end."""
    description = f"{DECODE.format(url=url)} ! fakesink sync=false"
    command = ["gst-launch-1.0", "-q", *description.split()]
    start = time.perf_counter()
    subprocess.run(command, check=True, timeout=TIMEOUT, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def gst_launch_frames(url: str) -> int:
    """The frames gst-launch-1.0 decodes (an untimed run: the sink reports each one)."""
    description = f"{DECODE.format(url=url)} ! fakesink sync=false silent=false"
    command = ["gst-launch-1.0", "-v", *description.split()]
    run = subprocess.run(command, check=True, timeout=TIMEOUT, capture_output=True, text=True)
    return sum("last-message = chain" in line for line in run.stdout.splitlines())


def timed(reader, url: str):
    frames = Frames()
    start = time.perf_counter()
    reader(url, frames)
    return time.perf_counter() - start, frames


# --- memory -------------------------------------------------------------------------------------


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def rss_series(url: str, every: int = 100):
    """Resident memory (KiB) before plumo starts, then after each `every` frames."""
    series = [(0, rss_kib())]
    count = 0
    if StreamReader is not None:
        with StreamReader(url) as reader:
            for _frame in reader:
                count += 1
                if count % every == 0:
                    series.append((count, rss_kib()))
    else:
        for _frame in plumo_frames(url):
            count += 1
            if count % every == 0:
                series.append((count, rss_kib()))
    return count, series


# --- the run ------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    sysboot.start()
    clip, one_frame, long_clip = make_clip(FRAMES), make_clip(1), make_clip(LONG_FRAMES)
    print(f"load average before: {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs")

    with contextlib.ExitStack() as servers:
        url, one_frame_url, long_url = (
            servers.enter_context(ClipServer(path.read_bytes())).url
            for path in (clip, one_frame, long_clip)
        )
        names = list(READERS) + ["gst-launch-1.0"]
        times = {name: [] for name in names}
        startup = []
        counts, middles = {}, {}
        for name, reader in READERS.items():  # warm-up: plug-ins loaded, caches filled
            _, frames = timed(reader, url)
            counts[name], middles[name] = frames.count, frames.middle
            if frames.bad:
                raise RuntimeError(f"{name}: {frames.bad} frames of the wrong shape or type")
        counts["gst-launch-1.0"] = gst_launch_frames(url)
        for round_ in range(args.rounds):
            for name in names[round_ % len(names) :] + names[: round_ % len(names)]:
                if name == "gst-launch-1.0":
                    times[name].append(gst_launch(url))
                    startup.append(gst_launch(one_frame_url))
                    continue
                elapsed, frames = timed(READERS[name], url)
                if frames.count != counts[name] or frames.bad:
                    raise RuntimeError(f"{name}: {frames.count} frames, {frames.bad} bad")
                times[name].append(elapsed)
        long_count, series = rss_series(long_url)
    print(f"load average after: {os.getloadavg()[0]:.2f}")

    # Every contender must see the same pictures: a swapped red and blue, say, shows here.
    reference = middles[PLUMO]
    print(f"\n{FRAMES} frames {WIDTH}x{HEIGHT} H.264 over HTTP, {args.rounds} rounds;"
          " frames per second, median (range)")  # fmt: skip
    limit = statistics.median(FRAMES / t for t in times[LIMIT])
    chain = statistics.median(FRAMES / t for t in times[CHAIN])
    print(f"{'reader':30} {'fps':>5} {'range':>11} {'ratio':>6} {'/chain':>6} {'frames':>6}"
          f" {'diff':>5}")  # fmt: skip
    rows = [(name, [FRAMES / t for t in times[name]]) for name in names]
    counts["gst-launch-1.0 less start-up"] = counts["gst-launch-1.0"]
    rows.append((
        "gst-launch-1.0 less start-up",
        [FRAMES / (t - s) for t, s in zip(times["gst-launch-1.0"], startup)],
    ))  # fmt: skip
    for name, fps in rows:
        median = statistics.median(fps)
        count = counts[name]
        diff = "" if middles.get(name) is None else (
            f"{np.abs(middles[name].astype(int) - reference).mean():5.2f}"
        )  # fmt: skip
        print(f"{name:30} {median:5.0f} {min(fps):5.0f}-{max(fps):<5.0f} "
              f"{median / limit:6.2f} {median / chain:6.2f} {count:6} {diff:>5}")  # fmt: skip
    print(f"gst-launch-1.0 start-up (one-frame clip): {statistics.median(startup) * 1e3:.0f} ms"
          f" ({min(startup) * 1e3:.0f}-{max(startup) * 1e3:.0f})")  # fmt: skip
    print(f"ratio: median fps / the median of {LIMIT}; /chain: the same against {CHAIN};"
          " frames: frames delivered (every round the same); diff: mean absolute difference of"
          " the middle frame from plumo's, per channel value")  # fmt: skip
    short = {name: count for name, count in counts.items() if count != FRAMES}
    print(f"frames short of {FRAMES}: {short}" if short else f"every reader delivered {FRAMES}")

    print(f"\n{PLUMO}: resident memory over a {long_count}-frame clip (KiB), before the start"
          " and after every 100 frames:")  # fmt: skip
    print("  " + "  ".join(f"{n}:{kib}" for n, kib in series))
    if long_count != LONG_FRAMES:
        print(f"  only {long_count} of {LONG_FRAMES} frames arrived")
    settled = [kib for n, kib in series if n >= 100]
    print(f"  from frame 100 on: {min(settled)}-{max(settled)}"
          f" (spread {max(settled) - min(settled)} KiB)")  # fmt: skip


if __name__ == "__main__":
    main()
