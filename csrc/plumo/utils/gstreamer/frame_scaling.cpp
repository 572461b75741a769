// Scaling for the native frame path.
//
// Shrinking is area resampling (what OpenCV calls INTER_AREA): each destination pixel is the
// average of the source pixels it covers, each weighted by the part of it that lies inside.
// Nothing of the picture is skipped, so fine detail does not alias into patterns, and at any
// factor, whole or not, every destination pixel sits where it belongs. libyuv's box filter does
// this exactly at whole factors only: its boxes start and end on whole source pixels, which puts
// destination pixels up to a source pixel off elsewhere (on the real clip's luma, 2.0-2.2 mean
// difference from exact area resampling at 427x240 and 317x179, 0.03 at 320x180), and where
// either side shrinks to half or more it turns into two-tap bilinear interpolation, which skips
// rows where the other side shrinks by three or more. So libyuv shrinks planes where it is exact
// and fast (halves and quarters on both sides), and an area filter of our own does the rest, in
// two passes of one kind: rows of the source into fewer rows, whole rows at a time in 16-bit
// fixed point (which the compiler vectorises); the result transposed by libyuv; its rows, the
// source's columns, into fewer in the same way; and transposed back. Each pass rounds to bytes.
// Growing is libyuv's bilinear interpolation (after the shrinking, where the other side shrinks).
// Packed BGR is split into three planes, scaled one by one and merged again.
#include "frame_scaling.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace plumo::gstreamer {
namespace {

using std::uint8_t;

// What the sums of a destination row are kept in, as RowShrink adds up source rows: each source
// row's share is its values times its weight (in 65536ths, the weights of a row summing to
// exactly 65536). Narrow: in 16 bits, as 256ths of a level, each share (value * 256 * weight) /
// 65536 rounded down, which is what vpmulhuw computes, 16 values at a time; a destination row
// loses less than a 256th of a level a source row to the rounding, so up to 128 source rows it
// comes out exact (a flat colour stays that colour). Wide: in 32 bits, each share exact.
struct NarrowSums {
    using Sum = std::uint16_t;
    static constexpr int most_rows = 128;
    static constexpr Sum half = 128;
    static Sum share(uint8_t value, uint16_t weight) {
        return Sum((std::uint32_t(value) << 8) * weight >> 16);
    }
    static uint8_t level(Sum sum) { return uint8_t(sum >> 8); }
};

struct WideSums {
    using Sum = std::uint32_t;
    static constexpr Sum half = 32768;
    static Sum share(uint8_t value, uint16_t weight) { return Sum(value) * weight; }
    static uint8_t level(Sum sum) { return uint8_t(sum >> 16); }
};

// Rows of `count` bytes into fewer rows: destination row i averages the source rows it covers,
// each weighted by the part of it inside. The sums are kept between a destination row's first
// source row and its last, which is added as the row is stored.
template <typename Sums>
class RowShrink {
    using Sum = typename Sums::Sum;

public:
    void run(const uint8_t* src, int stride, int rows, uint8_t* dst, int dst_stride, int dst_rows,
             int count) {
        double scale = double(rows) / dst_rows;  // more than 1
        sums_.resize(std::size_t(count));
        for (int row = 0; row < dst_rows; ++row) {
            double start = row * scale;
            double end = std::min(double(rows), (row + 1) * scale);
            int first = int(start);
            int last = std::max(first + 1, int(std::ceil(end)) - 1);
            uint8_t* out = dst + std::ptrdiff_t(row) * dst_stride;
            // Weights rounded from the running total, so that they add up to 65536 exactly.
            long taken = 0;
            for (int source = first; source <= last; ++source) {
                double covered = std::min(end, source + 1.0) - start;
                long total = std::lround(std::clamp(covered / scale, 0.0, 1.0) * 65536);
                auto weight = uint16_t(std::min(total - taken, 65535L));
                taken = total;
                const uint8_t* line = src + std::ptrdiff_t(source) * stride;
                if (source == first)
                    start_sums(line, weight, sums_.data(), count);
                else if (source < last)
                    add_shares(line, weight, sums_.data(), count);
                else
                    finish_sums(line, weight, sums_.data(), out, count);
            }
        }
    }

private:
    __attribute__((target_clones("avx2", "default"))) static void start_sums(
        const uint8_t* __restrict line, uint16_t weight, Sum* __restrict sums, int count) {
        for (int i = 0; i < count; ++i)  // half a level rounds what the store drops
            sums[i] = Sum(Sums::half + Sums::share(line[i], weight));
    }

    __attribute__((target_clones("avx2", "default"))) static void add_shares(
        const uint8_t* __restrict line, uint16_t weight, Sum* __restrict sums, int count) {
        for (int i = 0; i < count; ++i)
            sums[i] = Sum(sums[i] + Sums::share(line[i], weight));
    }

    __attribute__((target_clones("avx2", "default"))) static void finish_sums(
        const uint8_t* __restrict line, uint16_t weight, const Sum* __restrict sums,
        uint8_t* __restrict dst, int count) {
        for (int i = 0; i < count; ++i)
            dst[i] = Sums::level(Sum(sums[i] + Sums::share(line[i], weight)));
    }

    std::vector<Sum> sums_;
};

// Rows into fewer rows, in the narrow sums where they are exact.
void shrink_rows(const uint8_t* src, int stride, int rows, uint8_t* dst, int dst_stride,
                 int dst_rows, int count) {
    thread_local RowShrink<NarrowSums> narrow;
    thread_local RowShrink<WideSums> wide;
    // A destination row takes at most the whole rows of its share and the two it shares.
    if (std::int64_t(rows) <= std::int64_t(NarrowSums::most_rows - 2) * dst_rows)
        narrow.run(src, stride, rows, dst, dst_stride, dst_rows, count);
    else
        wide.run(src, stride, rows, dst, dst_stride, dst_rows, count);
}

uint8_t* scratch_of(std::vector<uint8_t>& scratch, std::size_t bytes) {
    if (scratch.size() < bytes)
        scratch.resize(bytes);
    return scratch.data();
}

// A plane, shrunk by area on both sides (see the file's opening comment). The scratch memory
// lives with the converting thread, so frames after the first allocate nothing.
void shrink_plane(const uint8_t* src, int stride, int width, int height, uint8_t* dst,
                  int dst_stride, int dst_width, int dst_height) {
    thread_local std::vector<uint8_t> fewer_rows, turned, fewer_columns;
    const uint8_t* rows = src;
    int rows_stride = stride;
    if (dst_height != height) {
        rows = scratch_of(fewer_rows, std::size_t(width) * dst_height);
        rows_stride = width;
        shrink_rows(src, stride, height, fewer_rows.data(), width, dst_height, width);
    }
    if (dst_width == width) {
        libyuv::CopyPlane(rows, rows_stride, dst, dst_stride, width, dst_height);
        return;
    }
    // Transposed, the columns are rows: shrunk as rows, then transposed back.
    uint8_t* columns = scratch_of(turned, std::size_t(width) * dst_height);
    libyuv::TransposePlane(rows, rows_stride, columns, dst_height, width, dst_height);
    uint8_t* shrunk = scratch_of(fewer_columns, std::size_t(dst_width) * dst_height);
    shrink_rows(columns, dst_height, width, shrunk, dst_height, dst_width, dst_height);
    libyuv::TransposePlane(shrunk, dst_height, dst, dst_stride, dst_height, dst_width);
}

// Whether libyuv's box filter shrinks a plane by these factors exactly and fast: by half or by a
// quarter on both sides, which it averages in blocks of 2x2 and 4x4.
bool halves_or_quarters(int width, int height, int dst_width, int dst_height) {
    return (width == 2 * dst_width && height == 2 * dst_height) ||
           (width == 4 * dst_width && height == 4 * dst_height);
}

void scale_plane(const uint8_t* src, int stride, int width, int height, uint8_t* dst,
                 int dst_stride, int dst_width, int dst_height) {
    if (dst_width == width && dst_height == height) {
        libyuv::CopyPlane(src, stride, dst, dst_stride, width, height);
        return;
    }
    if (dst_width >= width && dst_height >= height) {
        libyuv::ScalePlane(src, stride, width, height, dst, dst_stride, dst_width, dst_height,
                           libyuv::kFilterBilinear);
        return;
    }
    if (halves_or_quarters(width, height, dst_width, dst_height)) {
        libyuv::ScalePlane(src, stride, width, height, dst, dst_stride, dst_width, dst_height,
                           libyuv::kFilterBox);
        return;
    }
    int shrunk_width = std::min(width, dst_width), shrunk_height = std::min(height, dst_height);
    if (shrunk_width == dst_width && shrunk_height == dst_height) {
        shrink_plane(src, stride, width, height, dst, dst_stride, dst_width, dst_height);
        return;
    }
    // One side shrinks and the other grows: averaged on the one, then interpolated on the other.
    thread_local std::vector<uint8_t> shrunk;
    uint8_t* between = scratch_of(shrunk, std::size_t(shrunk_width) * shrunk_height);
    shrink_plane(src, stride, width, height, between, shrunk_width, shrunk_width, shrunk_height);
    libyuv::ScalePlane(between, shrunk_width, shrunk_width, shrunk_height, dst, dst_stride,
                       dst_width, dst_height, libyuv::kFilterBilinear);
}

}  // namespace

void scale_image(const uint8_t* src, int stride, int width, int height, int channels, uint8_t* dst,
                 int dst_stride, int dst_width, int dst_height) {
    if (channels == 1) {
        scale_plane(src, stride, width, height, dst, dst_stride, dst_width, dst_height);
        return;
    }
    // Packed pixels, split into a plane a channel, each scaled, and merged again.
    thread_local std::vector<uint8_t> split, scaled;
    std::size_t plane_bytes = std::size_t(width) * height;
    std::size_t dst_plane_bytes = std::size_t(dst_width) * dst_height;
    uint8_t* planes = scratch_of(split, 3 * plane_bytes);
    uint8_t* dst_planes = scratch_of(scaled, 3 * dst_plane_bytes);
    libyuv::SplitRGBPlane(src, stride, planes, width, planes + plane_bytes, width,
                          planes + 2 * plane_bytes, width, width, height);
    for (int channel = 0; channel < 3; ++channel)
        scale_plane(planes + channel * plane_bytes, width, width, height,
                    dst_planes + channel * dst_plane_bytes, dst_width, dst_width, dst_height);
    libyuv::MergeRGBPlane(dst_planes, dst_width, dst_planes + dst_plane_bytes, dst_width,
                          dst_planes + 2 * dst_plane_bytes, dst_width, dst, dst_stride, dst_width,
                          dst_height);
}

}  // namespace plumo::gstreamer
