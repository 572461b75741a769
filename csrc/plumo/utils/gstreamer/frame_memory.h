// The memory of the frames the frame path hands out (frame_memory.cpp).
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace plumo::gstreamer {

namespace py = pybind11;

/// A new uint8 array of `shape` that owns its memory, made from blocks that the frames before it
/// left (numpy's own allocation where numpy is older than 1.22). The GIL must be held.
py::array_t<std::uint8_t> new_frame_array(const std::vector<py::ssize_t>& shape);

}  // namespace plumo::gstreamer
