// What both pipeline factory modules bind at import from their sibling `base` module.
#pragma once

#include "compiled_function.h"

namespace plumo::pipeline_factories {

/// `from .base import _APPSINK_PROPERTIES, _FRAMERATE_LIMIT, _ON_COMPLETE_CALLBACK,
/// _PIPELINE_WATCHER, BUFFER_SRC_NAME, PipelineFactory`, bound in `module` in that order.
inline void import_base_names(py::module_ module) {
    for (const char* name : {"_APPSINK_PROPERTIES", "_FRAMERATE_LIMIT", "_ON_COMPLETE_CALLBACK",
                             "_PIPELINE_WATCHER", "BUFFER_SRC_NAME", "PipelineFactory"})
        module.attr(name) = import_from("base", name, module, 1);
}

/// `_redact_url(url)`: the URL as people may see it, credentials masked. Both factories name
/// their pipelines with it, as GStreamer quotes a pipeline's name in its messages.
inline py::object shown_url(Call& call, py::handle url) {
    static Name redact_url_("_redact_url");
    return invoke(call.global(redact_url_), url);
}

/// Binds what `shown_url` and the messages that quote a URL use:
/// `from plumo.utils.urls import redact_url as _redact_url, redact_text as _redact_text`.
inline void import_url_masking(py::module_ module) {
    module.attr("_redact_url") = import_from("plumo.utils.urls", "redact_url");
    module.attr("_redact_text") = import_from("plumo.utils.urls", "redact_text");
}

/// `super().__init__(url=url, max_framerate=_FRAMERATE_LIMIT, on_complete=on_complete)`: both
/// factories hand the base the same three keywords, the limit read from their module now.
inline void init_base(Call& call, py::handle self, py::handle url, py::handle on_complete) {
    static Name init_("__init__");
    static Name url_("url");
    static Name max_framerate_("max_framerate");
    static Name on_complete_("on_complete");
    static Name framerate_limit_("_FRAMERATE_LIMIT");
    invoke_keywords(getattr(call.super_(self), init_), {},
                    {{url_, url},
                     {max_framerate_, call.global(framerate_limit_)},
                     {on_complete_, on_complete}});
}

/// The end of both factories' `build`: runs `steps` on the new pipeline, asks it to play
/// (`pipeline.set_state(Gst.State.PLAYING)`, result unused) and returns it.
///
/// A pipeline whose steps fail is set to NULL and released before the error goes on. The factory
/// keeps no reference to it and the caller never receives it, so nobody else could: its bus watch
/// would keep it, and the elements the factory already started, alive for good.
inline py::object finish_build(Call& call, py::object pipeline,
                               void (*steps)(Call& call, py::handle pipeline)) {
    static Name gst_("Gst");
    static Name state_("State");
    static Name playing_("PLAYING");
    static Name null_("NULL");
    static Name set_state_("set_state");
    static Name release_resources_("release_resources");
    try {
        steps(call, pipeline);
        call_method(pipeline, set_state_, getattr(getattr(call.global(gst_), state_), playing_));
    } catch (py::error_already_set&) {
        rethrow_after([&] {
            call_method(pipeline, set_state_, getattr(getattr(call.global(gst_), state_), null_));
            call_method(pipeline, release_resources_);
        });
    }
    return pipeline;
}

}  // namespace plumo::pipeline_factories
