// Decoded pictures into packed BGR, RGB or gray, in C++, with no Python involved: the part of the
// frame path that runs with the GIL released.
#pragma once

#include <gst/video/video.h>

#include <cstdint>
#include <cstring>

namespace plumo::gstreamer {

/// The number an enum field of a GStreamer struct holds. Structs filled in from outside (caps,
/// metas) may hold any number there; reading it as the enum would be undefined when it is none of
/// the enum's values.
template <typename Enum>
int raw_value(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(int), "an enum of int size");
    int value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

/// The pixel layouts frames are handed out in.
enum class PixelFormat { bgr, rgb, gray };

/// Bytes per pixel of `format`.
constexpr int channels(PixelFormat format) {
    return format == PixelFormat::gray ? 1 : 3;
}

/// Whether `convert_frame` takes frames of `format`: the 8-bit planar and semi-planar YUV
/// layouts (I420, YV12, NV12, NV21, Y42B, Y444), and packed BGR.
bool converts(GstVideoFormat format);

/// Whether a frame of this size can be converted: libyuv counts its bytes in ints.
bool fits_converter(int width, int height);

/// The colour matrix and range pictures of `info` are converted with.
struct Colour {
    GstVideoColorMatrix matrix;  // BT.601, BT.709 or BT.2020
    bool full_range;
};

/// The colour of the pictures `caps` describe (and `info` holds), as the caps' colorimetry says,
/// with what it leaves unknown filled in as GStreamer fills in caps without colorimetry: the
/// matrix by the picture's size, the range limited. Matrices close to one of the three are read
/// as it (FCC as BT.601, SMPTE 240M as BT.709).
Colour colour_of(const GstVideoInfo& info, const GstCaps* caps);

/// Whether every plane of a mapped frame, as its strides and offsets (or its video meta) lay it
/// out, lies within the memory mapped for it. A video meta may place planes anywhere, and
/// mapping checks only where each plane starts.
bool planes_fit(const GstVideoFrame& frame);

/// The size of the images a frame is converted into.
struct ImageSize {
    int width;
    int height;
};

/// Converts a mapped progressive frame of a format `converts` takes, of `colour`, into `out`, a
/// packed image of `size` in `to` (rows of width * channels(to) bytes, no padding), scaling it on
/// the way where `size` is not the frame's own. `size` must pass `fits_converter`. Returns null,
/// or why the frame cannot be converted.
const char* convert_frame(const GstVideoFrame& frame, const Colour& colour, PixelFormat to,
                          ImageSize size, std::uint8_t* out);

}  // namespace plumo::gstreamer
