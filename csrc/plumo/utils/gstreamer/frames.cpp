// The native frame path: the next sample of an appsink, waited for with the GIL released, and
// converted in one pass into a fresh numpy array (BGR, RGB or gray) that owns its memory.
//
// The sample's own pictures come as the decoder made them (8-bit planar or semi-planar YUV) or
// as packed BGR; the planes are found through GStreamer's video frame mapping, which takes their
// strides and offsets from the buffer's video meta where it has one. The Python objects are
// touched only with the GIL held: the array is allocated before the GIL is let go, and filled
// while it is.
#include <pybind11/numpy.h>

#define NO_IMPORT_PYGOBJECT
#include <pygobject.h>

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "frame_conversion.h"
#include "frame_memory.h"
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name gst_("Gst");
Name gst_app_("GstApp");
Name sample_("Sample");
Name app_sink_("AppSink");
Name pad_("Pad");

constexpr const char* pull_frame_doc =
    R"(Waits for the appsink's next sample and converts it into a frame.

    The wait and the conversion run with the GIL released. The sample's pictures may be 8-bit
    YUV (I420, YV12, NV12, NV21, Y42B, Y444; progressive), converted with the matrix and range
    their caps give, or packed BGR.

    :param appsink: The appsink to pull from
    :param timeout: The most seconds to wait
    :param pixel_format: "bgr", "rgb" or "gray"
    :param size: (width, height) to scale the frame to, in the same pass; None: its own size
    :return: The frame, a read-only (height, width, 3) array ((height, width) in gray) that owns
        its memory, and the sample's presentation time in seconds (None where it has none); or
        None when no sample came within the timeout, or the appsink is at its end of stream
    :raises SampleConversionError: The sample could not be converted
    :raises TypeError, ValueError: The size is not two positive ints
    )";

constexpr const char* offer_video_meta_doc =
    R"(Tells the elements upstream of the pad that its buffers may carry a video meta.

    A decoder that knows it may then hand out the pictures it decodes into, with their padded
    strides and plane offsets, rather than copy each one into a plainly laid out buffer.
    `pull_frame` and `convert_sample` read the planes where the meta puts them.

    :param pad: The sink pad of the element that takes the frames (an appsink's, say)
    :return: The id of the pad probe that answers for it
    )";

constexpr const char* convert_sample_doc =
    R"(Converts a sample of 8-bit YUV or packed BGR pictures into a frame.

    :param sample: The sample to convert
    :param pixel_format: "bgr", "rgb" or "gray"
    :param size: (width, height) to scale the frame to, in the same pass; None: its own size
    :return: A read-only (height, width, 3) array ((height, width) in gray) that owns its memory
    :raises SampleConversionError: The sample could not be converted
    :raises TypeError, ValueError: The size is not two positive ints
    )";

struct SampleRef {
    GstSample* sample;
    ~SampleRef() {
        if (sample != nullptr)
            gst_sample_unref(sample);
    }
};

struct ObjectRef {
    gpointer object;
    ~ObjectRef() { gst_object_unref(object); }
};

PixelFormat pixel_format_of(py::handle name) {
    if (PyUnicode_Check(name.ptr())) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name.ptr(), &length);
        if (text == nullptr)
            throw py::error_already_set();
        // Compared with its length: "bgr\0junk" is not "bgr".
        std::string_view given(text, std::size_t(length));
        if (given == "bgr")
            return PixelFormat::bgr;
        if (given == "rgb")
            return PixelFormat::rgb;
        if (given == "gray")
            return PixelFormat::gray;
    }
    raise(PyExc_ValueError, fstring(py::str("pixel_format must be 'bgr', 'rgb' or 'gray', not "),
                                    steal(PyObject_Repr(name.ptr()))));
}

// The size asked for: {0, 0} for None (the frame's own), else two positive ints.
ImageSize size_of(py::handle size) {
    if (size.is_none())
        return {0, 0};
    int sides[2] = {0, 0};
    bool pair = PyTuple_Check(size.ptr()) && PyTuple_GET_SIZE(size.ptr()) == 2;
    for (Py_ssize_t index = 0; pair && index < 2; ++index) {
        PyObject* side = PyTuple_GET_ITEM(size.ptr(), index);
        if (!PyLong_Check(side) || PyBool_Check(side)) {
            pair = false;
            break;
        }
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(side, &overflow);
        if (value == -1 && PyErr_Occurred())
            throw py::error_already_set();
        if (overflow != 0 || value <= 0 || value > std::numeric_limits<int>::max())
            raise(PyExc_ValueError,
                  fstring(py::str("size must be two positive ints (width, height) that fit in "
                                  "an int, not "),
                          steal(PyObject_Repr(size.ptr()))));
        sides[index] = int(value);
    }
    if (!pair)
        raise(PyExc_TypeError, fstring(py::str("size must be a tuple of two ints (width, height) "
                                               "or None, not "),
                                       steal(PyObject_Repr(size.ptr()))));
    return {sides[0], sides[1]};
}

[[noreturn]] void sample_error(Call& call, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyObject* message = PyUnicode_FromFormatV(format, args);
    va_end(args);
    raise_conversion_error(call, steal(message));
}

[[noreturn]] void caps_error(Call& call, const char* why, GstCaps* caps) {
    gchar* text = gst_caps_to_string(caps);
    py::object shown = steal(PyUnicode_FromString(text));
    g_free(text);
    raise_conversion_error(call, fstring(py::str(why), shown));
}

// A video frame mapping that is undone however the conversion ends.
class MappedFrame {
public:
    MappedFrame() = default;
    MappedFrame(const MappedFrame&) = delete;
    MappedFrame& operator=(const MappedFrame&) = delete;
    ~MappedFrame() {
        if (mapped_)
            gst_video_frame_unmap(&frame_);
    }
    bool map(GstVideoInfo* info, GstBuffer* buffer) {
        mapped_ = gst_video_frame_map(&frame_, info, buffer, GST_MAP_READ);
        return mapped_;
    }
    bool is_mapped() const { return mapped_; }
    const GstVideoFrame& frame() const { return frame_; }

private:
    GstVideoFrame frame_{};
    bool mapped_ = false;
};

// How the buffer's video meta describes its frame when that is not as the caps do; empty when it
// agrees (or there is none). Mapping takes the frame's size, format and planes from the meta: a
// larger one would have the conversion write past the array made at the caps' size.
std::string meta_disagreement(GstBuffer* buffer, const GstVideoInfo& info) {
    const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer);
    if (meta == nullptr)
        return {};
    int format = raw_value(meta->format);
    // The last format of the headers built against; a newer GStreamer only adds to them.
    bool known_format =
        format > GST_VIDEO_FORMAT_UNKNOWN && format <= GST_VIDEO_FORMAT_NV12_10BE_8L128;
    if (known_format && GstVideoFormat(format) == GST_VIDEO_INFO_FORMAT(&info) &&
        meta->width == guint(GST_VIDEO_INFO_WIDTH(&info)) &&
        meta->height == guint(GST_VIDEO_INFO_HEIGHT(&info)) &&
        meta->n_planes == GST_VIDEO_INFO_N_PLANES(&info))
        return {};
    std::string said = std::to_string(meta->width) + "x" + std::to_string(meta->height) + " ";
    said += known_format ? gst_video_format_to_string(GstVideoFormat(format))
                         : "format " + std::to_string(format);
    said += " in " + std::to_string(meta->n_planes) + " plane" + (meta->n_planes == 1 ? "" : "s");
    return said;
}

// The frame of a sample, converted (and scaled to `size`, unless it is {0, 0}); the GIL is held
// on entry and on return.
py::object frame_of(Call& call, GstSample* sample, PixelFormat to, ImageSize size) {
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (caps == nullptr || buffer == nullptr)
        sample_error(call, "The sample has no %s", caps == nullptr ? "caps" : "buffer");
    // Caps that list choices describe no one frame (and GStreamer asserts they do not come here).
    if (!gst_caps_is_fixed(caps))
        caps_error(call, "The sample's caps are not fixed: ", caps);
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps))
        caps_error(call, "The sample's caps are not raw video: ", caps);
    GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    if (!converts(format))
        sample_error(call, "Received a frame with an unsupported color format: %s",
                     gst_video_format_to_string(format));
    int width = GST_VIDEO_INFO_WIDTH(&info);
    int height = GST_VIDEO_INFO_HEIGHT(&info);
    if (width <= 0 || height <= 0)
        sample_error(call, "The sample's caps give no frame size (%dx%d)", width, height);
    if (!fits_converter(width, height))
        sample_error(call, "The sample's %dx%d %s frame is too large to convert", width, height,
                     gst_video_format_to_string(format));
    std::string disagreement = meta_disagreement(buffer, info);
    if (!disagreement.empty())
        sample_error(call,
                     "The sample's video meta describes a %s frame, its caps a %dx%d %s frame "
                     "in %d plane%s",
                     disagreement.c_str(), width, height, gst_video_format_to_string(format),
                     int(GST_VIDEO_INFO_N_PLANES(&info)),
                     GST_VIDEO_INFO_N_PLANES(&info) == 1 ? "" : "s");
    if (gst_buffer_get_video_meta(buffer) == nullptr &&
        gst_buffer_get_size(buffer) < GST_VIDEO_INFO_SIZE(&info))
        raise_size_error(call, steal(PyUnicode_FromFormat(
                                   "The sample's buffer holds %zu bytes; a %dx%d %s frame "
                                   "needs %zu",
                                   gst_buffer_get_size(buffer), width, height,
                                   gst_video_format_to_string(format),
                                   std::size_t(GST_VIDEO_INFO_SIZE(&info)))));

    // Mapped, and its planes checked, before the array is made: a frame whose planes are not
    // there costs no allocation of its size.
    MappedFrame mapped;
    bool fits = false;
    {
        py::gil_scoped_release unlocked;
        if (mapped.map(&info, buffer))
            fits = planes_fit(mapped.frame());
    }
    if (!mapped.is_mapped())
        raise_conversion_error(call, py::str("Failed to map frame buffer"));
    if (!fits)
        raise_size_error(call, steal(PyUnicode_FromFormat(
                                   "The planes of the sample's %dx%d %s frame, as its video "
                                   "meta lays them out, reach past its buffer",
                                   width, height, gst_video_format_to_string(format))));

    if (size.width == 0)
        size = {width, height};
    else if (!fits_converter(size.width, size.height))
        sample_error(call, "A %dx%d image is too large to convert into", size.width, size.height);

    Colour colour = colour_of(info, caps);
    std::vector<py::ssize_t> shape{size.height, size.width};
    if (channels(to) > 1)
        shape.push_back(channels(to));
    py::array_t<std::uint8_t> image = new_frame_array(shape);
    std::uint8_t* out = image.mutable_data();
    const char* failure;
    {
        py::gil_scoped_release unlocked;
        failure = convert_frame(mapped.frame(), colour, to, size, out);
    }
    if (failure != nullptr)
        sample_error(call, "Cannot convert the sample's %dx%d %s frame: %s", width, height,
                     gst_video_format_to_string(format), failure);
    py::detail::array_proxy(image.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return std::move(image);
}

// A wait in GStreamer's nanoseconds; one too long for its clock (centuries) waits for ever.
GstClockTime clock_time(double seconds) {
    double nanoseconds = seconds * double(GST_SECOND);
    if (nanoseconds >= 0x1p63)
        return GST_CLOCK_TIME_NONE;
    return GstClockTime(nanoseconds);
}

py::object pull_frame(Call& call) {
    py::handle appsink = call[0];
    py::handle timeout = call[1];
    PixelFormat to = pixel_format_of(call[2]);
    ImageSize size = size_of(call[3]);

    require_instance(call, appsink, "appsink", gst_app_, app_sink_);
    double seconds = timeout_seconds(timeout);

    auto* sink = GST_APP_SINK(pygobject_get(appsink.ptr()));
    ObjectRef kept{gst_object_ref(sink)};
    SampleRef pulled{nullptr};
    {
        py::gil_scoped_release unlocked;
        pulled.sample = gst_app_sink_try_pull_sample(sink, clock_time(seconds));
    }
    if (pulled.sample == nullptr)
        return py::none();
    py::object image = frame_of(call, pulled.sample, to, size);
    GstClockTime pts = GST_BUFFER_PTS(gst_sample_get_buffer(pulled.sample));
    py::object seconds_in = GST_CLOCK_TIME_IS_VALID(pts)
                                ? py::object(py::float_(double(pts) / GST_SECOND))
                                : py::object(py::none());
    return py::make_tuple(image, seconds_in);
}

// Adds the video meta to each allocation query on its way to the pad. The query is the pad's to
// change here: a pad probe sees it before the element answers it.
GstPadProbeReturn add_video_meta(GstPad*, GstPadProbeInfo* info, gpointer) {
    GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
    if (query != nullptr && GST_QUERY_TYPE(query) == GST_QUERY_ALLOCATION &&
        gst_query_is_writable(query) &&
        !gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr))
        gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return GST_PAD_PROBE_OK;
}

py::object offer_video_meta(Call& call) {
    py::handle pad = call[0];
    require_instance(call, pad, "pad", gst_, pad_);
    gulong id =
        gst_pad_add_probe(GST_PAD(pygobject_get(pad.ptr())), GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
                          add_video_meta, nullptr, nullptr);
    return py::int_(id);
}

py::object convert_sample(Call& call) {
    py::handle sample = call[0];
    PixelFormat to = pixel_format_of(call[1]);
    ImageSize size = size_of(call[2]);
    require_instance(call, sample, "sample", gst_, sample_);
    return frame_of(call, pyg_boxed_get(sample.ptr(), GstSample), to, size);
}

constexpr Param pull_frame_params[] = {
    param("appsink").annotated("GstApp.AppSink"),
    param("timeout").annotated("float"),
    param("pixel_format").str().with_default("'bgr'"),
    param("size").annotated("Optional[Tuple[int, int]]").with_default("None"),
};

constexpr Param offer_video_meta_params[] = {param("pad").annotated("Gst.Pad")};

constexpr Param convert_sample_params[] = {
    param("sample").annotated("Gst.Sample"),
    param("pixel_format").str().with_default("'bgr'"),
    param("size").annotated("Optional[Tuple[int, int]]").with_default("None"),
};

}  // namespace

void require_instance(Call& call, py::handle value, const char* parameter, const Name& namespace_,
                      const Name& type) {
    int is_instance =
        PyObject_IsInstance(value.ptr(), getattr(call.global(namespace_), type).ptr());
    if (is_instance < 0)
        throw py::error_already_set();
    if (is_instance == 0)
        raise(PyExc_TypeError, steal(PyUnicode_FromFormat("%s must be a %s.%s, not %s", parameter,
                                                          namespace_.c_str(), type.c_str(),
                                                          Py_TYPE(value.ptr())->tp_name)));
}

double timeout_seconds(py::handle timeout) {
    double seconds = PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw py::error_already_set();
    if (!(seconds >= 0) || !std::isfinite(seconds))
        raise(PyExc_ValueError, fstring(py::str("timeout must be a finite number of seconds >= 0, "
                                                "not "),
                                        steal(PyObject_Repr(timeout.ptr()))));
    return seconds;
}

constexpr FunctionDef pull_frame_def =
    function("pull_frame", "pull_frame", pull_frame_params, pull_frame, pull_frame_doc,
             "Optional[Tuple[np.ndarray, Optional[float]]]");
constexpr FunctionDef offer_video_meta_def =
    function("offer_video_meta", "offer_video_meta", offer_video_meta_params, offer_video_meta,
             offer_video_meta_doc, "int");
constexpr FunctionDef convert_sample_def =
    function("convert_sample", "convert_sample", convert_sample_params, convert_sample,
             convert_sample_doc, "np.ndarray");

}  // namespace plumo::gstreamer
