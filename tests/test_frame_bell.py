"""The bell a reader of many streams waits on: rung by appsinks from their streaming threads
(without the GIL) and by Python, each key handed out once until it rings again."""

import gc
import threading

import pytest

from plumo.utils.gstreamer import FrameBell, Gst, Pipeline


def appsink_pipeline(frames: int) -> Pipeline:
    return Pipeline.from_launch_string(
        f"videotestsrc num-buffers={frames} ! video/x-raw,width=64,height=48 "
        "! appsink name=sink sync=false max-buffers=1000",
        None,
    )


def test_keys_come_once_each_in_the_order_they_first_rang():
    bell = FrameBell()
    assert bell.wait(0.0) == []
    for key in (3, 1, 3, 0, 1):
        bell.ring(key)
    assert bell.wait(0.0) == [3, 1, 0]
    assert bell.wait(0.0) == []
    bell.ring(3)  # taken, so it rings again
    assert bell.wait(0.0) == [3]


def test_a_wait_ends_when_another_thread_rings():
    bell = FrameBell()
    threading.Timer(0.05, bell.ring, (7,)).start()
    assert bell.wait(30.0) == [7]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda bell: bell.ring(-1), ValueError),
        (lambda bell: bell.ring(1 << 20), ValueError),
        (lambda bell: bell.ring("1"), TypeError),
        (lambda bell: bell.wait(-1.0), ValueError),
        (lambda bell: bell.wait(float("nan")), ValueError),
        (lambda bell: bell.wait(float("inf")), ValueError),
        (lambda bell: bell.watch(Gst.ElementFactory.make("fakesink"), 0), TypeError),
    ],
)
def test_bad_arguments_are_refused(call, error):
    with pytest.raises(error):
        call(FrameBell())


def test_an_appsink_rings_for_its_samples_and_its_end(main_loop):
    bell = FrameBell()
    pipeline = appsink_pipeline(5)
    sink = pipeline.get_by_name("sink")
    bell.watch(sink, 4)
    pipeline.set_state(Gst.State.PLAYING)
    try:
        pulled = 0
        while pulled < 5:
            assert bell.wait(10.0) == [4]
            while sink.try_pull_sample(0) is not None:
                pulled += 1
        # The end of the stream rings too (if the last sample's ring was not taken with it).
        while not sink.is_eos():
            assert bell.wait(10.0) == [4]
        assert pulled == 5
    finally:
        pipeline.set_state(Gst.State.NULL)


def test_an_appsink_may_ring_a_bell_that_python_has_let_go(main_loop):
    # The watch shares the bell's state: a streaming thread never rings freed memory.
    pipeline = appsink_pipeline(50)
    sink = pipeline.get_by_name("sink")
    bell = FrameBell()
    bell.watch(sink, 0)
    del bell
    gc.collect()
    pipeline.set_state(Gst.State.PLAYING)
    try:
        pulled = 0
        while sink.try_pull_sample(10 * Gst.SECOND) is not None:
            pulled += 1
        assert pulled == 50 and sink.is_eos()
    finally:
        pipeline.set_state(Gst.State.NULL)
