// The Pipeline class: construction, the appsink slot, posting errors, and class assembly.
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name gst_("Gst");
Name pipeline_("Pipeline");
Name logger_("logger");
Name inspect_("inspect");
Name stream_setup_error_("StreamSetupError");

Name init_("__init__");
Name name_("name");
Name class_("__class__");
Name destructors_("destructors");
Name appsink_slot_("_appsink");
Name parse_launch_("parse_launch");
Name add_("add");
Name get_name_("get_name");
Name set_name_("set_name");
Name warning_("warning");
Name stack_("stack");
Name message_full_("message_full");
Name message_type_("MessageType");
Name error_("ERROR");
Name stream_error_quark_("stream_error_quark");
Name stream_error_("StreamError");
Name failed_("FAILED");
Name filename_("filename");
Name function_("function");
Name lineno_("lineno");
Name add_to_("add");

constexpr const char* class_doc =
    R"(Wraps around a GStreamer pipeline, providing utilities and managing the
    lifecycle of the resources it uses.
    )";

// --- __init__ ------------------------------------------------------------------------------------

constexpr Param init_params[] = {param("self"), param("name").str()};

// Closes over the set of live pipelines that is stopped at exit (pipeline_collection.cpp).
py::object pipeline_init(Call& call) {
    py::handle self = call[0];
    invoke_keywords(getattr(call.super_(self), init_), {}, {{name_, call[1]}});
    setattr(self, destructors_, steal(PyList_New(0)));
    setattr(self, appsink_slot_, py::none());
    call_method(call.captured(0), add_to_, self);
    return py::none();
}

constexpr FunctionDef init_def =
    function("__init__", "Pipeline.__init__", init_params, pipeline_init);

// --- from_launch_string --------------------------------------------------------------------------

constexpr const char* from_launch_string_doc =
    R"(Creates a pipeline from the given launch string, like
        `videotestsrc ! videoconvert ! appsink`.

        :param launch: The launch string
        :param name: The name to use for the pipeline
        )";

constexpr Param from_launch_string_params[] = {param("launch").str(), param("name").str()};

py::object from_launch_string(Call& call) {
    py::handle name = call[1];
    py::object gst = call.global(gst_);
    py::object parsed = invoke(getattr(gst, parse_launch_), call[0]);
    py::object pipeline_class = call.global(pipeline_);

    // A description of one element (or one bin) parses to that element. Like gst-launch,
    // put it into a new pipeline rather than pass a non-pipeline off as one.
    int is_pipeline = PyObject_IsInstance(parsed.ptr(), getattr(gst, pipeline_).ptr());
    if (is_pipeline < 0)
        throw py::error_already_set();
    if (!is_pipeline) {
        py::object pipeline = invoke(pipeline_class, name);
        invoke(getattr(pipeline, add_), parsed);
        return pipeline;
    }

    setattr(parsed, class_, pipeline_class);
    invoke(getattr(pipeline_class, init_), parsed, name);
    // The GObject initialiser does not touch an object that is already constructed, so the
    // parser's own name ("pipeline0") would stay: give it the requested one.
    if (!name.is_none()) {
        if (!compare(invoke(getattr(parsed, get_name_)), name, Py_EQ))
            invoke(getattr(parsed, set_name_), name);
    }
    return parsed;
}

constexpr FunctionDef from_launch_string_def =
    function("from_launch_string", "Pipeline.from_launch_string", from_launch_string_params,
             from_launch_string, from_launch_string_doc, "Pipeline");

// --- post_error ----------------------------------------------------------------------------------

constexpr Param post_error_params[] = {param("self"), param("message").str()};

constexpr const char* posting_error = "Posting error to bus: ";
constexpr const char* unknown_filename = "<unknown filename>";
constexpr const char* unknown_function = "<unknown function>";

py::object post_error(Call& call) {
    py::handle self = call[0];
    py::handle message = call[1];
    invoke(getattr(call.global(logger_), warning_), fstring(py::str(posting_error), message));

    // The frame record of whoever called post_error. This function has no frame of its own,
    // so that is the first record inspect.stack() returns.
    py::object caller = py::none();
    try {
        py::object stack = invoke(getattr(call.global(inspect_), stack_));
        caller = steal(PySequence_GetItem(stack.ptr(), 0));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError))
            throw;
    }

    py::object gst = call.global(gst_);
    py::object message_full = getattr(self, message_full_);
    py::object type = getattr(getattr(gst, message_type_), error_);
    py::object domain = invoke(getattr(gst, stream_error_quark_));
    py::object code = getattr(getattr(gst, stream_error_), failed_);
    py::object filename = truth(caller) ? getattr(caller, filename_) : py::str(unknown_filename);
    py::object function_name =
        truth(caller) ? getattr(caller, function_) : py::str(unknown_function);
    py::object lineno = truth(caller) ? getattr(caller, lineno_) : py::int_(0);
    invoke(message_full, type, domain, code, py::none(), message, filename, function_name, lineno);
    return py::none();
}

constexpr FunctionDef post_error_def =
    function("post_error", "Pipeline.post_error", post_error_params, post_error,
             "Sends an error message on the pipeline's bus");

// --- appsink -------------------------------------------------------------------------------------

constexpr Param self_param[] = {param("self")};

py::object get_appsink(Call& call) {
    py::object element = getattr(call[0], appsink_slot_);
    if (element.is_none())
        raise(call.global(stream_setup_error_),
              py::str("The appsink has not been set for this pipeline yet"));
    return element;
}

constexpr FunctionDef get_appsink_def =
    function("appsink", "Pipeline.appsink", self_param, get_appsink, nullptr, "GstApp.AppSink");

constexpr Param set_appsink_params[] = {param("self"),
                                        param("element").annotated("GstApp.AppSink")};

py::object set_appsink(Call& call) {
    setattr(call[0], appsink_slot_, call[1]);
    return py::none();
}

constexpr FunctionDef set_appsink_def =
    function("appsink", "Pipeline.appsink", set_appsink_params, set_appsink);

}  // namespace

py::object make_pipeline_class(py::module_ m) {
    py::object gst = m.attr("Gst");
    py::object staticmethod =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyStaticMethod_Type));
    py::object property =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
    auto fn = [&](const FunctionDef& def) { return make_function(m, def); };
    py::object live_pipelines = watch_pipelines_at_exit(m);

    return make_class(m, "Pipeline", py::make_tuple(gst.attr("Pipeline")), class_doc,
                      {
                          {"__init__", make_function(m, init_def, {live_pipelines})},
                          {"from_launch_string", staticmethod(fn(from_launch_string_def))},
                          {"connect_signal_handler", fn(connect_signal_handler_def)},
                          {"add_bus_watch", fn(add_bus_watch_def)},
                          {"add_pad_probe", fn(add_pad_probe_def)},
                          {"post_error", fn(post_error_def)},
                          {"release_resources", fn(release_resources_def)},
                          {"wait_until_playing", fn(wait_until_playing_def)},
                          {"wait_until_null", fn(wait_until_null_def)},
                          {"appsink", property(fn(get_appsink_def), fn(set_appsink_def))},
                          {"new_element", fn(new_element_def)},
                          {"filter_caps", fn(filter_caps_def)},
                          {"__del__", fn(del_def)},
                      });
}

}  // namespace plumo::gstreamer
