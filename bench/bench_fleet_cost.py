"""What a camera costs: cameras a core, threads and memory per camera, for a fleet of RTSP cameras
read by plumo and by OpenCV, at every frame, one frame a second and keyframes only.

Set-up: bench/setup.sh (OpenCV from Debian, ffmpeg for the clip; perf for --perf)
Run:    .venv/bin/python bench/bench_fleet_cost.py [--cameras 32] [--every-frame-cameras 8]
                                                   [--seconds 20] [--rounds 2] [--quick]
                                                   [--only plumo,opencv] [--modes every,1fps,key]
                                                   [--perf DIR]

Cameras: bench_fleet.py's camera process (GStreamer's RTSP server, one camera a port, every one
sending the 720p H.264 clip of bench/clips.py, 25 fps, a key frame every 50 frames, paced in
real time); none dies here. Its CPU time is not counted.

Readers, each in a fresh process of its own over the same cameras, over TCP:
- plumo: one StreamGroup (reconnect=True, latest=True, rtsp_transport="tcp"), iterated by the
  main thread; every frame, max_framerate=1, or keyframes_only=True;
- OpenCV: cv2.VideoCapture(url, cv2.CAP_FFMPEG) with rtsp_transport tcp, a thread per camera;
  every frame read(), or for one frame a second grab() on every frame and retrieve() of one a
  second. OpenCV has no keyframes-only reading.

Every frame is read from `--every-frame-cameras` cameras (8): 32 cameras of 720p at 25 fps
need more than the two CPUs of the development machine. Each read warms up (every camera has
handed out a frame, then 5 s more) and is then timed for `--seconds`: cameras a core = cameras /
(CPU seconds of the reader process, every thread, per second of wall time). Threads and resident
memory (VmRSS) are taken after the reader's imports and at the end of the timing: per camera, the
difference over the cameras. A timing during which other processes (not the reader, not the
cameras) took more than 15% of the CPUs is taken again (3 tries). Rounds rotate the order of the
readers. `--perf DIR` records `perf record -g` of each reader process while it is timed, into DIR.
The tables are printed in Markdown.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Dict, List, Optional

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH.parent / "tests"))  # the tests' helpers: streams.py

import bench_fleet  # noqa: E402  (bench/, this script's folder)
import clips  # noqa: E402

MODES = {"every": "every frame", "1fps": "1 frame a second", "key": "keyframes only"}
READERS = {"plumo": "plumo StreamGroup", "opencv": "OpenCV/FFmpeg, a thread a camera"}
WARM_UP = 5.0
FIRST_FRAMES_WAIT = 60.0
OTHERS_LIMIT = 0.15
TRIES = 3


# --- the readers (this script with --read) -------------------------------------------------------


def usage() -> tuple:
    """(threads, resident KiB) of this process."""
    import streams

    threads, _fds, rss = streams.process_usage()
    return threads, rss


def read_plumo(urls: List[str], mode: str, seconds: float) -> dict:
    from plumo import sysboot
    from plumo.stream_reader import StreamGroup

    base = usage()
    sysboot.start()
    options = dict(reconnect=True, latest=True, rtsp_transport="tcp", read_timeout=None)
    if mode == "1fps":
        options["max_framerate"] = 1
    elif mode == "key":
        options["keyframes_only"] = True
    frames: Dict[str, int] = {url: 0 for url in urls}
    timing = Timing(len(urls), seconds)
    try:
        with StreamGroup(urls, **options) as group:
            for source, _frame in group:
                frames[source] += 1
                if timing.step(frames):
                    break
            errors = {source: str(e) for source, e in group.errors.items()}
    finally:
        sysboot.close()
    return timing.result(base, errors)


def read_opencv(urls: List[str], mode: str, seconds: float) -> dict:
    os.environ["OPENCV_FFMPEG_CAPTURE_OPTIONS"] = "rtsp_transport;tcp"
    import cv2

    base = usage()
    if mode == "key":
        raise SystemExit("OpenCV reads no keyframes only")
    frames: Dict[str, int] = {url: 0 for url in urls}
    errors: Dict[str, str] = {}
    stop = threading.Event()
    lock = threading.Lock()

    def read(url: str) -> None:
        capture = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
        if not capture.isOpened():
            errors[url] = "not opened"
            return
        last = 0.0
        try:
            while not stop.is_set():
                if mode == "every":
                    ok, _image = capture.read()
                else:
                    ok = capture.grab()
                    now = time.monotonic()
                    if ok and now - last >= 1.0:
                        ok, _image = capture.retrieve()
                        last = now
                    else:
                        continue
                if not ok:
                    errors[url] = "read failed"
                    return
                with lock:
                    frames[url] += 1
        finally:
            capture.release()

    threads = [threading.Thread(target=read, args=(url,), daemon=True) for url in urls]
    for thread in threads:
        thread.start()
    timing = Timing(len(urls), seconds)
    while not errors:
        time.sleep(0.05)
        with lock:
            counted = dict(frames)
        if timing.step(counted):
            break
    result = timing.result(base, errors)
    stop.set()
    for thread in threads:
        thread.join(10)
    return result


class Timing:
    """The warm-up (every camera has given a frame, then WARM_UP s more), then the timing."""

    def __init__(self, cameras: int, seconds: float):
        self.cameras = cameras
        self.seconds = seconds
        self.began = time.monotonic()
        self.warm_until: Optional[float] = None
        self.start: Optional[tuple] = None
        self.end: Optional[tuple] = None

    def step(self, frames: Dict[str, int]) -> bool:
        """Called as frames come; whether the timing is over."""
        now = time.monotonic()
        if self.warm_until is None:
            if all(count > 0 for count in frames.values()):
                self.warm_until = now + WARM_UP
            elif now - self.began > FIRST_FRAMES_WAIT:
                raise SystemExit(f"only {sum(c > 0 for c in frames.values())} cameras gave a "
                                 f"frame in {FIRST_FRAMES_WAIT:g} s")  # fmt: skip
            return False
        if self.start is None:
            if now >= self.warm_until:
                self.start = (now, time.process_time(), sum(frames.values()))
                print("timing", flush=True)  # the parent's cue for perf
            return False
        if now - self.start[0] >= self.seconds:
            self.end = (now, time.process_time(), sum(frames.values()), usage())
            return True
        return False

    def result(self, base: tuple, errors: Dict[str, str]) -> dict:
        if self.start is None or self.end is None:
            raise SystemExit(f"the timing did not finish: {errors}")
        wall = self.end[0] - self.start[0]
        threads, rss = self.end[3]
        return {
            "wall": wall,
            "cpu": self.end[1] - self.start[1],
            "frames": self.end[2] - self.start[2],
            "threads": threads - base[0],
            "rss_kib": rss - base[1],
            "errors": errors,
        }


def read(args) -> int:
    urls = args.urls.split(",")
    reader = read_plumo if args.read == "plumo" else read_opencv
    result = reader(urls, args.mode, args.seconds)
    print("result " + json.dumps(result), flush=True)
    return 0


# --- the runs -----------------------------------------------------------------------------------


def timed_read(reader: str, mode: str, urls: List[str], seconds: float, camera_pid: int,
               perf_dir: Optional[Path], label: str) -> dict:  # fmt: skip
    """One read in a process of its own; with what others took of the machine meanwhile."""
    command = [sys.executable, __file__, "--read", reader, "--mode", mode, "--seconds",
               str(seconds), "--urls", ",".join(urls)]  # fmt: skip
    child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    perf = None
    result = None
    busy_before = clips.machine_busy_seconds()
    cameras_before = bench_fleet.cpu_seconds(camera_pid)
    reader_before = 0.0
    began = time.perf_counter()
    for line in child.stdout:
        if line.startswith("timing"):
            busy_before = clips.machine_busy_seconds()
            cameras_before = bench_fleet.cpu_seconds(camera_pid)
            reader_before = bench_fleet.cpu_seconds(child.pid)
            began = time.perf_counter()
            if perf_dir is not None:
                perf = subprocess.Popen(
                    ["perf", "record", "-g", "-q", "-o", str(perf_dir / f"{label}.data"), "-p",
                     str(child.pid), "--", "sleep", str(seconds)],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                )  # fmt: skip
        elif line.startswith("result "):
            wall = time.perf_counter() - began
            busy = clips.machine_busy_seconds() - busy_before
            own = bench_fleet.cpu_seconds(child.pid) - reader_before
            cameras = bench_fleet.cpu_seconds(camera_pid) - cameras_before
            result = json.loads(line[len("result "):])
            result["others"] = max(0.0, busy - own - cameras) / (wall * (os.cpu_count() or 1))
            result["camera_cpu"] = cameras / wall
            result["load"] = os.getloadavg()[0]
    child.wait(60)
    if perf is not None:
        perf.wait(seconds + 30)
    if result is None:
        raise RuntimeError(f"{reader} {mode}: no result (exit {child.returncode})")
    return result


def run(args) -> int:
    clip = clips.natural_clip(bench_fleet.CLIP_FRAMES)
    readers = [r for r in args.only.split(",") if r]
    modes = [m for m in args.modes.split(",") if m]
    perf_dir = Path(args.perf) if args.perf else None
    if perf_dir is not None:
        perf_dir.mkdir(parents=True, exist_ok=True)
    cameras = bench_fleet.Cameras(max(args.cameras, args.every_frame_cameras), clip)
    load_before = os.getloadavg()
    results: Dict[tuple, List[dict]] = {}
    retaken = 0
    try:
        for round_ in range(args.rounds):
            order = readers[round_ % len(readers):] + readers[:round_ % len(readers)]
            for mode in modes:
                count = args.every_frame_cameras if mode == "every" else args.cameras
                urls = cameras.urls[:count]
                for reader in order:
                    if reader == "opencv" and mode == "key":
                        continue
                    label = f"{reader}-{mode}-{count}-r{round_}"
                    for attempt in range(TRIES):
                        result = timed_read(reader, mode, urls, args.seconds,
                                            cameras.process.pid, perf_dir, label)  # fmt: skip
                        if result["others"] <= OTHERS_LIMIT or attempt == TRIES - 1:
                            break
                        retaken += 1
                    result["cameras"] = count
                    results.setdefault((reader, mode), []).append(result)
                    print(f"  {label}: {summary(result)}", file=sys.stderr, flush=True)
    finally:
        cameras.close()
    report(args, readers, modes, results, load_before, retaken)
    return 0


def summary(r: dict) -> str:
    return (f"{r['cameras'] / (r['cpu'] / r['wall']):.1f} cameras a core, "
            f"{r['frames'] / r['wall'] / r['cameras']:.2f} fps a camera, "
            f"{r['threads'] / r['cameras']:.2f} threads and {r['rss_kib'] / 1024 / r['cameras']:.1f}"
            f" MiB a camera, others {r['others'] * 100:.0f}%, load {r['load']:.1f}"
            f"{', errors ' + str(r['errors']) if r['errors'] else ''}")  # fmt: skip


def middle(values: List[float], digits: int) -> str:
    return (f"{statistics.median(values):.{digits}f} "
            f"({min(values):.{digits}f}-{max(values):.{digits}f})")  # fmt: skip


def report(args, readers, modes, results, load_before, retaken) -> None:
    import cv2

    from plumo.utils.gstreamer import Gst  # the bindings' versions pinned first

    print(f"\n#### {args.cameras} RTSP cameras (every frame: {args.every_frame_cameras}), 1280x720 "
          f"H.264, 25 fps, a key frame every 50, over TCP; {args.seconds:g} s timed after the "
          f"warm-up, {args.rounds} rounds; medians (range)\n")  # fmt: skip
    print("| reading | reader | cameras | cameras a core | CPU % a camera | frames a second a "
          "camera | threads a camera | MiB a camera |")
    print("|---|---|---|---|---|---|---|---|")
    shares, loads = [], []
    for mode in modes:
        for reader in readers:
            rows = results.get((reader, mode))
            if not rows:
                continue
            shares += [r["others"] for r in rows]
            loads += [r["load"] for r in rows]
            per_core = [r["cameras"] / (r["cpu"] / r["wall"]) for r in rows]
            cpu = [100 * r["cpu"] / r["wall"] / r["cameras"] for r in rows]
            fps = [r["frames"] / r["wall"] / r["cameras"] for r in rows]
            threads = [r["threads"] / r["cameras"] for r in rows]
            mib = [r["rss_kib"] / 1024 / r["cameras"] for r in rows]
            print(f"| {MODES[mode]} | {READERS[reader]} | {rows[0]['cameras']} | "
                  f"{middle(per_core, 1)} | {middle(cpu, 2)} | {middle(fps, 2)} | "
                  f"{middle(threads, 2)} | {middle(mib, 1)} |")  # fmt: skip
    print()
    print(f"{Gst.version_string()}, OpenCV {cv2.__version__}; others' share of the "
          f"CPUs while timed: median {statistics.median(shares) * 100:.0f}% (max "
          f"{max(shares) * 100:.0f}%), {retaken} timings taken again; load average "
          f"{load_before[0]:.1f} before, while timed {min(loads):.1f}-{max(loads):.1f}")  # fmt: skip
    verdicts(results)


TARGETS = [
    # (mode, what, bound)
    ("key", "keyframes only: at least 100 cameras a core", 100.0),
    ("1fps", "one frame a second: at least 25 cameras a core", 25.0),
]
MEMORY_TARGET_MIB = 10.0


def verdicts(results) -> None:
    def per_core(reader, mode):
        rows = results.get((reader, mode))
        if not rows:
            return None
        return statistics.median(r["cameras"] / (r["cpu"] / r["wall"]) for r in rows)

    def mib(reader, mode):
        rows = results.get((reader, mode))
        return None if not rows else statistics.median(r["rss_kib"] / 1024 / r["cameras"]
                                                       for r in rows)  # fmt: skip

    print()
    for mode, what, bound in TARGETS:
        measured = per_core("plumo", mode)
        if measured is not None:
            verdict = "met" if measured >= bound else f"missed by {(1 - measured / bound) * 100:.0f}%"
            print(f"- {what}: {measured:.1f} ({verdict})")
    ours, theirs = per_core("plumo", "every"), per_core("opencv", "every")
    if ours is not None and theirs is not None:
        # CPU per camera is the inverse of cameras a core.
        ratio = theirs / ours
        print(f"- every frame, CPU per camera at most OpenCV's: {ratio:.2f} of OpenCV's "
              f"({'met' if ratio <= 1.0 else 'missed'})")
    for mode in ("1fps", "key"):
        measured = mib("plumo", mode)
        if measured is not None:
            print(f"- {MODES[mode]}, at most {MEMORY_TARGET_MIB:g} MiB a camera: {measured:.1f} "
                  f"({'met' if measured <= MEMORY_TARGET_MIB else 'missed'})")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cameras", type=int, default=32)
    parser.add_argument("--every-frame-cameras", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--only", default="plumo,opencv", help="readers: plumo,opencv")
    parser.add_argument("--modes", default="every,1fps,key", help="every,1fps,key")
    parser.add_argument("--perf", help="a folder for perf record -g of each read")
    parser.add_argument("--quick", action="store_true", help="8 cameras, 4 every frame, 5 s, 1 round")
    parser.add_argument("--read", choices=sorted(READERS), help=argparse.SUPPRESS)
    parser.add_argument("--mode", choices=sorted(MODES), help=argparse.SUPPRESS)
    parser.add_argument("--urls", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.read is not None:
        return read(args)
    if args.quick:
        args.cameras, args.every_frame_cameras, args.seconds, args.rounds = 8, 4, 5.0, 1
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
