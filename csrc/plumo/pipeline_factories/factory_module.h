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

}  // namespace plumo::pipeline_factories
