// BufferWatch: what passed a pad, noted on its streaming thread without Python.
//
// A reader wants to know how many frames reached its appsink and when its source last brought
// data; a guard wants to know how a camera's stream began and ended. A Python probe would take
// the GIL for every packet of every stream (and, on a thread Python has not seen before, make
// and tear down a thread state each time: most of what a camera cost when little is decoded).
// Here a C probe counts the buffers, notes the time of the last one and keeps the first and last
// bytes asked for; Python reads the results when it wants them.
#define NO_IMPORT_PYGOBJECT
#include <pygobject.h>

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

#include "gstreamer.h"
#include "native_state.h"

namespace plumo::gstreamer {
namespace {

Name gst_("Gst");
Name pad_("Pad");
Name state_slot_("_watch");
constexpr const char* capsule_name = "plumo.utils.gstreamer.BufferWatch";
// The most bytes of a stream's start or end a watch keeps.
constexpr long most_kept_bytes = 1L << 20;

constexpr const char* class_doc =
    R"(Counts the buffers that pass the pads it watches, and notes when the last one passed.

    `BufferWatch(head, tail)` also keeps the first `head` and the last `tail` bytes that passed.
    The pad probes run in C on the streaming threads, without the GIL; Python reads `count`,
    `quiet_for()`, `head` and `tail` when it wants them. A watch may watch several pads (their
    buffers are counted together), and is the same object on every thread.
    )";

class WatchState {
public:
    WatchState(std::size_t head, std::size_t tail) : head_size_(head), tail_size_(tail) {}

    // On a streaming thread: nothing may throw through GStreamer's C frames. Bytes that cannot
    // be kept (no memory) are left out; the count and the time are kept all the same.
    void note(GstBuffer* buffer) noexcept {
        count_.fetch_add(1, std::memory_order_relaxed);
        last_.store(monotonic_ns(), std::memory_order_relaxed);
        if (head_size_ > 0 || tail_size_ > 0) {
            try {
                keep_bytes(buffer);
            } catch (const std::exception&) {
            }
        }
    }

    bool dropping() const { return dropping_.load(std::memory_order_relaxed); }

    std::uint64_t count() const { return count_.load(std::memory_order_relaxed); }

    double quiet_for() const {
        return double(monotonic_ns() - last_.load(std::memory_order_relaxed)) / 1e9;
    }

    std::string head() const {
        std::lock_guard<std::mutex> held(bytes_lock_);
        return head_;
    }

    std::string tail() const {
        std::lock_guard<std::mutex> held(bytes_lock_);
        return tail_;
    }

    void reset() {
        {
            std::lock_guard<std::mutex> held(bytes_lock_);
            head_.clear();
            tail_.clear();
        }
        count_.store(0, std::memory_order_relaxed);
        last_.store(monotonic_ns(), std::memory_order_relaxed);
        dropping_.store(false, std::memory_order_relaxed);
    }

    void drop() { dropping_.store(true, std::memory_order_relaxed); }

private:
    void keep_bytes(GstBuffer* buffer) {
        std::size_t size = gst_buffer_get_size(buffer);
        std::lock_guard<std::mutex> held(bytes_lock_);
        if (head_.size() < head_size_) {
            std::size_t more = std::min(size, head_size_ - head_.size());
            std::size_t at = head_.size();
            head_.resize(at + more);
            gst_buffer_extract(buffer, 0, &head_[at], more);
        }
        if (tail_size_ > 0) {
            std::size_t more = std::min(size, tail_size_);
            std::size_t at = tail_.size();
            tail_.resize(at + more);
            gst_buffer_extract(buffer, size - more, &tail_[at], more);
            if (tail_.size() > tail_size_)
                tail_.erase(0, tail_.size() - tail_size_);
        }
    }

    const std::size_t head_size_;
    const std::size_t tail_size_;
    std::atomic<std::uint64_t> count_{0};
    std::atomic<std::int64_t> last_{monotonic_ns()};  // when the last buffer (or reset) came
    std::atomic<bool> dropping_{false};
    mutable std::mutex bytes_lock_;
    std::string head_;
    std::string tail_;
};

using WatchRef = std::shared_ptr<WatchState>;

gboolean note_buffer(GstBuffer** buffer, guint, gpointer state) noexcept {
    static_cast<WatchState*>(state)->note(*buffer);
    return TRUE;
}

GstPadProbeReturn on_data(GstPad*, GstPadProbeInfo* info, gpointer data) noexcept {
    WatchState& state = **static_cast<WatchRef*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* buffers = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        if (buffers != nullptr)
            gst_buffer_list_foreach(buffers, note_buffer, &state);
    } else if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info); buffer != nullptr) {
        state.note(buffer);
    }
    return state.dropping() ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

WatchRef state_of(py::handle self) {
    return state_in<WatchState>(self, state_slot_, capsule_name, "BufferWatch");
}

std::size_t byte_count(py::handle value, const char* name) {
    long count = PyLong_AsLong(value.ptr());
    if (count == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (count < 0 || count > most_kept_bytes)
        raise(PyExc_ValueError, steal(PyUnicode_FromFormat("%s must be from 0 to %ld, not %ld",
                                                           name, most_kept_bytes, count)));
    return std::size_t(count);
}

py::object bytes_of(const std::string& kept) {
    return steal(PyBytes_FromStringAndSize(kept.data(), Py_ssize_t(kept.size())));
}

constexpr Param init_params[] = {
    param("self"),
    param("head").annotated("int").with_default("0"),
    param("tail").annotated("int").with_default("0"),
};

py::object init(Call& call) {
    std::size_t head = byte_count(call[1], "head");
    std::size_t tail = byte_count(call[2], "tail");
    keep_state(call[0], state_slot_, capsule_name, std::make_shared<WatchState>(head, tail));
    return py::none();
}

constexpr Param watch_params[] = {param("self"), param("pad").annotated("Gst.Pad")};

py::object watch(Call& call) {
    py::handle pad = call[1];
    require_instance(call, pad, "pad", gst_, pad_);
    auto* held = new WatchRef(state_of(call[0]));
    GstPad* native = GST_PAD(pygobject_get(pad.ptr()));
    gulong id;
    {
        py::gil_scoped_release unlocked;
        id = gst_pad_add_probe(
            native, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
            on_data, held, forget_state<WatchState>);
    }
    return py::int_(id);
}

constexpr Param self_param[] = {param("self")};

py::object count(Call& call) {
    return py::int_(state_of(call[0])->count());
}

py::object quiet_for(Call& call) {
    return py::float_(state_of(call[0])->quiet_for());
}

py::object head(Call& call) {
    return bytes_of(state_of(call[0])->head());
}

py::object tail(Call& call) {
    return bytes_of(state_of(call[0])->tail());
}

py::object reset(Call& call) {
    state_of(call[0])->reset();
    return py::none();
}

py::object drop(Call& call) {
    state_of(call[0])->drop();
    return py::none();
}

constexpr FunctionDef init_def =
    function("__init__", "BufferWatch.__init__", init_params, init, nullptr, "None");
constexpr FunctionDef watch_def = function(
    "watch", "BufferWatch.watch", watch_params, watch,
    "Watches the buffers (and buffer lists) that pass `pad`, until the pad is finalized or the "
    "probe whose id it returns is removed",
    "int");
constexpr FunctionDef count_def =
    function("count", "BufferWatch.count", self_param, count, "Buffers seen so far", "int");
constexpr FunctionDef quiet_for_def = function(
    "quiet_for", "BufferWatch.quiet_for", self_param, quiet_for,
    "Seconds since the last buffer passed (or since the watch was made or reset)", "float");
constexpr FunctionDef head_def = function("head", "BufferWatch.head", self_param, head,
                                          "The first bytes that passed, up to `head`", "bytes");
constexpr FunctionDef tail_def = function("tail", "BufferWatch.tail", self_param, tail,
                                          "The last bytes that passed, up to `tail`", "bytes");
constexpr FunctionDef reset_def =
    function("reset", "BufferWatch.reset", self_param, reset,
             "Starts afresh: forgets the count, the bytes kept and the time of the last buffer, "
             "and lets buffers through again after `drop()`",
             "None");
constexpr FunctionDef drop_def = function(
    "drop", "BufferWatch.drop", self_param, drop,
    "Drops every buffer that reaches the watched pads from now on (they are still counted)",
    "None");

}  // namespace

py::object make_buffer_watch_class(py::module_ m) {
    auto fn = [&](const FunctionDef& def) { return make_function(m, def); };
    return make_class(m, "BufferWatch", py::tuple(), class_doc,
                      {
                          {"__init__", fn(init_def)},
                          {"watch", fn(watch_def)},
                          {"count", make_property(m, count_def)},
                          {"quiet_for", fn(quiet_for_def)},
                          {"head", make_property(m, head_def)},
                          {"tail", make_property(m, tail_def)},
                          {"reset", fn(reset_def)},
                          {"drop", fn(drop_def)},
                      });
}

}  // namespace plumo::gstreamer
