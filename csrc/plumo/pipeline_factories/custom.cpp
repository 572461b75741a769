// plumo.pipeline_factories.custom: pipelines from a launch string the user writes, with the
// source URL filled into its "{url}" placeholder.
#include "factory_module.h"
#include "gi_setup.h"

namespace plumo::pipeline_factories {
namespace {

Name invalid_custom_pipeline_error_("InvalidCustomPipelineError");
Name pipeline_("Pipeline");
Name appsink_properties_("_APPSINK_PROPERTIES");
Name buffer_src_name_("BUFFER_SRC_NAME");

Name url_("url");
Name format_("format");
Name url_attr_("_url");
Name redact_text_("_redact_text");
Name pipeline_str_attr_("_pipeline_str");
Name pipeline_watcher_attr_("_pipeline_watcher");
Name logger_attr_("_logger");
Name from_launch_string_("from_launch_string");
Name add_bus_watch_("add_bus_watch");
Name get_by_name_("get_by_name");
Name items_("items");
Name set_property_("set_property");
Name appsink_("appsink");
Name get_static_pad_("get_static_pad");
Name warning_("warning");

constexpr const char* class_doc = "Creates a pipeline from a pipeline string.";

// --- __init__ ------------------------------------------------------------------------------------

constexpr const char* init_doc = R"(
        :param pipeline_str: The custom pipeline string
        :param url: The URL to connect to
        :param pipeline_watcher: Function to connect to the pipeline's bus
        :param on_complete: Called when the pipeline has been built successfully
        )";

constexpr Param init_params[] = {
    param("self"),
    param("pipeline_str").str(),
    param("url").str().keyword_only(),
    param("pipeline_watcher").annotated("_PIPELINE_WATCHER").keyword_only(),
    param("on_complete").annotated("_ON_COMPLETE_CALLBACK").keyword_only(),
};

constexpr const char* placeholder = "{url}";
constexpr const char* invalid_format[] = {
    "Invalid pipeline format: '",
    "'. Pipelines must contain a '{url}' portion to be filled by the source URL.",
};

// The URL is pasted into a launch string. Whitespace, quotes and backslashes would end the
// property value it fills and let the rest be read as more properties or elements (a filesink
// writing wherever the text says, say); none of them belongs in a URL, which escapes them.
void check_fits_launch_syntax(Call& call, py::handle url) {
    py::object text = str(url);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISSPACE(c) || Py_UNICODE_ISPRINTABLE(c) == 0 || c == '"' || c == '\'' ||
            c == '\\') {
            PyErr_Format(PyExc_ValueError,
                         "The URL %R cannot be filled into a pipeline string: it contains "
                         "whitespace, a quote, a backslash or a control character",
                         shown_url(call, text).ptr());
            throw py::error_already_set();
        }
    }
}

py::object init(Call& call) {
    py::handle self = call[0];
    py::handle pipeline_str = call[1];
    init_base(call, self, call[2], call[4]);

    if (pipeline_str.is_none()) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        throw py::error_already_set();
    }
    int has_placeholder = PyUnicode_Contains(pipeline_str.ptr(), py::str(placeholder).ptr());
    if (has_placeholder < 0)
        throw py::error_already_set();
    if (!has_placeholder)
        raise(call.global(invalid_custom_pipeline_error_),
              add(add(py::str(invalid_format[0]), pipeline_str), py::str(invalid_format[1])));

    py::object url = getattr(self, url_attr_);
    check_fits_launch_syntax(call, url);
    py::object filled = invoke_keywords(getattr(pipeline_str, format_), {}, {{url_, url}});
    setattr(self, pipeline_str_attr_, filled);
    setattr(self, pipeline_watcher_attr_, call[3]);
    return py::none();
}

constexpr FunctionDef init_def =
    function("__init__", "CustomPipelineFactory.__init__", init_params, init, init_doc);

// --- build ---------------------------------------------------------------------------------------

constexpr Param build_params[] = {param("self")};

constexpr const char* main_sink_name = "main_sink";
constexpr const char* no_main_sink[] = {
    "No element with name 'main_sink' element found in custom pipeline '",
    "'",
};
constexpr const char* no_buffer_src =
    "Pipeline has no element named 'buffer_src' to attach the buffer probe to. Frames will not "
    "be skipped";
constexpr const char* buffer_src_without_src_pad =
    "Element named 'buffer_src' does not have a static pad named 'src' to attach a buffer probe "
    "to";

void build_steps(Call& call, py::handle pipeline) {
    py::handle self = call[0];
    call_method(pipeline, add_bus_watch_, getattr(self, pipeline_watcher_attr_), pipeline);

    py::object sink = call_method(pipeline, get_by_name_, py::str(main_sink_name));
    if (sink.is_none())
        raise(call.global(invalid_custom_pipeline_error_),
              add(add(py::str(no_main_sink[0]),
                      invoke(call.global(redact_text_), getattr(self, pipeline_str_attr_),
                             getattr(self, url_attr_))),
                  py::str(no_main_sink[1])));

    py::object items = call_method(call.global(appsink_properties_), items_);
    py::object it = steal(PyObject_GetIter(items.ptr()));
    while (PyObject* next = PyIter_Next(it.ptr())) {
        auto [name, value] = unpack<2>(steal(next));
        call_method(sink, set_property_, name, value);
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    setattr(pipeline, appsink_, sink);

    py::object buffer_src = call_method(pipeline, get_by_name_, call.global(buffer_src_name_));
    if (buffer_src.is_none()) {
        call_method(getattr(self, logger_attr_), warning_, py::str(no_buffer_src));
    } else if (call_method(buffer_src, get_static_pad_, py::str("src")).is_none()) {
        raise(call.global(invalid_custom_pipeline_error_), py::str(buffer_src_without_src_pad));
    }
}

py::object build(Call& call) {
    py::handle self = call[0];
    py::object from_launch_string = getattr(call.global(pipeline_), from_launch_string_);
    py::object pipeline = invoke(from_launch_string, getattr(self, pipeline_str_attr_),
                                 shown_url(call, getattr(self, url_attr_)));
    return finish_build(call, pipeline, build_steps);
}

constexpr FunctionDef build_def =
    function("build", "CustomPipelineFactory.build", build_params, build, nullptr, "Pipeline");

}  // namespace
}  // namespace plumo::pipeline_factories

PYBIND11_MODULE(custom, m) {
    using namespace plumo;
    using namespace plumo::pipeline_factories;
    init_compiled_functions();
    require_gi_versions({"Gst"});
    m.attr("Gst") = import_from("gi.repository", "Gst");
    m.attr("InvalidCustomPipelineError") =
        import_from("plumo.errors", "InvalidCustomPipelineError");
    m.attr("Pipeline") = import_from("plumo.utils.gstreamer", "Pipeline");
    import_base_names(m);
    import_url_masking(m);
    m.attr("CustomPipelineFactory") = make_class(
        m, "CustomPipelineFactory", py::make_tuple(m.attr("PipelineFactory")), class_doc,
        {{"__init__", make_function(m, init_def)}, {"build", make_function(m, build_def)}});
}
