"""Frames at another size through the native frame path: every layout and pixel format against a
reference resize of the exact full-size conversion (area averaging when shrinking, bilinear
interpolation when growing), flat colours exactly as at full size, odd and extreme sizes, layouts
from the video meta, and sizes it must refuse."""

import gi
import numpy as np
import pytest

from plumo.utils.gstreamer import Gst, SampleConversionError, convert_sample

gi.require_version("GstVideo", "1.0")
from gi.repository import GstVideo  # noqa: E402

from test_native_frames import (  # noqa: E402
    FULL,
    LIMITED,
    MATRICES,
    SUBSAMPLING,
    caps_for,
    exact_bgr,
    exact_gray,
    upsampled,
    video_meta_sample,
    yuv_sample,
)


def resize_weights(source: int, target: int) -> np.ndarray:
    """The (target, source) matrix of a resize along one side: the part of each source pixel
    inside each target pixel when shrinking; bilinear interpolation between pixel centres (the
    edges repeated) when growing."""
    weights = np.zeros((target, source))
    scale = source / target
    for i in range(target):
        if scale >= 1:
            start, end = i * scale, (i + 1) * scale
            for x in range(int(start), min(source, int(np.ceil(end)))):
                weights[i, x] = (min(end, x + 1) - max(start, x)) / scale
        else:
            centre = min(max((i + 0.5) * scale - 0.5, 0), source - 1)
            left = min(int(centre), source - 2) if source > 1 else 0
            fraction = centre - left
            weights[i, left] += 1 - fraction
            weights[i, min(left + 1, source - 1)] += fraction
    return weights


def resized(image: np.ndarray, width: int, height: int) -> np.ndarray:
    down = resize_weights(image.shape[0], height)
    across = resize_weights(image.shape[1], width)
    planes = image.reshape(image.shape[0], image.shape[1], -1).astype(np.float64)
    out = np.stack([down @ planes[..., c] @ across.T for c in range(planes.shape[2])], axis=-1)
    return out.reshape((height, width) + image.shape[2:])


def smooth_picture(width, height, matrix, full, fmt):
    """Y, U and V planes (chroma at the layout's size, averaged) of a picture made of soft
    shapes and gradients whose colours are all within RGB: no clipping, which no scaler can
    undo, comes between the two sides of a comparison."""
    yy, xx = np.mgrid[0:height, 0:width] / 320  # the same detail a pixel at every size
    r = 0.5 + 0.4 * np.sin(9 * xx + 3 * yy)
    g = 0.5 + 0.4 * np.cos(7 * yy - 2 * xx) * np.sin(5 * xx)
    b = np.clip(0.2 + 0.6 * ((xx - 0.4) ** 2 + (yy - 0.3) ** 2 < 0.05) + 0.1 * xx, 0, 1)
    kr, kb, _ = MATRICES[matrix]
    luma = kr * r + (1 - kr - kb) * g + kb * b
    cb, cr = (b - luma) / (2 * (1 - kb)), (r - luma) / (2 * (1 - kr))
    if full:
        y, u, v = luma * 255, 128 + cb * 255, 128 + cr * 255
    else:
        y, u, v = 16 + luma * 219, 128 + cb * 224, 128 + cr * 224
    sx, sy = SUBSAMPLING[fmt]
    ch, cw = -(-height // sy), -(-width // sx)

    def subsampled(plane):
        padded = np.pad(plane, ((0, ch * sy - height), (0, cw * sx - width)), mode="edge")
        return padded.reshape(ch, sy, cw, sx).mean(axis=(1, 3))

    return [np.clip(np.rint(p), 0, 255).astype(np.uint8) for p in (y, subsampled(u),
                                                                   subsampled(v))]  # fmt: skip


def bgr_sample(bgr):
    height, width, _ = bgr.shape
    caps = caps_for("BGR", width, height)
    info = GstVideo.VideoInfo.new_from_caps(caps)
    data = bytearray(info.size)
    for row in range(height):
        data[row * info.stride[0]:row * info.stride[0] + width * 3] = bgr[row].tobytes()
    return Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(data)), caps, None, None)


def mean_difference(image, reference):
    return float(np.abs(image.astype(np.float64) - np.clip(np.rint(reference), 0, 255)).mean())


SIZES = [
    ((320, 180), (80, 45)),    # a quarter on both sides: libyuv's own box filter
    ((331, 197), (157, 93)),   # odd sizes, a factor that is no whole number
    ((200, 150), (199, 60)),   # one side barely shrinks, the other by 2.5
    ((320, 180), (320, 100)),  # rows alone
    ((150, 100), (50, 150)),   # one side shrinks, the other grows
    ((161, 121), (250, 200)),  # growing
]  # fmt: skip
# Growing chroma that is not at full resolution is interpolated before it is repeated, where the
# reference repeats it before it interpolates.
SHRINKING, GROWING = 1.5, 2.0
COLOURS = [("bt709", False), ("bt601", True)]  # the stretched limited range, and full range


@pytest.mark.parametrize("matrix, full", COLOURS, ids=["bt709-limited", "bt601-full"])
@pytest.mark.parametrize("source, target", SIZES, ids=lambda s: "x".join(map(str, s)))
@pytest.mark.parametrize("fmt", list(SUBSAMPLING))
def test_scaled_yuv_matches_a_resize_of_the_exact_conversion(fmt, source, target, matrix, full):
    (width, height), (to_width, to_height) = source, target
    y, u, v = smooth_picture(width, height, matrix, full, fmt)
    sample = yuv_sample(fmt, y, u, v, f"{FULL if full else LIMITED}:{MATRICES[matrix][2]}:0:0")
    exact = exact_bgr(y, upsampled(fmt, u, width, height), upsampled(fmt, v, width, height),
                      matrix, full)  # fmt: skip

    bgr, rgb, gray = (convert_sample(sample, pixel, target) for pixel in ("bgr", "rgb", "gray"))
    assert bgr.shape == rgb.shape == (to_height, to_width, 3) and gray.shape == (to_height, to_width)
    assert not bgr.flags.writeable and bgr.flags.owndata
    bound = GROWING if to_width > width and to_height > height else SHRINKING
    assert mean_difference(bgr, resized(exact, to_width, to_height)) <= bound
    assert np.array_equal(rgb, bgr[..., ::-1])
    assert mean_difference(gray, resized(exact_gray(y, full), to_width, to_height)) <= 0.6


@pytest.mark.parametrize("source, target", SIZES, ids=lambda s: "x".join(map(str, s)))
def test_scaled_bgr_matches_a_resize_of_the_picture(source, target):
    (width, height), (to_width, to_height) = source, target
    y, u, v = smooth_picture(width, height, "bt601", True, "Y444")
    bgr = exact_bgr(y, u, v, "bt601", True).astype(np.uint8)
    sample = bgr_sample(bgr)
    scaled = convert_sample(sample, "bgr", target)
    assert scaled.shape == (to_height, to_width, 3)
    assert mean_difference(scaled, resized(bgr, to_width, to_height)) <= 0.6
    assert np.array_equal(convert_sample(sample, "rgb", target), scaled[..., ::-1])
    b, g, r = (bgr[..., i].astype(np.float64) for i in range(3))
    luma = resized(0.299 * r + 0.587 * g + 0.114 * b, to_width, to_height)
    assert mean_difference(convert_sample(sample, "gray", target), luma) <= 0.8


@pytest.mark.parametrize("fmt", list(SUBSAMPLING) + ["BGR"])
def test_flat_colours_come_out_exactly_as_at_full_size(fmt):
    # Limited-range BT.709: the path whose chroma is stretched before the conversion.
    sides = [(16, 128, 128), (235, 128, 128), (81, 90, 240), (145, 54, 34), (41, 240, 110)]
    for y_value, u_value, v_value in sides:
        sx, sy = SUBSAMPLING.get(fmt, (1, 1))
        y = np.full((181, 323), y_value, np.uint8)
        u = np.full((-(-181 // sy), -(-323 // sx)), u_value, np.uint8)
        v = np.full_like(u, v_value)
        if fmt == "BGR":
            sample = bgr_sample(np.dstack([y, u, v]))
        else:
            sample = yuv_sample(fmt, y, u, v, f"{LIMITED}:{MATRICES['bt709'][2]}:0:0")
        for pixel in ("bgr", "rgb", "gray"):
            full_size = convert_sample(sample, pixel)
            for target in ((80, 45), (161, 90), (7, 181), (1, 1), (600, 400)):
                scaled = convert_sample(sample, pixel, target)
                assert (scaled == full_size[0, 0]).all(), (pixel, target)


@pytest.mark.parametrize("source, target", [((1, 1), (9, 5)), ((2, 2), (1, 1)), ((7, 3), (1, 3)),
                                            ((3, 9), (3, 1)), ((2000, 4), (3, 2))])  # fmt: skip
def test_extreme_sizes(source, target):
    (width, height), (to_width, to_height) = source, target
    y, u, v = smooth_picture(width, height, "bt601", True, "I420")
    sample = yuv_sample("I420", y, u, v, f"{FULL}:{MATRICES['bt601'][2]}:0:0")
    gray = convert_sample(sample, "gray", target)
    assert gray.shape == (to_height, to_width)
    assert mean_difference(gray, resized(y, to_width, to_height)) <= 1.0
    assert convert_sample(sample, "bgr", target).shape == (to_height, to_width, 3)


def test_planes_laid_out_by_a_video_meta_scale_as_plain_ones():
    y, u, v = smooth_picture(21, 11, "bt601", False, "I420")
    with_meta = video_meta_sample(y, u, v, "2:4:0:0")
    plain = yuv_sample("I420", y, u, v, "2:4:0:0")
    for target in ((10, 5), (8, 11), (40, 30)):
        assert np.array_equal(convert_sample(with_meta, "bgr", target),
                              convert_sample(plain, "bgr", target))  # fmt: skip


@pytest.mark.parametrize("size, error, message", [
    ((0, 10), ValueError, "two positive ints"),
    ((10, -1), ValueError, "two positive ints"),
    ((2**31, 10), ValueError, "fit in an int"),
    ((10,), TypeError, "a tuple of two ints"),
    ((10, 10, 3), TypeError, "a tuple of two ints"),
    ([10, 10], TypeError, "a tuple of two ints"),
    ((10.0, 10), TypeError, "a tuple of two ints"),
    ((True, 10), TypeError, "a tuple of two ints"),
    ("10x10", TypeError, "a tuple of two ints"),
])  # fmt: skip
def test_sizes_that_are_not_two_positive_ints_are_refused(size, error, message):
    y, u, v = smooth_picture(8, 8, "bt601", False, "I420")
    with pytest.raises(error, match=message):
        convert_sample(yuv_sample("I420", y, u, v), "bgr", size)


def test_an_image_too_large_for_the_converter_is_refused_before_it_is_made():
    y, u, v = smooth_picture(8, 8, "bt601", False, "I420")
    with pytest.raises(SampleConversionError, match="A 50000x50000 image is too large"):
        convert_sample(yuv_sample("I420", y, u, v), "bgr", (50000, 50000))
