// Frames out of samples: a packed BGR sample becomes a read-only (height, width, 3) uint8 array.
//
// Rows padded to 4 bytes, as GStreamer lays out widths whose rows are not a multiple of 4 bytes
// long, are gathered into a packed copy. The array never refers to the buffer's mapped memory. When
// the mapping's data is a bytes object the array wraps it as it is; otherwise (the bindings here
// hand out a memoryview over the mapped memory, which later frames reuse once it is unmapped) the
// frame is copied out first.
//
// A buffer shorter than its caps' frame is refused before numpy sees it: numpy takes an empty
// memoryview (whose pointer is null) for no buffer at all, and hands back fresh, uninitialised
// memory in a frame's shape.
#include "gstreamer.h"

namespace plumo::gstreamer {
namespace {

Name gst_("Gst");
Name np_("np");
Name sample_conversion_error_("SampleConversionError");
Name sample_size_error_("SampleSizeError");

Name get_caps_("get_caps");
Name get_structure_("get_structure");
Name get_int_("get_int");
Name get_string_("get_string");
Name get_buffer_("get_buffer");
Name map_("map");
Name unmap_("unmap");
Name map_flags_("MapFlags");
Name read_("READ");
Name data_("data");
Name ndarray_("ndarray");
Name uint8_("uint8");
Name shape_("shape");
Name width_field_("width");
Name height_field_("height");
Name format_field_("format");
Name bgr_("BGR");
Name dtype_("dtype");
Name buffer_("buffer");
Name copy_("copy");
Name flags_("flags");
Name writeable_("writeable");
Name strides_("strides");

constexpr const char* sample_conversion_error_doc =
    "Raised when a GStreamer sample can't be properly converted to a Numpy ndarray";

constexpr const char* sample_size_error_doc =
    "Raised when a sample's buffer holds fewer bytes than the frame its caps describe";

constexpr const char* sample_to_ndarray_doc = R"(Converts the provided sample to a Numpy ndarray.

    :param sample: The sample to convert and emit
    :return: The Numpy ndarray
    :raises SampleConversionError: The sample could not be properly converted
    )";

// GStreamer starts each row of packed 24-bit video on a 4-byte boundary, so a frame whose rows
// are not a multiple of 4 bytes long (a width of 854, say) carries padding after each row.
struct Layout {
    long long width = 0, height = 0;
    long long stride = 0;  // bytes from the start of one padded row to the next
    long long packed = 0;  // bytes of the frame with packed rows
    long long padded = 0;  // bytes with every row padded; equal to `packed` when no row needs it
};

// The layouts of a frame, or false when a dimension is negative, huge or not a plain integer:
// the array constructor reports those.
bool frame_layout(py::handle width, py::handle height, Layout& layout) {
    long long w = PyLong_AsLongLong(width.ptr());
    long long h = PyLong_AsLongLong(height.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (w < 0 || h < 0 || w > (1LL << 28) || h > (1LL << 28))
        return false;
    long long stride = (w * 3 + 3) / 4 * 4;
    layout = {w, h, stride, h * w * 3, h * stride};
    return true;
}

constexpr const char* buffer_too_small =
    "The sample's buffer holds %lld bytes; a %lldx%lld BGR frame needs %lld";
constexpr const char* padded_rows_need = "%U, or %lld with its rows padded to 4 bytes";

[[noreturn, gnu::cold]] void size_error(Call& call, long long size, const Layout& layout) {
    py::object message = steal(
        PyUnicode_FromFormat(buffer_too_small, size, layout.width, layout.height, layout.packed));
    if (layout.padded != layout.packed)
        message = steal(PyUnicode_FromFormat(padded_rows_need, message.ptr(), layout.padded));
    raise_size_error(call, message);
}

// The bytes `data` holds, where it offers them through the buffer protocol; numpy reports data
// that does not.
bool byte_length(py::handle data, long long& length) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    length = view.len;
    PyBuffer_Release(&view);
    return true;
}

// The frame of a mapped buffer, as an array that stays valid after the unmap.
py::object frame_from_mapping(Call& call, py::handle structure, py::handle info, py::handle width,
                              py::handle height) {
    py::object format_ = call_method(structure, get_string_, format_field_.value());
    if (compare(format_, bgr_.value(), Py_NE))
        raise_conversion_error(
            call,
            fstring(py::str("Received a frame with an unsupported color format: "), str(format_)));

    // The frame is bounded by the bytes the mapping's data holds, whatever object they come in.
    py::object data = getattr(info, data_);
    Layout layout;
    bool padded_rows = false;
    long long size = 0;
    if (frame_layout(width, height, layout) && byte_length(data, size)) {
        if (size < layout.packed)
            size_error(call, size, layout);
        padded_rows = layout.padded != layout.packed && size == layout.padded;
    }

    py::object np = call.global(np_);
    py::object shape = py::make_tuple(height, width, 3);
    py::object uint8 = getattr(np, uint8_);
    py::object frame = !padded_rows
                           ? invoke_keywords(getattr(np, ndarray_), {},
                                             {{shape_, shape}, {dtype_, uint8}, {buffer_, data}})
                           : invoke_keywords(getattr(np, ndarray_), {},
                                             {{shape_, shape},
                                              {dtype_, uint8},
                                              {buffer_, data},
                                              {strides_, py::make_tuple(layout.stride, 3, 1)}});
    // Padded rows are gathered into a packed copy, as is memory that goes away at the unmap.
    if (padded_rows || !PyBytes_Check(data.ptr()))
        frame = call_method(frame, copy_);
    setattr(getattr(frame, flags_), writeable_, py::bool_(false));
    return frame;
}

py::object sample_to_ndarray(Call& call) {
    py::handle sample = call[0];
    py::object structure = call_method(call_method(sample, get_caps_), get_structure_, py::int_(0));
    auto [has_width, width] = unpack<2>(call_method(structure, get_int_, width_field_.value()));
    if (!truth(has_width))
        raise_conversion_error(call, py::str("Sample caps structure does not have width"));
    auto [has_height, height] = unpack<2>(call_method(structure, get_int_, height_field_.value()));
    if (!truth(has_height))
        raise_conversion_error(call, py::str("Sample caps structure does not have height"));

    py::object buffer = call_method(sample, get_buffer_);
    py::object read = getattr(getattr(call.global(gst_), map_flags_), read_);
    auto [mapped, info] = unpack<2>(call_method(buffer, map_, read));
    if (!truth(mapped))
        raise_conversion_error(call, py::str("Failed to map frame buffer"));

    py::object frame;
    try {
        frame = frame_from_mapping(call, structure, info, width, height);
    } catch (...) {
        // A `finally` clause: an error from the unmap replaces the pending one.
        rethrow_after([&] { call_method(buffer, unmap_, info); });
    }
    call_method(buffer, unmap_, info);
    return frame;
}

constexpr Param sample_to_ndarray_params[] = {param("sample").annotated("Gst.Sample")};

}  // namespace

void raise_conversion_error(Call& call, py::handle message) {
    raise(call.global(sample_conversion_error_), message);
}

void raise_size_error(Call& call, py::handle message) {
    raise(call.global(sample_size_error_), message);
}

constexpr FunctionDef sample_to_ndarray_def =
    function("sample_to_ndarray", "sample_to_ndarray", sample_to_ndarray_params, sample_to_ndarray,
             sample_to_ndarray_doc, "np.ndarray");

py::object make_sample_conversion_error(py::module_ m) {
    return make_class(m, "SampleConversionError", py::make_tuple(py::handle(PyExc_Exception)),
                      sample_conversion_error_doc, {});
}

// Also a TypeError, which numpy raised for a short buffer before the size was checked here.
py::object make_sample_size_error(py::module_ m, py::handle sample_conversion_error) {
    return make_class(m, "SampleSizeError",
                      py::make_tuple(sample_conversion_error, py::handle(PyExc_TypeError)),
                      sample_size_error_doc, {});
}

}  // namespace plumo::gstreamer
