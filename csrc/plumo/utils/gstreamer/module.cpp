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
}
