"""Pipeline waits, the appsink slot, new_element and filter_caps, on real pipelines, with fakes
where the order of calls is the point."""

import inspect
import threading
import time
from types import SimpleNamespace

import pytest

import plumo.utils.gstreamer as gstreamer
from plumo.errors import NotLinkedError, StreamSetupError
from plumo.utils.gstreamer import Gst, Pipeline


def state_of(element):
    return element.get_state(0)[1]


def factories(p):
    return sorted(e.get_factory().get_name() for e in p.iterate_elements())


# --- shapes -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, signature",
    [
        ("wait_until_playing", "(self, timeout: 'int')"),
        ("wait_until_null", "(self, timeout: 'int')"),
        ("new_element",
         "(self, factory_name: 'str', link_to: 'Gst.Element' = None, properties: 'dict' = None,"
         " auto_play=True, name: 'str' = None) -> 'Gst.Element'"),
        ("filter_caps",
         "(self, link_to: 'Gst.Element', options: 'List[str]', auto_play=True)"
         " -> 'Tuple[Gst.Element, str]'"),
    ],
)  # fmt: skip
def test_signatures(name, signature):
    assert str(inspect.signature(getattr(Pipeline, name))) == signature


def test_docstrings():
    doc = Pipeline.wait_until_playing.__doc__.split("\n")
    assert doc[0] == "Blocks until one of the following conditions are met:"
    assert len([line for line in doc if line.startswith("        - ")]) == 3
    assert doc[4].startswith("        :param timeout: ")
    assert Pipeline.wait_until_null.__doc__.count("\n        - ") == 2
    assert Pipeline.new_element.__doc__.startswith("Creates and adds a new element to the pipeline.")
    assert Pipeline.new_element.__doc__.count(":param ") == 5
    assert ":raises NotLinkedError:" in Pipeline.filter_caps.__doc__
    assert Pipeline.filter_caps.__doc__.startswith(
        "Forces the previous element in the pipeline to produce frames in one\n"
        "        of the given formats.\n"
    )
    prop = inspect.getattr_static(Pipeline, "appsink")
    assert prop.fget.__doc__ is None and prop.fset.__doc__ is None
    assert prop.fget.__annotations__ == {"return": "GstApp.AppSink"}
    assert prop.fset.__annotations__ == {"element": "GstApp.AppSink"}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.wait_until_playing(),
         "wait_until_playing() takes exactly 2 positional arguments (1 given)"),
        (lambda p: p.wait_until_null(1, 2),
         "wait_until_null() takes exactly 2 positional arguments (3 given)"),
        (lambda p: p.new_element(),
         "new_element() takes at least 2 positional arguments (1 given)"),
        (lambda p: p.new_element("a", None, None, True, None, 6),
         "new_element() takes at most 6 positional arguments (7 given)"),
        (lambda p: p.new_element(5),
         "Argument 'factory_name' has incorrect type (expected str, got int)"),
        (lambda p: p.new_element("fakesink", name=b"x"),
         "Argument 'name' has incorrect type (expected str, got bytes)"),
        (lambda p: p.new_element("fakesink", properties=[("a", 1)]),
         "Argument 'properties' has incorrect type (expected dict, got list)"),
        (lambda p: p.filter_caps(None),
         "filter_caps() takes at least 3 positional arguments (2 given)"),
        (lambda p: p.filter_caps(None, [], True, 4),
         "filter_caps() takes at most 4 positional arguments (5 given)"),
        (lambda p: p.new_element("fakesink", colour="red"),
         "new_element() got an unexpected keyword argument 'colour'"),
    ],
)  # fmt: skip
def test_argument_errors(pipelines, call, message):
    p = pipelines()
    with pytest.raises(TypeError) as info:
        call(p)
    assert str(info.value) == message
    assert factories(p) == []  # refused before the body ran


# --- wait_until_playing -----------------------------------------------------------------------


def test_wait_until_playing_on_a_live_pipeline(pipelines):
    p = pipelines("videotestsrc is-live=true ! fakesink")
    p.set_state(Gst.State.PLAYING)
    assert p.wait_until_playing(5) is None
    # The first element to reach PLAYING ends the wait; the pipeline follows.
    assert p.get_state(5 * Gst.SECOND)[1] == Gst.State.PLAYING


def test_already_playing_returns_without_a_deadline(pipelines, monkeypatch):
    p = pipelines("fakesrc ! fakesink")
    p.set_state(Gst.State.PLAYING)
    p.get_state(5 * Gst.SECOND)
    monkeypatch.setattr(gstreamer, "Timeout", None)  # calling it would raise
    p.get_bus().post(Gst.Message.new_application(p, Gst.Structure.new_empty("keep")))
    assert p.wait_until_playing(5) is None
    assert p.get_bus().have_pending()  # the bus was not touched


def test_zero_timeout_stops_the_pipeline_and_raises(pipelines):
    p = pipelines("fakesrc ! fakesink")
    p.set_state(Gst.State.READY)
    with pytest.raises(StreamSetupError) as info:
        p.wait_until_playing(0)
    assert str(info.value) == "Timeout while waiting for stream to start"
    assert state_of(p) == Gst.State.NULL


@pytest.mark.parametrize("timeout", [0.2, 1])
def test_timeout_is_bounded(pipelines, timeout):
    # A stalled source: a pipeline never prerolls without data.
    p = pipelines("appsrc ! fakesink")
    p.set_state(Gst.State.PLAYING)
    start = time.monotonic()
    with pytest.raises(StreamSetupError, match="Timeout while waiting for stream to start"):
        p.wait_until_playing(timeout)
    assert time.monotonic() - start < 2 * timeout + 2
    assert state_of(p) == Gst.State.NULL


def test_posted_error_ends_the_wait_with_gstreamers_text(pipelines):
    p = pipelines("appsrc ! fakesink")
    timer = threading.Timer(0.1, p.post_error, args=("boom",))
    timer.start()
    try:
        with pytest.raises(StreamSetupError) as info:
            p.wait_until_playing(10)
    finally:
        timer.join()
    assert str(info.value) == "GStreamer encountered a general stream error."


def test_a_single_element_reaching_playing_ends_the_wait(pipelines):
    p = pipelines("fakesrc name=src ! fakesink")
    src = p.get_by_name("src")
    p.get_bus().post(Gst.Message.new_state_changed(src, Gst.State.PAUSED, Gst.State.PLAYING,
                                                   Gst.State.VOID_PENDING))
    assert p.wait_until_playing(5) is None
    assert state_of(p) == Gst.State.NULL


def test_other_state_changes_are_consumed_and_skipped(pipelines):
    p = pipelines("fakesrc name=src ! fakesink")
    src = p.get_by_name("src")
    bus = p.get_bus()
    bus.post(Gst.Message.new_state_changed(src, Gst.State.NULL, Gst.State.READY,
                                           Gst.State.VOID_PENDING))
    bus.post(Gst.Message.new_eos(src))  # not in the filter: dropped by the pop
    bus.post(Gst.Message.new_state_changed(src, Gst.State.PAUSED, Gst.State.PLAYING,
                                           Gst.State.VOID_PENDING))
    assert p.wait_until_playing(5) is None
    assert not bus.have_pending()


def test_wait_until_playing_uses_the_whole_timeout_per_pop(monkeypatch):
    pops = []

    class FakeBus:
        def timed_pop_filtered(self, ns, types):
            pops.append((ns, types))
            return None

    class Waiting(Pipeline):
        def get_bus(self):
            return FakeBus()

    class TwoPasses:
        def __init__(self, seconds, raise_error):
            assert (seconds, raise_error) == (1.5, False)
            self.checks = iter([True, True, False])

        def __bool__(self):
            return next(self.checks)

    monkeypatch.setattr(gstreamer, "Timeout", TwoPasses)
    p = Waiting(None)
    with pytest.raises(StreamSetupError):
        p.wait_until_playing(1.5)
    expected = (Gst.SECOND * 1.5, Gst.MessageType.STATE_CHANGED | Gst.MessageType.ERROR)
    assert pops == [expected, expected]


# --- wait_until_null --------------------------------------------------------------------------


def test_wait_until_null(pipelines):
    p = pipelines("videotestsrc is-live=true ! fakesink")
    p.set_state(Gst.State.PLAYING)
    p.wait_until_playing(5)
    p.set_state(Gst.State.NULL)
    assert p.wait_until_null(5) is None
    with pytest.raises(StreamSetupError) as info:
        p.wait_until_null(0)
    assert str(info.value) == "Timeout while waiting for stream to reach null state"


def test_wait_until_null_pauses_before_every_query(monkeypatch):
    calls = []
    states = iter([Gst.State.PLAYING, Gst.State.NULL])

    class Stopping(Pipeline):
        def get_state(self, timeout):
            calls.append(("get_state", timeout))
            return (None, next(states), None)

    monkeypatch.setattr(gstreamer, "sleep", lambda s: calls.append(("sleep", s)))
    p = Stopping(None)
    assert p.wait_until_null(2) is None
    assert calls == [("sleep", 0.01), ("get_state", 2 * Gst.SECOND)] * 2


# --- appsink ----------------------------------------------------------------------------------


def test_appsink_slot(pipelines):
    p = pipelines()
    unset = "The appsink has not been set for this pipeline yet"
    with pytest.raises(StreamSetupError, match=unset):
        p.appsink
    sink = Gst.ElementFactory.make("appsink", None)
    p.appsink = sink
    assert p.appsink is sink and p._appsink is sink
    p.appsink = None
    with pytest.raises(StreamSetupError, match=unset):
        p.appsink
    with pytest.raises(AttributeError):
        del p.appsink


# --- new_element ------------------------------------------------------------------------------


def test_new_element_defaults(pipelines):
    p = pipelines()
    element = p.new_element("identity")
    assert element.get_parent() == p and factories(p) == ["identity"]
    assert state_of(element) == Gst.State.PLAYING
    assert not element.get_static_pad("sink").is_linked()


def test_new_element_configured_unstarted_and_named(pipelines):
    p = pipelines()
    element = p.new_element("fakesink", None, {"sync": True, "silent": False}, False, "out")
    assert element.get_name() == "out" and p.get_by_name("out") == element
    assert element.get_property("sync") is True and element.get_property("silent") is False
    assert state_of(element) == Gst.State.NULL
    assert p.new_element("identity", properties={}, auto_play=0) is not None


def test_new_element_links_after_link_to(pipelines):
    p = pipelines()
    src = p.new_element("videotestsrc", auto_play=False)
    sink = p.new_element("fakesink", link_to=src, auto_play=False)
    assert src.get_static_pad("src").get_peer() == sink.get_static_pad("sink")


def test_failed_link_leaves_the_element_in_the_pipeline(pipelines):
    p = pipelines()
    sink = p.new_element("fakesink")
    with pytest.raises(NotLinkedError) as info:
        p.new_element("identity", link_to=sink, name="orphan")
    assert str(info.value) == "Failed to link identity"
    orphan = p.get_by_name("orphan")
    assert orphan is not None and state_of(orphan) == Gst.State.PLAYING


def test_property_name_of_the_wrong_type(pipelines):
    p = pipelines()
    with pytest.raises(TypeError) as info:
        p.new_element("fakesink", properties={"sync": True, 5: 1, "silent": False}, name="x")
    assert str(info.value) == "Expected unicode, got int"
    element = p.get_by_name("x")
    assert element.get_property("sync") is True  # the keys before it were set
    assert element.get_property("silent") is True  # the ones after it were not


def test_new_element_call_order(monkeypatch):
    calls = []

    class FakeElement:
        def set_property(self, key, value):
            calls.append(("set_property", key, value))

        def set_state(self, state):
            calls.append(("set_state", state))

    class FakeLink:
        def link(self, element):
            calls.append(("link", type(element).__name__))
            return True

    class Recording(Pipeline):
        def add(self, element):
            calls.append(("add", type(element).__name__))

    def make(factory, name):
        calls.append(("make", factory, name))
        return FakeElement()

    fake_gst = SimpleNamespace(ElementFactory=SimpleNamespace(make=make),
                               State=SimpleNamespace(PLAYING="playing"))
    monkeypatch.setattr(gstreamer, "Gst", fake_gst)
    p = Recording(None)
    element = p.new_element("f", FakeLink(), {"a": 1, "b": 2}, True, "n")
    assert isinstance(element, FakeElement)
    assert calls == [
        ("make", "f", "n"), ("add", "FakeElement"), ("set_property", "a", 1),
        ("set_property", "b", 2), ("set_state", "playing"), ("link", "FakeElement"),
    ]  # fmt: skip


# --- filter_caps ------------------------------------------------------------------------------


def test_filter_caps_takes_the_first_option_that_links(pipelines):
    p = pipelines()
    src = p.new_element("videotestsrc", auto_play=False)
    options = ["audio/x-raw", "video/x-raw,format=BGR"]
    capsfilter, chosen = p.filter_caps(src, options, auto_play=False)
    assert chosen == "video/x-raw,format=BGR"
    assert capsfilter.get_property("caps").to_string() == "video/x-raw, format=(string)BGR"
    assert src.get_static_pad("src").get_peer() == capsfilter.get_static_pad("sink")
    # The capsfilter of the refused option stays behind, unlinked.
    assert factories(p) == ["capsfilter", "capsfilter", "videotestsrc"]


def test_filter_caps_without_link_to_takes_the_first_option(pipelines):
    p = pipelines()
    capsfilter, chosen = p.filter_caps(None, iter(["video/x-raw", "audio/x-raw"]))
    assert chosen == "video/x-raw" and state_of(capsfilter) == Gst.State.PLAYING


@pytest.mark.parametrize(
    "options, shown",
    [([], "[]"), (["audio/x-raw", "audio/x-raw,rate=8000"], "['audio/x-raw', 'audio/x-raw,rate=8000']")],
)
def test_filter_caps_with_nothing_that_links(pipelines, options, shown):
    p = pipelines()
    src = p.new_element("videotestsrc", auto_play=False)
    with pytest.raises(NotLinkedError) as info:
        p.filter_caps(src, options)
    assert str(info.value) == "Could not link capsfilter using any of the provided caps: " + shown
    assert factories(p).count("capsfilter") == len(options)


def test_filter_caps_other_errors_stop_at_once(pipelines):
    p = pipelines()
    with pytest.raises(TypeError):
        p.filter_caps(None, [42, "video/x-raw"])
    assert factories(p) == []


def test_filter_caps_goes_through_new_element(monkeypatch):
    calls = []

    class Recording(Pipeline):
        def new_element(self, *args, **kwargs):
            calls.append((args, sorted(kwargs)))
            if len(calls) == 1:
                raise NotLinkedError("no")
            return "element"

    p = Recording(None)
    assert p.filter_caps("upstream", ["a/b", "c/d"], auto_play=False) == ("element", "c/d")
    assert calls == [(("capsfilter",), ["auto_play", "link_to", "properties"])] * 2
