// plumo.utils.gstreamer: what the module's sources share.
//
// The module is one extension built from several sources: the import-time set-up (module.cpp)
// and the Pipeline class, whose members are spread over the sources by concern. Each member is a
// static FunctionDef; pipeline.cpp assembles the class in the order of its body.
#pragma once

#include "compiled_function.h"

namespace plumo::gstreamer {

// Registrations and their undoing (pipeline_resources.cpp).
extern const FunctionDef connect_signal_handler_def;
extern const FunctionDef add_bus_watch_def;
extern const FunctionDef add_pad_probe_def;
extern const FunctionDef release_resources_def;

// Blocking waits on the pipeline's state (pipeline_waits.cpp).
extern const FunctionDef wait_until_playing_def;
extern const FunctionDef wait_until_null_def;

// Growing the pipeline (pipeline_elements.cpp).
extern const FunctionDef new_element_def;
extern const FunctionDef filter_caps_def;

/// The class `Pipeline`, a subclass of `Gst.Pipeline` made by the bindings' metaclass.
py::object make_pipeline_class(py::module_ module);

}  // namespace plumo::gstreamer
