"""How many threads avdec_h264 should decode with, and of which kind, when the reading thread
turns the decoder's I420 pictures into BGR itself: frames per second and CPU time per frame for
each max-threads (1, 2, 0 = auto) and thread-type (frame, slice, auto), one stream at a time, and
for max-threads 1 against auto with 4 streams at once.

Set-up: bench/setup.sh (plumo, ffmpeg for the clips, libyuv).
Run:    .venv/bin/python bench/bench_decoder_threads.py [--rounds N] [--quick]

Each stream is this pipeline, run in this process (Gst.parse_launch), fed by a local HTTP server
(plumo.demo.ClipServer) with the natural clips of bench/clips.py (600 frames of 1280x720 and of
1920x1080, 200 with --quick):

    souphttpsrc location=URL ! decodebin ! queue max-size-buffers=4 max-size-bytes=0
        max-size-time=0 ! video/x-raw,format=I420 ! appsink sync=false max-buffers=4

The decoder's properties are set as decodebin plugs it in (as plumo's decoder set-up does). A
Python thread per stream pulls every sample, maps its buffer and converts it into a BGR array with
libyuv's I420ToRGB24Matrix (BT.709) through ctypes, which lets go of the GIL: the work a reader
that converts the decoder's pictures itself does in its reading thread (about 0.3 ms a 720p frame
here, printed at the start), so that the decoder's threads compete for the CPUs with it as they
would. Timed from PLAYING to the end of the stream (pipelines stopped included); CPU time is the
whole process's. Configurations take turns, in an order that rotates from round to round.

With max-threads 1, thread-type changes nothing (one thread does all): its three rows measure the
same set-up, and their spread is the noise of the run. A run during which other processes (or the
hypervisor) took more than 15% of the CPUs is taken again (3 tries at most); how much they took is
printed with the results.
"""

import argparse
import ctypes
import os
import statistics
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import List, Optional

import numpy as np

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import Gst  # isort: skip
from plumo import sysboot  # noqa: E402
from plumo.demo import ClipServer  # noqa: E402

import gi  # noqa: E402

gi.require_version("GstVideo", "1.0")
from gi.repository import GstVideo  # noqa: E402

import clips  # noqa: E402  (bench/, this script's folder)

TIMEOUT = 120.0
OTHERS = clips.OthersWatch()
DESCRIPTION = (
    "souphttpsrc location={url} ! decodebin name=decoder"
    " ! queue max-size-buffers=4 max-size-bytes=0 max-size-time=0"
    " ! video/x-raw,format=I420 ! appsink name=sink sync=false max-buffers=4 drop=false"
)
MAX_THREADS = [1, 2, 0]
THREAD_TYPES = ["frame", "slice", "auto"]
THREAD_TYPE_FLAGS = {"auto": 0, "frame": 1, "slice": 2}  # gst-inspect-1.0 avdec_h264
BASELINE_NAME = "1 thread"


# --- the conversion the reading thread does ------------------------------------------------


class Converter:
    """I420 to BGR with libyuv (BT.709, limited range), into an array of the frame's size."""

    def __init__(self):
        lib = ctypes.CDLL("libyuv.so.0")
        self._convert = lib.I420ToRGB24Matrix  # libyuv's RGB24 is B, G, R in memory
        self._convert.argtypes = [ctypes.c_void_p, ctypes.c_int] * 4 + [ctypes.c_void_p] + [
            ctypes.c_int
        ] * 2
        self._convert.restype = ctypes.c_int
        self._matrix = ctypes.addressof(ctypes.c_char.in_dll(lib, "kYuvH709Constants"))

    def __call__(self, data: np.ndarray, info, out: np.ndarray) -> None:
        base = data.ctypes.data
        result = self._convert(
            base + info.offset[0], info.stride[0],
            base + info.offset[1], info.stride[1],
            base + info.offset[2], info.stride[2],
            out.ctypes.data, out.strides[0], self._matrix, info.width, info.height,
        )  # fmt: skip
        if result != 0:
            raise RuntimeError(f"I420ToRGB24Matrix failed ({result})")

    def cost_ms(self, width: int, height: int, repeat: int = 200) -> float:
        """The median time of one conversion of a frame of that size, in ms."""
        info = GstVideo.VideoInfo.new()
        info.set_format(GstVideo.VideoFormat.I420, width, height)
        data = np.random.default_rng(1).integers(0, 256, info.size, dtype=np.uint8)
        out = np.empty((height, width, 3), np.uint8)
        times = []
        for _ in range(repeat):
            start = time.perf_counter()
            self(data, info, out)
            times.append(time.perf_counter() - start)
        return statistics.median(times) * 1e3


# --- one stream --------------------------------------------------------------------------------


@dataclass(frozen=True)
class Setting:
    max_threads: int
    thread_type: str

    def __str__(self):
        threads = "0 (auto)" if self.max_threads == 0 else str(self.max_threads)
        return f"max-threads {threads}, thread-type {self.thread_type}"


BASELINE = Setting(1, "auto")
"""What the others are compared with: the decoder on one thread."""


class Stream:
    """One pipeline and the thread that pulls and converts its frames."""

    def __init__(self, url: str, setting: Setting, convert: Converter, start: threading.Barrier):
        self.pipeline = Gst.parse_launch(DESCRIPTION.format(url=url))
        self.setting = setting
        self.decoders: List[Gst.Element] = []
        # The handler holds this object, which holds the pipeline: disconnected once the stream
        # is over (in _run), or the pipeline and its decoder's threads would stay for good.
        self._tune_id = self.pipeline.get_by_name("decoder").connect(
            "deep-element-added", self._tune
        )
        self.sink = self.pipeline.get_by_name("sink")
        self.convert = convert
        self.start = start
        self.frames = 0
        self.threads_seen = 0
        self.error: Optional[BaseException] = None
        self.thread = threading.Thread(target=self._run, name="puller")

    def _tune(self, _bin, _sub_bin, element):
        factory = element.get_factory()
        if factory is not None and factory.get_name().startswith("avdec_"):
            element.set_property("max-threads", self.setting.max_threads)
            element.set_property("thread-type", self.setting.thread_type)
            self.decoders.append(element)

    def _run(self):
        try:
            self.start.wait()
            self.pipeline.set_state(Gst.State.PLAYING)
            self._pull()
        except BaseException as e:  # noqa: B036  (reported on the main thread)
            self.error = e
        finally:
            self.pipeline.set_state(Gst.State.NULL)
            self.pipeline.get_by_name("decoder").disconnect(self._tune_id)

    def _pull(self):
        bus = self.pipeline.get_bus()
        out = info = None
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            sample = self.sink.try_pull_sample(Gst.SECOND // 10)
            if sample is None:
                if self.sink.is_eos():
                    return
                error = bus.pop_filtered(Gst.MessageType.ERROR)
                if error is not None:
                    raise RuntimeError(error.parse_error()[0].message)
                continue
            if info is None:
                info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
                out = np.empty((info.height, info.width, 3), np.uint8)
            buffer = sample.get_buffer()
            ok, mapping = buffer.map(Gst.MapFlags.READ)
            if not ok:
                raise RuntimeError("could not map a buffer")
            try:
                data = np.frombuffer(mapping.data, np.uint8)
                self.convert(data, info, out)
                del data
            finally:
                buffer.unmap(mapping)
            self.frames += 1
            if self.frames == 50:  # the decoder's threads are all up by now
                self.threads_seen = len(os.listdir("/proc/self/task"))
        raise TimeoutError(f"no end within {TIMEOUT} s")


@dataclass
class Run:
    wall: float
    cpu: float
    frames: int
    threads: int


def run(url: str, expected: int, setting: Setting, streams: int, convert: Converter) -> Run:
    start = threading.Barrier(streams + 1)
    group = [Stream(url, setting, convert, start) for _ in range(streams)]
    for stream in group:
        stream.thread.start()
    OTHERS.start()
    cpu, wall = time.process_time(), time.perf_counter()
    start.wait()
    for stream in group:
        stream.thread.join()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    OTHERS.stop()
    for stream in group:
        if stream.error is not None:
            raise RuntimeError(f"{setting}: {stream.error!r}") from stream.error
        if stream.frames != expected:
            raise RuntimeError(f"{setting}: {stream.frames} frames of {expected}")
        if len(stream.decoders) != 1:
            raise RuntimeError(f"{setting}: {len(stream.decoders)} avdec decoders, not one")
        decoder = stream.decoders[0]
        got = (decoder.get_property("max-threads"), int(decoder.get_property("thread-type")))
        if got != (setting.max_threads, THREAD_TYPE_FLAGS[setting.thread_type]):
            raise RuntimeError(f"{setting}: the decoder has {got}")
    threads = max(stream.threads_seen for stream in group)
    return Run(wall, cpu, expected * streams, threads)


# --- the run ------------------------------------------------------------------------------------


@dataclass
class Row:
    runs: List[Run] = field(default_factory=list)

    def fps(self) -> List[float]:
        return [r.frames / r.wall for r in self.runs]

    def cpu_ms(self) -> List[float]:
        return [r.cpu / r.frames * 1e3 for r in self.runs]

    def per_cpu_second(self) -> List[float]:
        return [r.frames / r.cpu for r in self.runs]


def spread(values: List[float], fmt: str) -> str:
    return f"{statistics.median(values):{fmt}} ({min(values):{fmt}}-{max(values):{fmt}})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=None, help="rounds (default 8; --quick: 2)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: 200-frame clips")
    args = parser.parse_args()
    rounds = args.rounds if args.rounds is not None else (2 if args.quick else 8)
    if rounds < 1:
        parser.error("--rounds must be at least 1")
    length = 200 if args.quick else 600

    sysboot.start()
    convert = Converter()
    sizes = [(1280, 720), (1920, 1080)]
    paths = {size: clips.natural_clip(length, *size) for size in sizes}
    print(f"{os.cpu_count()} CPUs, load average before: {os.getloadavg()[0]:.2f};"
          f" GStreamer {'.'.join(map(str, Gst.version()[:3]))}; {rounds} rounds;"
          f" clips: Big Buck Bunny, {length} frames, {clips.ENCODING_NOTE}")  # fmt: skip
    for width, height in sizes:
        print(f"libyuv I420 to BGR in the reading thread, {width}x{height}:"
              f" {convert.cost_ms(width, height):.2f} ms a frame")  # fmt: skip

    single = [Setting(m, t) for m in MAX_THREADS for t in THREAD_TYPES]
    several = [BASELINE, Setting(0, "auto")]
    jobs = [(size, 1, s) for size in sizes for s in single]
    jobs += [(size, 4, s) for size in sizes for s in several]
    rows = {job: Row() for job in jobs}

    servers = {size: ClipServer(paths[size].read_bytes()) for size in sizes}
    for server in servers.values():
        server.__enter__()
    try:
        for size in sizes:  # warm-up: plug-ins loaded, caches filled
            run(servers[size].url, length, Setting(0, "auto"), 1, convert)
        for round_ in range(rounds):
            started = time.perf_counter()
            k = round_ % len(jobs)
            for size, streams, setting in jobs[k:] + jobs[:k]:
                result = OTHERS.quietly(
                    lambda: run(servers[size].url, length, setting, streams, convert)
                )
                rows[size, streams, setting].runs.append(result)
            print(f"round {round_ + 1}/{rounds}: {time.perf_counter() - started:.0f} s",
                  file=sys.stderr, flush=True)  # fmt: skip
    finally:
        for server in servers.values():
            server.__exit__(None, None, None)
    print(f"load average after: {os.getloadavg()[0]:.2f}; {OTHERS.summary()}")

    print(f"\n| clip | streams | avdec_h264 | fps (all streams) | CPU ms/frame | frames per CPU"
          f" second | fps / {BASELINE_NAME} | frames per CPU second / {BASELINE_NAME}"
          " | process threads |")  # fmt: skip
    print("|---|---|---|---|---|---|---|---|---|")
    best = {}
    for size, streams, setting in jobs:
        row = rows[size, streams, setting]
        base = rows[size, streams, BASELINE]
        # Each round's figures over the baseline's in the same round: drift cancels out.
        fps_ratio = statistics.median(a / b for a, b in zip(row.fps(), base.fps()))
        cpu_ratio = statistics.median(
            a / b for a, b in zip(row.per_cpu_second(), base.per_cpu_second())
        )
        threads = sorted({r.threads for r in row.runs})
        label = f"{size[0]}x{size[1]}"
        print(f"| {label} | {streams} | {setting} | {spread(row.fps(), '.0f')}"
              f" | {spread(row.cpu_ms(), '.2f')} | {spread(row.per_cpu_second(), '.0f')}"
              f" | {fps_ratio:.2f} | {cpu_ratio:.2f}"
              f" | {'/'.join(map(str, threads))} |")  # fmt: skip
        for key, value in (("fps", fps_ratio), ("frames per CPU second", cpu_ratio)):
            group = (label, streams, key)
            if group not in best or value > best[group][0]:
                best[group] = (value, setting)
    print("\nMedians (range) over the rounds; the ratios are medians of each round's ratio to"
          f" {BASELINE_NAME} in the same round. Process threads: the process's threads 50 frames"
          " into the stream (all streams and this script's own included).")  # fmt: skip
    for size in sizes:
        same = [statistics.median(rows[size, 1, Setting(1, t)].fps()) for t in THREAD_TYPES]
        print(f"Noise, {size[0]}x{size[1]}: the three max-threads 1 rows (the same set-up) have"
              f" median fps {min(same):.0f}-{max(same):.0f} ({max(same) / min(same) - 1:.0%}"
              " apart)")  # fmt: skip
    print("\nBest, by the median ratio to the baseline:")
    for (label, streams, key), (value, setting) in best.items():
        print(f"  {label}, {streams} stream{'s' if streams > 1 else ''}, {key}: {setting}"
              f" ({value:.2f})")  # fmt: skip


if __name__ == "__main__":
    main()
