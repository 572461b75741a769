"""Reading recordings through Ray: plumo.ray.read_streams on a local Ray with 1 and 2 read
workers, against a StreamGroup in one process and against plain StreamReaders on threads, all
reading the same files to their ends.

Set-up: bench/setup.sh (scripts/setup.sh installs Ray)
Run:    .venv/bin/python bench/bench_ray.py [--rounds N] [--quick]

Files (bench/clips.py, made once into bench/.cache/): Big Buck Bunny looped to 250 frames (100
with --quick), 1280x720 H.264 as a camera would send it, under 6 names (links to one clip), so
that every contender reads 6 streams. read_streams runs on `ray.init(num_cpus=2)`: "1 worker"
is parallelism=1 (one read task reads the 6 files in turn), "2 workers" parallelism=2 (two tasks
of 3); this process consumes the dataset with iter_batches, as numpy, checking every frame's
shape. Ray starts, and its workers warm up, before anything is timed.

Per contender: frames per second (wall time) and CPU time per frame, medians over the rounds;
CPU is that of every process involved: this one for the in-process readers, this one and all
its descendants (Ray's GCS, raylet and workers) for read_streams. The order rotates from round
to round. Others' share of the CPUs while timed (what the machine did besides) is reported.
"""

import argparse
import os
import statistics
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List

# Ray on the loopback alone, as the tests run it.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

from plumo.utils.gstreamer import Gst  # noqa: E402,F401  isort: skip
from plumo.stream_reader import StreamGroup, StreamReader  # noqa: E402

import clips  # noqa: E402  (bench/, this script's folder)

STREAMS = 6
SHAPE = (720, 1280, 3)
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


# --- CPU of a process tree ----------------------------------------------------------------------


def _stat(pid: int):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    # After the name: state, ppid, ..., utime (14th field of the line), stime (15th).
    return int(fields[1]), (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def tree_cpu(root: int) -> Dict[int, float]:
    """CPU seconds of `root` and each of its descendants, by pid."""
    parents, cpu = {}, {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                parents[int(name)], cpu[int(name)] = _stat(int(name))
            except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
                continue
    children: Dict[int, List[int]] = {}
    for pid, ppid in parents.items():
        children.setdefault(ppid, []).append(pid)
    found, todo = {}, [root]
    while todo:
        pid = todo.pop()
        if pid in cpu:
            found[pid] = cpu[pid]
        todo.extend(children.get(pid, []))
    return found


def tree_cpu_spent(before: Dict[int, float], after: Dict[int, float]) -> float:
    return sum(seconds - before.get(pid, 0.0) for pid, seconds in after.items())


# --- the contenders: each reads every file to its end and returns the frames it saw -----------


def check(image) -> None:
    if image.shape != SHAPE:
        raise AssertionError(f"a frame of shape {image.shape}")


def read_group(paths: List[str]) -> int:
    frames = 0
    with StreamGroup(paths) as group:
        for _source, frame in group:
            check(frame.image)
            frames += 1
    if group.errors:
        raise RuntimeError(f"StreamGroup failed: {group.errors}")
    return frames


def read_threads(paths: List[str]) -> int:
    counts, errors = [0] * len(paths), []

    def read(n: int) -> None:
        try:
            with StreamReader(paths[n]) as reader:
                for image in reader:
                    check(image)
                    counts[n] += 1
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=read, args=(n,)) for n in range(len(paths))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise RuntimeError(f"a reader failed: {errors[0]}")
    return sum(counts)


def read_ray(paths: List[str], parallelism: int) -> int:
    import plumo.ray

    frames = 0
    dataset = plumo.ray.read_streams(paths, parallelism=parallelism)
    for batch in dataset.iter_batches(batch_size=None, batch_format="numpy"):
        images = batch["image"]
        if images.shape[1:] != SHAPE:
            raise AssertionError(f"frames of shape {images.shape[1:]}")
        frames += len(images)
    return frames


CONTENDERS: Dict[str, Callable[[List[str]], int]] = {
    "StreamGroup, one process": read_group,
    "StreamReaders on threads": read_threads,
    "read_streams, 1 worker": lambda paths: read_ray(paths, 1),
    "read_streams, 2 workers": lambda paths: read_ray(paths, 2),
}


def timed(name: str, paths: List[str], expected: int):
    """(frames per second, CPU ms per frame, others' share of the CPUs) of one read."""
    on_ray = name.startswith("read_streams")
    busy0 = clips.machine_busy_seconds()
    cpu0 = tree_cpu(os.getpid()) if on_ray else time.process_time()
    wall0 = time.perf_counter()
    frames = CONTENDERS[name](paths)
    wall = time.perf_counter() - wall0
    cpu = (tree_cpu_spent(cpu0, tree_cpu(os.getpid())) if on_ray
           else time.process_time() - cpu0)  # fmt: skip
    busy = clips.machine_busy_seconds() - busy0
    if frames != expected:
        raise AssertionError(f"{name}: {frames} frames, {expected} expected")
    others = max(0.0, busy - cpu) / (wall * (os.cpu_count() or 1))
    return frames / wall, 1000 * cpu / frames, others


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--quick", action="store_true", help="shorter files, one round")
    args = parser.parse_args()
    rounds = clips.rounds_asked(args, parser, full=3, quick=1)
    frames_each = 100 if args.quick else 250
    clip = clips.natural_clip(frames_each)
    paths = []
    for n in range(STREAMS):
        link = clips.CACHE / f"ray-{n}-{clip.name}"
        if not link.exists():
            link.symlink_to(clip.name)
        paths.append(str(link))
    expected = STREAMS * frames_each

    import ray

    started = time.perf_counter()
    ray.init(num_cpus=2, include_dashboard=False, logging_level="warning")
    print(f"Ray started in {time.perf_counter() - started:.1f} s", file=sys.stderr)
    try:
        read_ray(paths[:2], 2)  # workers started and warm
        results: Dict[str, List[tuple]] = {name: [] for name in CONTENDERS}
        for round_ in range(rounds):
            for name in clips.rotated(list(CONTENDERS), round_):
                results[name].append(timed(name, paths, expected))
                fps, ms, _ = results[name][-1]
                print(f"round {round_ + 1}: {name}: {fps:.0f} fps, {ms:.2f} ms CPU/frame",
                      file=sys.stderr)  # fmt: skip
    finally:
        ray.shutdown()

    print(f"\n{STREAMS} files x {frames_each} frames, 1280x720 H.264 ({clips.ENCODING_NOTE}), "
          f"{rounds} rounds, medians; {os.cpu_count()} CPUs\n")  # fmt: skip
    print("| reader | frames/s | CPU ms/frame |")
    print("| --- | ---: | ---: |")
    for name, runs in results.items():
        fps = statistics.median(run[0] for run in runs)
        ms = statistics.median(run[1] for run in runs)
        print(f"| {name} | {fps:.0f} | {ms:.2f} |")
    shares = sorted(run[2] for runs in results.values() for run in runs)
    print(f"\nothers' share of the CPUs while timed: median {shares[len(shares) // 2]:.0%}, "
          f"at most {shares[-1]:.0%}")  # fmt: skip


if __name__ == "__main__":
    main()
