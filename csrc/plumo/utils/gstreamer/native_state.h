// The C++ state behind a Python object of this module whose work runs on streaming threads
// (FrameBell, BufferWatch, FrameSampling, RateLimiter).
//
// The object holds a shared reference to its state in a capsule, in one attribute set by its
// `__init__`; each pad probe or appsink callback it installs holds another until GStreamer lets
// the callback go, so a streaming thread never touches state that is gone, and never needs the
// GIL. A body takes its own reference (`state_in`) after its arguments are converted: the capsule
// may be replaced, and the state it held freed, by any Python code that runs meanwhile.
#pragma once

#include <glib.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "compiled_function.h"

namespace plumo::gstreamer {

/// Sets `self.<slot>` to a new capsule named `capsule_name` that holds `state`.
template <typename State>
void keep_state(py::handle self, const Name& slot, const char* capsule_name,
                std::shared_ptr<State> state) {
    auto* held = new std::shared_ptr<State>(std::move(state));
    PyObject* capsule = PyCapsule_New(held, capsule_name, [](PyObject* capsule) {
        delete static_cast<std::shared_ptr<State>*>(
            PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    });
    if (capsule == nullptr) {
        delete held;
        throw py::error_already_set();
    }
    setattr(self, slot, steal(capsule));
}

/// A reference of the caller's own to the state `keep_state` put in `self.<slot>`; TypeError
/// when there is none (`__init__` did not run, or the attribute was replaced).
template <typename State>
std::shared_ptr<State> state_in(py::handle self, const Name& slot, const char* capsule_name,
                                const char* class_name) {
    PyObject* found = PyObject_GetAttr(self.ptr(), slot.get());
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw py::error_already_set();
        PyErr_Clear();
    }
    auto capsule = py::reinterpret_steal<py::object>(found);
    if (!capsule || !PyCapsule_IsValid(capsule.ptr(), capsule_name))
        raise(PyExc_TypeError,
              steal(PyUnicode_FromFormat("The %s has no state: its __init__ did not run, or its "
                                         "%s was replaced",
                                         class_name, slot.c_str())));
    return *static_cast<std::shared_ptr<State>*>(PyCapsule_GetPointer(capsule.ptr(), capsule_name));
}

/// Now on the monotonic clock, in nanoseconds: the clock of Python's `time.monotonic()` (both
/// CLOCK_MONOTONIC on Linux), so that times taken on streaming threads compare with Python's.
inline std::int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// Frees a `std::shared_ptr<State>` given to GStreamer as a callback's data.
template <typename State>
void forget_state(gpointer data) {
    delete static_cast<std::shared_ptr<State>*>(data);
}

}  // namespace plumo::gstreamer
