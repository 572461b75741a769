// Stateless questions about GStreamer objects: frame rates, what a pad carries, which factory
// can take some caps, and setting properties that must exist. None of them logs or keeps state.
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name gst_("Gst");
Name stream_setup_error_("StreamSetupError");
Name unknown_property_error_("UnknownPropertyError");
Name find_element_factory_("find_element_factory");
Name runtime_error_("RuntimeError");
Name value_error_("ValueError");

Name get_fraction_("get_fraction");
Name get_current_caps_("get_current_caps");
Name get_allowed_caps_("get_allowed_caps");
Name get_size_("get_size");
Name get_structure_("get_structure");
Name get_name_("get_name");
Name get_string_("get_string");
Name startswith_("startswith");
Name to_string_("to_string");
Name get_direction_("get_direction");
Name is_linked_("is_linked");
Name is_active_("is_active");
Name element_factory_("ElementFactory");
Name list_get_elements_("list_get_elements");
Name list_filter_("list_filter");
Name rank_("Rank");
Name marginal_("MARGINAL");
Name pad_direction_("PadDirection");
Name sink_("SINK");
Name create_("create");
Name find_property_("find_property");
Name set_property_("set_property");
Name init_("__init__");
Name property_name_("property_name");

// --- framerate_from_structure --------------------------------------------------------------------

constexpr const char* unsupported_framerate =
    "Unsupported framerate format. This should have been taken care of by normalize";

py::object framerate_from_structure(Call& call) {
    auto [valid, numerator, denominator] =
        unpack<3>(call_method(call[0], get_fraction_, py::str("framerate")));
    if (!truth(valid))
        raise(call.global(runtime_error_), py::str(unsupported_framerate));
    return steal(PyNumber_TrueDivide(numerator.ptr(), denominator.ptr()));
}

constexpr Param structure_param[] = {param("structure")};

// --- is_video_pad, is_rtp_audio_pad --------------------------------------------------------------

constexpr const char* is_video_pad_doc =
    R"(Determine if the pad supplies video. This is done by getting the
    media type from the pad's caps, which have the form 'type/format',
    like 'video/x-h264'. Any pad whose media type starts with 'video/' is
    considered a video pad.

    :param pad: The pad to analyze
    :return: True if this is a video pad
    )";

constexpr const char* is_rtp_audio_pad_doc =
    R"(Checks a pad that represents an RTP stream to see if it's an audio
    stream.
    )";

// The first structure of the pad's negotiated caps; the two texts name what is missing.
py::object first_structure(Call& call, py::handle pad, const char* no_caps,
                           const char* no_structures) {
    py::object caps = call_method(pad, get_current_caps_);
    if (caps.is_none())
        raise(call.global(runtime_error_), py::str(no_caps));
    if (compare(call_method(caps, get_size_), py::int_(0), Py_EQ))
        raise(call.global(runtime_error_), py::str(no_structures));
    return call_method(caps, get_structure_, py::int_(0));
}

py::object is_video_pad(Call& call) {
    py::object structure =
        first_structure(call, call[0], "Pad has no caps", "Pad caps have no structures");
    py::object media_type = call_method(structure, get_name_);
    return call_method(media_type, startswith_, py::str("video/"));
}

py::object is_rtp_audio_pad(Call& call) {
    py::object structure = first_structure(call, call[0], "Demuxer pad has no caps",
                                           "Demuxer pad caps have no structures");
    py::object media = call_method(structure, get_string_, py::str("media"));
    int contains = PySequence_Contains(media.ptr(), py::str("audio").ptr());
    if (contains < 0)
        throw py::error_already_set();
    return py::bool_(contains != 0);
}

constexpr Param pad_param[] = {param("pad")};

// --- pad_to_string -------------------------------------------------------------------------------

// The caps' text, or None for absent (or empty) caps.
py::object caps_text(py::object caps) {
    return truth(caps) ? call_method(caps, to_string_) : py::none();
}

py::object pad_to_string(Call& call) {
    py::handle pad = call[0];
    py::object current_caps = caps_text(call_method(pad, get_current_caps_));
    py::object allowed_caps = caps_text(call_method(pad, get_allowed_caps_));

    // As in an f-string, each value is formatted before the next getter is called.
    py::object text = fstring(pad, py::str("(current_caps="), current_caps,
                              py::str(", allowed_caps="), allowed_caps, py::str(", direction="));
    text = fstring(text, call_method(pad, get_direction_), py::str(", linked="));
    text = fstring(text, call_method(pad, is_linked_), py::str(", active="));
    return fstring(text, call_method(pad, is_active_), py::str(")"));
}

constexpr Param pad_to_string_params[] = {param("pad").annotated("Gst.Pad")};

// --- find_element_factory, find_element ----------------------------------------------------------

constexpr const char* find_element_factory_doc =
    R"(Searches for an element factory for an element that can take the given
    caps on its sink pad.

    :param caps: The caps that the element must support as input
    :param type_: The type of element to search for
    :return: Element factory
    :raise: StreamSetupError if no element factory was found
    )";

constexpr const char* find_element_doc =
    R"(Searches for an element that can take the given caps on its sink
    pad and creates it.

    :param caps: The caps that the element must support as input
    :param type_: The type of element to search for
    :param name: The name to give the new element, or None for no name
    :return: The found element
    :raise: StreamSetupError if no element was found
    )";

py::object find_element_factory(Call& call) {
    py::handle caps = call[0];
    py::handle type = call[1];
    if (caps.is_none())
        raise(call.global(value_error_), py::str("Caps must not be None when finding an element"));

    py::object gst = call.global(gst_);
    py::object factory_class = getattr(gst, element_factory_);
    // Factories of the type and of at least marginal rank, best rank first...
    py::object factories = call_method(factory_class, list_get_elements_, type,
                                       getattr(getattr(gst, rank_), marginal_));
    // ...of which those whose sink templates can take the caps, in the same order.
    factories = call_method(factory_class, list_filter_, factories, caps,
                            getattr(getattr(gst, pad_direction_), sink_), py::bool_(false));

    Py_ssize_t count = PyObject_Length(factories.ptr());
    if (count < 0)
        throw py::error_already_set();
    if (count == 0)
        raise(call.global(stream_setup_error_),
              fstring(py::str("Could not find compatible element for caps: "),
                      call_method(caps, to_string_)));
    return steal(PyObject_GetItem(factories.ptr(), py::int_(0).ptr()));
}

constexpr Param find_element_factory_params[] = {
    param("caps").annotated("Gst.Caps"),
    param("type_"),
};

py::object find_element(Call& call) {
    py::object factory = invoke(call.global(find_element_factory_), call[0], call[1]);
    return call_method(factory, create_, call[2]);
}

constexpr Param find_element_params[] = {
    param("caps").annotated("Gst.Caps"),
    param("type_"),
    param("name").str().with_default("None"),
};

// --- UnknownPropertyError, try_set_property ------------------------------------------------------

constexpr const char* unknown_property_error_doc =
    "Raised when a non-existent property is referenced";

py::object unknown_property_error_init(Call& call) {
    py::handle self = call[0];
    py::handle property_name = call[2];
    py::object message = fstring(py::str("Element "), str(call[1]),
                                 py::str(" has no property named '"), property_name, py::str("'"));
    invoke(getattr(call.super_(self), init_), message);
    setattr(self, property_name_, property_name);
    return py::none();
}

constexpr Param unknown_property_error_init_params[] = {
    param("self"),
    param("element").annotated("Gst.Element"),
    param("property_name").str(),
};

constexpr FunctionDef unknown_property_error_init_def =
    function("__init__", "UnknownPropertyError.__init__", unknown_property_error_init_params,
             unknown_property_error_init);

constexpr const char* try_set_property_doc = R"(Sets the element's property if it exists.

    :param element: The element whose property to set
    :param name: The name of the property
    :param value: The value to set the property to
    :raises UnknownPropertyError: If the element has no property of the given name
    )";

py::object try_set_property(Call& call) {
    py::handle element = call[0];
    py::handle name = call[1];
    if (call_method(element, find_property_, name).is_none())
        raise(invoke(call.global(unknown_property_error_), element, name));
    call_method(element, set_property_, name, call[2]);
    return py::none();
}

constexpr Param try_set_property_params[] = {
    param("element").annotated("Gst.Element"),
    param("name").str(),
    param("value").annotated("Any"),
};

// --- ABCGObjectMeta ------------------------------------------------------------------------------

constexpr const char* abc_gobject_meta_doc =
    R"(A metaclass that allows for GObject-based classes to be abstract base
    classes. Using abc.ABC directly will cause metaclass conflicts.

    Example::

        class AbstractGstElement(Gst.Element, metaclass=ABCGObjectMeta):
            @abstractmethod
            def my_abstract_method(self):
                pass
    )";

}  // namespace

constexpr FunctionDef framerate_from_structure_def =
    function("framerate_from_structure", "framerate_from_structure", structure_param,
             framerate_from_structure);
constexpr FunctionDef is_video_pad_def =
    function("is_video_pad", "is_video_pad", pad_param, is_video_pad, is_video_pad_doc);
constexpr FunctionDef is_rtp_audio_pad_def = function(
    "is_rtp_audio_pad", "is_rtp_audio_pad", pad_param, is_rtp_audio_pad, is_rtp_audio_pad_doc);
constexpr FunctionDef pad_to_string_def =
    function("pad_to_string", "pad_to_string", pad_to_string_params, pad_to_string, nullptr, "str");
constexpr FunctionDef find_element_factory_def =
    function("find_element_factory", "find_element_factory", find_element_factory_params,
             find_element_factory, find_element_factory_doc, "Gst.ElementFactory");
constexpr FunctionDef find_element_def =
    function("find_element", "find_element", find_element_params, find_element, find_element_doc,
             "Gst.Element");
constexpr FunctionDef try_set_property_def =
    function("try_set_property", "try_set_property", try_set_property_params, try_set_property,
             try_set_property_doc, "None");

py::object make_abc_gobject_meta(py::module_ m) {
    py::object gobject_meta = py::type::of(m.attr("GObject").attr("Object"));
    return make_class(m, "ABCGObjectMeta", py::make_tuple(gobject_meta, m.attr("ABCMeta")),
                      abc_gobject_meta_doc, {});
}

py::object make_unknown_property_error(py::module_ m) {
    return make_class(m, "UnknownPropertyError", py::make_tuple(py::handle(PyExc_Exception)),
                      unknown_property_error_doc,
                      {{"__init__", make_function(m, unknown_property_error_init_def)}});
}

}  // namespace plumo::gstreamer
