// plumo.utils.gstreamer: what the module's sources share.
//
// The module is one extension built from several sources: the import-time set-up (module.cpp),
// the Pipeline class, whose members are spread over the sources by concern, the queries
// (queries.cpp), the sample conversion (sample.cpp) and the native frame path (frames.cpp). Each
// member is a static FunctionDef; pipeline.cpp assembles the class in the order of its body.
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

// Collection: stopping, releasing, at exit too (pipeline_collection.cpp).
extern const FunctionDef del_def;
/// A new `weakref.WeakSet` for every Pipeline made (`__init__` adds each); an atexit hook stops
/// and releases those still alive.
py::object watch_pipelines_at_exit(py::module_ module);

/// The class `Pipeline`, a subclass of `Gst.Pipeline` made by the bindings' metaclass.
py::object make_pipeline_class(py::module_ module);

// Questions about elements, pads and caps (queries.cpp).
extern const FunctionDef framerate_from_structure_def;
extern const FunctionDef is_video_pad_def;
extern const FunctionDef is_rtp_audio_pad_def;
extern const FunctionDef pad_to_string_def;
extern const FunctionDef find_element_factory_def;
extern const FunctionDef find_element_def;
extern const FunctionDef try_set_property_def;
/// `ABCGObjectMeta`: the GObject metaclass and `ABCMeta` combined, for abstract GObject classes.
py::object make_abc_gobject_meta(py::module_ module);
py::object make_unknown_property_error(py::module_ module);

// Frames out of samples (sample.cpp).
/// `raise SampleConversionError(message)`, as the module sees the class now.
[[noreturn]] void raise_conversion_error(Call& call, py::handle message);
/// `raise SampleSizeError(message)`: the buffer is shorter than its frame.
[[noreturn]] void raise_size_error(Call& call, py::handle message);
extern const FunctionDef sample_to_ndarray_def;
py::object make_sample_conversion_error(py::module_ module);
/// `SampleSizeError`: a `SampleConversionError` that is also a `TypeError`.
py::object make_sample_size_error(py::module_ module, py::handle sample_conversion_error);

// The native frame path: pulling and converting in C++ (frames.cpp, frame_conversion.cpp).
/// TypeError unless `value` (the argument `parameter`) is a `namespace_.type` of the bindings.
void require_instance(Call& call, py::handle value, const char* parameter, const Name& namespace_,
                      const Name& type);
/// A wait's length in seconds, from a number; ValueError unless finite and >= 0.
double timeout_seconds(py::handle timeout);
extern const FunctionDef pull_frame_def;
extern const FunctionDef convert_sample_def;
extern const FunctionDef offer_video_meta_def;
/// `FrameBell`: what a thread reading many appsinks waits on (frame_bell.cpp).
py::object make_frame_bell_class(py::module_ module);

// Watching and choosing buffers on the streaming threads, in C (buffer_watch.cpp, sampling.cpp).
/// `BufferWatch`: counts what passes pads, notes when, keeps the first and last bytes.
py::object make_buffer_watch_class(py::module_ module);
/// `RateLimiter`: the frame rate limit, as the sampling probes apply it.
py::object make_rate_limiter_class(py::module_ module);
/// `FrameSampling`: the gates before a pipeline's decoders, and the limit after them.
py::object make_frame_sampling_class(py::module_ module);
extern const FunctionDef drop_before_keyframe_def;

}  // namespace plumo::gstreamer
