// Attaching callbacks through a Pipeline, and undoing them.
//
// Each registration appends to `destructors` one zero-argument undo action, a closure over the
// values it needs; release_resources runs them oldest first.
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name gobject_("GObject");
Name glib_("GLib");

Name destructors_("destructors");
Name append_("append");
Name pop_("pop");
Name connect_("connect");
Name signal_handler_disconnect_("signal_handler_disconnect");
Name get_bus_("get_bus");
Name add_watch_("add_watch");
Name remove_watch_("remove_watch");
Name priority_default_("PRIORITY_DEFAULT");
Name add_probe_("add_probe");
Name remove_probe_("remove_probe");

void append_destructor(py::handle self, const py::object& undo) {
    invoke(getattr(getattr(self, destructors_), append_), undo);
}

// --- connect_signal_handler ----------------------------------------------------------------------

// lambda: GObject.signal_handler_disconnect(element, handler_id)
py::object disconnect_signal_handler(Call& call) {
    return invoke(getattr(call.global(gobject_), signal_handler_disconnect_), call.captured(0),
                  call.captured(1));
}

constexpr FunctionDef disconnect_def = function(
    "<lambda>", "Pipeline.connect_signal_handler.<locals>.<lambda>", disconnect_signal_handler);

py::object connect_signal_handler(Call& call) {
    py::handle element = call[1];
    py::object handler_id = invoke_star(getattr(element, connect_), {call[2], call[3]}, call[4]);
    append_destructor(call[0], call.closure(disconnect_def, {element, handler_id}));
    return py::none();
}

constexpr Param connect_signal_handler_params[] = {
    param("self"),         param("element").annotated("Gst.Element"),
    param("signal").str(), param("callback").annotated("Callable"),
    var_args("args"),
};

// --- add_bus_watch -------------------------------------------------------------------------------

// lambda: self.get_bus().remove_watch()
py::object remove_bus_watch(Call& call) {
    py::object bus = invoke(getattr(call.captured(0), get_bus_));
    return invoke(getattr(bus, remove_watch_));
}

constexpr FunctionDef remove_bus_watch_def =
    function("<lambda>", "Pipeline.add_bus_watch.<locals>.<lambda>", remove_bus_watch);

py::object add_bus_watch(Call& call) {
    py::handle self = call[0];
    py::object bus = invoke(getattr(self, get_bus_));
    py::object add_watch = getattr(bus, add_watch_);
    py::object priority = getattr(call.global(glib_), priority_default_);
    invoke_star(add_watch, {priority, call[1]}, call[2]);
    // The action keeps the pipeline alive until it runs: a reference cycle that
    // release_resources breaks.
    append_destructor(self, call.closure(remove_bus_watch_def, {self}));
    return py::none();
}

constexpr Param add_bus_watch_params[] = {
    param("self"),
    param("callback").annotated("Callable"),
    var_args("args"),
};

// --- add_pad_probe -------------------------------------------------------------------------------

constexpr const char* add_pad_probe_doc =
    R"(Adds a probe to the given pad. The probe will be removed when pipeline
        resources are freed.

        :param pad: The pad to attach the probe to
        :param pad_probe_type: The type of data this probe is interested in
        :param callback: The probe callback
        :return: The ID of the probe
        )";

// lambda: pad.remove_probe(probe_id)
py::object remove_pad_probe(Call& call) {
    return invoke(getattr(call.captured(0), remove_probe_), call.captured(1));
}

constexpr FunctionDef remove_pad_probe_def =
    function("<lambda>", "Pipeline.add_pad_probe.<locals>.<lambda>", remove_pad_probe);

py::object add_pad_probe(Call& call) {
    py::handle pad = call[1];
    py::object probe_id = invoke_star(getattr(pad, add_probe_), {call[2], call[3]}, call[4]);
    append_destructor(call[0], call.closure(remove_pad_probe_def, {pad, probe_id}));
    return probe_id;
}

constexpr Param add_pad_probe_params[] = {
    param("self"),
    param("pad").annotated("Gst.Pad"),
    param("pad_probe_type").annotated("Gst.PadProbeType"),
    param("callback").annotated("Callable"),
    var_args("args"),
};

// --- release_resources ---------------------------------------------------------------------------

// Takes one action at a time off the front of the list, so an action appended meanwhile (by
// another action, or another thread) runs too, and one that raises leaves the rest queued.
py::object release_resources(Call& call) {
    py::handle self = call[0];
    py::object first = py::int_(0);
    for (;;) {
        Py_ssize_t remaining = PyObject_Length(getattr(self, destructors_).ptr());
        if (remaining < 0)
            throw py::error_already_set();
        if (remaining == 0)
            return py::none();
        py::object destructor = invoke(getattr(getattr(self, destructors_), pop_), first);
        invoke(destructor);
    }
}

constexpr Param self_param[] = {param("self")};

}  // namespace

constexpr FunctionDef connect_signal_handler_def =
    function("connect_signal_handler", "Pipeline.connect_signal_handler",
             connect_signal_handler_params, connect_signal_handler);
constexpr FunctionDef add_bus_watch_def =
    function("add_bus_watch", "Pipeline.add_bus_watch", add_bus_watch_params, add_bus_watch);
constexpr FunctionDef add_pad_probe_def =
    function("add_pad_probe", "Pipeline.add_pad_probe", add_pad_probe_params, add_pad_probe,
             add_pad_probe_doc, "int");
constexpr FunctionDef release_resources_def =
    function("release_resources", "Pipeline.release_resources", self_param, release_resources);

}  // namespace plumo::gstreamer
