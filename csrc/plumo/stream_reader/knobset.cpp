// plumo.stream_reader.knobset: validation of a stream reader's options against the options it
// supports. The first offending option is reported; nothing is changed.
#include "compiled_function.h"

namespace plumo {
namespace {

Name items_("items");
Name invalid_option_("InvalidRuntimeOptionError");

constexpr const char* check_knobset_doc = R"(
    Checks that the supplied options are supported by the stream reader and
    are of the right type.

    :param supplied: The supplied options
    :param supported: The supported options, where the key is the option name
        and the value is the expected type
    )";

constexpr const char* unknown_option[] = {"Unknown option '", "'"};
constexpr const char* wrong_type[] = {"Option '", "' should be of type '", "', got '", "'"};

constexpr Param check_knobset_params[] = {param("supplied"), param("supported")};

py::object check_knobset(Call& call) {
    py::handle supplied = call[0], supported = call[1];
    py::object pairs = steal(PyObject_GetIter(invoke(getattr(supplied, items_)).ptr()));
    while (PyObject* item = PyIter_Next(pairs.ptr())) {
        auto [key, val] = unpack<2>(py::reinterpret_steal<py::object>(item));
        int known = PySequence_Contains(supported.ptr(), key.ptr());
        if (known < 0)
            throw py::error_already_set();
        if (!known) {
            raise(call.global(invalid_option_),
                  fstring(py::str(unknown_option[0]), key, py::str(unknown_option[1])));
        }
        py::object expected = steal(PyObject_GetItem(supported.ptr(), key.ptr()));
        int ok = PyObject_IsInstance(val.ptr(), expected.ptr());
        if (ok < 0)
            throw py::error_already_set();
        if (!ok) {
            expected = steal(PyObject_GetItem(supported.ptr(), key.ptr()));
            raise(call.global(invalid_option_),
                  fstring(py::str(wrong_type[0]), key, py::str(wrong_type[1]), expected,
                          py::str(wrong_type[2]),
                          py::handle(reinterpret_cast<PyObject*>(Py_TYPE(val.ptr()))),
                          py::str(wrong_type[3])));
        }
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return py::none();
}

constexpr FunctionDef check_knobset_def = function(
    "check_knobset", "check_knobset", check_knobset_params, check_knobset, check_knobset_doc);

}  // namespace
}  // namespace plumo

PYBIND11_MODULE(knobset, m) {
    using namespace plumo;
    init_compiled_functions();
    m.attr("InvalidRuntimeOptionError") = import_from("plumo.errors", "InvalidRuntimeOptionError");
    m.attr("check_knobset") = make_function(m, check_knobset_def);
}
