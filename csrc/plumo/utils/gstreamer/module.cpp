// plumo.utils.gstreamer: GStreamer pipeline helpers.
//
// Importing the module binds its imports in a fixed order, initialises GStreamer, then defines
// its classes and functions. Every body looks these names up in the module dict when it runs,
// so rebinding one (a test's fake Gst, say) takes effect on the next call.
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name init_("init");

// `Gst.init()`. The Python overrides of GStreamer 1.22 insist on an argv and refuse a bare
// call with TypeError; then hand them None, which means "no arguments" to GStreamer.
void init_gstreamer(py::module_ m) {
    py::object gst = m.attr("Gst");
    py::object init = getattr(gst, init_);
    PyObject* result = PyObject_CallNoArgs(init.ptr());
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear();
        result = PyObject_CallOneArg(init.ptr(), Py_None);
    }
    steal(result);
}

// gi.repository warns unless a namespace's version is chosen before its first import.
void require_gi_versions() {
    py::object require_version = py::module_::import("gi").attr("require_version");
    for (const char* namespace_ : {"Gst", "GstApp"})
        require_version(namespace_, "1.0");
}

}  // namespace
}  // namespace plumo::gstreamer

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
    require_gi_versions();
    for (const char* name : {"GLib", "GObject", "Gst", "GstApp"})
        m.attr(name) = import_from("gi.repository", name);
    m.attr("NotLinkedError") = import_from("plumo.errors", "NotLinkedError");
    m.attr("StreamSetupError") = import_from("plumo.errors", "StreamSetupError");
    m.attr("logger") = import_from("plumo.logger", "logger");
    m.attr("Timeout") = import_from("plumo.utils.timing", "Timeout");

    init_gstreamer(m);

    m.attr("Pipeline") = make_pipeline_class(m);
}
