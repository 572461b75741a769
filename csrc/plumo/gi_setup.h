// What every module that imports GStreamer's bindings does at import time or start-up.
#pragma once

#include <initializer_list>

#include "compiled_function.h"

namespace plumo {

/// Pin the versions of gi.repository namespaces before their first import; the bindings warn
/// otherwise. Binds nothing in the caller's module.
inline void require_gi_versions(std::initializer_list<const char*> namespaces) {
    py::object require_version = py::module_::import("gi").attr("require_version");
    for (const char* name : namespaces)
        require_version(name, "1.0");
}

/// `gst.init()`. The Python overrides of GStreamer 1.22 insist on an argv and refuse a bare call
/// with TypeError; then hand them None, which means "no arguments" to GStreamer.
inline void init_gstreamer(py::handle gst) {
    static Name init_("init");
    py::object init = getattr(gst, init_);
    try {
        invoke(init);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError))
            throw;
        invoke(init, py::none());
    }
}

}  // namespace plumo
