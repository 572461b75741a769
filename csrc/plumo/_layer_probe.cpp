// plumo._layer_probe: compiled functions of every signature shape the package uses, so the tests
// can check the binder, the function attributes, closures, class creation and super() directly.
// Each function returns what it was bound to.
#include "compiled_function.h"

namespace plumo {
namespace {

Name value_("value");
Name private_value_("_value");
Name init_("__init__");
Name describe_("describe");

py::object bound_values(Call& call, std::size_t count) {
    py::tuple out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = call[i];
    return std::move(out);
}

template <std::size_t N>
py::object echo_all(Call& call) {
    return bound_values(call, N);
}

constexpr Param defaults_params[] = {
    param("a"),
    param("b").with_default("None"),
    param("c").with_default("None").str(),
    param("d").with_default("None").dict(),
};
constexpr FunctionDef defaults_def =
    function("defaults", "defaults", defaults_params, echo_all<4>, "Positional with defaults.");

constexpr Param required_params[] = {param("self"), param("name").str()};
constexpr FunctionDef required_def = function("required", "required", required_params, echo_all<2>);

constexpr Param star_params[] = {param("self"), param("element").annotated("Gst.Element"),
                                 param("signal").str(), param("callback").annotated("Callable"),
                                 var_args("args")};
constexpr FunctionDef star_def = function("star", "star", star_params, echo_all<5>);

constexpr Param kwonly_params[] = {
    param("self"),
    param("pipeline_str").str(),
    param("url").str().keyword_only(),
    param("pipeline_watcher").annotated("_PIPELINE_WATCHER").keyword_only(),
    param("on_complete").annotated("_ON_COMPLETE_CALLBACK").keyword_only(),
};
constexpr FunctionDef kwonly_def =
    function("kwonly", "kwonly", kwonly_params, echo_all<5>, nullptr, "Pipeline");

constexpr Param kwonly_only_params[] = {
    param("self"),
    param("url").str().keyword_only(),
    param("pipeline_watcher").keyword_only(),
    param("on_complete").keyword_only(),
};
constexpr FunctionDef kwonly_only_def =
    function("kwonly_only", "kwonly_only", kwonly_only_params, echo_all<4>);

constexpr Param optional_kwonly_params[] = {param("a"),
                                            param("b").with_default("1").keyword_only()};
constexpr FunctionDef optional_kwonly_def =
    function("optional_kwonly", "optional_kwonly", optional_kwonly_params, echo_all<2>);

py::object nothing(Call&) {
    return py::none();
}
constexpr FunctionDef nothing_def = function("nothing", "nothing", nothing);

// Reads the module attribute VALUE at every call.
Name global_value_("VALUE");
py::object read_global(Call& call) {
    return call.global(global_value_);
}
constexpr FunctionDef read_global_def = function("read_global", "read_global", read_global);

// call(f, *args): whatever f raises passes through untouched.
constexpr Param call_params[] = {param("f"), var_args("args")};
py::object call_through(Call& call) {
    return steal(PyObject_Call(call[0].ptr(), call[1].ptr(), nullptr));
}
constexpr FunctionDef call_def = function("call", "call", call_params, call_through);

// make_closure(value) returns a function of one argument x giving (value, x).
constexpr Param x_param[] = {param("x")};
py::object closure_body(Call& call) {
    return py::make_tuple(call.captured(0), call[0]);
}
constexpr FunctionDef closure_def =
    function("<lambda>", "make_closure.<locals>.<lambda>", x_param, closure_body);

constexpr Param value_param[] = {param("value")};
py::object make_closure(Call& call) {
    return call.closure(closure_def, {call[0]});
}
constexpr FunctionDef make_closure_def =
    function("make_closure", "make_closure", value_param, make_closure);

// make_class(base): a class "Probe" derived from base, made through base's metaclass.
constexpr Param init_params[] = {param("self"), param("value")};
py::object probe_init(Call& call) {
    invoke(getattr(call.super_(call[0]), init_));
    setattr(call[0], private_value_, call[1]);
    return py::none();
}
constexpr FunctionDef probe_init_def =
    function("__init__", "Probe.__init__", init_params, probe_init, "Stores value.");

constexpr Param self_param[] = {param("self")};
py::object probe_describe(Call& call) {
    return add(invoke(getattr(call.super_(call[0]), describe_)), py::str("+probe"));
}
constexpr FunctionDef probe_describe_def =
    function("describe", "Probe.describe", self_param, probe_describe);

py::object probe_twice(Call& call) {
    return add(call[0], call[0]);
}
constexpr FunctionDef probe_twice_def = function("twice", "Probe.twice", x_param, probe_twice);

py::object probe_get_value(Call& call) {
    return getattr(call[0], private_value_);
}
constexpr FunctionDef probe_get_value_def =
    function("value", "Probe.value", self_param, probe_get_value);
constexpr Param setter_params[] = {param("self"), param("value")};
py::object probe_set_value(Call& call) {
    setattr(call[0], private_value_, call[1]);
    return py::none();
}
constexpr FunctionDef probe_set_value_def =
    function("value", "Probe.value", setter_params, probe_set_value);

constexpr Param base_param[] = {param("base")};
py::object make_probe_class(Call& call) {
    py::module_ m = py::reinterpret_borrow<py::module_>(
        steal(PyImport_Import(py::str("plumo._layer_probe").ptr())));
    py::object builtins = py::module_::import("builtins");
    return make_class(
        m, "Probe", py::make_tuple(call[0]), "A compiled class.",
        {{"__init__", make_function(m, probe_init_def)},
         {"describe", make_function(m, probe_describe_def)},
         {"twice", builtins.attr("staticmethod")(make_function(m, probe_twice_def))},
         {"value", builtins.attr("property")(make_function(m, probe_get_value_def),
                                             make_function(m, probe_set_value_def))}});
}
constexpr FunctionDef make_class_def =
    function("make_class", "make_class", base_param, make_probe_class);

}  // namespace
}  // namespace plumo

PYBIND11_MODULE(_layer_probe, m) {
    using namespace plumo;
    init_compiled_functions();
    for (const FunctionDef* def : {&defaults_def, &required_def, &star_def, &kwonly_def,
                                   &kwonly_only_def, &optional_kwonly_def, &nothing_def,
                                   &read_global_def, &call_def, &make_closure_def, &make_class_def})
        m.attr(def->name) = make_function(m, *def);
}
