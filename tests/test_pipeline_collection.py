"""What collecting a Pipeline does: it stops the pipeline (NULL) and releases what was attached
to it, whichever thread drops it (one of the pipeline's own streaming threads included), and at
interpreter exit, whatever order the interpreter clears things in.

Each case is a small script run in a process of its own, which must exit cleanly with no
GStreamer CRITICAL: a pipeline disposed of while it runs is reported as CRITICAL, and its
streaming threads then crash the process."""

import subprocess
import sys

import pytest

PRELUDE = """
import gc, sys, threading, time, weakref
from plumo.utils.gstreamer import Gst, Pipeline

def until(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)

def alone(p):
    # Until the wrapper holds the only reference: one that GStreamer holds for a while (a message
    # on the bus, a state change finishing on a thread of its own) would put the drop off.
    until(lambda: p.__grefcount__ == 1)

def playing(launch="videotestsrc name=src ! fakesink"):
    p = Pipeline.from_launch_string(launch, None)
    p.set_state(Gst.State.PLAYING)
    assert p.get_state(5 * Gst.SECOND)[1] == Gst.State.PLAYING
    bus = p.get_bus()
    while bus.pop():  # messages on the bus hold the pipeline
        pass
    alone(p)
    return p

def collect_until_gone(ref):
    # A collection asked for while another thread's is under way (one that let go of the GIL
    # to release an object) does nothing: ask again until the pipeline is gone.
    until(lambda: gc.collect() is not None and ref() is None)

def stopped(element):
    return element.get_state(0)[1] == Gst.State.NULL

# Which thread dropped the pipeline (the main thread unless a case says otherwise), and which
# released it: an undo action notes it.
dropped_on, released_on, released = [threading.get_ident()], [], threading.Event()

def dropping():
    dropped_on[:] = [threading.get_ident()]

def note_release():
    released_on.append(threading.get_ident())
    released.set()

def report():
    by = "the thread that dropped it" if released_on == dropped_on else "another thread"
    print("stopped" if stopped(src) else "running", "and released by", by)
"""

# A pipeline in a reference cycle: its bus watch's undo action holds it. The GLib main loop
# takes its messages, so that the cycle is all that holds it.
CYCLE = """
from plumo import sysboot
sysboot.start()
p = Pipeline.from_launch_string("videotestsrc name=src ! fakesink", None)
p.add_bus_watch(lambda bus, message: True)
p.set_state(Gst.State.PLAYING)
assert p.get_state(5 * Gst.SECOND)[1] == Gst.State.PLAYING
alone(p)
src, ref = p.get_by_name("src"), weakref.ref(p)
go, collected = threading.Event(), threading.Event()
p.destructors.append(note_release)
"""

DROPPED_AND_STOPPED = """
until(released.is_set)
until(lambda: stopped(src))
report()
"""

# On the main thread the pipeline is stopped and released before the drop returns.
STOPPED_AT_ONCE = """
report()
"""

CASES = {
    "one-liner": """
Pipeline("x").new_element("videotestsrc")
""",
    # `new_element` starts what it adds; the pipeline itself is still in NULL.
    "children started on their own": """
p = Pipeline(None)
src = p.new_element("videotestsrc")
p.destructors.append(note_release)
alone(p)
del p
""" + STOPPED_AT_ONCE,
    "started on its own, in a bin within": """
p = Pipeline(None)
inner, src = Gst.Bin.new("inner"), Gst.ElementFactory.make("videotestsrc")
p.add(inner)
inner.add(src)
src.set_state(Gst.State.PLAYING)
p.destructors.append(note_release)
alone(p)
del p, inner
""" + STOPPED_AT_ONCE,
    "dropped on the main thread": """
p = playing()
src = p.get_by_name("src")
p.destructors.append(note_release)
del p
""" + STOPPED_AT_ONCE,
    "dropped on another thread": """
holder = [playing()]
src = holder[0].get_by_name("src")
holder[0].destructors.append(note_release)
dropper = threading.Thread(target=lambda: (dropping(), holder.clear()))
dropper.start()
dropper.join()
""" + DROPPED_AND_STOPPED,
    "dropped in its own pad probe": """
holder = [playing()]
src = holder[0].get_by_name("src")
go, dropped = threading.Event(), threading.Event()

def probe(pad, info):
    if go.is_set() and holder:
        dropping()
        holder.clear()  # the last reference, on the pipeline's own streaming thread
        dropped.set()
    return Gst.PadProbeReturn.OK

holder[0].add_pad_probe(src.get_static_pad("src"), Gst.PadProbeType.BUFFER, probe)
holder[0].destructors.append(note_release)
go.set()
assert dropped.wait(10)
""" + DROPPED_AND_STOPPED,
    "dropped in a bus watch, on the GLib main loop's thread": """
from plumo import sysboot
sysboot.start()
holder = [playing()]
src, dropped = holder[0].get_by_name("src"), threading.Event()
holder[0].destructors.append(note_release)

def watch(bus, message):
    if message.type == Gst.MessageType.APPLICATION:
        dropping()
        holder.clear()
        dropped.set()
    return True

bus = holder[0].get_bus()
bus.add_watch(0, watch)
bus.post(Gst.Message.new_application(None, Gst.Structure.new_empty("drop")))
assert dropped.wait(10)
""" + DROPPED_AND_STOPPED,
    "in a cycle, collected on the main thread": CYCLE + """
del p
collect_until_gone(ref)
""" + STOPPED_AT_ONCE,
    "in a cycle, collected on another thread": CYCLE + """
del p
collector = threading.Thread(target=lambda: (dropping(), collect_until_gone(ref)))
collector.start()
collector.join()
""" + DROPPED_AND_STOPPED,
    # The cycle collector runs wherever objects are allocated, inside `threading`'s own
    # bookkeeping too, under a lock that a thread started through `threading` takes before it
    # tells its starter that it runs.
    "in a cycle, collected while threading's lock is held": CYCLE + """
del p

def collect():
    dropping()
    with threading._shutdown_locks_lock:
        collect_until_gone(ref)

collector = threading.Thread(target=collect)
collector.start()
collector.join()
""" + DROPPED_AND_STOPPED,
    "in a cycle, collected in its own pad probe": CYCLE + """
def probe(pad, info):
    if go.is_set() and not collected.is_set():
        dropping()
        collect_until_gone(ref)  # on the pipeline's own streaming thread
        collected.set()
    return Gst.PadProbeReturn.OK

p.add_pad_probe(src.get_static_pad("src"), Gst.PadProbeType.BUFFER, probe)
del p
go.set()
assert collected.wait(10)
""" + DROPPED_AND_STOPPED,
    # Setting a pipeline to NULL leaves an element with a locked state as it is: disposing of
    # the pipeline would dispose of it running.
    "does not stop": """
import logging
logging.basicConfig(stream=sys.stdout, format="%(message)s")
p = Pipeline("locked")
src = p.new_element("videotestsrc")
src.set_locked_state(True)
alone(p)
del p
print(src.get_state(0)[1].value_nick)
""",
    "in a cycle at exit": CYCLE + """
del p
""",
    "in a module global at exit": """
p = playing()
""",
    # A streaming thread that calls into Python while the interpreter is torn down is stopped where
    # it stands, holding its pad's lock. (The probe has globals of its own: this module's would
    # stay alive with it, and the pipeline with them.)
    "in a module global at exit, with a pad probe": """
p = playing()
p.add_pad_probe(p.get_by_name("src").get_static_pad("src"), Gst.PadProbeType.BUFFER,
                eval("lambda pad, info: 1", {}))
""",
    # sys is cleared after the bindings' own modules: about the last moment anything is dropped.
    "held by sys at exit": """
sys.kept = playing()
""",
    # Exit handlers run last registered first: these, registered before the package is imported,
    # run after the package's own.
    "started at exit, after the package's exit hook": """
import atexit
atexit.register(lambda: setattr(sys, "kept", playing()))
{prelude}""",
    # By then the interpreter no longer waits for threads: one that stopped the pipeline (slow to
    # stop here) would be ended in the middle of it, as the interpreter is torn down.
    "dropped on another thread at exit, after the package's exit hook": """
import atexit

def drop_late():
    holder = [playing("videotestsrc ! identity sleep-time=300000 ! fakesink")]
    dropper = threading.Thread(target=holder.clear)
    dropper.start()
    dropper.join()

atexit.register(drop_late)
{prelude}""",
}


def run(script):
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)  # fmt: skip


STOPPED = "stopped and released by the thread that dropped it\n"
HANDED_OFF = "stopped and released by another thread\n"
KEPT = "Pipeline locked did not stop; it is kept, running, until the process exits\n"
EXPECTED = {
    "children started on their own": STOPPED,
    "started on its own, in a bin within": STOPPED,
    "dropped on the main thread": STOPPED,
    "dropped on another thread": HANDED_OFF,
    "dropped in its own pad probe": HANDED_OFF,
    "dropped in a bus watch, on the GLib main loop's thread": HANDED_OFF,
    "in a cycle, collected on the main thread": STOPPED,
    "in a cycle, collected on another thread": HANDED_OFF,
    "in a cycle, collected while threading's lock is held": HANDED_OFF,
    "in a cycle, collected in its own pad probe": HANDED_OFF,
    # Kept for good: the exit hook finds it still running, and keeps it again.
    "does not stop": KEPT + "playing\n" + KEPT,
}


@pytest.mark.parametrize("case, body", CASES.items(), ids=CASES.keys())
def test_a_dropped_pipeline_is_stopped_without_a_crash(case, body):
    body = body if "{prelude}" in body else "{prelude}" + body
    done = run(body.replace("{prelude}", PRELUDE))
    assert done.returncode == 0, done.stderr
    assert "CRITICAL" not in done.stderr, done.stderr
    assert done.stdout == EXPECTED.get(case, ""), done.stderr
