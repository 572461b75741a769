"""sample_to_ndarray per frame, against the floor (a bare numpy copy of the same bytes) and against
a plain-Python version of the same function, at three frame sizes, in one run.

Run: .venv/bin/python bench/bench_sample.py [--frames N] [--repeat N]

Each sample is a real Gst.Sample over a Gst.Buffer of width x height x 3 bytes, so mapping it
gives the bindings' memoryview and the conversion makes its one copy. The three ways are timed in
turn, in a rotating order, N frames each, and the best of the repeats is kept. Target: at 1920x1080, at most 1.5 times
the bare copy.
"""

import argparse
import time

import numpy as np

from plumo.utils.gstreamer import Gst, SampleConversionError, sample_to_ndarray

SIZES = [(320, 240), (1280, 720), (1920, 1080)]


def plain_sample_to_ndarray(sample):
    """The same function as plain Python."""
    structure = sample.get_caps().get_structure(0)
    success, width = structure.get_int("width")
    if not success:
        raise SampleConversionError("Sample caps structure does not have width")
    success, height = structure.get_int("height")
    if not success:
        raise SampleConversionError("Sample caps structure does not have height")
    buffer = sample.get_buffer()
    success, info = buffer.map(Gst.MapFlags.READ)
    if not success:
        raise SampleConversionError("Failed to map frame buffer")
    try:
        format_ = structure.get_string("format")
        if format_ != "BGR":
            raise SampleConversionError(f"Received a frame with an unsupported color format: {format_}")
        frame = np.ndarray(shape=(height, width, 3), dtype=np.uint8, buffer=info.data)
        if not isinstance(info.data, bytes):
            frame = frame.copy()
        frame.flags.writeable = False
        return frame
    finally:
        buffer.unmap(info)


def per_frame(convert, arg, frames):
    start = time.perf_counter()
    for _ in range(frames):
        convert(arg)
    return (time.perf_counter() - start) / frames


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--frames", type=int, default=200, help="frames per timing")
    parser.add_argument("--repeat", type=int, default=7, help="timings per way; the best is kept")
    args = parser.parse_args()

    print(f"{'size':>10} {'bare copy':>11} {'compiled':>11} {'plain':>11}"
          f" {'compiled/bare':>14} {'plain/bare':>11} {'compiled/plain':>15}")  # fmt: skip
    for width, height in SIZES:
        data = np.random.default_rng(0).integers(0, 256, width * height * 3, np.uint8).tobytes()
        caps = Gst.Caps.from_string(f"video/x-raw,format=BGR,width={width},height={height}")
        sample = Gst.Sample.new(Gst.Buffer.new_wrapped(data), caps, None, None)
        source = np.frombuffer(data, np.uint8).reshape(height, width, 3)
        assert np.array_equal(sample_to_ndarray(sample), source)
        assert np.array_equal(plain_sample_to_ndarray(sample), source)

        frames = max(20, args.frames * (320 * 240) // (width * height) * 4)
        ways = {"bare": (np.ndarray.copy, source), "compiled": (sample_to_ndarray, sample),
                "plain": (plain_sample_to_ndarray, sample)}  # fmt: skip
        best = {name: float("inf") for name in ways}
        order = list(ways)
        for _ in range(args.repeat):
            # Rotate who goes first: the way timed right after another sees its cache state.
            order = order[1:] + order[:1]
            for name in order:
                convert, arg = ways[name]
                best[name] = min(best[name], per_frame(convert, arg, frames))
        us = {name: t * 1e6 for name, t in best.items()}
        print(f"{width}x{height:<5} {us['bare']:9.1f}us {us['compiled']:9.1f}us"
              f" {us['plain']:9.1f}us {best['compiled'] / best['bare']:14.2f}"
              f" {best['plain'] / best['bare']:11.2f}"
              f" {best['compiled'] / best['plain']:15.2f}")  # fmt: skip


if __name__ == "__main__":
    main()
