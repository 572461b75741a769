"""Demonstration of plumo's timing and option-check modules (python -m plumo)."""

import argparse
import logging
import sys
import time

from plumo import logger
from plumo.errors import InvalidRuntimeOptionError
from plumo.stream_reader.knobset import check_knobset
from plumo.utils.timing import Timeout

# Options a stream reader could accept, by name and type.
SUPPORTED_OPTIONS = {"latency_ms": int, "drop_frames": bool, "name": str}


def demo_options() -> None:
    good = {"latency_ms": 200, "drop_frames": True}
    check_knobset(good, SUPPORTED_OPTIONS)
    print(f"options {good!r}: accepted")

    for bad in ({"latnecy_ms": 200}, {"latency_ms": "200"}):
        try:
            check_knobset(bad, SUPPORTED_OPTIONS)
        except InvalidRuntimeOptionError as exc:
            print(f"options {bad!r}: rejected: {exc}")
        else:
            print(f"options {bad!r}: accepted (not expected)")


def demo_deadline(seconds: float) -> None:
    iterations = 0
    start = time.monotonic()
    deadline = Timeout(seconds, raise_error=False)
    while deadline:
        iterations += 1
    elapsed = time.monotonic() - start
    print(f"deadline of {seconds} s: polled {iterations} times, expired after {elapsed:.3f} s")

    expired = Timeout(0)  # raise_error defaults to True
    try:
        while expired:
            pass
    except TimeoutError as exc:
        print(f"deadline of 0 s with raise_error=True: TimeoutError: {exc}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m plumo",
        description="Demonstrates plumo's compiled modules: option validation "
        "(plumo.stream_reader.knobset) and deadlines (plumo.utils.timing).",
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=0.2,
        help="length of the deadline polling demonstration (default: %(default)s)",
    )
    args = parser.parse_args(argv)

    logging.basicConfig(
        stream=sys.stderr,
        level=logging.INFO,
        format="%(asctime)s %(name)s %(levelname)s %(message)s",
    )
    logger.info("demonstration starting")
    demo_options()
    demo_deadline(args.seconds)
    logger.info("demonstration done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
