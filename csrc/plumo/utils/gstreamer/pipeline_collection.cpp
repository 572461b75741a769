// What collecting a Pipeline does: it stops the pipeline (NULL), then releases what was attached
// to it, whichever thread drops the last reference, and at interpreter exit.
//
// A pipeline disposed of while it runs leaves its streaming threads working on freed memory, so:
// - on the main thread, the pipeline is stopped there and then;
// - on any other thread it is handed to a thread of our own, which stops it, releases it and drops
//   the last reference. The dropping thread may be one of the pipeline's own streaming threads (a
//   pad probe, a signal handler, the cycle collector run by either), which cannot stop it. The
//   thread is started with `_thread`: `threading` takes locks of its own to start one, which the
//   dropping thread may hold when the cycle collector runs;
// - at exit, a hook run while the interpreter is still whole waits for the stops handed off, and
//   stops and releases every pipeline still alive. After it, no stop is handed off: nothing would
//   wait for it, and the interpreter's teardown would end its thread in the middle of it. Once the
//   interpreter is being torn down, the bindings may be half gone and any streaming thread that
//   calls into Python is stopped where it stands. A pipeline dropped running after the hook is
//   kept for the rest of the process;
// - a pipeline that does not stop is kept too, with a warning.
//
// The states are GStreamer's own numbers rather than the module's `Gst`: at exit, that global may
// be gone by the time a pipeline is collected.
#include "gstreamer.h"

#include <chrono>
#include <thread>

namespace plumo::gstreamer {
namespace {

Name logger_("logger");

Name warning_("warning");
Name get_state_("get_state");
Name set_state_("set_state");
Name get_name_("get_name");
Name iterate_recurse_("iterate_recurse");
Name next_("next");
Name resync_("resync");
Name grefcount_("__grefcount__");
Name release_resources_("release_resources");
Name pop_("pop");
Name main_thread_("main_thread");
Name get_ident_("get_ident");
Name ident_("ident");

// GStreamer's values: GstState, GstStateChangeReturn, GstIteratorResult.
constexpr long state_void_pending = 0;
constexpr long state_null = 1;
constexpr long state_change_async = 2;
constexpr long iterator_done = 0;
constexpr long iterator_ok = 1;
constexpr long iterator_resync = 2;

/// How long a stop that GStreamer completes asynchronously is waited for, in nanoseconds.
constexpr long long stop_wait_ns = 5'000'000'000LL;
/// How long the exit hook waits for the stops handed off to finish.
constexpr auto handed_off_wait = std::chrono::seconds(10);

constexpr const char* kept_running = " did not stop; it is kept, running, until the process exits";
constexpr const char* stops_unfinished =
    "Pipelines were still being stopped at exit; the interpreter's teardown may end them";

// Read and written with the GIL held.
Py_ssize_t stops_handed_off = 0;  // stops handed to threads of our own and not finished yet
bool exit_hook_ran = false;       // set once the exit hook is done

long as_long(py::handle value) {
    long result = PyLong_AsLong(value.ptr());
    if (result == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return result;
}

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// The bindings make the GObject in `__init__`: a wrapper whose `__init__` was refused has none.
bool has_gobject(py::handle pipeline) {
    PyObject* count = PyObject_GetAttr(pipeline.ptr(), grefcount_.get());
    if (count != nullptr) {
        Py_DECREF(count);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        throw py::error_already_set();
    PyErr_Clear();
    return false;
}

// In NULL, with no state change under way.
bool element_stopped(py::handle element) {
    auto [result, current, pending] = unpack<3>(call_method(element, get_state_, py::int_(0)));
    return as_long(current) == state_null && as_long(pending) == state_void_pending;
}

// Whether nothing in the pipeline runs: it and every element in it, at any depth, are stopped
// (a pipeline in NULL may hold elements started on their own). When that cannot be told (the
// bindings half torn down at exit, say) the answer is no.
bool is_stopped(py::handle pipeline) {
    try {
        if (!has_gobject(pipeline))
            return true;
        if (!element_stopped(pipeline))
            return false;
        py::object elements = call_method(pipeline, iterate_recurse_);
        for (;;) {
            auto [result, element] = unpack<2>(call_method(elements, next_));
            long step = as_long(result);
            if (step == iterator_done)
                return true;
            if (step == iterator_resync)
                call_method(elements, resync_);  // the bin changed meanwhile: walk it again
            else if (step != iterator_ok || !element_stopped(element))
                return false;
        }
    } catch (py::error_already_set&) {
        return false;
    }
}

// `pipeline.set_state(NULL)`; a change that GStreamer completes asynchronously is waited for, for
// a bounded time. Setting a bin to NULL sets every element in it to NULL, whatever its state.
void stop(py::handle pipeline) {
    py::object result = call_method(pipeline, set_state_, py::int_(state_null));
    if (as_long(result) == state_change_async)
        call_method(pipeline, get_state_, py::int_(stop_wait_ns));
}

// Keeps a pipeline that still runs for the rest of the process: this reference is deliberately
// never dropped, so that the pipeline is never disposed of.
void keep_running(py::handle pipeline) {
    pipeline.inc_ref();
}

// Stops the pipeline, then releases it even if the stop failed; one still running after the stop
// is kept. An error from either step propagates once both were tried, the first one foremost.
void stop_and_release(Call& call, py::handle pipeline) {
    auto release = [&] {
        if (!is_stopped(pipeline)) {
            keep_running(pipeline);
            py::object warning = getattr(call.global(logger_), warning_);
            invoke(warning, fstring(py::str("Pipeline "), call_method(pipeline, get_name_),
                                    py::str(kept_running)));
        }
        call_method(pipeline, release_resources_);
    };
    try {
        stop(pipeline);
    } catch (...) {
        rethrow_after(release);
    }
    release();
}

bool on_main_thread() {
    py::module_ threading = py::module_::import("threading");
    py::object main_ident = getattr(call_method(threading, main_thread_), ident_);
    return compare(main_ident, call_method(threading, get_ident_), Py_EQ);
}

// The stopping thread's body, a closure over a list that holds the pipeline. The body takes the
// last reference out of it and drops it before the count of stops goes down (the destructors run
// in reverse order), so that the exit hook also waits for the pipeline to be disposed of.
py::object stop_handed_off(Call& call) {
    struct Done {
        ~Done() { --stops_handed_off; }
    } done;
    py::object pipeline = call_method(call.captured(0), pop_);
    try {
        stop_and_release(call, pipeline);
    } catch (py::error_already_set& e) {
        e.restore();
        PyErr_WriteUnraisable(pipeline.ptr());
    }
    return py::none();
}

constexpr FunctionDef stop_handed_off_def =
    function("stop", "Pipeline.__del__.<locals>.stop", stop_handed_off);

// If no thread can be started, the pipeline is kept running.
void hand_off(Call& call, py::handle pipeline) {
    try {
        py::list holder;
        holder.append(pipeline);
        py::object target = call.closure(stop_handed_off_def, {holder});
        py::object start_new_thread = import_from("_thread", "start_new_thread");
        ++stops_handed_off;
        try {
            invoke(start_new_thread, target, py::tuple());
        } catch (...) {
            --stops_handed_off;
            throw;
        }
    } catch (...) {
        rethrow_after([&] { keep_running(pipeline); });
    }
}

// --- __del__ -------------------------------------------------------------------------------------

py::object pipeline_del(Call& call) {
    py::handle self = call[0];
    if (is_stopped(self))
        call_method(self, release_resources_);
    else if (finalizing())
        keep_running(self);
    else if (on_main_thread())
        stop_and_release(call, self);
    else if (exit_hook_ran)
        keep_running(self);
    else
        hand_off(call, self);
    return py::none();
}

constexpr Param self_param[] = {param("self")};

// --- at exit -------------------------------------------------------------------------------------

// Waits, for a bounded time and without the GIL, until the stops handed off are done.
void wait_for_handed_off(Call& call) {
    auto deadline = std::chrono::steady_clock::now() + handed_off_wait;
    while (stops_handed_off > 0 && std::chrono::steady_clock::now() < deadline) {
        py::gil_scoped_release unlocked;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (stops_handed_off > 0)
        invoke(getattr(call.global(logger_), warning_), py::str(stops_unfinished));
}

// Registered with atexit, which runs it while the interpreter is still whole: waits for the stops
// handed off, stops and releases every pipeline still alive (the captured WeakSet), each on its
// own, then waits for the stops that this handed off in turn.
py::object stop_pipelines_at_exit(Call& call) {
    wait_for_handed_off(call);
    py::object pipelines = steal(PySequence_List(call.captured(0).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pipelines.ptr()); ++i) {
        py::handle pipeline = PyList_GET_ITEM(pipelines.ptr(), i);
        try {
            stop_and_release(call, pipeline);
        } catch (py::error_already_set& e) {
            e.restore();
            PyErr_WriteUnraisable(pipeline.ptr());
        }
    }
    pipelines = py::none();
    wait_for_handed_off(call);
    exit_hook_ran = true;
    return py::none();
}

constexpr FunctionDef stop_pipelines_at_exit_def =
    function("stop_pipelines_at_exit", "stop_pipelines_at_exit", stop_pipelines_at_exit);

}  // namespace

constexpr FunctionDef del_def = function("__del__", "Pipeline.__del__", self_param, pipeline_del,
                                         "Release resources if this object gets garbage collected");

py::object watch_pipelines_at_exit(py::module_ m) {
    py::object live = invoke(import_from("weakref", "WeakSet"));
    invoke(import_from("atexit", "register"), make_function(m, stop_pipelines_at_exit_def, {live}));
    return live;
}

}  // namespace plumo::gstreamer
