"""plumo.sysboot: start-up and shutdown, the "SysbootThread" main loop, rank overrides.

Real loops and threads run in subprocesses with a time-out, so a hang fails a test instead of
stalling the suite. In this process the module's attributes are replaced by fakes (the functions
look them up at every call) and restored by monkeypatch; decoder ranks are restored after each
rank test. A watchdog ends the run with tracebacks if any test here blocks for a few minutes."""

import faulthandler
import inspect
import os
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

from plumo import sysboot
from gi.repository import Gst

NOT_STARTED = (
    "The GObject libraries have not been initialized yet. "
    "They can be initialized with sysboot.start()"
)
INVALID = (
    "Invalid rank value for {}: '{}'. The value must be an unsigned integer. "
    "The plugin's rank will not be changed."
)


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(150, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def run_script(body, timeout=60, prelude="import threading\nfrom plumo import sysboot\n", **env):
    """Runs `body` in a fresh interpreter, after `prelude`; returns its stdout."""
    clean = {k: v for k, v in os.environ.items() if not (k.startswith("PLUMO_") and k.endswith("_RANK"))}
    code = prelude + textwrap.dedent(body)
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env={**clean, **env}
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def lock_is_free():
    """Whether another thread can take the module's lock (this thread could, lock or not)."""
    got = []

    def probe():
        if sysboot._lock.acquire(timeout=5):
            got.append(True)
            sysboot._lock.release()

    t = threading.Thread(target=probe)
    t.start()
    t.join(10)
    return got == [True]


# --- The module's face ---------------------------------------------------------------------------


def test_module_namespace_and_functions():
    names = [n for n in vars(sysboot) if not n.startswith("__")]
    assert names == [
        "os", "RLock", "Thread", "GLib", "Gst", "logger", "_lock", "_running", "_glib_main_loop",
        "_glib_main_loop_thread", "start", "assert_started", "close", "_override_ranks",
    ]  # fmt: skip
    assert sysboot.__doc__ == "Provides functions to initialize and tear down GObject libraries."
    assert type(sysboot._lock) is type(threading.RLock())
    assert str(inspect.signature(sysboot.start)) == "(start_main_loop=True)"
    assert sysboot.start.__doc__.startswith(
        "Initialize GObject libraries if they're not already initialized.\n\n    :param start_main_loop:"
    )
    assert sysboot._override_ranks.__doc__.startswith(
        "Overrides the default rank values for the elements of any plugin that has a rank\n"
        "    override environment variable set."
    )
    assert "PLUMO_NVCODEC_RANK=257" in sysboot._override_ranks.__doc__


@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        ("start", (True, 1), {}, "start() takes at most 1 positional argument (2 given)"),
        ("start", (), {"main_loop": False}, "start() got an unexpected keyword argument 'main_loop'"),
        ("close", (1,), {}, "close() takes exactly 0 positional arguments (1 given)"),
        ("assert_started", (), {"x": 1}, "assert_started() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(sysboot, func)(*args, **kwargs)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "order",
    [
        ["plumo.utils.timing", "gi.repository.Gst", "plumo.stream_reader.knobset", "plumo.sysboot"],
        ["plumo.sysboot", "plumo.utils.timing", "plumo.stream_reader.knobset"],
        ["gi.repository.Gst", "plumo.utils.timing", "plumo.sysboot", "plumo.stream_reader.knobset"],
        ["plumo.utils.gstreamer", "plumo.sysboot", "plumo.stream_reader.knobset"],
    ],
    ids=["module-gst-module", "sysboot-then-modules", "gst-then-modules", "pipeline-module-first"],
)
def test_exceptions_unwind_whatever_loads_gstreamer_first(order):
    # GStreamer brings libunwind into the global symbol scope; a compiled module loaded after it
    # must still unwind through the same library as libstdc++, or the first raise aborts.
    run_script(
        f"""
        import importlib, gi
        gi.require_version("Gst", "1.0")
        for name in {order!r}:
            importlib.import_module(name)
        from plumo import sysboot
        from plumo.stream_reader.knobset import check_knobset
        from plumo.utils.timing import Timeout
        from plumo.utils.gstreamer import Pipeline
        for call, error in [(lambda: bool(Timeout(0)), TimeoutError), (sysboot.assert_started, RuntimeError),
                            (lambda: check_knobset({{"a": 1}}, {{}}), Exception),
                            (lambda: Pipeline(5), TypeError)]:
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError("no exception")
        """,
        prelude="",
    )


# --- Order of the steps and the state, with fakes --------------------------------------------------


class Fakes:
    """Gst.init, GLib.MainLoop, Thread and _override_ranks that log what is done to them. The loop's
    is_running and the thread's is_alive are built-ins: while start() polls them this thread runs
    no bytecode, so another thread gets the GIL only if start() releases it."""

    def __init__(self):
        self.calls, self.init_error, self.quit_error, self.thread_alive = [], None, None, True
        self.on_overrides = lambda: None
        self.on_thread_start = lambda target: target()

    def init(self, *args):
        self.calls.append(f"init{args!r}")
        if not args and self.init_error is not None:
            raise self.init_error("init() needs argv")

    def main_loop_new(self, **kwargs):
        self.calls.append(f"MainLoop.new({kwargs})")
        state = []
        return types.SimpleNamespace(run=lambda: state.append(1), is_running=state.__len__, quit=self.quit)

    def quit(self):
        self.calls.append("quit")
        if self.quit_error is not None:
            raise self.quit_error

    def thread(self, target, **kwargs):
        self.calls.append(f"Thread({kwargs})")
        start = lambda: (self.calls.append("thread.start"), self.on_thread_start(target))  # noqa: E731
        join = lambda: self.calls.append("join")  # noqa: E731
        return types.SimpleNamespace(target=target, start=start, is_alive=self.thread_alive.__bool__, join=join)

    def overrides(self):
        self.calls.append("overrides")
        self.on_overrides()


@pytest.fixture
def fakes(monkeypatch):
    f = Fakes()
    monkeypatch.setattr(sysboot, "Gst", types.SimpleNamespace(init=f.init))
    monkeypatch.setattr(sysboot, "GLib", types.SimpleNamespace(MainLoop=types.SimpleNamespace(new=f.main_loop_new)))
    monkeypatch.setattr(sysboot, "Thread", f.thread)
    monkeypatch.setattr(sysboot, "_override_ranks", f.overrides)
    for name, value in [("_running", False), ("_glib_main_loop", None), ("_glib_main_loop_thread", None)]:
        monkeypatch.setattr(sysboot, name, value)
    return f


@pytest.mark.parametrize("init_error, inits", [(None, ["init()"]), (TypeError, ["init()", "init(None,)"])])
def test_start_close_restart(fakes, init_error, inits):
    fakes.init_error = init_error
    # _running is set last, and the lock is reentrant: a nested call on this thread goes through.
    fakes.on_overrides = lambda: pytest.raises(RuntimeError, sysboot.assert_started)
    assert sysboot.start() is None
    loop, thread = sysboot._glib_main_loop, sysboot._glib_main_loop_thread
    assert fakes.calls == inits + [
        "MainLoop.new({'context': None, 'is_running': False})",
        "Thread({'name': 'SysbootThread', 'daemon': True})",
        "thread.start",
        "overrides",
    ]
    assert thread.target is loop.run and sysboot._running is True

    fakes.calls.clear()
    assert sysboot.start(start_main_loop=True) is None and sysboot.assert_started() is None
    assert fakes.calls == []  # already running: nothing again
    assert sysboot.close() is None and sysboot.close() is None
    assert fakes.calls == ["quit", "join"] and sysboot._running is False
    assert (sysboot._glib_main_loop, sysboot._glib_main_loop_thread) == (loop, thread)
    with pytest.raises(RuntimeError) as excinfo:
        sysboot.assert_started()
    assert excinfo.value.args == (NOT_STARTED,)

    fakes.calls.clear()
    sysboot.start(0)  # no new loop: close() then quits and joins the earlier one again
    sysboot.close()
    assert fakes.calls == inits + ["overrides", "quit", "join"] and sysboot._glib_main_loop is loop
    assert lock_is_free()


@pytest.mark.parametrize("where", ["init", "overrides", "quit"])
def test_failures_propagate_and_release_the_lock(fakes, monkeypatch, where):
    error = OSError(where)

    def fail(*args):
        raise error

    if where == "init":
        monkeypatch.setattr(sysboot, "Gst", types.SimpleNamespace(init=fail))
    elif where == "overrides":
        fakes.on_overrides = fail
    else:
        sysboot.start()
        fakes.quit_error = error
    with pytest.raises(OSError, match=where):
        sysboot.close() if where == "quit" else sysboot.start()
    assert lock_is_free()
    assert sysboot._running is (where == "quit")
    # A loop made before the failure stays in the module.
    assert (sysboot._glib_main_loop is None) is (where == "init")


def later(target):
    """Runs the loop a little later, from a Python thread."""

    def run():
        time.sleep(0.05)
        target()

    threading.Thread(target=run, daemon=True).start()


@pytest.mark.parametrize(
    "on_thread_start, alive, low, high",
    [(later, True, 0.05, 3), (None, False, 0, 1), (None, True, 4.5, 15)],
    ids=["runs-after-a-while", "thread-ended", "never-runs"],
)
def test_start_waits_for_the_loop_to_run(fakes, on_thread_start, alive, low, high):
    fakes.on_thread_start = on_thread_start or (lambda target: None)
    fakes.thread_alive = alive
    begun = time.monotonic()
    sysboot.start()
    assert low <= time.monotonic() - begun < high
    assert bool(sysboot._glib_main_loop.is_running()) is (on_thread_start is not None)
    assert fakes.calls[-1] == "overrides" and sysboot._running is True


# --- Rank overrides, on the decoders installed here ------------------------------------------------


class Log:
    def __init__(self):
        self.lines = []

    def info(self, text):
        self.lines.append(("info", text))

    def error(self, text):
        self.lines.append(("error", text))


def decoders(plugin, min_rank=Gst.Rank.MARGINAL):
    found = Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DECODER, min_rank)
    return [f for f in found if f.get_plugin_name() == plugin]


@pytest.fixture
def log(monkeypatch):
    """The module's logger, recorded; no PLUMO_*_RANK in the environment; ranks restored after."""
    for key in list(os.environ):
        if key.startswith("PLUMO_") and key.endswith("_RANK"):
            monkeypatch.delenv(key)
    Gst.init(None)
    every = Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DECODER, Gst.Rank.NONE)
    saved = [(f, f.get_rank()) for f in every]
    recorder = Log()
    monkeypatch.setattr(sysboot, "logger", recorder)
    yield recorder
    for factory, rank in saved:
        factory.set_rank(rank)


@pytest.mark.parametrize(
    "value, rank",
    [("300", 300), (" 300\t", 300), ("0", 0), ("+1_000", 1000), ("4294967295", 4294967295)]
    + [(bad, None) for bad in ["abc", "-1", "2.5", "", "  ", "1 2", "4294967296", "9" * 30]],
)
def test_jpeg_rank_override(log, monkeypatch, value, rank):
    (jpegdec,) = decoders("jpeg")
    before = jpegdec.get_rank()
    monkeypatch.setenv("PLUMO_JPEG_RANK", value)
    sysboot._override_ranks()
    if rank is None:
        assert log.lines == [("error", INVALID.format("PLUMO_JPEG_RANK", value))]
        assert jpegdec.get_rank() == before
    else:
        assert log.lines == [("info", f"Setting rank for element factory jpegdec to {rank}")]
        assert jpegdec.get_rank() == rank


@pytest.mark.parametrize("value", ["65", "many"])
def test_every_decoder_of_a_plugin_is_visited(log, monkeypatch, value):
    libav = decoders("libav")
    if len(libav) < 2:
        pytest.skip("needs the libav plugin")
    before = {f.get_name(): f.get_rank() for f in libav}
    monkeypatch.setenv("PLUMO_LIBAV_RANK", value)
    sysboot._override_ranks()
    if value == "65":
        assert log.lines == [("info", f"Setting rank for element factory {f.get_name()} to 65") for f in libav]
        assert {f.get_rank() for f in libav} == {65}
    else:
        assert log.lines == [("error", INVALID.format("PLUMO_LIBAV_RANK", value))] * len(libav)
        assert {f.get_name(): f.get_rank() for f in libav} == before


def test_decoders_below_marginal_are_not_raised(log, monkeypatch):
    low = [f for f in decoders("gdkpixbuf", Gst.Rank.NONE) if f.get_rank() < Gst.Rank.MARGINAL]
    if not low:
        pytest.skip("needs a decoder of rank below MARGINAL (gdkpixbufdec)")
    monkeypatch.setenv("PLUMO_GDKPIXBUF_RANK", "300")
    sysboot._override_ranks()
    assert log.lines == [] and all(f.get_rank() < Gst.Rank.MARGINAL for f in low)


def test_start_reads_the_environment_at_each_start_up(log, monkeypatch):
    # The real Gst.init(), which wants argv on the bindings installed here.
    for name, value in [("_running", False), ("_glib_main_loop", None), ("_glib_main_loop_thread", None)]:
        monkeypatch.setattr(sysboot, name, value)
    (jpegdec,) = decoders("jpeg")
    for value in ["300", "200"]:
        monkeypatch.setenv("PLUMO_JPEG_RANK", value)
        sysboot.start(start_main_loop=False)
        sysboot.start()  # already running: neither a loop nor the overrides again
        assert jpegdec.get_rank() == int(value) and sysboot._glib_main_loop is None
        sysboot.close()
    assert [kind for kind, _ in log.lines] == ["info", "info"]


def test_factory_without_plugin_is_skipped():
    out = run_script(
        """
        from gi.repository import GObject, Gst
        Gst.init(None)

        class Orphan(Gst.Element):
            __gstmetadata__ = ("Orphan", "Codec/Decoder/Video", "no plugin", "plumo tests")

        GObject.type_register(Orphan)
        assert Gst.Element.register(None, "plumoorphandec", Gst.Rank.PRIMARY, Orphan)
        found = Gst.ElementFactory.list_get_elements(Gst.ELEMENT_FACTORY_TYPE_DECODER, Gst.Rank.MARGINAL)
        assert [f.get_plugin_name() for f in found if f.get_name() == "plumoorphandec"] == [None]
        sysboot._override_ranks()
        print(Gst.ElementFactory.find("jpegdec").get_rank())
        """,
        PLUMO_JPEG_RANK="301",
    )
    assert out.split() == ["301"]


# --- The real loop on its thread ------------------------------------------------------------------


def test_bus_watch_runs_on_the_loop_thread_and_restart():
    run_script(
        """
        from plumo.utils.gstreamer import Gst, Pipeline
        pipeline = Pipeline(None)
        seen = []
        event = threading.Event()

        def on_message(bus, message):
            seen.append(threading.current_thread())
            event.set()
            return True

        pipeline.add_bus_watch(on_message)

        def fires(expected=True):
            event.clear()
            pipeline.get_bus().post(Gst.Message.new_application(pipeline, Gst.Structure.new_empty("ping")))
            return event.wait(10 if expected else 0.3)

        assert not fires(False)  # nothing runs the default main context yet
        sysboot.start()
        assert fires() and seen[-1] is sysboot._glib_main_loop_thread
        first = sysboot._glib_main_loop_thread
        assert first.name == "SysbootThread" and first.daemon
        sysboot.close()
        assert not first.is_alive() and not fires(False)
        sysboot.start()
        assert fires() and seen[-1] is sysboot._glib_main_loop_thread is not first
        assert seen[-1].name == "SysbootThread" and not first.is_alive()
        pipeline.release_resources()  # the watch is gone: the loop no longer dispatches to it
        assert not fires(False)
        sysboot.close()
        """
    )


def test_start_without_loop():
    run_script(
        """
        assert (sysboot._running, sysboot._glib_main_loop, sysboot._glib_main_loop_thread) == (False, None, None)
        sysboot.close()  # before any start: nothing
        sysboot.start(start_main_loop=False)
        assert sysboot.assert_started() is None and sysboot._glib_main_loop is None
        assert not [t for t in threading.enumerate() if t.name == "SysbootThread"]
        sysboot.close()
        sysboot.start()
        loop = sysboot._glib_main_loop
        sysboot.close()
        sysboot.start(False)
        sysboot.close()  # quits the stopped loop and joins its ended thread: both return at once
        assert sysboot._glib_main_loop is loop and not sysboot._running
        """
    )


def test_close_right_after_start_never_hangs():
    # GLib drops a quit() that comes before run() has begun; about one in ten of these would
    # then wait in join() for ever.
    run_script(
        """
        for _ in range(300):
            sysboot.start()
            sysboot.close()
            assert not sysboot._glib_main_loop_thread.is_alive()
        """
    )


def test_concurrent_start_close_assert_started():
    run_script(
        """
        import random
        failures = []

        def consistent():
            with sysboot._lock:
                loops = [t for t in threading.enumerate() if t.name == "SysbootThread"]
                if not sysboot._running:
                    return loops == []
                return loops == [sysboot._glib_main_loop_thread] and sysboot._glib_main_loop.is_running()

        def worker(seed):
            rng = random.Random(seed)
            try:
                for _ in range(60):
                    op = rng.choice(["start", "close", "assert_started"])
                    try:
                        getattr(sysboot, op)()
                    except RuntimeError:
                        assert op == "assert_started"
                    assert consistent()
            except BaseException as exc:
                failures.append(repr(exc))

        workers = [threading.Thread(target=worker, args=(seed,)) for seed in range(6)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(90)
        assert not any(w.is_alive() for w in workers), "deadlock"
        assert failures == [] and consistent()
        sysboot.close()
        assert consistent() and not sysboot._running
        """,
        timeout=120,
    )
