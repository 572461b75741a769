"""Pipeline: how soon wait_until_playing returns once a pipeline plays, and what new_element
costs against a plain-Python version of the same method, in one run.

Run: .venv/bin/python bench/bench_pipeline.py [--runs N] [--repeat N]

Latency: a synchronous bus handler notes when the first PLAYING state change is posted (on the
streaming thread); the waiting thread notes when wait_until_playing returns. The median and the
90th percentile over N start-ups are printed, for the compiled method and a plain-Python copy.
new_element: best-of-N time per call of each, timed alternately, and the ratio compiled/plain;
once with real elements (GStreamer's work dominates) and once with stand-ins made of C
callables, which leaves the method's own work.
"""

import argparse
import statistics
import sys
import time
from types import SimpleNamespace

import plumo.utils.gstreamer as gstreamer
from plumo.errors import NotLinkedError, StreamSetupError
from plumo.utils.gstreamer import Gst, Pipeline
from plumo.utils.timing import Timeout


class PlainPipeline(Pipeline):
    """The two measured methods, as plain Python."""

    def wait_until_playing(self, timeout):
        _, state, _ = self.get_state(0)
        if state == Gst.State.PLAYING:
            return
        timeout_obj = Timeout(timeout, raise_error=False)
        while timeout_obj:
            message = self.get_bus().timed_pop_filtered(
                Gst.SECOND * timeout, Gst.MessageType.STATE_CHANGED | Gst.MessageType.ERROR
            )
            if message is None:
                continue
            if message.type == Gst.MessageType.ERROR:
                error, _ = message.parse_error()
                raise StreamSetupError(error.message)
            if message.type == Gst.MessageType.STATE_CHANGED:
                _, new_state, _ = message.parse_state_changed()
                if new_state == Gst.State.PLAYING:
                    return
        _, state, _ = self.get_state(0)
        if state == Gst.State.PLAYING:
            return
        self.set_state(Gst.State.NULL)
        raise StreamSetupError("Timeout while waiting for stream to start")

    def new_element(self, factory_name, link_to=None, properties=None, auto_play=True, name=None):
        element = Gst.ElementFactory.make(factory_name, name)
        self.add(element)
        if properties is not None:
            for key, value in properties.items():
                element.set_property(key, value)
        if auto_play:
            element.set_state(Gst.State.PLAYING)
        if link_to is not None and not link_to.link(element):
            raise NotLinkedError("Failed to link " + factory_name)
        return element


def playing_latency(cls, launch):
    """Seconds from the first PLAYING state change being posted to wait_until_playing returning."""
    pipeline = cls.from_launch_string(launch, None)
    posted = []

    def note_playing(bus, message):
        if not posted and message.type == Gst.MessageType.STATE_CHANGED:
            if message.parse_state_changed()[1] == Gst.State.PLAYING:
                posted.append(time.perf_counter())
        return Gst.BusSyncReply.PASS

    pipeline.get_bus().set_sync_handler(note_playing)
    try:
        pipeline.set_state(Gst.State.PLAYING)
        pipeline.wait_until_playing(5)
        returned = time.perf_counter()
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.get_bus().set_sync_handler(None)
        pipeline.release_resources()
    return returned - posted[0]


def new_element_per_call(cls, calls):
    pipeline = cls(None)
    start = time.perf_counter()
    for _ in range(calls):
        pipeline.new_element("identity", properties={"silent": True}, auto_play=False)
    elapsed = time.perf_counter() - start
    pipeline.set_state(Gst.State.NULL)
    return elapsed / calls


# Stand-ins for GStreamer made of C callables only, so that no Python frame runs below
# new_element and the timing is the method's own work: make() is a dict's get, the element's
# methods are slice and id, and the pipeline's add is id.
NULL_ELEMENT = SimpleNamespace(set_property=slice, set_state=slice, link=id)
NULL_GST = SimpleNamespace(
    ElementFactory=SimpleNamespace(make={"identity": NULL_ELEMENT}.get),
    State=SimpleNamespace(PLAYING=4),
)


def method_overhead(repeat, calls):
    """new_element's own work, with GStreamer replaced by the stand-ins in both modules."""

    class Compiled(Pipeline):
        add = staticmethod(id)

    class Plain(PlainPipeline):
        add = staticmethod(id)

    saved = gstreamer.Gst
    gstreamer.Gst = sys.modules[__name__].Gst = NULL_GST
    try:
        best = {Compiled: float("inf"), Plain: float("inf")}
        for _ in range(repeat):
            for cls in best:
                p = cls(None)
                start = time.perf_counter()
                for _ in range(calls):
                    p.new_element("identity", NULL_ELEMENT, {"silent": True, "sync": False})
                best[cls] = min(best[cls], (time.perf_counter() - start) / calls)
    finally:
        gstreamer.Gst = sys.modules[__name__].Gst = saved
    return best[Compiled], best[Plain]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()

    launch = "videotestsrc is-live=true ! fakesink"
    latencies = {Pipeline: [], PlainPipeline: []}
    for _ in range(args.runs):
        for cls in latencies:
            latencies[cls].append(playing_latency(cls, launch))
    print(f"wait_until_playing: PLAYING posted -> return, {args.runs} start-ups of '{launch}'")
    for cls, label in ((Pipeline, "compiled"), (PlainPipeline, "plain")):
        values = sorted(latencies[cls])
        p90 = values[int(0.9 * (len(values) - 1))]
        print(f"  {label:<9} median {statistics.median(values) * 1e3:7.3f} ms   p90 {p90 * 1e3:7.3f} ms")

    best = {Pipeline: float("inf"), PlainPipeline: float("inf")}
    for _ in range(args.repeat):
        for cls in best:
            best[cls] = min(best[cls], new_element_per_call(cls, args.calls))
    c, p = best[Pipeline], best[PlainPipeline]
    print("new_element('identity', properties={'silent': True}, auto_play=False)")
    print(f"  real GStreamer      compiled {c * 1e6:7.2f} us   plain {p * 1e6:7.2f} us   ratio {c / p:5.2f}")
    c, p = method_overhead(args.repeat, 20 * args.calls)
    print(f"  C stand-ins         compiled {c * 1e6:7.2f} us   plain {p * 1e6:7.2f} us   ratio {c / p:5.2f}")


if __name__ == "__main__":
    main()
