// Pictures made smaller or larger for the native frame path, plane by plane or packed, in C++
// with no Python involved.
#pragma once

#include <cstdint>

namespace plumo::gstreamer {

/// Scales an image of `width` x `height` pixels of `channels` interleaved bytes each (1: a plane
/// of YUV; 3: packed BGR or RGB) into `dst`, an image of `dst_width` x `dst_height` pixels of the
/// same kind; rows start `stride` and `dst_stride` bytes apart. A side that shrinks is averaged
/// over the area each destination pixel covers; one that grows is interpolated bilinearly.
/// Throws std::bad_alloc when its scratch memory cannot be had.
void scale_image(const std::uint8_t* src, int stride, int width, int height, int channels,
                 std::uint8_t* dst, int dst_stride, int dst_width, int dst_height);

}  // namespace plumo::gstreamer
