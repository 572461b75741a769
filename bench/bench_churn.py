"""Stream churn: groups of HTTP cameras opened and closed again and again, each run in a process
of its own, counting the runs that die; and what an open() and a close() of one reader take.

Run:    .venv/bin/python bench/bench_churn.py [--runs 5] [--groups 120] [--streams 8]
                                             [--kind group|factory] [--libsoup 2|3] [--timing 40]

Each run is tests/churn_runner.py: a StreamGroup of `--streams` live MJPEG cameras served on
127.0.0.1 (`--kind factory`: as many pipelines built at once by HTTPPipelineFactory), opened, read
for 0-24 frames and closed in the middle of the reading, `--groups` times. Per run: its exit (a
signal when it died), the groups it closed, and the process's threads, open files and resident
memory after its first group and at its end. With libsoup 3 (souphttpsrc's choice when it is
installed) and a source restarted in the middle of the answer to its first request, 4 runs of 5
used to die (SIGSEGV on souphttpsrc's session thread).

Then `--timing` readers of one camera in this process, one after the other: the median time of
open() (to the first frame's size) and of close() after a frame was read.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNNER = os.path.join(ROOT, "tests", "churn_runner.py")


def churn(args, seed: int) -> dict:
    command = [sys.executable, RUNNER, "--groups", str(args.groups), "--streams",
               str(args.streams), "--kind", args.kind, "--seed", str(seed), "--libsoup",
               args.libsoup]  # fmt: skip
    started = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, timeout=30 + 10 * args.groups)
    lines = done.stdout.splitlines()
    closed = [line for line in lines if line.startswith("group ")]
    result: dict = {"exit": done.returncode, "seconds": time.monotonic() - started,
                    "groups": int(closed[-1].split()[1]) if closed else 0}  # fmt: skip
    if done.returncode == 0:
        result.update(json.loads(lines[-1]))
    else:
        result["stderr"] = done.stderr.strip().splitlines()[-3:]
    return result


def describe_exit(code: int) -> str:
    if code < 0:
        return f"died ({signal.Signals(-code).name})"
    return "ok" if code == 0 else f"exit {code}"


def timing(count: int) -> tuple:
    """Median seconds of open() and of close() of a reader of one live camera."""
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import streams
    from plumo import sysboot
    from plumo.stream_reader import StreamReader

    sysboot.start()
    opens, closes = [], []
    with streams.StreamServer(streams.make_clips(frames=10)) as server:
        for n in range(count):
            reader = StreamReader(server.url(f"/live.mjpg?timing={n}"))
            started = time.perf_counter()
            reader.open()
            opens.append(time.perf_counter() - started)
            reader.read()
            started = time.perf_counter()
            reader.close()
            closes.append(time.perf_counter() - started)
    return statistics.median(opens), statistics.median(closes)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--groups", type=int, default=120)
    parser.add_argument("--streams", type=int, default=8)
    parser.add_argument("--kind", choices=["group", "factory"], default="group")
    parser.add_argument("--libsoup", choices=["2", "3"], default="3")
    parser.add_argument("--timing", type=int, default=40, help="readers to time (0: none)")
    args = parser.parse_args()

    print(f"{args.runs} runs of {args.groups} groups of {args.streams} ({args.kind}), "
          f"libsoup {args.libsoup}\n")  # fmt: skip
    print("| run | exit | groups | s | threads, fds, RSS KiB after 1st group | at end |")
    print("|---|---|---|---|---|---|")
    results = []
    for run in range(1, args.runs + 1):
        result = churn(args, seed=run)
        results.append(result)
        first, last = result.get("first", "-"), result.get("last", "-")
        print(f"| {run} | {describe_exit(result['exit'])} | {result['groups']} | "
              f"{result['seconds']:.0f} | {first} | {last} |", flush=True)  # fmt: skip
    crashed = [result for result in results if result["exit"] != 0]
    print(f"\ngroups run: {sum(result['groups'] for result in results)}, "
          f"runs that died: {len(crashed)} of {len(results)}")  # fmt: skip
    for result in crashed:
        print("  ", " / ".join(result["stderr"]))
    if args.timing:
        opened, closed = timing(args.timing)
        print(f"\nStreamReader of one camera, medians of {args.timing}: "
              f"open() {opened * 1000:.1f} ms, close() {closed * 1000:.1f} ms")  # fmt: skip


if __name__ == "__main__":
    main()
