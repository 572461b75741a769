"""Element and pad queries on real pads, caps and factories, with a replaced Gst where the
arguments of the factory search are the point."""

import inspect
from abc import ABCMeta, abstractmethod
from types import SimpleNamespace

import pytest

import plumo.utils.gstreamer as gstreamer
from plumo.errors import StreamSetupError
from plumo.utils.gstreamer import (
    ABCGObjectMeta,
    GObject,
    Gst,
    UnknownPropertyError,
    find_element,
    find_element_factory,
    framerate_from_structure,
    is_rtp_audio_pad,
    is_video_pad,
    pad_to_string,
    try_set_property,
)

DECODER = Gst.ELEMENT_FACTORY_TYPE_DECODER


def src_pad_with_caps(text=None):
    """A real, active source pad whose negotiated caps are `text` (none when None)."""
    pad = Gst.Pad.new("src", Gst.PadDirection.SRC)
    assert pad.set_active(True)
    if text is not None:
        assert pad.push_event(Gst.Event.new_stream_start("plumo"))
        assert pad.push_event(Gst.Event.new_caps(Gst.Caps.from_string(text)))
    return pad


def structure(text):
    return Gst.Structure.from_string(text)[0]


# --- shapes -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, signature",
    [
        (framerate_from_structure, "(structure)"),
        (is_video_pad, "(pad)"),
        (is_rtp_audio_pad, "(pad)"),
        (pad_to_string, "(pad: 'Gst.Pad') -> 'str'"),
        (find_element_factory, "(caps: 'Gst.Caps', type_) -> 'Gst.ElementFactory'"),
        (find_element, "(caps: 'Gst.Caps', type_, name: 'str' = None) -> 'Gst.Element'"),
        (try_set_property, "(element: 'Gst.Element', name: 'str', value: 'Any') -> 'None'"),
        (UnknownPropertyError.__init__,
         "(self, element: 'Gst.Element', property_name: 'str')"),
    ],
)  # fmt: skip
def test_signatures_and_names(function, signature):
    assert str(inspect.signature(function)) == signature
    assert function.__module__ == "plumo.utils.gstreamer"
    expected_qualname = function.__name__
    if function.__name__ == "__init__":
        expected_qualname = "UnknownPropertyError.__init__"
    assert function.__qualname__ == expected_qualname


@pytest.mark.parametrize(
    "function, first_lines, fields",
    [
        (find_element_factory,
         ["Searches for an element factory for an element that can take the given",
          "    caps on its sink pad."],
         [":param caps: The caps that the element must support as input",
          ":param type_: The type of element to search for", ":return: Element factory",
          ":raise: StreamSetupError if no element factory was found"]),
        (find_element,
         ["Searches for an element that can take the given caps on its sink",
          "    pad and creates it."],
         [":param caps: The caps that the element must support as input",
          ":param type_: The type of element to search for",
          ":param name: The name to give the new element, or None for no name",
          ":return: The found element", ":raise: StreamSetupError if no element was found"]),
        (try_set_property, ["Sets the element's property if it exists."],
         [":param element: The element whose property to set",
          ":param name: The name of the property",
          ":param value: The value to set the property to",
          ":raises UnknownPropertyError: If the element has no property of the given name"]),
        (is_video_pad, ["Determine if the pad supplies video. This is done by getting the"],
         [":param pad: The pad to analyze", ":return: True if this is a video pad"]),
    ],
)  # fmt: skip
def test_docstring_layout(function, first_lines, fields):
    lines = function.__doc__.split("\n")
    assert lines[: len(first_lines)] == first_lines
    blank = lines.index("")
    assert [line.strip() for line in lines[blank + 1 : -1]] == fields
    assert all(line.startswith("    ") for line in lines[1:] if line)
    assert function.__doc__.endswith("\n    ")


def test_docstrings_without_fields():
    assert is_rtp_audio_pad.__doc__ == (
        "Checks a pad that represents an RTP stream to see if it's an audio\n    stream.\n    "
    )
    assert len(is_video_pad.__doc__.split("\n\n")[0].split("\n")) == 4
    for function in (pad_to_string, framerate_from_structure, UnknownPropertyError.__init__):
        assert function.__doc__ is None
    assert UnknownPropertyError.__doc__ == "Raised when a non-existent property is referenced"


# --- ABCGObjectMeta --------------------------------------------------------------------------------


def test_abc_gobject_meta_combines_both_metaclasses():
    assert ABCGObjectMeta.__bases__ == (type(GObject.Object), ABCMeta)
    assert type(ABCGObjectMeta) is type and ABCGObjectMeta.__module__ == "plumo.utils.gstreamer"
    assert set(vars(ABCGObjectMeta)) == {"__module__", "__doc__"}
    assert ABCGObjectMeta.__doc__.startswith(
        "A metaclass that allows for GObject-based classes to be abstract base\n"
        "    classes. Using abc.ABC directly will cause metaclass conflicts.\n"
    )
    assert "class AbstractGstElement(Gst.Element, metaclass=ABCGObjectMeta):" in (
        ABCGObjectMeta.__doc__
    )

    class AbstractElement(Gst.Element, metaclass=ABCGObjectMeta):
        @abstractmethod
        def my_abstract_method(self): ...

    class ConcreteElement(AbstractElement):
        def my_abstract_method(self):
            return "done"

    # Both metaclasses did their work: a registered GType, and the ABC bookkeeping.
    assert AbstractElement.__gtype__.name.endswith("AbstractElement")
    assert AbstractElement.__abstractmethods__ == frozenset({"my_abstract_method"})
    assert ConcreteElement.__abstractmethods__ == frozenset()
    element = ConcreteElement()
    assert isinstance(element, Gst.Element) and isinstance(element, AbstractElement)
    assert element.my_abstract_method() == "done"


# --- framerate_from_structure ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, rate",
    [
        ("video/x-raw,framerate=30000/1001", 29.97002997002997),
        ("video/x-raw,framerate=30/1", 30.0),
        ("video/x-raw,framerate=0/1", 0.0),
        ("video/x-raw,framerate=25/2", 12.5),
    ],
)
def test_framerate_is_a_float(text, rate):
    result = framerate_from_structure(structure(text))
    assert type(result) is float and result == rate


@pytest.mark.parametrize(
    "text",
    [
        "video/x-raw,framerate=[1/1,30/1]",
        "video/x-raw,framerate={30/1,60/1}",
        "video/x-raw,width=320",
        "video/x-raw,framerate=30",
    ],
)
def test_framerate_that_is_not_one_fraction(text):
    with pytest.raises(RuntimeError) as info:
        framerate_from_structure(structure(text))
    assert info.value.args == (
        "Unsupported framerate format. This should have been taken care of by normalize",
    )


@pytest.mark.parametrize("result", [(True, 30), (True, 30, 1, 1), None])
def test_framerate_result_must_unpack_into_three(result):
    fake = SimpleNamespace(get_fraction=lambda name: result)
    with pytest.raises((ValueError, TypeError)):
        framerate_from_structure(fake)


# --- is_video_pad, is_rtp_audio_pad ---------------------------------------------------------------


@pytest.mark.parametrize(
    "caps, video",
    [
        ("video/x-raw,format=BGR,width=4,height=4", True),
        ("video/x-h264", True),
        ("audio/x-raw,format=S16LE,rate=8000,channels=1", False),
        ("application/x-rtp,media=video", False),
        ("image/jpeg", False),
    ],
)
def test_is_video_pad(caps, video):
    assert is_video_pad(src_pad_with_caps(caps)) is video


@pytest.mark.parametrize(
    "media, audio",
    [("audio", True), ("video", False), ("x-audio-extra", True), ("application", False)],
)
def test_is_rtp_audio_pad(media, audio):
    pad = src_pad_with_caps(f"application/x-rtp,media={media},clock-rate=90000")
    assert is_rtp_audio_pad(pad) is audio


def test_rtp_pad_without_media_fails_with_type_error():
    with pytest.raises(TypeError):
        is_rtp_audio_pad(src_pad_with_caps("application/x-rtp,clock-rate=90000"))


def test_unnegotiated_pad_has_no_caps_even_when_allowed_caps_are_video():
    launched = Gst.parse_launch("videotestsrc name=src ! fakesink")
    pad = launched.get_by_name("src").get_static_pad("src")
    assert pad.get_allowed_caps().get_structure(0).get_name() == "video/x-raw"
    with pytest.raises(RuntimeError, match="^Pad has no caps$"):
        is_video_pad(pad)
    with pytest.raises(RuntimeError, match="^Demuxer pad has no caps$"):
        is_rtp_audio_pad(pad)


@pytest.mark.parametrize(
    "query, message",
    [(is_video_pad, "Pad caps have no structures"),
     (is_rtp_audio_pad, "Demuxer pad caps have no structures")],
)  # fmt: skip
def test_caps_without_structures(query, message):
    # Negotiated caps are always fixed, so empty current caps only come from a pad stand-in.
    pad = SimpleNamespace(get_current_caps=Gst.Caps.new_empty)
    with pytest.raises(RuntimeError) as info:
        query(pad)
    assert info.value.args == (message,)


def test_only_the_first_structure_counts():
    first = structure("audio/x-raw")
    caps = SimpleNamespace(get_size=lambda: 2, get_structure=lambda i: [first, None][i])
    assert is_video_pad(SimpleNamespace(get_current_caps=lambda: caps)) is False


# --- pad_to_string -------------------------------------------------------------------------------


def test_pad_to_string_of_a_bare_pad():
    pad = Gst.Pad.new("sink", Gst.PadDirection.SINK)
    assert pad_to_string(pad) == (
        f"{pad}(current_caps=None, allowed_caps=None, direction={Gst.PadDirection.SINK},"
        " linked=False, active=False)"
    )


def test_pad_to_string_of_a_negotiated_linked_pad():
    pad = src_pad_with_caps("video/x-raw,format=BGR,width=2,height=2")
    peer = Gst.Pad.new("sink", Gst.PadDirection.SINK)
    assert pad.link(peer) == Gst.PadLinkReturn.OK
    text = pad_to_string(pad)
    assert "(current_caps=video/x-raw, format=(string)BGR, width=(int)2, height=(int)2," in text
    assert text.endswith(", linked=True, active=True)")


def test_pad_to_string_formats_each_piece_before_the_next_getter():
    events = []

    class Recorded:
        def __init__(self, name):
            self.name = name

        def __format__(self, format_spec):
            events.append(f"format {self.name}")
            return self.name

    class Caps(Recorded):
        def to_string(self):
            return f"{self.name}-text"

    class Pad(Recorded):
        def get_current_caps(self):
            events.append("get_current_caps")
            return Caps("current")

        def get_allowed_caps(self):
            events.append("get_allowed_caps")
            return None

        def __getattr__(self, getter):
            events.append(getter)
            return lambda: Recorded(getter)

    text = pad_to_string(Pad("pad"))
    assert text == (
        "pad(current_caps=current-text, allowed_caps=None, direction=get_direction,"
        " linked=is_linked, active=is_active)"
    )
    assert events == [
        "get_current_caps", "get_allowed_caps", "format pad",
        "get_direction", "format get_direction", "is_linked", "format is_linked",
        "is_active", "format is_active",
    ]  # fmt: skip


# --- find_element_factory, find_element ----------------------------------------------------------

QUERY_CAPS = "x-plumo/query-test"
NONE_ONLY_CAPS = "x-plumo/none-rank-only"


def register_decoder(name, rank, caps):
    template = Gst.PadTemplate.new(
        "sink", Gst.PadDirection.SINK, Gst.PadPresence.ALWAYS, Gst.Caps.from_string(caps)
    )
    element_class = type(
        f"Plumo{name.title().replace('-', '')}",
        (Gst.Element,),
        {
            "__gstmetadata__": (name, "Codec/Decoder/Video", "test decoder", "plumo tests"),
            "__gsttemplates__": (template,),
        },
    )
    assert Gst.Element.register(None, name, rank, element_class)
    return Gst.ElementFactory.find(name)


@pytest.fixture(scope="module")
def test_decoders():
    made = {
        "low": register_decoder("plumoquery-low", Gst.Rank.MARGINAL, QUERY_CAPS),
        "high": register_decoder("plumoquery-high", Gst.Rank.PRIMARY, QUERY_CAPS),
        "unranked": register_decoder("plumoquery-unranked", Gst.Rank.NONE, QUERY_CAPS),
        "none_only": register_decoder("plumoquery-none-only", Gst.Rank.NONE, NONE_ONLY_CAPS),
    }
    yield made
    # Factories cannot be unregistered: drop them below every search's threshold instead.
    for factory in made.values():
        factory.set_rank(Gst.Rank.NONE)


def test_highest_ranked_compatible_factory_wins(test_decoders):
    caps = Gst.Caps.from_string(QUERY_CAPS)
    assert find_element_factory(caps, DECODER).get_name() == "plumoquery-high"
    test_decoders["high"].set_rank(Gst.Rank.MARGINAL - 1)
    try:
        assert find_element_factory(caps, DECODER).get_name() == "plumoquery-low"
    finally:
        test_decoders["high"].set_rank(Gst.Rank.PRIMARY)


def test_factory_search_on_real_caps():
    factory = find_element_factory(Gst.Caps.from_string("image/jpeg"), DECODER)
    assert factory.get_name() == "jpegdec"


@pytest.mark.parametrize("caps", [NONE_ONLY_CAPS, "x-plumo/nothing-takes-this"])
def test_no_factory_of_marginal_rank(test_decoders, caps):
    with pytest.raises(StreamSetupError) as info:
        find_element_factory(Gst.Caps.from_string(caps), DECODER)
    assert info.value.args == (f"Could not find compatible element for caps: {caps}",)
    with pytest.raises(StreamSetupError):
        find_element(Gst.Caps.from_string(caps), DECODER, "x")


@pytest.mark.parametrize("name", ["decoder", None])
def test_find_element_creates_an_unparented_element(name):
    element = find_element(Gst.Caps.from_string("image/jpeg"), DECODER, name)
    assert element.get_factory().get_name() == "jpegdec"
    assert element.get_parent() is None
    if name is None:
        assert element.get_name().startswith("jpegdec")  # GStreamer's own unique name
    else:
        assert element.get_name() == name


@pytest.fixture
def fake_gst(monkeypatch):
    """A Gst stand-in that records the factory search's calls and returns `results`."""
    calls = []
    state = SimpleNamespace(calls=calls, listed=["listed"], filtered=["first", "second"])

    def list_get_elements(*args):
        calls.append(("list_get_elements", args))
        return state.listed

    def list_filter(*args):
        calls.append(("list_filter", args))
        return state.filtered

    fake = SimpleNamespace(
        ElementFactory=SimpleNamespace(
            list_get_elements=list_get_elements, list_filter=list_filter
        ),
        Rank=SimpleNamespace(MARGINAL="MARGINAL"),
        PadDirection=SimpleNamespace(SINK="SINK"),
    )
    monkeypatch.setattr(gstreamer, "Gst", fake)
    return state


def test_factory_search_arguments(fake_gst):
    caps, type_ = SimpleNamespace(), object()
    assert find_element_factory(caps, type_) == "first"
    assert fake_gst.calls == [
        ("list_get_elements", (type_, "MARGINAL")),
        ("list_filter", (["listed"], caps, "SINK", False)),
    ]


@pytest.mark.parametrize("call", [find_element_factory, find_element])
def test_none_caps_are_refused_before_gstreamer_is_asked(fake_gst, call):
    with pytest.raises(ValueError) as info:
        call(None, DECODER)
    assert info.value.args == ("Caps must not be None when finding an element",)
    assert fake_gst.calls == []


def test_find_element_uses_the_module_search_and_returns_create_unchanged(monkeypatch):
    seen = []
    factory = SimpleNamespace(create=lambda name: seen.append(("create", name)))
    monkeypatch.setattr(
        gstreamer, "find_element_factory", lambda *args: seen.append(args) or factory
    )
    assert find_element("caps", "type", name="n") is None
    assert seen == [("caps", "type"), ("create", "n")]


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda bad: find_element(None, DECODER, bad), "name"),
        (lambda bad: try_set_property(Gst.ElementFactory.make("identity"), bad, 1), "name"),
        (lambda bad: UnknownPropertyError(None, bad), "property_name"),
    ],
)
@pytest.mark.parametrize("bad", [b"x", StrSubclass("x"), 3])
def test_str_parameters_refuse_other_types(call, parameter, bad):
    with pytest.raises(TypeError) as info:
        call(bad)
    assert str(info.value) == (
        f"Argument '{parameter}' has incorrect type (expected str, got {type(bad).__name__})"
    )


# --- try_set_property, UnknownPropertyError ------------------------------------------------------


def test_try_set_property_sets_an_existing_property():
    element = Gst.ElementFactory.make("identity")
    assert try_set_property(element, "silent", False) is None
    assert element.get_property("silent") is False
    try_set_property(element=element, name="sleep-time", value=7)
    assert element.get_property("sleep-time") == 7


def test_try_set_property_refuses_unknown_names_and_sets_nothing():
    element = Gst.ElementFactory.make("identity")
    with pytest.raises(UnknownPropertyError) as info:
        try_set_property(element, "no-such-property", 1)
    error = info.value
    assert error.property_name == "no-such-property"
    assert error.args == (f"Element {element} has no property named 'no-such-property'",)
    assert str(error) == error.args[0] and isinstance(error, Exception)


def test_try_set_property_passes_binding_errors_through():
    with pytest.raises(TypeError):
        try_set_property(Gst.ElementFactory.make("identity"), "sleep-time", "soon")


def test_try_set_property_raises_the_module_error_class(monkeypatch):
    class Replaced(Exception):
        def __init__(self, element, name):
            super().__init__(element, name)

    monkeypatch.setattr(gstreamer, "UnknownPropertyError", Replaced)
    element = SimpleNamespace(find_property=lambda name: None)
    with pytest.raises(Replaced) as info:
        try_set_property(element, "x", 1)
    assert info.value.args == (element, "x")


def test_unknown_property_error_with_none_name():
    error = UnknownPropertyError("sink0", None)
    assert error.args == ("Element sink0 has no property named 'None'",)
    assert error.property_name is None
    error = UnknownPropertyError(element="e", property_name="p")
    assert (error.args, error.property_name) == (("Element e has no property named 'p'",), "p")
