"""Opens and closes groups of HTTP streams again and again, in a process of its own, so that a
crash is an exit code rather than a dead test run. Used by test_stream_churn.py and
bench/bench_churn.py:

    python churn_runner.py [--groups N] [--streams N] [--kind group|factory] [--seed N]
                           [--libsoup 2|3]

Each group is StreamGroup of live cameras (`--kind group`: opened, a few frames read, closed in
the middle of the reading), or as many pipelines built at once by HTTPPipelineFactory, each
stopped after its first frame (`--kind factory`). Prints "group N" as each group is closed, then
one line of JSON: the groups run, and the process's threads, open files and resident KiB after
the first group and at the end.
"""

import argparse
import gc
import json
import os
import random
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from causes_runner import loaded_libsoup, use_libsoup  # noqa: E402

import streams  # noqa: E402

# At most this long for anything to start, or a frame to come.
WAIT = 20.0
# The frames read from a group before it is closed: none to this many.
MOST_FRAMES = 24


def churn_group(urls, rng: random.Random) -> None:
    from plumo.stream_reader import StreamGroup

    wanted = rng.randint(0, MOST_FRAMES)
    with StreamGroup(urls, start_timeout=WAIT, read_timeout=WAIT) as group:
        for read, _ in enumerate(group, 1):
            if read >= wanted:
                break
        if group.errors:
            raise RuntimeError(f"a stream failed: {next(iter(group.errors.values()))!r}")


def churn_factory(urls, _rng: random.Random) -> None:
    from plumo.pipeline_factories.http import HTTPPipelineFactory
    from plumo.utils.gstreamer import Gst

    failures = []

    def build_and_stop(url):
        factory = HTTPPipelineFactory(url=url, pipeline_watcher=lambda *_: True,
                                      on_complete=lambda _: None)  # fmt: skip
        pipeline = factory.build()
        try:
            if pipeline.appsink.emit("try-pull-sample", int(WAIT * Gst.SECOND)) is None:
                failures.append(url)
        finally:
            pipeline.set_state(Gst.State.NULL)
            pipeline.release_resources()

    threads = [threading.Thread(target=build_and_stop, args=(url,)) for url in urls]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(2 * WAIT)
    if failures or any(thread.is_alive() for thread in threads):
        raise RuntimeError(f"no frame from {failures or 'a stream'}")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--groups", type=int, default=120)
    parser.add_argument("--streams", type=int, default=8)
    parser.add_argument("--kind", choices=["group", "factory"], default="group")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--libsoup", choices=["2", "3"], default="3")
    args = parser.parse_args()
    use_libsoup(args.libsoup)
    from plumo import sysboot

    sysboot.start()
    churn = churn_group if args.kind == "group" else churn_factory
    rng = random.Random(args.seed)
    with streams.StreamServer(streams.make_clips(frames=10)) as server:
        for number in range(1, args.groups + 1):
            urls = [server.url(f"/live.mjpg?group={number}&stream={n}")
                    for n in range(args.streams)]  # fmt: skip
            churn(urls, rng)
            print(f"group {number}", flush=True)
            if number == 1:
                gc.collect()
                first = streams.settled_usage()
        gc.collect()
        last = streams.settled_usage()
    print(json.dumps({"groups": args.groups, "first": first, "last": last,
                      "libsoup": loaded_libsoup()}), flush=True)  # fmt: skip
    return 0


if __name__ == "__main__":
    sys.exit(main())
