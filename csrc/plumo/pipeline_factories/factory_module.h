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

/// Stops and releases a pipeline that `build` made but cannot hand over, while the exception that
/// stopped it is on its way out. The factory keeps no reference to the pipeline and the caller
/// never receives it, so nobody else could: its bus watch would keep it, and the elements the
/// factory already started, alive for good. Like an `except: ...; raise` clause, an error from the
/// cleanup itself replaces the pending one, which becomes its context.
[[noreturn]] inline void abandon_and_rethrow(py::handle gst, py::handle pipeline) {
    static Name state_("State");
    static Name null_("NULL");
    static Name set_state_("set_state");
    static Name release_resources_("release_resources");
    try {
        throw;
    } catch (py::error_already_set& pending) {
        try {
            call_method(pipeline, set_state_, getattr(getattr(gst, state_), null_));
            call_method(pipeline, release_resources_);
        } catch (py::error_already_set& replacing) {
            PyException_SetContext(replacing.value().ptr(), pending.value().inc_ref().ptr());
            throw;
        }
        throw;
    }
}

/// The end of both factories' `build`: runs `steps` on the new pipeline, asks it to play
/// (`pipeline.set_state(Gst.State.PLAYING)`, result unused) and returns it; a pipeline whose steps
/// fail is abandoned as above.
inline py::object finish_build(Call& call, py::object pipeline,
                               void (*steps)(Call& call, py::handle pipeline)) {
    static Name gst_("Gst");
    static Name state_("State");
    static Name playing_("PLAYING");
    static Name set_state_("set_state");
    try {
        steps(call, pipeline);
        call_method(pipeline, set_state_, getattr(getattr(call.global(gst_), state_), playing_));
    } catch (py::error_already_set&) {
        abandon_and_rethrow(call.global(gst_), pipeline);
    }
    return pipeline;
}

}  // namespace plumo::pipeline_factories
