"""Many streams in one process: plumo's StreamGroup on 1, 4, 8 and 16 streams of natural 720p
H.264 over HTTP, against a thread per stream with OpenCV/FFmpeg (the reference) and with plumo's
StreamReader, in the same run.

Set-up: bench/setup.sh
Run:    .venv/bin/python bench/bench_group.py [--rounds N] [--quick]

Every stream reads the same clip (bench/clips.py: Big Buck Bunny, 250 frames, 100 with --quick)
from its own connection to plumo.demo.ClipServer on 127.0.0.1, from opening to the end, each
frame a BGR array of its own; every stream's frames are counted. Per contender and stream count:
total frames per second (wall time, from the first open to the last frame) and CPU time per
frame (the whole process's, every thread), medians over the rounds, and the ratios to
OpenCV/FFmpeg's in the same round. The order rotates from round to round; a timing during which
other processes took more than 15% of the CPUs is taken again (3 tries at most). The results are
printed as a Markdown table.
"""

import argparse
import os
import sys
import threading
import time
from typing import Callable, Dict, List

# First: it pins the bindings' versions, and OpenCV's GStreamer back-end shares the library.
from plumo.utils.gstreamer import Gst  # isort: skip  # noqa: F401
from plumo import sysboot  # noqa: E402
from plumo.demo import ClipServer  # noqa: E402
from plumo.stream_reader import StreamGroup, StreamReader  # noqa: E402

import clips  # noqa: E402  (bench/, this script's folder)
from bench_read import Row, Run, spread  # noqa: E402

REFERENCE = "OpenCV/FFmpeg, a thread per stream"
OTHERS = clips.OthersWatch()
cv2 = None


def read_group(url: str, streams: int) -> List[int]:
    # Distinct URLs (a query the server ignores): the group reads a source given twice once.
    sources = [f"{url}?stream={n}" for n in range(streams)]
    counts = dict.fromkeys(sources, 0)
    with StreamGroup(sources) as group:
        for source, frame in group:
            counts[source] += frame.image.shape[0] > 0
        if group.errors:
            raise RuntimeError(f"StreamGroup: {next(iter(group.errors.values()))!r}")
    return list(counts.values())


def on_threads(read_one: Callable[[str], int]) -> Callable[[str, int], List[int]]:
    def read(url: str, streams: int) -> List[int]:
        counts: List[int] = []
        errors: List[BaseException] = []

        def work():
            try:
                counts.append(read_one(url))
            except BaseException as e:  # noqa: B036  (reported below, on the main thread)
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(streams)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        if errors:
            raise RuntimeError(repr(errors[0])) from errors[0]
        return counts

    return read


def reader_frames(url: str) -> int:
    with StreamReader(url) as reader:
        return sum(frame.shape[0] > 0 for frame in reader)


def opencv_frames(url: str) -> int:
    capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    try:
        if not capture.isOpened():
            raise RuntimeError("VideoCapture did not open")
        count = 0
        while True:
            ok, frame = capture.read()
            if not ok:
                return count
            count += frame.shape[0] > 0
    finally:
        capture.release()


CONTENDERS: Dict[str, Callable[[str, int], List[int]]] = {
    "plumo StreamGroup": read_group,
    "plumo, a StreamReader per thread": on_threads(reader_frames),
    REFERENCE: on_threads(opencv_frames),
}


def measure(name: str, url: str, streams: int, frames: int) -> Run:
    OTHERS.start()
    cpu, wall = time.process_time(), time.perf_counter()
    counts = CONTENDERS[name](url, streams)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    OTHERS.stop()
    if counts != [frames] * streams:
        raise RuntimeError(f"{name}, {streams} streams: frames per stream {counts}, not {frames}")
    return Run(wall, cpu, frames * streams)


def main():
    global cv2
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=None, help="rounds (default 3; --quick: 1)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: 100-frame clips")
    args = parser.parse_args()
    rounds = clips.rounds_asked(args, parser, full=3, quick=1)
    length = 100 if args.quick else 250
    stream_counts = [1, 4, 8, 16]

    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    import cv2 as _cv2

    cv2 = _cv2
    sysboot.start()
    clip = clips.natural_clip(length)
    print(f"{os.cpu_count()} CPUs, load average before: {os.getloadavg()[0]:.2f};"
          f" OpenCV {cv2.__version__}")  # fmt: skip
    print(f"clip: Big Buck Bunny 1280x720, {length} frames, {clips.ENCODING_NOTE}; {rounds} rounds")

    rows = {(n, name): Row() for n in stream_counts for name in CONTENDERS}
    with ClipServer(clip.read_bytes()) as server:
        for name in CONTENDERS:  # warm-up: plug-ins loaded, caches filled
            measure(name, server.url, 2, length)
        jobs = list(rows)
        for round_ in range(rounds):
            started = time.perf_counter()
            for n, name in clips.rotated(jobs, round_):
                rows[n, name].runs.append(
                    OTHERS.quietly(lambda: measure(name, server.url, n, length))
                )
            print(f"round {round_ + 1}/{rounds}: {time.perf_counter() - started:.0f} s",
                  file=sys.stderr, flush=True)  # fmt: skip
    print(f"load average after: {os.getloadavg()[0]:.2f}; {OTHERS.summary()}")

    print()
    print("| streams | reader | fps, all streams | fps / OpenCV | CPU ms/frame | CPU / OpenCV |")
    print("|---|---|---|---|---|---|")
    for n in stream_counts:
        reference = rows[n, REFERENCE]
        for name in CONTENDERS:
            row = rows[n, name]
            fps_ratio = [a / b for a, b in zip(row.fps(), reference.fps())]
            cpu_ratio = [a / b for a, b in zip(row.cpu_ms(), reference.cpu_ms())]
            print(f"| {n} | {name} | {spread(row.fps(), '.0f')} | {spread(fps_ratio, '.2f')}"
                  f" | {spread(row.cpu_ms(), '.2f')} | {spread(cpu_ratio, '.2f')} |")  # fmt: skip


if __name__ == "__main__":
    main()
