"""Demonstration of plumo's compiled modules (python -m plumo): option checks, deadlines, and a
test-pattern pipeline built, run and torn down with the library started by sysboot."""

import argparse
import logging
import sys
import threading
import time

from plumo import logger, sysboot
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


def demo_pipeline(frames: int) -> None:
    # Imported here: importing the module initialises GStreamer.
    from plumo.utils.gstreamer import Gst, Pipeline

    sysboot.start()
    pipeline = Pipeline("demo")
    src = pipeline.new_element("videotestsrc", properties={"num-buffers": frames}, auto_play=False)
    convert = pipeline.new_element("videoconvert", link_to=src, auto_play=False)
    capsfilter, caps = pipeline.filter_caps(
        convert, ["video/x-raw,format=BGR,width=320,height=240"], auto_play=False
    )
    pipeline.appsink = pipeline.new_element(
        "appsink", link_to=capsfilter, properties={"sync": False}, auto_play=False
    )
    ended = []

    def watch(bus, message, pipeline):
        if message.type == Gst.MessageType.EOS:
            ended.append(threading.current_thread().name)
        return True

    try:
        pipeline.set_state(Gst.State.PLAYING)
        pipeline.wait_until_playing(5)
        # Attached once playing: the wait and a watch would compete for the same messages.
        pipeline.add_bus_watch(watch, pipeline)
        pulled = 0
        while pipeline.appsink.emit("try-pull-sample", Gst.SECOND) is not None:
            pulled += 1
        deadline = Timeout(5, raise_error=False)
        while not ended and deadline:
            time.sleep(0.01)
        print(f"pipeline {pipeline.get_name()!r} ({caps}): pulled {pulled} frames, "
              f"end of stream seen on thread {ended[0] if ended else None!r}")
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(5)
        pipeline.release_resources()
        sysboot.close()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m plumo",
        description="Demonstrates plumo's compiled modules: option validation "
        "(plumo.stream_reader.knobset), deadlines (plumo.utils.timing) and a pipeline "
        "(plumo.utils.gstreamer, started with plumo.sysboot).",
    )
    parser.add_argument(
        "--seconds",
        type=float,
        default=0.2,
        help="length of the deadline polling demonstration (default: %(default)s)",
    )
    parser.add_argument(
        "--frames",
        type=int,
        default=30,
        help="frames the test-pattern pipeline produces (default: %(default)s)",
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
    demo_pipeline(args.frames)
    logger.info("demonstration done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
