// Decoded pictures into packed BGR, RGB or gray, through libyuv's SIMD row functions.
//
// libyuv names byte orders by the little-endian word: its "RGB24" is B, G, R in memory (our BGR)
// and its "RAW" is R, G, B. RGB comes from the same conversions as BGR, with the two chroma
// planes' roles swapped and the matrix's table for that swapped order (libyuv's own RAW
// conversions do just this).
//
// Colour: libyuv's tables for limited-range BT.709 and BT.2020 hold a blue coefficient clipped to
// what its 8-bit table entries can carry, and come out up to 13 (BT.709) and 16 (BT.2020) too
// dark in blue against the exact formula. For such pictures the chroma is first stretched to full
// range, a band of rows at a time into a small scratch buffer, and converted with the full-range
// chroma coefficients of the same matrix, whose values fit (on x86 with the limited-range luma
// scale beside them, so the luma plane is read as it is; elsewhere the luma is stretched too and
// the full-range table used whole). Limited-range BT.601 and the full-range tables are used
// directly. Against the exact formula over every legal value: mean 0.07-0.36, at most 2.
//
// Scaling: a frame asked for at another size is scaled plane by plane (frame_scaling.cpp) into
// planes of the image's size, the chroma at full resolution (4:4:4) where the frame has that
// much, and those are converted as above: no picture of the frame's own size is made on the way
// (but the chroma of NV12 and NV21, split into two planes first). Against a reference made by
// converting at full size and then shrinking with OpenCV's INTER_AREA, on the real clip: mean
// absolute differences 0.4-0.8.
#include "frame_conversion.h"

#include <libyuv.h>
#include <libyuv/row.h>  // the fields of YuvConstants

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "frame_scaling.h"

namespace plumo::gstreamer {
namespace {

using libyuv::YuvConstants;
using std::uint16_t;
using std::uint8_t;

enum class Sampling { s420, s422, s444 };

// How a YUV format lays out its chroma.
struct YuvLayout {
    Sampling sampling;
    bool semi_planar;  // one interleaved chroma plane (NV12, NV21)
    bool vu_order;     // in that plane, V before U (NV21)
};

// Bytes in a row of the chroma plane (both chroma values, for the semi-planar layouts), and the
// rows of chroma that `luma_rows` rows of luma starting at an even row have.
int chroma_row_bytes(const YuvLayout& layout, int width) {
    int values = layout.sampling == Sampling::s444 ? width : (width + 1) / 2;
    return layout.semi_planar ? 2 * values : values;
}

int chroma_rows(const YuvLayout& layout, int luma_rows) {
    return layout.sampling == Sampling::s420 ? (luma_rows + 1) / 2 : luma_rows;
}

bool yuv_layout(GstVideoFormat format, YuvLayout& layout) {
    switch (format) {
        case GST_VIDEO_FORMAT_I420:
        case GST_VIDEO_FORMAT_YV12:  // the same, with its V plane before U: found by component
            layout = {Sampling::s420, false, false};
            return true;
        case GST_VIDEO_FORMAT_NV12:
            layout = {Sampling::s420, true, false};
            return true;
        case GST_VIDEO_FORMAT_NV21:
            layout = {Sampling::s420, true, true};
            return true;
        case GST_VIDEO_FORMAT_Y42B:
            layout = {Sampling::s422, false, false};
            return true;
        case GST_VIDEO_FORMAT_Y444:
            layout = {Sampling::s444, false, false};
            return true;
        default:
            return false;
    }
}

// A picture's planes. For the semi-planar layouts, `u` is the interleaved chroma plane and `v`
// is unused.
struct Planes {
    const uint8_t* y;
    int y_stride;
    const uint8_t* u;
    int u_stride;
    const uint8_t* v;
    int v_stride;
};

// The tables for a colour: libyuv's, for U-then-V and for V-then-U order, and which planes must
// be stretched to full range first.
struct Tables {
    const YuvConstants* uv;
    const YuvConstants* vu;
    bool stretch_chroma;
    bool stretch_luma;
};

#if defined(__x86_64__) || defined(__i386__)
// On x86 a table keeps its chroma coefficients and its luma scale and offset in fields of their
// own. The limited-range luma of one table with the full-range chroma of the same matrix converts
// pictures whose chroma alone has been stretched: the luma, the larger plane, is read as it is.
struct LimitedLumaTables {
    alignas(64) YuvConstants uv;  // as aligned as libyuv's own, for its SIMD loads
    alignas(64) YuvConstants vu;
};

YuvConstants with_luma_of(const YuvConstants& chroma, const YuvConstants& luma) {
    YuvConstants table = chroma;
    std::memcpy(table.kYToRgb, luma.kYToRgb, sizeof table.kYToRgb);
    std::memcpy(table.kYBiasToRgb, luma.kYBiasToRgb, sizeof table.kYBiasToRgb);
    return table;
}

#define PLUMO_LIMITED_RANGE(full, limited)                                                  \
    [] {                                                                                    \
        static const LimitedLumaTables tables{                                              \
            with_luma_of(libyuv::kYuv##full##Constants, libyuv::kYuv##limited##Constants),  \
            with_luma_of(libyuv::kYvu##full##Constants, libyuv::kYvu##limited##Constants)}; \
        return Tables{&tables.uv, &tables.vu, true, false};                                 \
    }()
#else
// Elsewhere both planes are stretched, and the full-range table converts them.
#define PLUMO_LIMITED_RANGE(full, limited)                                         \
    Tables {                                                                       \
        &libyuv::kYuv##full##Constants, &libyuv::kYvu##full##Constants, true, true \
    }
#endif

Tables tables_for(const Colour& colour) {
    switch (colour.matrix) {
        case GST_VIDEO_COLOR_MATRIX_BT709:
            if (colour.full_range)
                return {&libyuv::kYuvF709Constants, &libyuv::kYvuF709Constants, false, false};
            return PLUMO_LIMITED_RANGE(F709, H709);
        case GST_VIDEO_COLOR_MATRIX_BT2020:
            if (colour.full_range)
                return {&libyuv::kYuvV2020Constants, &libyuv::kYvuV2020Constants, false, false};
            return PLUMO_LIMITED_RANGE(V2020, 2020);
        default:
            if (colour.full_range)
                return {&libyuv::kYuvJPEGConstants, &libyuv::kYvuJPEGConstants, false, false};
            return {&libyuv::kYuvI601Constants, &libyuv::kYvuI601Constants, false, false};
    }
}

// One YUV picture (or band of rows) into packed BGR (`rgb` false) or RGB. Returns libyuv's result:
// 0, or -1 for arguments it refuses.
int yuv_to_packed(const YuvLayout& layout, const Planes& p, bool rgb, const Tables& tables,
                  uint8_t* dst, int dst_stride, int width, int height) {
    const YuvConstants* table = rgb ? tables.vu : tables.uv;
    if (layout.semi_planar) {
        // Swapping the roles of U and V in one interleaved plane is reading it in the other order.
        bool read_as_vu = layout.vu_order != rgb;
        auto convert = read_as_vu ? libyuv::NV21ToRGB24Matrix : libyuv::NV12ToRGB24Matrix;
        return convert(p.y, p.y_stride, p.u, p.u_stride, dst, dst_stride, table, width, height);
    }
    const uint8_t* first = rgb ? p.v : p.u;
    int first_stride = rgb ? p.v_stride : p.u_stride;
    const uint8_t* second = rgb ? p.u : p.v;
    int second_stride = rgb ? p.u_stride : p.v_stride;
    switch (layout.sampling) {
        case Sampling::s420:
            return libyuv::I420ToRGB24Matrix(p.y, p.y_stride, first, first_stride, second,
                                             second_stride, dst, dst_stride, table, width, height);
        case Sampling::s422:
            return libyuv::I422ToRGB24Matrix(p.y, p.y_stride, first, first_stride, second,
                                             second_stride, dst, dst_stride, table, width, height);
        case Sampling::s444:
            return libyuv::I444ToRGB24Matrix(p.y, p.y_stride, first, first_stride, second,
                                             second_stride, dst, dst_stride, table, width, height);
    }
    return -1;
}

// Limited range to full range, rounded and clipped: (v - 16) * 255 / 219 for luma (16-235), and
// 128 + (v - 128) * 255 / 224 for chroma (16-240), which is (v - 16) * 255 / 224 + 0.5. The
// factor's fraction (0.1644, 0.1384) and the offset are taken in 1024ths, in unsigned 16-bit steps
// that the compiler turns into SIMD; the AVX2 build of these loops, where the CPU has it, is
// twice as fast again.
template <unsigned fraction_in_1024ths, unsigned offset_in_1024ths>
__attribute__((target_clones("avx2", "default"))) void stretch(const uint8_t* __restrict src,
                                                               uint8_t* __restrict dst, int count) {
    for (int i = 0; i < count; ++i) {
        uint8_t above_black = src[i] > 16 ? uint8_t(src[i] - 16) : uint8_t(0);
        uint16_t full =
            uint16_t(above_black) +
            uint16_t((uint16_t(above_black * fraction_in_1024ths) + offset_in_1024ths) >> 10);
        dst[i] = full > 255 ? uint8_t(255) : uint8_t(full);
    }
}

void stretch_luma(const uint8_t* src, uint8_t* dst, int count) {
    stretch<168, 512>(src, dst, count);
}

void stretch_chroma(const uint8_t* src, uint8_t* dst, int count) {
    stretch<142, 1024>(src, dst, count);
}

void stretch_rows(void (*stretch)(const uint8_t*, uint8_t*, int), const uint8_t* src,
                  int src_stride, uint8_t* dst, int dst_stride, int row_bytes, int rows) {
    for (int row = 0; row < rows; ++row)
        stretch(src + std::ptrdiff_t(row) * src_stride, dst + std::ptrdiff_t(row) * dst_stride,
                row_bytes);
}

// Scratch memory of the thread that converts, kept for its next frame: a frame after the first
// allocates nothing. Each user asks for its whole size before it writes.
uint8_t* scratch_of(std::vector<uint8_t>& scratch, std::size_t bytes) {
    if (scratch.size() < bytes)
        scratch.resize(bytes);
    return scratch.data();
}

// Rows per band of the stretched conversion: even, so that every band but the last starts on a
// row of its own 4:2:0 chroma, and small, so that the band stays in the cache between the stretch
// and the conversion.
constexpr int band_rows = 16;

int yuv_to_packed_stretched(const YuvLayout& layout, const Planes& p, bool rgb,
                            const Tables& tables, uint8_t* dst, int dst_stride, int width,
                            int height) {
    int chroma_bytes = chroma_row_bytes(layout, width);
    int chroma_planes = layout.semi_planar ? 1 : 2;

    thread_local std::vector<uint8_t> scratch;
    uint8_t* luma =
        scratch_of(scratch, std::size_t(band_rows) * (width + chroma_planes * chroma_bytes));
    uint8_t* first_chroma = luma + std::size_t(band_rows) * width;
    uint8_t* second_chroma = first_chroma + std::size_t(band_rows) * chroma_bytes;

    for (int top = 0; top < height; top += band_rows) {
        int rows = std::min(band_rows, height - top);
        int chroma_top = chroma_rows(layout, top);  // `top` is even: the chroma row it starts
        const uint8_t* band_luma = p.y + std::ptrdiff_t(top) * p.y_stride;
        int band_luma_stride = p.y_stride;
        if (tables.stretch_luma) {
            stretch_rows(stretch_luma, band_luma, p.y_stride, luma, width, width, rows);
            band_luma = luma;
            band_luma_stride = width;
        }
        stretch_rows(stretch_chroma, p.u + std::ptrdiff_t(chroma_top) * p.u_stride, p.u_stride,
                     first_chroma, chroma_bytes, chroma_bytes, chroma_rows(layout, rows));
        if (!layout.semi_planar)
            stretch_rows(stretch_chroma, p.v + std::ptrdiff_t(chroma_top) * p.v_stride, p.v_stride,
                         second_chroma, chroma_bytes, chroma_bytes, chroma_rows(layout, rows));
        Planes band{band_luma,    band_luma_stride, first_chroma,
                    chroma_bytes, second_chroma,    chroma_bytes};
        int result = yuv_to_packed(layout, band, rgb, tables,
                                   dst + std::ptrdiff_t(top) * dst_stride, dst_stride, width, rows);
        if (result != 0)
            return result;
    }
    return 0;
}

const uint8_t* plane(const GstVideoFrame& frame, int index) {
    return static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, index));
}

// Packed BGR of `width` x `height` into `to`.
const char* from_bgr(const uint8_t* src, int stride, PixelFormat to, uint8_t* out, int width,
                     int height) {
    int out_stride = width * channels(to);
    int result = 0;
    switch (to) {
        case PixelFormat::bgr:
            libyuv::CopyPlane(src, stride, out, out_stride, width * 3, height);
            break;
        case PixelFormat::rgb:  // swapping the outer bytes, either way round
            result = libyuv::RAWToRGB24(src, stride, out, out_stride, width, height);
            break;
        case PixelFormat::gray:  // full-range BT.601 luma, as for any RGB picture
            result = libyuv::RGB24ToJ400(src, stride, out, out_stride, width, height);
            break;
    }
    return result == 0 ? nullptr : "libyuv refused the frame's dimensions";
}

// A packed BGR frame at another size: scaled, then into `to`.
const char* from_bgr_scaled(const uint8_t* src, int stride, PixelFormat to, uint8_t* out, int width,
                            int height, ImageSize size) {
    int packed_stride = size.width * 3;
    thread_local std::vector<uint8_t> scaled;
    uint8_t* bgr =
        to == PixelFormat::bgr ? out : scratch_of(scaled, std::size_t(packed_stride) * size.height);
    scale_image(src, stride, width, height, 3, bgr, packed_stride, size.width, size.height);
    if (to == PixelFormat::bgr)
        return nullptr;
    return from_bgr(bgr, packed_stride, to, out, size.width, size.height);
}

// The planes of a YUV picture of `width` x `height` in `layout`, scaled into planes of `size`
// in the converting thread's scratch memory; the luma alone when `luma_only`. The chroma is
// scaled to full resolution (4:4:4) where the picture has at least as many chroma values as the
// image has pixels on one side or both; where it has fewer on both, it keeps the picture's
// sampling, as at the picture's own size, rather than be interpolated up twice over. `layout`
// becomes the scaled planes' (planar, either way).
Planes scale_planes(YuvLayout& layout, const Planes& p, int width, int height, ImageSize size,
                    bool luma_only) {
    int chroma_width = layout.sampling == Sampling::s444 ? width : (width + 1) / 2;
    int chroma_height = chroma_rows(layout, height);
    YuvLayout scaled_layout{layout.sampling, false, false};
    if (chroma_width >= size.width || chroma_height >= size.height)
        scaled_layout.sampling = Sampling::s444;
    int scaled_chroma_width = chroma_row_bytes(scaled_layout, size.width);
    int scaled_chroma_height = chroma_rows(scaled_layout, size.height);

    std::size_t luma_bytes = std::size_t(size.width) * size.height;
    std::size_t chroma_bytes = std::size_t(scaled_chroma_width) * scaled_chroma_height;
    std::size_t split_bytes = 2 * std::size_t(chroma_width) * chroma_height;
    thread_local std::vector<uint8_t> scaled;
    uint8_t* y = scratch_of(
        scaled, luma_only ? luma_bytes
                          : luma_bytes + 2 * chroma_bytes + (layout.semi_planar ? split_bytes : 0));
    scale_image(p.y, p.y_stride, width, height, 1, y, size.width, size.width, size.height);
    if (luma_only)
        return {y, size.width, nullptr, 0, nullptr, 0};

    uint8_t* u = y + luma_bytes;
    uint8_t* v = u + chroma_bytes;
    const uint8_t* source_u = p.u;
    const uint8_t* source_v = p.v;
    int source_u_stride = p.u_stride, source_v_stride = p.v_stride;
    if (layout.semi_planar) {
        // Scaled as two planes: interleaved, its values would be averaged across U and V.
        uint8_t* split_first = v + chroma_bytes;
        uint8_t* split_second = split_first + split_bytes / 2;
        libyuv::SplitUVPlane(p.u, p.u_stride, split_first, chroma_width, split_second, chroma_width,
                             chroma_width, chroma_height);
        source_u = layout.vu_order ? split_second : split_first;
        source_v = layout.vu_order ? split_first : split_second;
        source_u_stride = source_v_stride = chroma_width;
    }
    scale_image(source_u, source_u_stride, chroma_width, chroma_height, 1, u, scaled_chroma_width,
                scaled_chroma_width, scaled_chroma_height);
    scale_image(source_v, source_v_stride, chroma_width, chroma_height, 1, v, scaled_chroma_width,
                scaled_chroma_width, scaled_chroma_height);
    layout = scaled_layout;
    return {y, size.width, u, scaled_chroma_width, v, scaled_chroma_width};
}

}  // namespace

bool converts(GstVideoFormat format) {
    YuvLayout layout;
    return format == GST_VIDEO_FORMAT_BGR || yuv_layout(format, layout);
}

bool fits_converter(int width, int height) {
    // libyuv takes sizes and strides as ints, and where rows lie end to end it converts them as
    // one row of width * height pixels: the frame's packed pixels, three bytes each, must fit.
    constexpr std::int64_t largest = std::numeric_limits<int>::max();
    return width > 0 && height > 0 && std::int64_t(width) * height * 3 <= largest;
}

bool planes_fit(const GstVideoFrame& frame) {
    const GstVideoInfo& info = frame.info;
    int width = GST_VIDEO_INFO_WIDTH(&info);
    int height = GST_VIDEO_INFO_HEIGHT(&info);
    YuvLayout layout{Sampling::s444, false, false};
    bool yuv = yuv_layout(GST_VIDEO_INFO_FORMAT(&info), layout);
    for (guint index = 0; index < GST_VIDEO_INFO_N_PLANES(&info); ++index) {
        std::ptrdiff_t row_bytes, rows = height;
        if (!yuv) {
            row_bytes = std::ptrdiff_t(width) * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0);
        } else if (index == 0) {
            row_bytes = width;
        } else {
            row_bytes = chroma_row_bytes(layout, width);
            rows = chroma_rows(layout, height);
        }
        // Without a video meta, one mapping holds every plane.
        const GstMapInfo& map = frame.map[frame.meta != nullptr ? index : 0];
        const uint8_t* start = plane(frame, int(index));
        std::ptrdiff_t stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, index);
        if (stride < row_bytes || start < map.data)
            return false;
        std::ptrdiff_t end = (start - map.data) + (rows - 1) * stride + row_bytes;
        if (end > std::ptrdiff_t(map.size))
            return false;
    }
    return true;
}

Colour colour_of(const GstVideoInfo& info, const GstCaps* caps) {
    // GStreamer's own reading of the caps replaces a colorimetry with an unknown matrix by the
    // defaults, range and all: a full-range picture of unknown matrix would be read as limited.
    GstVideoColorimetry said = info.colorimetry;
    const gchar* text = gst_structure_get_string(gst_caps_get_structure(caps, 0), "colorimetry");
    GstVideoColorimetry parsed;
    if (text != nullptr && gst_video_colorimetry_from_string(&parsed, text))
        said = parsed;
    // Caps may carry any number in each field ("-1:-1:-1:-1" parses): one that is no value of
    // its enum is unknown.
    int said_matrix = raw_value(said.matrix);
    bool full_range = raw_value(said.range) == GST_VIDEO_COLOR_RANGE_0_255;
    GstVideoColorMatrix matrix = said_matrix >= GST_VIDEO_COLOR_MATRIX_UNKNOWN &&
                                         said_matrix <= GST_VIDEO_COLOR_MATRIX_BT2020
                                     ? GstVideoColorMatrix(said_matrix)
                                     : GST_VIDEO_COLOR_MATRIX_UNKNOWN;
    switch (matrix) {
        case GST_VIDEO_COLOR_MATRIX_BT601:
        case GST_VIDEO_COLOR_MATRIX_BT709:
        case GST_VIDEO_COLOR_MATRIX_BT2020:
            break;
        case GST_VIDEO_COLOR_MATRIX_FCC:  // Kr 0.30, Kb 0.11 against BT.601's 0.299, 0.114
            matrix = GST_VIDEO_COLOR_MATRIX_BT601;
            break;
        case GST_VIDEO_COLOR_MATRIX_SMPTE240M:  // Kr 0.212, Kb 0.087 against 0.2126, 0.0722
            matrix = GST_VIDEO_COLOR_MATRIX_BT709;
            break;
        default: {
            // Unknown: what GStreamer gives caps of this size that say nothing of colorimetry.
            GstVideoInfo plain;
            gst_video_info_init(&plain);
            bool known = gst_video_info_set_format(&plain, GST_VIDEO_FORMAT_I420,
                                                   GST_VIDEO_INFO_WIDTH(&info),
                                                   GST_VIDEO_INFO_HEIGHT(&info));
            matrix = known && plain.colorimetry.matrix == GST_VIDEO_COLOR_MATRIX_BT2020
                         ? GST_VIDEO_COLOR_MATRIX_BT2020
                     : known && plain.colorimetry.matrix == GST_VIDEO_COLOR_MATRIX_BT601
                         ? GST_VIDEO_COLOR_MATRIX_BT601
                         : GST_VIDEO_COLOR_MATRIX_BT709;
            break;
        }
    }
    return {matrix, full_range};
}

const char* convert_frame(const GstVideoFrame& frame, const Colour& colour, PixelFormat to,
                          ImageSize size, uint8_t* out) {
    const GstVideoInfo& info = frame.info;
    int width = GST_VIDEO_INFO_WIDTH(&info);
    int height = GST_VIDEO_INFO_HEIGHT(&info);
    if (width <= 0 || height <= 0 || size.width <= 0 || size.height <= 0)
        return "the frame has no pixels";
    bool scaled = size.width != width || size.height != height;
    GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    try {  // the scratch memory's allocation
        if (format == GST_VIDEO_FORMAT_BGR) {
            const uint8_t* src = plane(frame, 0);
            int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
            return scaled ? from_bgr_scaled(src, stride, to, out, width, height, size)
                          : from_bgr(src, stride, to, out, width, height);
        }
        YuvLayout layout;
        if (!yuv_layout(format, layout))
            return "the frame's format is not one the converter takes";
        if (GST_VIDEO_INFO_INTERLACE_MODE(&info) != GST_VIDEO_INTERLACE_MODE_PROGRESSIVE)
            return "the frame is interlaced";

        Planes planes{
            plane(frame, 0), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), nullptr, 0, nullptr, 0};
        if (layout.semi_planar) {
            planes.u = plane(frame, 1);
            planes.u_stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 1);
        } else {  // by component, so that YV12's V-first planes are found too
            planes.u = GST_VIDEO_FRAME_COMP_DATA(&frame, GST_VIDEO_COMP_U);
            planes.u_stride = GST_VIDEO_FRAME_COMP_STRIDE(&frame, GST_VIDEO_COMP_U);
            planes.v = GST_VIDEO_FRAME_COMP_DATA(&frame, GST_VIDEO_COMP_V);
            planes.v_stride = GST_VIDEO_FRAME_COMP_STRIDE(&frame, GST_VIDEO_COMP_V);
        }
        if (scaled) {
            planes = scale_planes(layout, planes, width, height, size, to == PixelFormat::gray);
            width = size.width;
            height = size.height;
        }

        if (to == PixelFormat::gray) {  // the luma, full range
            if (colour.full_range)
                libyuv::CopyPlane(planes.y, planes.y_stride, out, width, width, height);
            else
                stretch_rows(stretch_luma, planes.y, planes.y_stride, out, width, width, height);
            return nullptr;
        }

        bool rgb = to == PixelFormat::rgb;
        Tables tables = tables_for(colour);
        int out_stride = width * 3;
        int result = tables.stretch_chroma ? yuv_to_packed_stretched(layout, planes, rgb, tables,
                                                                     out, out_stride, width, height)
                                           : yuv_to_packed(layout, planes, rgb, tables, out,
                                                           out_stride, width, height);
        return result == 0 ? nullptr : "libyuv refused the frame's dimensions";
    } catch (const std::bad_alloc&) {
        return "no memory for the conversion's scratch rows";
    }
}

}  // namespace plumo::gstreamer
