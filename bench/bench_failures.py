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
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import streams  # noqa: E402
from causes_runner import EvidenceWatch, loaded_libsoup, use_libsoup  # noqa: E402
from plumo import sysboot  # noqa: E402
from plumo.errors import StreamSetupError  # noqa: E402
from plumo.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from plumo.stream_reader import StreamReader  # noqa: E402
from plumo.stream_reader.causes import FailureEvidence  # noqa: E402
from plumo.utils.gstreamer import Gst  # noqa: E402

DIAGNOSE_WITHIN = 2.0


def targets(black_hole_port):
    return {
        "refused": f"http://127.0.0.1:{streams.closed_port()}/video",
        "no answer": f"http://127.0.0.1:{black_hole_port}/video",
        "10.255.255.1": "http://10.255.255.1/video",
        "unresolvable": "http://camera.invalid/video",
    }


def by_reader(url, start_timeout):
    begun = time.perf_counter()
    try:
        StreamReader(url, start_timeout=start_timeout).open().close()
        text = "opened"
    except StreamSetupError as e:
        text = str(e).split("': ", 1)[-1]
    return time.perf_counter() - begun, text


def by_evidence(url, start_timeout):
    begun = time.perf_counter()
    watch = EvidenceWatch(FailureEvidence(url))
    pipeline = HTTPPipelineFactory(url=url, pipeline_watcher=watch,
                                   on_complete=lambda p: None).build()  # fmt: skip
    try:
        if watch.failed.wait(start_timeout):
            text = watch.evidence.cause(diagnose_within=DIAGNOSE_WITHIN)
        else:
            text = f"Timeout while waiting for stream to start: {watch.evidence.stalled()}"
    finally:
        # As the reader does before it raises.
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(5)
        pipeline.release_resources()
    return time.perf_counter() - begun, text


def run(libsoup, rounds, start_timeout):
    """Measures in this process, with the libsoup given; returns the rows."""
    use_libsoup(libsoup)
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
    return {"libsoup": loaded_libsoup(), "rows": rows}


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
        measured = json.loads(done.stdout)
        print(f"\n{', '.join(measured['libsoup'])}:")
        for name, row in measured["rows"].items():
            print(f"  {name:24s} {statistics.median(row['times']):7.3f} s  {row['text']}")


if __name__ == "__main__":
    main()
