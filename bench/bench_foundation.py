"""Compiled Timeout and check_knobset against plain-Python versions of the same code, in one run.

Run: .venv/bin/python bench/bench_foundation.py [--repeat N]
Prints the best-of-N time per call of each and the ratio compiled/plain (below 1.0: compiled wins).
"""

import argparse
import timeit
from time import time

from plumo import logger
from plumo.errors import InvalidRuntimeOptionError
from plumo.stream_reader.knobset import check_knobset
from plumo.utils.timing import Timeout


class PlainTimeout:
    def __init__(self, time_seconds, raise_error=True, print_timeout=False):
        self.start = time()
        self.time_seconds = time_seconds
        self.raise_error = raise_error
        self.print_timeout = print_timeout

    def reset(self):
        self.start = time()

    def __bool__(self):
        still_going = time() - self.start < self.time_seconds
        if not still_going and self.print_timeout:
            logger.warning(f"Timer timed out! Time: {time() - self.start}")
        if not still_going and self.raise_error:
            raise TimeoutError(
                f"Timer of {self.time_seconds} seconds timed out at {time() - self.start} seconds!"
            )
        return still_going


def plain_check_knobset(supplied, supported):
    for key, val in supplied.items():
        if key not in supported:
            raise InvalidRuntimeOptionError(f"Unknown option '{key}'")
        if not isinstance(val, supported[key]):
            raise InvalidRuntimeOptionError(
                f"Option '{key}' should be of type '{supported[key]}', got '{type(val)}'"
            )


SUPPORTED = {f"option_{i}": (int, float) if i % 2 else str for i in range(10)}
SUPPLIED = {f"option_{i}": i * 1.5 if i % 2 else f"v{i}" for i in range(10)}


def best_per_call(stmt, compiled, plain, number, repeat):
    """Best time per call of each, the two timed alternately so load drift hits both alike."""
    timers = [timeit.Timer(stmt, globals=names) for names in (compiled, plain)]
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=100_000)
    args = parser.parse_args()

    # The same statement runs against each implementation, bound to the same names.
    compiled = {"T": Timeout, "t": Timeout(3600), "check": check_knobset}
    plain = {"T": PlainTimeout, "t": PlainTimeout(3600), "check": plain_check_knobset}
    for names in (compiled, plain):
        names.update(supplied=SUPPLIED, supported=SUPPORTED)
    cases = [
        ("bool(Timeout)", "bool(t)", args.number),
        ("Timeout(...)", "T(5, raise_error=False)", args.number),
        ("check_knobset, 10 options", "check(supplied, supported)", args.number // 10),
    ]
    print(f"{'case':<28}{'compiled ns':>14}{'plain ns':>12}{'ratio':>8}")
    for name, stmt, number in cases:
        c, p = best_per_call(stmt, compiled, plain, number, args.repeat)
        print(f"{name:<28}{c * 1e9:>14.1f}{p * 1e9:>12.1f}{c / p:>8.2f}")


if __name__ == "__main__":
    main()
