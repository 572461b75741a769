"""Failures: how long a stream that cannot start takes to say so, and what it says, for a refused
port, a local port that never answers, a far address (10.255.255.1), and a host name that does not
resolve; with each libsoup (in a process of its own), in two ways, in turns:

- reader: `StreamReader(url, start_timeout=S).open()` until it raises, with the cause it gives;
- evidence: the HTTP factory's pipeline, its messages fed to `FailureEvidence` as a reader's
  watcher feeds them, until the first error (then `cause()`, diagnosis included) or the start
  timeout (then `stalled()`).

Run: .venv/bin/python bench/bench_failures.py [--rounds N] [--start-timeout S] [--libsoup 2|3]

Per target and way, the median time over the rounds and the text (the last round's) are printed.
Both ways include stopping the pipeline, as the reader does before it raises. (On the development
machine a transparent proxy answers every outgoing connection, so 10.255.255.1 answers 404 there.)
"""

import argparse
import ctypes
import json
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"
DIAGNOSE_WITHIN = 2.0


def targets(black_hole_port):
    sys.path.insert(0, str(TESTS))
    import streams

    return {
        "refused": f"http://127.0.0.1:{streams.closed_port()}/video",
        "no answer": f"http://127.0.0.1:{black_hole_port}/video",
        "10.255.255.1": "http://10.255.255.1/video",
        "unresolvable": "http://camera.invalid/video",
    }


def by_reader(url, start_timeout):
    from plumo.errors import StreamSetupError
    from plumo.stream_reader import StreamReader

    begun = time.perf_counter()
    try:
        StreamReader(url, start_timeout=start_timeout).open().close()
        text = "opened"
    except StreamSetupError as e:
        text = str(e).split("': ", 1)[-1]
    return time.perf_counter() - begun, text


def by_evidence(url, start_timeout):
    from plumo.pipeline_factories.http import HTTPPipelineFactory
    from plumo.stream_reader.causes import FailureEvidence
    from plumo.utils.gstreamer import Gst

    evidence = FailureEvidence(url)
    started, failed = threading.Event(), threading.Event()

    def watch(_bus, message, pipeline):
        if message.type == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
            started.set()
        elif started.is_set():
            evidence.note(message)
            if message.type == Gst.MessageType.ERROR:
                failed.set()
        return True

    begun = time.perf_counter()
    factory = HTTPPipelineFactory(url=url, pipeline_watcher=watch, on_complete=lambda p: None)
    pipeline = factory.build()
    try:
        if failed.wait(start_timeout):
            text = evidence.cause(diagnose_within=DIAGNOSE_WITHIN)
        else:
            text = f"Timeout while waiting for stream to start: {evidence.stalled()}"
    finally:
        # As the reader does before it raises.
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(5)
        pipeline.release_resources()
    return time.perf_counter() - begun, text


def run(libsoup, rounds, start_timeout):
    """Measures in this process, with the libsoup given; returns the rows."""
    if libsoup == "2":
        # souphttpsrc takes the libsoup already loaded, if any.
        ctypes.CDLL("libsoup-2.4.so.1", mode=ctypes.RTLD_GLOBAL)
    sys.path.insert(0, str(TESTS))
    import streams
    from plumo import sysboot

    sysboot.start()
    rows = {}
    with streams.black_hole() as port:
        urls = targets(port)
        for _ in range(rounds):
            for name, url in urls.items():
                for way, measure in (("reader", by_reader), ("evidence", by_evidence)):
                    seconds, text = measure(url, start_timeout)
                    row = rows.setdefault(f"{name} / {way}", {"times": [], "text": ""})
                    row["times"].append(seconds)
                    row["text"] = text
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--start-timeout", type=float, default=3.0)
    parser.add_argument("--libsoup", choices=["2", "3"], help="measure in this process, as JSON")
    args = parser.parse_args()
    if args.libsoup:
        print(json.dumps(run(args.libsoup, args.rounds, args.start_timeout)))
        return
    print(f"start_timeout {args.start_timeout:g} s, diagnosis within {DIAGNOSE_WITHIN:g} s, "
          f"median of {args.rounds} rounds")  # fmt: skip
    for libsoup in ("3", "2"):
        done = subprocess.run(
            [sys.executable, __file__, "--libsoup", libsoup, "--rounds", str(args.rounds),
             "--start-timeout", str(args.start_timeout)],
            capture_output=True, text=True, check=True,
        )  # fmt: skip
        print(f"\nlibsoup {libsoup}:")
        for name, row in json.loads(done.stdout).items():
            print(f"  {name:24s} {statistics.median(row['times']):7.3f} s  {row['text']}")


if __name__ == "__main__":
    main()
