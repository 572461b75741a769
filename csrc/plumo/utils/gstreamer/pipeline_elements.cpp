// Growing a pipeline: one element at a time, and caps filters that pick the first format the
// upstream element can produce.
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name gst_("Gst");
Name not_linked_error_("NotLinkedError");

Name element_factory_("ElementFactory");
Name make_("make");
Name add_("add");
Name items_("items");
Name set_property_("set_property");
Name set_state_("set_state");
Name state_("State");
Name playing_("PLAYING");
Name link_("link");
Name new_element_("new_element");
Name link_to_("link_to");
Name properties_("properties");
Name auto_play_("auto_play");
Name caps_("Caps");
Name from_string_("from_string");

// --- new_element ---------------------------------------------------------------------------------

constexpr const char* new_element_doc = R"(Creates and adds a new element to the pipeline.
        :param factory_name: The name of the factory to create an element from, like videoconvert
        :param link_to: If not None, the new element will be linked to this one
        :param properties: Properties to set on the new element
        :param auto_play: If True, the element will be put in the PLAYING state after it is added to the pipeline
        :param name: The name to give the new element, or None for no name
        :return: The new element
        :raises NotLinkedError: Raised when the new element cannot be linked to the previous element in the pipeline
        )";

// Property names must be exactly str (or None, which the bindings then judge).
void check_property_name(py::handle key) {
    if (key.is_none() || PyUnicode_CheckExact(key.ptr()))
        return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                 Py_TYPE(key.ptr())->tp_name);
    throw py::error_already_set();
}

void set_properties(py::handle element, py::handle properties) {
    py::object items = steal(PyObject_GetIter(call_method(properties, items_).ptr()));
    while (PyObject* next = PyIter_Next(items.ptr())) {
        auto [key, value] = unpack<2>(steal(next));
        check_property_name(key);
        call_method(element, set_property_, key, value);
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
}

py::object new_element(Call& call) {
    py::handle self = call[0];
    py::handle factory_name = call[1];
    py::handle link_to = call[2];
    py::handle properties = call[3];
    py::handle auto_play = call[4];
    py::handle name = call[5];

    py::object make = getattr(getattr(call.global(gst_), element_factory_), make_);
    py::object element = invoke(make, factory_name, name);
    invoke(getattr(self, add_), element);
    if (!properties.is_none())
        set_properties(element, properties);
    if (truth(auto_play))
        invoke(getattr(element, set_state_), getattr(getattr(call.global(gst_), state_), playing_));
    if (!link_to.is_none()) {
        py::object linked = invoke(getattr(link_to, link_), element);
        if (!truth(linked))
            raise(call.global(not_linked_error_),
                  fstring(py::str("Failed to link "), factory_name));
    }
    return element;
}

constexpr Param new_element_params[] = {
    param("self"),
    param("factory_name").str(),
    param("link_to").annotated("Gst.Element").with_default("None"),
    param("properties").dict().with_default("None"),
    param("auto_play").with_default("True"),
    param("name").str().with_default("None"),
};

// --- filter_caps ---------------------------------------------------------------------------------

constexpr const char* filter_caps_doc =
    R"(Forces the previous element in the pipeline to produce frames in one
        of the given formats.
        :param link_to: The element to filter caps on
        :param options: A list of acceptable caps
        :param auto_play: If True, the element will be put in the PLAYING state after it is added to the pipeline
        :return: The capsfilter element and the selected caps
        :raises NotLinkedError: The element is unable to produce frames that fit any of the acceptable caps
        )";

py::object filter_caps(Call& call) {
    py::handle self = call[0];
    py::handle link_to = call[1];
    py::handle options = call[2];
    py::handle auto_play = call[3];

    py::object capsfilter_name = py::str("capsfilter");
    py::object options_iter = steal(PyObject_GetIter(options.ptr()));
    while (PyObject* next = PyIter_Next(options_iter.ptr())) {
        py::object caps = steal(next);
        py::object from_string = getattr(getattr(call.global(gst_), caps_), from_string_);
        py::dict properties;
        properties["caps"] = invoke(from_string, caps);
        try {
            py::object capsfilter = invoke_keywords(
                getattr(self, new_element_), {capsfilter_name},
                {{link_to_, link_to}, {properties_, properties}, {auto_play_, auto_play}});
            return py::make_tuple(capsfilter, caps);
        } catch (py::error_already_set& e) {
            // Only this option failed to link; try the next one.
            if (!e.matches(call.global(not_linked_error_)))
                throw;
        }
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    raise(call.global(not_linked_error_),
          add(py::str("Could not link capsfilter using any of the provided caps: "), str(options)));
}

constexpr Param filter_caps_params[] = {
    param("self"),
    param("link_to").annotated("Gst.Element"),
    param("options").annotated("List[str]"),
    param("auto_play").with_default("True"),
};

}  // namespace

constexpr FunctionDef new_element_def =
    function("new_element", "Pipeline.new_element", new_element_params, new_element,
             new_element_doc, "Gst.Element");
constexpr FunctionDef filter_caps_def =
    function("filter_caps", "Pipeline.filter_caps", filter_caps_params, filter_caps,
             filter_caps_doc, "Tuple[Gst.Element, str]");

}  // namespace plumo::gstreamer
