// The memory of the frames the frame path hands out: numpy arrays that own it, as any other, but
// whose blocks, once their arrays are gone, are kept for the next frames of the same size.
//
// A 720p BGR frame is 2.7 MB. Made with numpy's own allocator (malloc), each one is a fresh
// block: glibc gives frames that large back to the system as they are freed (a heap's top
// trimmed, or a map unmapped) and faults the pages in again, zeroed, for the next one. Reading
// every frame of a few 720p cameras, that took a sixth of the reading process's CPU time. The
// arrays are made with a numpy memory handler of ours (numpy's NEP 49), set only while they are
// made: they still own their memory (`flags.owndata`, no base), and numpy hands the block back to
// this handler when the array goes, whatever thread it goes on.
//
// The blocks kept are few and bounded in bytes, for the whole process, so nothing grows with the
// number of streams or with time; a block of a size no frame asks for any more is the first to go.
#include "frame_memory.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace plumo::gstreamer {
namespace {

// At most this many blocks, and bytes, are kept for reuse: a few frames of the sizes in use.
constexpr std::size_t most_kept_blocks = 8;
#if defined(__SANITIZE_ADDRESS__)
// None under AddressSanitizer, which sees a frame used after its array went only in freed memory.
constexpr bool keep_blocks = false;
#else
constexpr bool keep_blocks = true;
#endif
constexpr std::size_t most_kept_bytes = 64u << 20;
// Each block starts with its size (numpy's own count may differ from what was allocated: a
// zero-byte array asks for one); the data after it stays aligned for the SIMD converters.
constexpr std::size_t header_bytes = 64;

struct Block {
    std::size_t size;
    void* start;  // what malloc returned: the header
};

class KeptBlocks {
public:
    // numpy calls these from C: nothing may throw.
    void* take(std::size_t size) noexcept {
        {
            std::lock_guard<std::mutex> held(lock_);
            for (std::size_t i = kept_.size(); i-- > 0;) {
                if (kept_[i].size == size) {
                    void* start = kept_[i].start;
                    kept_bytes_ -= size;
                    kept_.erase(kept_.begin() + std::ptrdiff_t(i));
                    return start;
                }
            }
        }
        return size > SIZE_MAX - header_bytes ? nullptr : std::malloc(header_bytes + size);
    }

    void give_back(void* start, std::size_t size) noexcept {
        if (keep_blocks && size <= most_kept_bytes) {
            std::lock_guard<std::mutex> held(lock_);
            // The oldest go first: a size read no more is not asked for again.
            while (!kept_.empty() &&
                   (kept_.size() >= most_kept_blocks || kept_bytes_ + size > most_kept_bytes)) {
                std::free(kept_.front().start);
                kept_bytes_ -= kept_.front().size;
                kept_.erase(kept_.begin());
            }
            kept_.push_back({size, start});  // room was reserved: no allocation
            kept_bytes_ += size;
            return;
        }
        std::free(start);
    }

    KeptBlocks() { kept_.reserve(most_kept_blocks); }  // pushing back then never allocates

private:
    std::mutex lock_;
    std::vector<Block> kept_;  // oldest first
    std::size_t kept_bytes_ = 0;
};

KeptBlocks& kept_blocks() {
    static auto* blocks = new KeptBlocks();  // never destroyed: arrays may outlive the module
    return *blocks;
}

void* data_of(void* start, std::size_t size) {
    std::memcpy(start, &size, sizeof size);
    return static_cast<char*>(start) + header_bytes;
}

void* start_of(void* data, std::size_t* size) {
    void* start = static_cast<char*>(data) - header_bytes;
    std::memcpy(size, start, sizeof *size);
    return start;
}

// numpy's handler functions: malloc, calloc, realloc and free, with sizes.
void* frame_malloc(void*, std::size_t size) noexcept {
    void* start = kept_blocks().take(size);
    return start == nullptr ? nullptr : data_of(start, size);
}

void* frame_calloc(void*, std::size_t count, std::size_t item_size) noexcept {
    if (item_size != 0 && count > (SIZE_MAX - header_bytes) / item_size)
        return nullptr;
    void* start = std::calloc(1, header_bytes + count * item_size);
    return start == nullptr ? nullptr : data_of(start, count * item_size);
}

void* frame_realloc(void*, void* data, std::size_t size) noexcept {
    if (data == nullptr)
        return frame_malloc(nullptr, size);
    if (size > SIZE_MAX - header_bytes)
        return nullptr;
    std::size_t old_size;
    void* start = std::realloc(start_of(data, &old_size), header_bytes + size);
    return start == nullptr ? nullptr : data_of(start, size);
}

void frame_free(void*, void* data, std::size_t) noexcept {
    if (data == nullptr)
        return;
    std::size_t size;
    void* start = start_of(data, &size);
    kept_blocks().give_back(start, size);
}

PyDataMem_Handler frame_handler = {
    "plumo_frame_memory",
    1,
    {nullptr, frame_malloc, frame_calloc, frame_realloc, frame_free},
};

// numpy's C API, for this source alone (its table is static here); false where the numpy
// running is older than the memory handlers (1.22).
bool numpy_imported() {
    static bool imported = [] {
        if (_import_array() == 0)
            return true;
        PyErr_Clear();
        return false;
    }();
    return imported;
}

}  // namespace

py::array_t<std::uint8_t> new_frame_array(const std::vector<py::ssize_t>& shape) {
    if (!numpy_imported())
        return py::array_t<std::uint8_t>(shape);
    py::object handler =
        py::reinterpret_steal<py::object>(PyCapsule_New(&frame_handler, "mem_handler", nullptr));
    if (!handler)
        throw py::error_already_set();
    // The handler is numpy's for this context while the array is made, and the one before it
    // again afterwards, whatever happens.
    auto before = py::reinterpret_steal<py::object>(PyDataMem_SetHandler(handler.ptr()));
    if (!before)
        throw py::error_already_set();
    struct Restore {
        PyObject* handler;
        ~Restore() {
            PyObject *type, *value, *traceback;  // the array's failure, if it failed
            PyErr_Fetch(&type, &value, &traceback);
            PyObject* ours = PyDataMem_SetHandler(handler);
            if (ours == nullptr)
                PyErr_WriteUnraisable(nullptr);
            Py_XDECREF(ours);
            PyErr_Restore(type, value, traceback);
        }
    } restore{before.ptr()};
    return py::array_t<std::uint8_t>(shape);
}

}  // namespace plumo::gstreamer
