// plumo.utils.timing: the Timeout deadline object for polling loops.
//
// Wall-clock time (time.time) on purpose: the deadline is as the user sees the clock. All four
// attributes live in the instance dict and are read afresh at every test, so callers may change
// them on a live object.
#include "compiled_function.h"

namespace plumo {
namespace {

Name time_("time");
Name logger_("logger");
Name warning_("warning");
Name timeout_error_("TimeoutError");
Name start_("start");
Name time_seconds_("time_seconds");
Name raise_error_("raise_error");
Name print_timeout_("print_timeout");

constexpr const char* timeout_doc = R"(This module is intended to be used as such:

    >>> timeout = Timeout(300)
    >>> while timeout:
    ...     do_work()

    The timeout object will return False after the allotted time, ending the
    loop. This can be useful for tests.
    )";

// --- Timeout.__init__ ----------------------------------------------------------------------------

constexpr const char* init_doc = R"(
        :param time_seconds: How long until the timeout returns False for bool()
        :param print_timeout: Whether a printout is wanted when the timer has timed out
        :param raise_error: Whether the timer should raise an error if bool() ever returns false
        )";

constexpr Param init_params[] = {
    param("self"),
    param("time_seconds"),
    param("raise_error").with_default("True"),
    param("print_timeout").with_default("False"),
};

py::object timeout_init(Call& call) {
    py::handle self = call[0];
    setattr(self, start_, invoke(call.global(time_)));
    setattr(self, time_seconds_, call[1]);
    setattr(self, raise_error_, call[2]);
    setattr(self, print_timeout_, call[3]);
    return py::none();
}

constexpr FunctionDef init_def =
    function("__init__", "Timeout.__init__", init_params, timeout_init, init_doc);

// --- Timeout.reset -------------------------------------------------------------------------------

constexpr const char* reset_doc =
    R"(Resets the timeout counter, making the new start time the current
        time.)";

constexpr Param self_only[] = {param("self")};

py::object timeout_reset(Call& call) {
    setattr(call[0], start_, invoke(call.global(time_)));
    return py::none();
}

constexpr FunctionDef reset_def =
    function("reset", "Timeout.reset", self_only, timeout_reset, reset_doc);

// --- Timeout.__bool__ ----------------------------------------------------------------------------

constexpr const char* timed_out_warning = "Timer timed out! Time: ";
constexpr const char* timed_out_error[] = {"Timer of ", " seconds timed out at ", " seconds!"};

py::object elapsed(Call& call, py::handle self) {
    py::object now = invoke(call.global(time_));
    return steal(PyNumber_Subtract(now.ptr(), getattr(self, start_).ptr()));
}

// `now - start < period`. Plain floats (and ints a double holds exactly) are compared as doubles,
// which is what Python's own operators do for them, without a temporary float.
py::object before_deadline(py::handle now, py::handle start, py::handle period) {
    if (PyFloat_CheckExact(now.ptr()) && PyFloat_CheckExact(start.ptr())) {
        double elapsed = PyFloat_AS_DOUBLE(now.ptr()) - PyFloat_AS_DOUBLE(start.ptr());
        if (PyFloat_CheckExact(period.ptr()))
            return py::bool_(elapsed < PyFloat_AS_DOUBLE(period.ptr()));
        if (PyLong_CheckExact(period.ptr())) {
            int overflow = 0;
            long long seconds = PyLong_AsLongLongAndOverflow(period.ptr(), &overflow);
            constexpr long long exact_limit = 1LL << 53;
            if (!overflow && seconds > -exact_limit && seconds < exact_limit)
                return py::bool_(elapsed < static_cast<double>(seconds));
        }
    }
    py::object elapsed = steal(PyNumber_Subtract(now.ptr(), start.ptr()));
    return steal(PyObject_RichCompare(elapsed.ptr(), period.ptr(), Py_LT));
}

py::object timeout_bool(Call& call) {
    py::handle self = call[0];
    py::object now = invoke(call.global(time_));
    py::object start = getattr(self, start_);
    py::object still_going = before_deadline(now, start, getattr(self, time_seconds_));
    if (truth(still_going))
        return still_going;
    if (truth(getattr(self, print_timeout_))) {
        py::object warning = getattr(call.global(logger_), warning_);
        invoke(warning, fstring(py::str(timed_out_warning), elapsed(call, self)));
    }
    if (truth(getattr(self, raise_error_))) {
        py::object seconds = getattr(self, time_seconds_);
        raise(call.global(timeout_error_),
              fstring(py::str(timed_out_error[0]), seconds, py::str(timed_out_error[1]),
                      elapsed(call, self), py::str(timed_out_error[2])));
    }
    return still_going;
}

constexpr FunctionDef bool_def = function("__bool__", "Timeout.__bool__", self_only, timeout_bool);

}  // namespace
}  // namespace plumo

PYBIND11_MODULE(timing, m) {
    using namespace plumo;
    init_compiled_functions();
    m.attr("time") = import_from("time", "time");
    m.attr("logger") = import_from("plumo", "logger");
    m.attr("Timeout") = make_class(m, "Timeout", py::tuple(), timeout_doc,
                                   {{"__init__", make_function(m, init_def)},
                                    {"reset", make_function(m, reset_def)},
                                    {"__bool__", make_function(m, bool_def)}});
}
