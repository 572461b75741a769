// FrameBell: one thing to wait on for a thread that reads many appsinks.
//
// Each watched appsink rings the bell from its streaming thread when a sample reaches it (and at
// its end of stream) through the appsink's C callbacks: no Python, no GIL, so a decoder never
// waits for the interpreter to say that it has a frame. The reading thread waits on the bell's
// one condition with the GIL released and is handed the keys that rang, each once, in the order
// they first rang. Python code rings it too (news the reader hears on its bus watch).
//
// The bell's state is shared (native_state.h): the Python object holds it, and every watch holds
// it too until its appsink drops the callbacks (when the appsink is finalized, or watched again),
// so a streaming thread never rings a bell that is gone.
#define NO_IMPORT_PYGOBJECT
#include <pygobject.h>

#include <gst/app/gstappsink.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "gstreamer.h"
#include "native_state.h"

namespace plumo::gstreamer {
namespace {

Name gst_app_("GstApp");
Name app_sink_("AppSink");
Name state_slot_("_bell");
constexpr const char* capsule_name = "plumo.utils.gstreamer.FrameBell";
// Keys index a table of flags: they are small numbers the caller hands out (a stream's place).
constexpr long max_key = 1L << 20;
constexpr double longest_wait = 86400.0;

class BellState {
public:
    void ring(long key) {
        {
            std::lock_guard<std::mutex> held(lock_);
            if (std::size_t(key) >= waiting_.size())
                waiting_.resize(std::size_t(key) + 1, false);
            if (waiting_[std::size_t(key)])
                return;  // rung already, not yet taken: the reader looks at it once
            waiting_[std::size_t(key)] = true;
            rung_.push_back(key);
        }
        changed_.notify_one();
    }

    // The keys that rang since the last call, waiting up to `seconds` for one.
    std::vector<long> take(double seconds) {
        std::unique_lock<std::mutex> held(lock_);
        changed_.wait_for(held, std::chrono::duration<double>(seconds),
                          [this] { return !rung_.empty(); });
        std::vector<long> keys;
        keys.swap(rung_);
        for (long key : keys)
            waiting_[std::size_t(key)] = false;
        return keys;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<long> rung_;
    std::vector<bool> waiting_;
};

using BellRef = std::shared_ptr<BellState>;

struct Watch {
    BellRef bell;
    long key;
};

void ring_at_eos(GstAppSink*, gpointer data) {
    auto* watch = static_cast<Watch*>(data);
    watch->bell->ring(watch->key);
}

GstFlowReturn ring_at_sample(GstAppSink*, gpointer data) {
    auto* watch = static_cast<Watch*>(data);
    watch->bell->ring(watch->key);
    return GST_FLOW_OK;
}

void forget_watch(gpointer data) {
    delete static_cast<Watch*>(data);
}

BellRef state_of(py::handle self) {
    return state_in<BellState>(self, state_slot_, capsule_name, "FrameBell");
}

long key_of(py::handle value) {
    long key = PyLong_AsLong(value.ptr());
    if (key == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (key < 0 || key >= max_key)
        raise(PyExc_ValueError, fstring(py::str("key must be from 0 to "), py::int_(max_key - 1),
                                        py::str(", not "), py::int_(key)));
    return key;
}

constexpr const char* class_doc =
    R"(A bell that appsinks ring when a frame reaches them, for a thread that reads many.

    `watch(appsink, key)` has the appsink ring `key` from its streaming thread, without the GIL,
    whenever a sample reaches it and at its end of stream; `ring(key)` rings it from Python;
    `wait(timeout)` waits, with the GIL released, for the keys that rang.
    )";

constexpr Param self_param[] = {param("self")};

py::object init(Call& call) {
    keep_state(call[0], state_slot_, capsule_name, std::make_shared<BellState>());
    return py::none();
}

constexpr Param watch_params[] = {
    param("self"),
    param("appsink").annotated("GstApp.AppSink"),
    param("key").annotated("int"),
};

py::object watch(Call& call) {
    py::handle appsink = call[1];
    require_instance(call, appsink, "appsink", gst_app_, app_sink_);
    long key = key_of(call[2]);
    BellRef bell = state_of(call[0]);
    GstAppSinkCallbacks callbacks{};
    callbacks.eos = ring_at_eos;
    callbacks.new_sample = ring_at_sample;
    // The appsink owns the watch from here, and frees it when it lets the callbacks go.
    gst_app_sink_set_callbacks(GST_APP_SINK(pygobject_get(appsink.ptr())), &callbacks,
                               new Watch{bell, key}, forget_watch);
    return py::none();
}

constexpr Param ring_params[] = {param("self"), param("key").annotated("int")};

py::object ring(Call& call) {
    long key = key_of(call[1]);
    state_of(call[0])->ring(key);
    return py::none();
}

constexpr Param wait_params[] = {param("self"), param("timeout").annotated("float")};

py::object wait(Call& call) {
    double seconds = timeout_seconds(call[1]);
    BellRef bell = state_of(call[0]);  // held while the GIL is let go
    std::vector<long> keys;
    {
        py::gil_scoped_release unlocked;
        keys = bell->take(std::min(seconds, longest_wait));  // a day: no clock overflows
    }
    py::list taken(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        taken[i] = py::int_(keys[i]);
    return std::move(taken);
}

constexpr FunctionDef init_def =
    function("__init__", "FrameBell.__init__", self_param, init, nullptr, "None");
constexpr FunctionDef watch_def =
    function("watch", "FrameBell.watch", watch_params, watch,
             "Has the appsink ring `key` whenever a sample reaches it, and at its end of stream "
             "(it replaces the appsink's callbacks; its signals are no longer emitted)",
             "None");
constexpr FunctionDef ring_def =
    function("ring", "FrameBell.ring", ring_params, ring, "Rings `key`", "None");
constexpr FunctionDef wait_def = function(
    "wait", "FrameBell.wait", wait_params, wait,
    "Waits up to `timeout` seconds, with the GIL released, until a key rings; returns the keys "
    "that rang since the last call, each once, in the order they first rang (empty on timeout)",
    "List[int]");

}  // namespace

py::object make_frame_bell_class(py::module_ m) {
    auto fn = [&](const FunctionDef& def) { return make_function(m, def); };
    return make_class(m, "FrameBell", py::tuple(), class_doc,
                      {
                          {"__init__", fn(init_def)},
                          {"watch", fn(watch_def)},
                          {"ring", fn(ring_def)},
                          {"wait", fn(wait_def)},
                      });
}

}  // namespace plumo::gstreamer
