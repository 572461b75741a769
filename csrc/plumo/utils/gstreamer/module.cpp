// plumo.utils.gstreamer: GStreamer pipeline helpers.
//
// Importing the module binds its imports in a fixed order, initialises GStreamer, then defines
// its classes and functions. Every body looks these names up in the module dict when it runs,
// so rebinding one (a test's fake Gst, say) takes effect on the next call.
#include "gi_setup.h"
#include "gstreamer.h"

PYBIND11_MODULE(gstreamer, m) {
    using namespace plumo;
    using namespace plumo::gstreamer;
    init_compiled_functions();

    m.attr("inspect") = py::module_::import("inspect");
    m.attr("ABCMeta") = import_from("abc", "ABCMeta");
    m.attr("abstractmethod") = import_from("abc", "abstractmethod");
    m.attr("sleep") = import_from("time", "sleep");
    m.attr("time") = py::module_::import("time");
    for (const char* name : {"Any", "Callable", "List", "Tuple"})
        m.attr(name) = import_from("typing", name);
    m.attr("np") = py::module_::import("numpy");
    require_gi_versions({"Gst", "GstApp"});
    for (const char* name : {"GLib", "GObject", "Gst", "GstApp"})
        m.attr(name) = import_from("gi.repository", name);
    m.attr("NotLinkedError") = import_from("plumo.errors", "NotLinkedError");
    m.attr("StreamSetupError") = import_from("plumo.errors", "StreamSetupError");
    m.attr("logger") = import_from("plumo.logger", "logger");
    m.attr("Timeout") = import_from("plumo.utils.timing", "Timeout");

    init_gstreamer(m.attr("Gst"));

    m.attr("Pipeline") = make_pipeline_class(m);
    m.attr("ABCGObjectMeta") = make_abc_gobject_meta(m);
    for (const FunctionDef* def :
         {&framerate_from_structure_def, &is_video_pad_def, &is_rtp_audio_pad_def,
          &pad_to_string_def, &find_element_factory_def, &find_element_def})
        m.attr(def->name) = make_function(m, *def);
    m.attr("UnknownPropertyError") = make_unknown_property_error(m);
    m.attr("try_set_property") = make_function(m, try_set_property_def);
    m.attr("SampleConversionError") = make_sample_conversion_error(m);
    m.attr("SampleSizeError") = make_sample_size_error(m, m.attr("SampleConversionError"));
    m.attr("sample_to_ndarray") = make_function(m, sample_to_ndarray_def);
    m.attr("pull_frame") = make_function(m, pull_frame_def);
    m.attr("convert_sample") = make_function(m, convert_sample_def);
    m.attr("offer_video_meta") = make_function(m, offer_video_meta_def);
    m.attr("FrameBell") = make_frame_bell_class(m);
    m.attr("BufferWatch") = make_buffer_watch_class(m);
    m.attr("RateLimiter") = make_rate_limiter_class(m);
    m.attr("FrameSampling") = make_frame_sampling_class(m);
    m.attr("drop_before_keyframe") = make_function(m, drop_before_keyframe_def);
}
