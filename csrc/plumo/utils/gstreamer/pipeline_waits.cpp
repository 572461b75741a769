// Bounded, blocking waits on a pipeline's own state.
//
// wait_until_playing blocks in the bus pop (the bindings release the GIL there) and never
// polls; wait_until_null polls the state with a short pause, since nothing is posted on the way
// down to NULL.
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name gst_("Gst");
Name timeout_("Timeout");
Name sleep_("sleep");
Name raise_error_("raise_error");
Name stream_setup_error_("StreamSetupError");

Name get_state_("get_state");
Name set_state_("set_state");
Name get_bus_("get_bus");
Name timed_pop_filtered_("timed_pop_filtered");
Name second_("SECOND");
Name message_type_("MessageType");
Name state_changed_("STATE_CHANGED");
Name error_("ERROR");
Name state_("State");
Name playing_("PLAYING");
Name null_("NULL");
Name type_("type");
Name parse_error_("parse_error");
Name parse_state_changed_("parse_state_changed");
Name message_("message");

py::object gst_state(Call& call, const Name& state) {
    return getattr(getattr(call.global(gst_), state_), state);
}

// `_, state, _ = self.get_state(timeout)`
py::object current_state(py::handle self, py::handle timeout) {
    return unpack<3>(invoke(getattr(self, get_state_), timeout))[1];
}

// `Gst.SECOND * timeout`: the caller's whole timeout, not the time left.
py::object whole_timeout_ns(Call& call, py::handle timeout) {
    py::object second = getattr(call.global(gst_), second_);
    return steal(PyNumber_Multiply(second.ptr(), timeout.ptr()));
}

// `Timeout(timeout, raise_error=False)`
py::object make_deadline(Call& call, py::handle timeout) {
    return invoke_keywords(call.global(timeout_), {timeout}, {{raise_error_, py::bool_(false)}});
}

// --- wait_until_playing --------------------------------------------------------------------------

constexpr const char* wait_until_playing_doc =
    R"(Blocks until one of the following conditions are met:
        - The pipeline starts playing
        - A timeout occurs, raising a StreamSetupError
        - The pipeline reports an error, raising a StreamSetupError
        :param timeout: The time in seconds to wait for the pipeline to start playing
        )";

py::object wait_until_playing(Call& call) {
    py::handle self = call[0];
    py::handle timeout = call[1];
    py::object no_wait = py::int_(0);
    if (compare(current_state(self, no_wait), gst_state(call, playing_), Py_EQ))
        return py::none();

    py::object deadline = make_deadline(call, timeout);
    while (truth(deadline)) {
        py::object bus = invoke(getattr(self, get_bus_));
        py::object pop = getattr(bus, timed_pop_filtered_);
        py::object gst = call.global(gst_);
        py::object blocking_time = whole_timeout_ns(call, timeout);
        py::object types = getattr(gst, message_type_);
        py::object filter =
            steal(PyNumber_Or(getattr(types, state_changed_).ptr(), getattr(types, error_).ptr()));
        py::object message = invoke(pop, blocking_time, filter);
        if (message.is_none())
            continue;

        py::object type = getattr(message, type_);
        if (compare(type, getattr(getattr(call.global(gst_), message_type_), error_), Py_EQ)) {
            py::object error = unpack<2>(invoke(getattr(message, parse_error_)))[0];
            raise(call.global(stream_setup_error_), getattr(error, message_));
        }
        if (compare(type, getattr(getattr(call.global(gst_), message_type_), state_changed_),
                    Py_EQ)) {
            py::object new_state = unpack<3>(invoke(getattr(message, parse_state_changed_)))[1];
            if (compare(new_state, gst_state(call, playing_), Py_EQ))
                return py::none();
        }
    }

    if (compare(current_state(self, no_wait), gst_state(call, playing_), Py_EQ))
        return py::none();
    invoke(getattr(self, set_state_), gst_state(call, null_));
    raise(call.global(stream_setup_error_), py::str("Timeout while waiting for stream to start"));
}

// --- wait_until_null -----------------------------------------------------------------------------

constexpr const char* wait_until_null_doc = R"(Blocks until one of the following conditions are met:
        - The pipeline reaches a null state
        - A timeout occurs, raising a StreamSetupError
        :param timeout: The time in seconds to wait for the pipeline to reach a null state
        )";

py::object wait_until_null(Call& call) {
    py::handle self = call[0];
    py::handle timeout = call[1];
    py::object pause = py::float_(0.01);
    py::object deadline = make_deadline(call, timeout);
    while (truth(deadline)) {
        invoke(call.global(sleep_), pause);
        py::object state = current_state(self, whole_timeout_ns(call, timeout));
        if (compare(state, gst_state(call, null_), Py_EQ))
            return py::none();
    }
    raise(call.global(stream_setup_error_),
          py::str("Timeout while waiting for stream to reach null state"));
}

constexpr Param wait_params[] = {param("self"), param("timeout").annotated("int")};

}  // namespace

constexpr FunctionDef wait_until_playing_def =
    function("wait_until_playing", "Pipeline.wait_until_playing", wait_params, wait_until_playing,
             wait_until_playing_doc);
constexpr FunctionDef wait_until_null_def =
    function("wait_until_null", "Pipeline.wait_until_null", wait_params, wait_until_null,
             wait_until_null_doc);

}  // namespace plumo::gstreamer
