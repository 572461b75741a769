// plumo.pipeline_factories.http: pipelines that read an HTTP URL with souphttpsrc and leave the
// decoding to the factory base.
#include "factory_module.h"
#include "gi_setup.h"

namespace plumo::pipeline_factories {
namespace {

Name pipeline_("Pipeline");
Name appsink_properties_("_APPSINK_PROPERTIES");
Name buffer_src_name_("BUFFER_SRC_NAME");

Name properties_("properties");
Name name_("name");
Name location_("location");
Name url_attr_("_url");
Name pipeline_watcher_attr_("_pipeline_watcher");
Name add_bus_watch_("add_bus_watch");
Name new_element_("new_element");
Name appsink_("appsink");
Name get_static_pad_("get_static_pad");
Name set_up_decoder_("_set_up_decoder");

constexpr const char* class_doc = "Creates a pipeline for an HTTP URL.";

// --- __init__ ------------------------------------------------------------------------------------

constexpr const char* init_doc = R"(
        :param url: The URL to connect to
        :param pipeline_watcher: Function to connect to the pipeline's bus
        :param on_complete: Called when the pipeline has been built successfully
        )";

constexpr Param init_params[] = {
    param("self"),
    param("url").str().keyword_only(),
    param("pipeline_watcher").annotated("_PIPELINE_WATCHER").keyword_only(),
    param("on_complete").annotated("_ON_COMPLETE_CALLBACK").keyword_only(),
};

py::object init(Call& call) {
    py::handle self = call[0];
    init_base(call, self, call[1], call[3]);
    setattr(self, pipeline_watcher_attr_, call[2]);
    return py::none();
}

constexpr FunctionDef init_def =
    function("__init__", "HTTPPipelineFactory.__init__", init_params, init, init_doc);

// --- build ---------------------------------------------------------------------------------------

constexpr Param build_params[] = {param("self")};

void build_steps(Call& call, py::handle pipeline) {
    py::handle self = call[0];
    call_method(pipeline, add_bus_watch_, getattr(self, pipeline_watcher_attr_), pipeline);

    py::object new_element = getattr(pipeline, new_element_);
    py::object appsink = invoke_keywords(new_element, {py::str("appsink")},
                                         {{properties_, call.global(appsink_properties_)}});
    setattr(pipeline, appsink_, appsink);

    py::dict source_properties;
    source_properties[location_.value()] = getattr(self, url_attr_);
    py::object source =
        invoke_keywords(new_element, {py::str("souphttpsrc")},
                        {{properties_, source_properties}, {name_, call.global(buffer_src_name_)}});

    py::object pad = call_method(source, get_static_pad_, py::str("src"));
    call_method(self, set_up_decoder_, source, pad, pipeline);
}

py::object build(Call& call) {
    py::object pipeline =
        invoke(call.global(pipeline_), shown_url(call, getattr(call[0], url_attr_)));
    return finish_build(call, pipeline, build_steps);
}

constexpr FunctionDef build_def =
    function("build", "HTTPPipelineFactory.build", build_params, build, nullptr, "Pipeline");

}  // namespace
}  // namespace plumo::pipeline_factories

PYBIND11_MODULE(http, m) {
    using namespace plumo;
    using namespace plumo::pipeline_factories;
    init_compiled_functions();
    require_gi_versions({"Gst"});
    m.attr("Gst") = import_from("gi.repository", "Gst");
    m.attr("Pipeline") = import_from("plumo.utils.gstreamer", "Pipeline");
    import_base_names(m);
    import_url_masking(m);
    m.attr("HTTPPipelineFactory") = make_class(
        m, "HTTPPipelineFactory", py::make_tuple(m.attr("PipelineFactory")), class_doc,
        {{"__init__", make_function(m, init_def)}, {"build", make_function(m, build_def)}});
}
