"""plumo.utils.gstreamer: import-time set-up and the Pipeline core (construction, registrations
and their undoing, post_error), against real GStreamer objects where cheap and fakes where the
order or arguments of calls are the point."""

import gc
import inspect
import subprocess
import sys
import textwrap
import weakref
from types import SimpleNamespace

import pytest

import plumo.utils.gstreamer as gstreamer
from plumo.utils.gstreamer import GLib, GObject, Gst, Pipeline


def static(name):
    member = inspect.getattr_static(Pipeline, name)
    return getattr(member, "__func__", member)


# --- module set-up ---------------------------------------------------------------------------------


def test_module_namespace_in_import_order():
    names = [n for n in vars(gstreamer) if not n.startswith("__")]
    assert names == [
        "inspect", "ABCMeta", "abstractmethod", "sleep", "time", "Any", "Callable", "List", "Tuple",
        "np", "GLib", "GObject", "Gst", "GstApp", "NotLinkedError", "StreamSetupError",
        "logger", "Timeout", "Pipeline", "ABCGObjectMeta", "framerate_from_structure",
        "is_video_pad", "is_rtp_audio_pad", "pad_to_string", "find_element_factory",
        "find_element", "UnknownPropertyError", "try_set_property", "SampleConversionError",
        "SampleSizeError", "sample_to_ndarray", "pull_frame", "convert_sample",
        "offer_video_meta", "FrameBell", "BufferWatch", "RateLimiter", "FrameSampling",
        "drop_before_keyframe",
    ]  # fmt: skip
    assert gstreamer.__doc__ is None and not hasattr(gstreamer, "__all__")
    import numpy
    import plumo.errors
    from plumo.logger import logger
    from plumo.utils.timing import Timeout

    assert gstreamer.np is numpy and gstreamer.logger is logger and gstreamer.Timeout is Timeout
    assert gstreamer.NotLinkedError is plumo.errors.NotLinkedError
    assert Gst.is_initialized()


INIT_PROBE = """
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
calls = []
real_init = Gst.init
def init(*args):
    calls.append(args)
    {body}
Gst.init = init
import plumo.utils.gstreamer
print(calls, Gst.is_initialized())
"""


@pytest.mark.parametrize(
    "body, expected",
    [
        # The overrides here refuse a bare init(): the module falls back to init(None).
        ("return real_init(*args)", "[(), (None,)] True"),
        # Bindings that take a bare init() get exactly that, once.
        ("return real_init(None)", "[()] True"),
    ],
)
def test_import_initialises_gstreamer(body, expected):
    code = textwrap.dedent(INIT_PROBE).format(body=body)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == expected


def test_import_fails_on_other_init_errors():
    code = textwrap.dedent(INIT_PROBE).format(body="raise RuntimeError('no gst')")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode != 0 and "RuntimeError: no gst" in out.stderr


# --- the class --------------------------------------------------------------------------------------

MEMBERS = [
    "__init__", "from_launch_string", "connect_signal_handler", "add_bus_watch", "add_pad_probe",
    "post_error", "release_resources", "wait_until_playing", "wait_until_null", "appsink",
    "new_element", "filter_caps", "__del__",
]  # fmt: skip


def test_class_shape():
    assert Pipeline.__bases__ == (Gst.Pipeline,)
    assert type(Pipeline) is type(Gst.Pipeline)
    assert Pipeline.__module__ == "plumo.utils.gstreamer" and Pipeline.__qualname__ == "Pipeline"
    assert Pipeline.__doc__ == (
        "Wraps around a GStreamer pipeline, providing utilities and managing the\n"
        "    lifecycle of the resources it uses.\n    "
    )
    assert [n for n in vars(Pipeline) if n in MEMBERS] == MEMBERS
    assert isinstance(inspect.getattr_static(Pipeline, "from_launch_string"), staticmethod)
    prop = inspect.getattr_static(Pipeline, "appsink")
    assert isinstance(prop, property) and prop.fdel is None
    for name in MEMBERS:
        if name != "appsink":
            assert static(name).__qualname__ == f"Pipeline.{name}"
    assert prop.fget.__qualname__ == prop.fset.__qualname__ == "Pipeline.appsink"


@pytest.mark.parametrize(
    "name, signature",
    [
        ("__init__", "(self, name: 'str')"),
        ("from_launch_string", "(launch: 'str', name: 'str') -> 'Pipeline'"),
        ("connect_signal_handler",
         "(self, element: 'Gst.Element', signal: 'str', callback: 'Callable', *args)"),
        ("add_bus_watch", "(self, callback: 'Callable', *args)"),
        ("add_pad_probe",
         "(self, pad: 'Gst.Pad', pad_probe_type: 'Gst.PadProbeType', callback: 'Callable', *args)"
         " -> 'int'"),
        ("post_error", "(self, message: 'str')"),
        ("release_resources", "(self)"),
        ("__del__", "(self)"),
    ],
)  # fmt: skip
def test_signatures(name, signature):
    assert str(inspect.signature(static(name))) == signature


def test_docstrings():
    for name in ("__init__", "connect_signal_handler", "add_bus_watch", "release_resources"):
        assert static(name).__doc__ is None
    assert static("post_error").__doc__ == "Sends an error message on the pipeline's bus"
    assert static("__del__").__doc__ == "Release resources if this object gets garbage collected"
    # Multi-line docstrings keep their source indentation, as help() expects.
    for name in ("from_launch_string", "add_pad_probe"):
        lines = static(name).__doc__.split("\n")
        assert lines[2] == "" and lines[-1] == " " * 8
        assert all(line.startswith(" " * 8) for line in lines[1:] if line)


# --- construction -----------------------------------------------------------------------------------


def test_construction(pipelines):
    unnamed, cam = pipelines(), pipelines(name="cam")
    assert cam.get_name() == "cam" and unnamed.get_name()
    for p in (unnamed, cam):
        assert isinstance(p, Gst.Pipeline) and p.destructors == [] and p._appsink is None
        assert vars(p) == {"destructors": [], "_appsink": None}


# A Pipeline whose __init__ was refused still gets reclaimed, and its __del__ finds no
# destructors list to release: Python reports that as unraisable, as it would for Python code.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Pipeline(5),
         "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: Pipeline(),
         "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: Pipeline("a", "b"),
         "__init__() takes exactly 2 positional arguments (3 given)"),
        (lambda: Pipeline.from_launch_string("fakesrc"),
         "from_launch_string() takes exactly 2 positional arguments (1 given)"),
        (lambda: Pipeline.from_launch_string(b"fakesrc", None),
         "Argument 'launch' has incorrect type (expected str, got bytes)"),
        (lambda: Pipeline(None).post_error(5),
         "Argument 'message' has incorrect type (expected str, got int)"),
        (lambda: Pipeline(None).release_resources(1),
         "release_resources() takes exactly 1 positional argument (2 given)"),
        (lambda: Pipeline(None).add_bus_watch(),
         "add_bus_watch() takes at least 2 positional arguments (1 given)"),
        (lambda: Pipeline(None).connect_signal_handler(None, 5, print),
         "Argument 'signal' has incorrect type (expected str, got int)"),
        (lambda: Pipeline(None).add_pad_probe(None, 0),
         "add_pad_probe() takes at least 4 positional arguments (3 given)"),
    ],
)  # fmt: skip
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_str_subclass_is_refused():
    class Name(str):
        pass

    with pytest.raises(TypeError, match="expected str, got Name"):
        Pipeline(Name("x"))


@pytest.mark.parametrize("name", ["p", None])
def test_from_launch_string(pipelines, name):
    p = pipelines("videotestsrc ! videoconvert ! appsink", name)
    assert type(p) is Pipeline and isinstance(p, Gst.Pipeline)
    if name is not None:
        assert p.get_name() == name
    assert p.destructors == [] and p._appsink is None
    kinds = sorted(e.get_factory().get_name() for e in p.iterate_elements())
    assert kinds == ["appsink", "videoconvert", "videotestsrc"]


def test_from_launch_string_wraps_a_lone_element(pipelines):
    p = pipelines("fakesrc name=src", "solo")
    assert type(p) is Pipeline and p.get_name() == "solo" and p.destructors == []
    assert [e.get_name() for e in p.iterate_elements()] == ["src"]
    assert p.set_state(Gst.State.PAUSED) != Gst.StateChangeReturn.FAILURE


def test_from_launch_string_parse_error_propagates():
    with pytest.raises(GLib.Error):
        Pipeline.from_launch_string("no_such_element_xyz ! fakesink", "x")


# --- registrations ----------------------------------------------------------------------------------


def test_signal_handler_runs_with_user_data_and_is_disconnected(pipelines):
    p = pipelines()
    element = Gst.ElementFactory.make("identity", None)
    seen = []
    assert p.connect_signal_handler(element, "notify::name", lambda *a: seen.append(a[2:]), 1, "x") is None
    element.set_name("renamed")
    assert seen == [(1, "x")]
    (undo,) = p.destructors
    assert undo.__name__ == "<lambda>"
    assert undo.__qualname__ == "Pipeline.connect_signal_handler.<locals>.<lambda>"
    p.release_resources()
    element.set_name("again")
    assert seen == [(1, "x")] and p.destructors == []


def test_bus_watch_dispatches_and_is_removed(pipelines):
    p = pipelines()
    seen = []

    def watch(bus, message, *extra):
        seen.append((message.type, extra))
        return True

    assert p.add_bus_watch(watch, p, "tag") is None
    assert p.destructors[0].__qualname__ == "Pipeline.add_bus_watch.<locals>.<lambda>"
    p.get_bus().post(Gst.Message.new_application(p, Gst.Structure.new_empty("ping")))
    context = GLib.MainContext.default()
    for _ in range(100):
        if seen:
            break
        context.iteration(False)
    assert seen == [(Gst.MessageType.APPLICATION, (p, "tag"))]
    p.release_resources()
    # Only one watch per bus: adding another works only because the first one is gone.
    p.add_bus_watch(watch)
    assert len(p.destructors) == 1


def test_pad_probe_sees_buffers_until_released(pipelines):
    p = pipelines("videotestsrc num-buffers=3 name=src ! fakesink")
    seen = []

    def probe(pad, info, tag):
        seen.append(tag)
        return Gst.PadProbeReturn.OK

    pad = p.get_by_name("src").get_static_pad("src")
    probe_id = p.add_pad_probe(pad, Gst.PadProbeType.BUFFER, probe, "tag")
    assert isinstance(probe_id, int) and probe_id > 0
    assert p.destructors[0].__qualname__ == "Pipeline.add_pad_probe.<locals>.<lambda>"
    p.set_state(Gst.State.PLAYING)
    msg = p.get_bus().timed_pop_filtered(5 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    assert msg is not None and msg.type == Gst.MessageType.EOS
    assert seen == ["tag"] * 3
    p.release_resources()
    assert p.destructors == []


class FakeBus:
    def __init__(self, log):
        self.log = log

    def add_watch(self, *args):
        self.log.append(("add_watch",) + args)
        return 7

    def remove_watch(self, *args):
        self.log.append(("remove_watch",) + args)


def test_registration_calls_and_undo_order(monkeypatch):
    log = []

    class Recording(Pipeline):
        def get_bus(self):
            log.append(("get_bus",))
            return FakeBus(log)

    monkeypatch.setattr(gstreamer, "GObject", SimpleNamespace(
        signal_handler_disconnect=lambda *a: log.append(("disconnect",) + a)))
    monkeypatch.setattr(gstreamer, "GLib", SimpleNamespace(PRIORITY_DEFAULT="prio"))
    element = SimpleNamespace(connect=lambda *a: log.append(("connect",) + a) or 11)
    pad = SimpleNamespace(add_probe=lambda *a: log.append(("add_probe",) + a) or 22,
                          remove_probe=lambda *a: log.append(("remove_probe",) + a))
    p = Recording(None)
    assert p.connect_signal_handler(element, "sig", "cb", 1, 2) is None
    assert p.add_bus_watch("watch", "x") is None
    assert p.add_pad_probe(pad, "type", "probe", "y") == 22
    assert len(p.destructors) == 3
    assert p.release_resources() is None
    assert log == [
        ("connect", "sig", "cb", 1, 2),
        ("get_bus",), ("add_watch", "prio", "watch", "x"),
        ("add_probe", "type", "probe", "y"),
        ("disconnect", element, 11),
        ("get_bus",), ("remove_watch",),
        ("remove_probe", 22),
    ]  # fmt: skip
    assert p.destructors == [] and p.release_resources() is None


def test_failed_registration_appends_nothing():
    def refuse(*args):
        raise ValueError("refused")

    p = Pipeline(None)
    with pytest.raises(ValueError, match="refused"):
        p.connect_signal_handler(SimpleNamespace(connect=refuse), "sig", print)
    with pytest.raises(ValueError, match="refused"):
        p.add_pad_probe(SimpleNamespace(add_probe=refuse), 0, print)
    assert p.destructors == []


def test_undo_actions_capture_values_at_registration(monkeypatch):
    calls = []
    monkeypatch.setattr(gstreamer, "GObject", SimpleNamespace(
        signal_handler_disconnect=lambda *a: calls.append(a)))
    ids = iter([1, 2])
    element = SimpleNamespace(connect=lambda *a: next(ids))
    p = Pipeline(None)
    p.connect_signal_handler(element, "a", print)
    p.connect_signal_handler(element, "b", print)
    p.release_resources()
    assert calls == [(element, 1), (element, 2)]


# --- release_resources and __del__ ---------------------------------------------------------------------


def test_release_stops_at_a_raising_action_and_resumes_later():
    p = Pipeline(None)
    ran = []

    def boom():
        raise RuntimeError("undo failed")

    p.destructors.extend([boom, lambda: ran.append("second")])
    with pytest.raises(RuntimeError, match="undo failed"):
        p.release_resources()
    assert len(p.destructors) == 1 and ran == []
    p.release_resources()
    assert ran == ["second"] and p.destructors == []


def test_actions_appended_while_releasing_run_in_the_same_call():
    p = Pipeline(None)
    ran = []
    original = p.destructors
    p.destructors.append(lambda: p.destructors.append(lambda: ran.append("late")))
    p.release_resources()
    assert ran == ["late"] and p.destructors is original and original == []


def test_release_reads_a_replaced_list():
    p = Pipeline(None)
    ran = []
    p.destructors = [lambda: ran.append(1), lambda: ran.append(2)]
    p.release_resources()
    assert ran == [1, 2]


def test_del_releases_and_bus_watch_cycle_is_broken_by_release():
    ran = []
    p = Pipeline(None)
    p.destructors.append(lambda: ran.append("undone"))
    del p
    gc.collect()
    assert ran == ["undone"]

    p = Pipeline(None)
    p.add_bus_watch(lambda *a: True)
    p.release_resources()
    ref = weakref.ref(p)
    del p
    gc.collect()
    assert ref() is None


def test_error_inside_del_is_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    p = Pipeline(None)
    p.destructors.append(lambda: 1 / 0)
    del p
    gc.collect()
    assert len(seen) == 1 and isinstance(seen[0], ZeroDivisionError)


# --- post_error ----------------------------------------------------------------------------------------


class FakeLogger:
    def __init__(self):
        self.warnings = []

    def warning(self, text):
        self.warnings.append(text)


def pop_error(p):
    msg = p.get_bus().timed_pop_filtered(Gst.SECOND, Gst.MessageType.ERROR)
    assert msg is not None and msg.src == p
    return msg.parse_error()


def test_post_error_posts_a_stream_error_from_the_caller(monkeypatch):
    log = FakeLogger()
    monkeypatch.setattr(gstreamer, "logger", log)
    p = Pipeline("poster")
    line = inspect.currentframe().f_lineno + 1
    assert p.post_error("boom") is None
    assert log.warnings == ["Posting error to bus: boom"]
    error, debug = pop_error(p)
    assert error.domain == "gst-stream-error-quark" and error.code == int(Gst.StreamError.FAILED)
    assert error.message == "GStreamer encountered a general stream error."
    # GStreamer prefixes the debug text with the caller's file, line and function.
    assert debug.startswith(f"{__file__}({line}): test_post_error_posts_a_stream_error_from_the_caller ()")
    assert debug.endswith("\nboom")


def test_post_error_none(monkeypatch):
    log = FakeLogger()
    monkeypatch.setattr(gstreamer, "logger", log)
    p = Pipeline(None)
    p.post_error(None)
    assert log.warnings == ["Posting error to bus: None"]
    # Without a debug text GStreamer keeps only its own location prefix.
    debug = pop_error(p)[1]
    assert "test_post_error_none ()" in debug and "\n" not in debug


def test_post_error_with_an_unknown_caller(monkeypatch):
    def stack():
        raise ValueError("call stack is not deep enough")

    monkeypatch.setattr(gstreamer, "inspect", SimpleNamespace(stack=stack))
    p = Pipeline(None)
    p.post_error("lost")
    debug = pop_error(p)[1]
    assert debug.startswith("<unknown filename>(0): <unknown function> ()")


def test_post_error_other_lookup_errors_propagate_and_post_nothing(monkeypatch):
    log = FakeLogger()
    monkeypatch.setattr(gstreamer, "logger", log)
    monkeypatch.setattr(gstreamer, "inspect", SimpleNamespace(stack=lambda: []))
    p = Pipeline(None)
    with pytest.raises(IndexError):
        p.post_error("x")
    assert log.warnings == ["Posting error to bus: x"]
    assert not p.get_bus().have_pending()
