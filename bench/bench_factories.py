"""Factories: from build() to the first frame, and what build() itself costs, for the compiled HTTP
factory against a plain-Python copy of it, and for the custom factory, in one run.

Run: .venv/bin/python bench/bench_factories.py [--builds N] [--rounds N]

A local HTTP server (the tests' own) serves an MJPEG clip at once. Each build is followed by the
first frame pulled from its appsink, then NULL and release_resources. The variants take turns,
round after round, so that drift hits them alike; per variant the median of all builds is printed,
with the ratio to the plain-Python copy.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import streams  # noqa: E402
from plumo.pipeline_factories import base  # noqa: E402
from plumo.pipeline_factories.custom import CustomPipelineFactory  # noqa: E402
from plumo.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from plumo.utils.gstreamer import Gst, Pipeline, sample_to_ndarray  # noqa: E402

TEMPLATE = (
    "souphttpsrc location={url} name=buffer_src ! decodebin ! videoconvert"
    " ! video/x-raw,format=BGR ! appsink name=main_sink"
)


class PlainHTTPPipelineFactory(base.PipelineFactory):
    """The HTTP factory as plain Python."""

    def __init__(self, *, url, pipeline_watcher, on_complete):
        super().__init__(url=url, max_framerate=base._FRAMERATE_LIMIT, on_complete=on_complete)
        self._pipeline_watcher = pipeline_watcher

    def build(self):
        pipeline = Pipeline(self._url)
        pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
        pipeline.appsink = pipeline.new_element("appsink", properties=base._APPSINK_PROPERTIES)
        source = pipeline.new_element(
            "souphttpsrc", properties={"location": self._url}, name=base.BUFFER_SRC_NAME
        )
        self._set_up_decoder(source, source.get_static_pad("src"), pipeline)
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline


def one_build(factory):
    start = time.perf_counter()
    pipeline = factory.build()
    built = time.perf_counter()
    sample = pipeline.appsink.try_pull_sample(5 * Gst.SECOND)
    first = time.perf_counter()
    if sample is None:
        raise RuntimeError("no frame within 5 s")
    sample_to_ndarray(sample)
    pipeline.set_state(Gst.State.NULL)
    pipeline.release_resources()
    return built - start, first - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--builds", type=int, default=20, help="builds per variant per round")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    with streams.StreamServer(streams.make_clips()) as server:
        url = server.url("/clip.mkv")
        common = dict(url=url, pipeline_watcher=lambda *a: True, on_complete=lambda p: None)
        variants = {
            "HTTPPipelineFactory": HTTPPipelineFactory(**common),
            "plain-Python HTTP factory": PlainHTTPPipelineFactory(**common),
            "CustomPipelineFactory": CustomPipelineFactory(TEMPLATE, **common),
        }
        times = {name: ([], []) for name in variants}
        for _ in range(3):  # warm-up: plugins loaded, caches filled
            for factory in variants.values():
                one_build(factory)
        for round_ in range(args.rounds):
            order = list(variants)[round_ % 3 :] + list(variants)[: round_ % 3]
            for name in order:
                for _ in range(args.builds):
                    build, first = one_build(variants[name])
                    times[name][0].append(build)
                    times[name][1].append(first)

    plain = "plain-Python HTTP factory"
    plain_build = statistics.median(times[plain][0])
    plain_first = statistics.median(times[plain][1])
    print(f"{args.rounds} rounds x {args.builds} builds per variant; medians")
    print(f"{'variant':28} {'build()':>10} {'ratio':>6} {'first frame':>12} {'ratio':>6}")
    for name, (builds, firsts) in times.items():
        b, f = statistics.median(builds), statistics.median(firsts)
        print(f"{name:28} {b * 1e3:8.2f}ms {b / plain_build:6.2f} {f * 1e3:10.2f}ms "
              f"{f / plain_first:6.2f}")  # fmt: skip


if __name__ == "__main__":
    main()
