// plumo.sysboot: process-wide start-up and shutdown of GStreamer, with the GLib main loop of the
// default main context running on a daemon thread, and decoder rank overrides from the
// environment.
//
// The module state (`_running`, `_glib_main_loop`, `_glib_main_loop_thread`) lives in the module
// dict: every read and every write goes through it, so a value assigned from outside is seen.
// `start`, `close` and `assert_started` hold the module's reentrant lock `_lock` for their whole
// bodies; `close` joins the loop thread while holding it, so GLib callbacks on that thread must not
// call them.
#include "gi_setup.h"

#include <chrono>
#include <thread>

namespace plumo {
namespace {

Name lock_("_lock");
Name running_("_running");
Name main_loop_("_glib_main_loop");
Name main_loop_thread_("_glib_main_loop_thread");
Name override_ranks_("_override_ranks");
Name os_("os");
Name thread_("Thread");
Name glib_("GLib");
Name gst_("Gst");
Name logger_("logger");
Name runtime_error_("RuntimeError");
Name int_("int");
Name enter_("__enter__");
Name exit_("__exit__");
Name main_loop_class_("MainLoop");
Name new_("new");
Name run_("run");
Name context_("context");
Name target_("target");
Name name_("name");
Name daemon_("daemon");
Name start_("start");
Name is_running_("is_running");
Name is_alive_("is_alive");
Name quit_("quit");
Name join_("join");
Name element_factory_("ElementFactory");
Name list_get_elements_("list_get_elements");
Name factory_type_decoder_("ELEMENT_FACTORY_TYPE_DECODER");
Name rank_("Rank");
Name marginal_("MARGINAL");
Name get_plugin_name_("get_plugin_name");
Name get_name_("get_name");
Name set_rank_("set_rank");
Name upper_("upper");
Name environ_("environ");
Name get_("get");
Name info_("info");
Name error_("error");

constexpr const char* module_doc =
    "Provides functions to initialize and tear down GObject libraries.";

constexpr const char* loop_thread_name = "SysbootThread";

// A GLib quit() that comes before the loop's run() has begun is lost, and close() would then
// wait in join() for ever. So start() waits, in short sleeps without the GIL, until the new loop
// reports that it runs, its thread has ended, or this much time has passed.
constexpr auto loop_start_limit = std::chrono::seconds(5);
constexpr auto loop_start_poll = std::chrono::milliseconds(1);

void set_global(Call& call, const Name& name, py::handle value) {
    if (PyDict_SetItem(call.globals().ptr(), name.get(), value.ptr()) < 0)
        throw py::error_already_set();
}

// `with manager: body()`, as the statement runs it: `__exit__` sees the exception that ends the
// body and may suppress it.
template <typename Body>
py::object with_(py::handle manager, Body&& body) {
    py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()));
    py::object enter = getattr(type, enter_);
    py::object exit = getattr(type, exit_);
    invoke(enter, manager);
    py::object result;
    try {
        result = body();
    } catch (py::error_already_set& e) {
        py::object trace = e.trace() ? e.trace() : py::none();
        if (truth(invoke(exit, manager, e.type(), e.value(), trace)))
            return py::none();
        throw;
    } catch (...) {
        invoke(exit, manager, py::none(), py::none(), py::none());
        throw;
    }
    invoke(exit, manager, py::none(), py::none(), py::none());
    return result;
}

// --- start ---------------------------------------------------------------------------------------

constexpr const char* start_doc =
    R"(Initialize GObject libraries if they're not already initialized.

    :param start_main_loop: If true, a MainLoop will be created for the
        default MainContext and run on a thread of its own. This may not be
        desirable when a library such as Qt starts its own MainLoop.
    )";

constexpr Param start_params[] = {param("start_main_loop").with_default("True")};

void wait_until_running(py::handle loop, py::handle thread) {
    auto deadline = std::chrono::steady_clock::now() + loop_start_limit;
    while (!truth(invoke(getattr(loop, is_running_))) &&
           truth(invoke(getattr(thread, is_alive_))) &&
           std::chrono::steady_clock::now() < deadline) {
        py::gil_scoped_release unlocked;
        std::this_thread::sleep_for(loop_start_poll);
    }
}

py::object start_body(Call& call) {
    if (truth(call.global(running_)))
        return py::none();
    init_gstreamer(call.global(gst_));
    if (truth(call[0])) {
        py::object main_loop = getattr(call.global(glib_), main_loop_class_);
        set_global(call, main_loop_,
                   invoke_keywords(getattr(main_loop, new_), {},
                                   {{context_, py::none()}, {is_running_, py::bool_(false)}}));
        set_global(call, main_loop_thread_,
                   invoke_keywords(call.global(thread_), {},
                                   {{target_, getattr(call.global(main_loop_), run_)},
                                    {name_, py::str(loop_thread_name)},
                                    {daemon_, py::bool_(true)}}));
        invoke(getattr(call.global(main_loop_thread_), start_));
        wait_until_running(call.global(main_loop_), call.global(main_loop_thread_));
    }
    invoke(call.global(override_ranks_));
    set_global(call, running_, py::bool_(true));
    return py::none();
}

py::object start(Call& call) {
    return with_(call.global(lock_), [&] { return start_body(call); });
}

constexpr FunctionDef start_def = function("start", "start", start_params, start, start_doc);

// --- assert_started ------------------------------------------------------------------------------

constexpr const char* assert_started_doc =
    "Raises an exception if the GObject libraries have not been initialized.";

constexpr const char* not_started_message =
    "The GObject libraries have not been initialized yet. They can be initialized with "
    "sysboot.start()";

py::object assert_started(Call& call) {
    return with_(call.global(lock_), [&] {
        if (!truth(call.global(running_)))
            raise(call.global(runtime_error_), py::str(not_started_message));
        return py::none();
    });
}

constexpr FunctionDef assert_started_def =
    function("assert_started", "assert_started", assert_started, assert_started_doc);

// --- close ---------------------------------------------------------------------------------------

constexpr const char* close_doc =
    "Tears down the GObject libraries if they aren't already stopped.";

py::object close(Call& call) {
    return with_(call.global(lock_), [&] {
        if (!truth(call.global(running_)))
            return py::none();
        if (!call.global(main_loop_).is_none()) {
            invoke(getattr(call.global(main_loop_), quit_));
            invoke(getattr(call.global(main_loop_thread_), join_));
        }
        set_global(call, running_, py::bool_(false));
        return py::none();
    });
}

constexpr FunctionDef close_def = function("close", "close", close, close_doc);

// --- _override_ranks -----------------------------------------------------------------------------

constexpr const char* override_ranks_doc =
    R"(Overrides the default rank values for the elements of any plugin that has a rank
    override environment variable set.

    The variables have the form "PLUMO_{plugin name}_RANK", where {plugin name}
    is the plugin's name in all caps and the value is an integer rank value.
    For example:

        PLUMO_NVCODEC_RANK=257

    For the default rank values, see the documentation of Gst.Rank:
    https://gstreamer.freedesktop.org/documentation/gstreamer/gstpluginfeature.html#GstRank
    )";

constexpr const char* env_var_affixes[] = {"PLUMO_", "_RANK"};
constexpr const char* invalid_rank[] = {
    "Invalid rank value for ", ": '",
    "'. The value must be an unsigned integer. The plugin's rank will not be changed."};
constexpr const char* setting_rank[] = {"Setting rank for element factory ", " to "};

// A GstRank is an unsigned 32-bit number; larger values cannot be set.
constexpr unsigned long long max_rank = 4294967295ULL;

// `int(text)`, or null when that raises ValueError or gives a value outside a rank's range.
py::object parse_rank(Call& call, py::handle text) {
    try {
        py::object rank = invoke(call.global(int_), text);
        bool in_range =
            !compare(rank, py::int_(0), Py_LT) && !compare(rank, py::int_(max_rank), Py_GT);
        return in_range ? rank : py::object();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return py::object();
    }
}

py::object override_ranks(Call& call) {
    py::object gst = call.global(gst_);
    py::object factories =
        invoke(getattr(getattr(gst, element_factory_), list_get_elements_),
               getattr(gst, factory_type_decoder_), getattr(getattr(gst, rank_), marginal_));
    py::object it = steal(PyObject_GetIter(factories.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        py::object factory = py::reinterpret_steal<py::object>(item);
        py::object plugin_name = invoke(getattr(factory, get_plugin_name_));
        // A factory registered by an application rather than a plugin has no plugin name.
        if (plugin_name.is_none())
            continue;
        py::object env_var_name =
            fstring(py::str(env_var_affixes[0]), invoke(getattr(plugin_name, upper_)),
                    py::str(env_var_affixes[1]));
        py::object environ = getattr(call.global(os_), environ_);
        py::object new_rank_str = invoke(getattr(environ, get_), env_var_name);
        if (new_rank_str.is_none())
            continue;
        py::object new_rank = parse_rank(call, new_rank_str);
        if (!new_rank) {
            invoke(getattr(call.global(logger_), error_),
                   fstring(py::str(invalid_rank[0]), env_var_name, py::str(invalid_rank[1]),
                           new_rank_str, py::str(invalid_rank[2])));
            continue;
        }
        invoke(getattr(call.global(logger_), info_),
               fstring(py::str(setting_rank[0]), invoke(getattr(factory, get_name_)),
                       py::str(setting_rank[1]), new_rank));
        invoke(getattr(factory, set_rank_), new_rank);
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return py::none();
}

constexpr FunctionDef override_ranks_def =
    function("_override_ranks", "_override_ranks", override_ranks, override_ranks_doc);

}  // namespace
}  // namespace plumo

PYBIND11_MODULE(sysboot, m) {
    using namespace plumo;
    init_compiled_functions();
    m.doc() = module_doc;
    m.attr("os") = py::module_::import("os");
    m.attr("RLock") = import_from("threading", "RLock");
    m.attr("Thread") = import_from("threading", "Thread");
    require_gi_versions({"Gst"});
    m.attr("GLib") = import_from("gi.repository", "GLib");
    m.attr("Gst") = import_from("gi.repository", "Gst");
    m.attr("logger") = import_from("plumo.logger", "logger");
    m.attr("_lock") = invoke(m.attr("RLock"));
    m.attr("_running") = false;
    m.attr("_glib_main_loop") = py::none();
    m.attr("_glib_main_loop_thread") = py::none();
    m.attr("start") = make_function(m, start_def);
    m.attr("assert_started") = make_function(m, assert_started_def);
    m.attr("close") = make_function(m, close_def);
    m.attr("_override_ranks") = make_function(m, override_ranks_def);
}
