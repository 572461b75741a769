"""sample_to_ndarray on real samples and a live pipeline, with stand-in buffers where the map and
unmap bookkeeping is the point."""

import gc
import sys
import inspect
from types import SimpleNamespace

import numpy as np
import pytest

import plumo.utils.gstreamer as gstreamer
from plumo.utils.gstreamer import Gst, SampleConversionError, SampleSizeError, sample_to_ndarray


def caps(width=None, height=None, format_="BGR", extra=""):
    fields = [f"{k}=(int){v}" for k, v in (("width", width), ("height", height)) if v is not None]
    if format_ is not None:
        fields.append(f"format={format_}")
    return Gst.Caps.from_string(",".join(["video/x-raw", *fields]) + extra)


def real_sample(data, width, height, format_="BGR"):
    return Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(data)), caps(width, height, format_), None,
                          None)  # fmt: skip


def pattern(size):
    return bytes((i * 7 + i // 251) % 256 for i in range(size))


# --- shapes -------------------------------------------------------------------------------------


def test_shapes():
    assert str(inspect.signature(sample_to_ndarray)) == "(sample: 'Gst.Sample') -> 'np.ndarray'"
    assert sample_to_ndarray.__qualname__ == "sample_to_ndarray"
    assert sample_to_ndarray.__doc__ == (
        "Converts the provided sample to a Numpy ndarray.\n\n"
        "    :param sample: The sample to convert and emit\n"
        "    :return: The Numpy ndarray\n"
        "    :raises SampleConversionError: The sample could not be properly converted\n    "
    )
    assert SampleConversionError.__bases__ == (Exception,)
    assert SampleConversionError.__module__ == "plumo.utils.gstreamer"
    assert SampleConversionError.__doc__ == (
        "Raised when a GStreamer sample can't be properly converted to a Numpy ndarray"
    )
    with pytest.raises(TypeError):
        sample_to_ndarray()


# --- real samples ----------------------------------------------------------------------------------


def test_a_vga_frame_exposes_the_bytes_in_bgr_order():
    data = pattern(640 * 480 * 3)
    frame = sample_to_ndarray(sample=real_sample(data, 640, 480))
    assert frame.shape == (480, 640, 3) and frame.dtype == np.uint8
    assert frame.flags.c_contiguous and not frame.flags.writeable
    for y, x in [(0, 0), (0, 639), (1, 0), (239, 320), (479, 639)]:
        offset = (y * 640 + x) * 3
        assert list(frame[y, x]) == list(data[offset : offset + 3])
    assert frame.tobytes() == data
    with pytest.raises(ValueError, match="read-only"):
        frame[0, 0, 0] = 1


@pytest.mark.parametrize(
    "width, height, size",
    [(0, 4, 10), (4, 0, 10), (3, 2, 18), (3, 2, 18 + 7)],
)
def test_dimensions_and_longer_buffers(width, height, size):
    data = pattern(size)
    frame = sample_to_ndarray(real_sample(data, width, height))
    assert frame.shape == (height, width, 3)
    assert frame.tobytes() == data[: width * height * 3]


@pytest.mark.parametrize(
    "sample_caps, message",
    [
        (caps(None, 4, "RGB"), "Sample caps structure does not have width"),
        (caps(None, None, None), "Sample caps structure does not have width"),
        (caps(4, None, "I420"), "Sample caps structure does not have height"),
        (caps(4, 4, None, ",width=(string)x"), "Sample caps structure does not have width"),
        (caps(4, 4, "RGB"), "Received a frame with an unsupported color format: RGB"),
        (caps(4, 4, "BGRx"), "Received a frame with an unsupported color format: BGRx"),
        (caps(4, 4, "I420"), "Received a frame with an unsupported color format: I420"),
        (caps(4, 4, None), "Received a frame with an unsupported color format: None"),
    ],
)
def test_conversion_errors(sample_caps, message):
    sample = Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(48)), sample_caps, None, None)
    with pytest.raises(SampleConversionError) as info:
        sample_to_ndarray(sample)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "width, height, size, error",
    [(4, 4, 47, TypeError), (-1, 4, 48, ValueError), (4, -2, 48, ValueError)],
)
def test_numpy_errors_pass_through(width, height, size, error):
    with pytest.raises(error):
        sample_to_ndarray(real_sample(bytes(size), width, height))


def test_missing_caps_or_buffer_fail_on_none():
    with pytest.raises(AttributeError):
        sample_to_ndarray(Gst.Sample.new(Gst.Buffer.new_wrapped(bytes(3)), None, None, None))
    with pytest.raises(AttributeError):
        sample_to_ndarray(Gst.Sample.new(None, caps(1, 1), None, None))


@pytest.mark.parametrize("width, height", [(3, 2), (5, 3), (854, 4)])
def test_rows_padded_to_four_bytes_are_gathered(width, height):
    # GStreamer's layout for these widths: each row starts on a 4-byte boundary.
    stride = (width * 3 + 3) // 4 * 4
    data = pattern(stride * height)
    frame = sample_to_ndarray(real_sample(data, width, height))
    assert frame.shape == (height, width, 3) and frame.flags.c_contiguous
    assert not frame.flags.writeable and frame.flags.owndata
    for y in range(height):
        assert frame[y].tobytes() == data[y * stride : y * stride + width * 3]


@pytest.mark.parametrize("width", [3, 5, 854, 1366])
def test_frames_of_every_width_match_an_unpadded_format(pipelines, width):
    # The same frame as BGRx (4 bytes a pixel: never padded) is the reference.
    p = pipelines(
        f"videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,width={width},height=6"
        " ! tee name=t"
        " t. ! queue ! videoconvert ! video/x-raw,format=BGR ! appsink name=bgr sync=false"
        " t. ! queue ! videoconvert ! video/x-raw,format=BGRx ! appsink name=bgrx sync=false"
    )
    p.set_state(Gst.State.PLAYING)
    frame = sample_to_ndarray(p.get_by_name("bgr").try_pull_sample(5 * Gst.SECOND))
    buffer = p.get_by_name("bgrx").try_pull_sample(5 * Gst.SECOND).get_buffer()
    reference = np.frombuffer(buffer.extract_dup(0, buffer.get_size()), np.uint8)
    np.testing.assert_array_equal(frame, reference.reshape(6, width, 4)[:, :, :3])


# --- buffers shorter than the frame their caps describe ------------------------------------------


class Recording:
    """A real buffer whose maps and unmaps are counted."""

    def __init__(self, buffer):
        self.buffer = buffer
        self.mapped = 0

    def map(self, flags):
        ok, info = self.buffer.map(flags)
        self.mapped += ok
        return ok, info

    def unmap(self, info):
        self.mapped -= 1
        return self.buffer.unmap(info)


NEEDS_24 = "The sample's buffer holds {} bytes; a 4x2 BGR frame needs 24"
NEEDS_30 = (
    "The sample's buffer holds {} bytes; a 5x2 BGR frame needs 30, or 32 with its rows padded to 4"
    " bytes"
)


@pytest.mark.parametrize(
    "make_buffer, width, height, message",
    [
        # Empty buffers map to a null pointer, which numpy took for no buffer at all: it made a
        # frame of whatever the heap held.
        (Gst.Buffer.new, 4, 2, NEEDS_24.format(0)),
        (lambda: Gst.Buffer.new_allocate(None, 0, None), 4, 2, NEEDS_24.format(0)),
        (lambda: Gst.Buffer.new_wrapped(pattern(23)), 4, 2, NEEDS_24.format(23)),
        (lambda: Gst.Buffer.new_wrapped(pattern(29)), 5, 2, NEEDS_30.format(29)),
        (lambda: Gst.Buffer.new_wrapped(pattern(16)), 5, 2, NEEDS_30.format(16)),
        (lambda: Gst.Buffer.new_allocate(None, 854 * 3 * 4 - 1, None), 854, 4,
         "The sample's buffer holds 10247 bytes; a 854x4 BGR frame needs 10248, or 10256 with"
         " its rows padded to 4 bytes"),
    ],
)  # fmt: skip
def test_short_buffers_are_refused_with_the_sizes(make_buffer, width, height, message):
    buffer = Recording(make_buffer())
    sample = SimpleNamespace(get_caps=lambda: caps(width, height), get_buffer=lambda: buffer)
    with pytest.raises(SampleSizeError) as info:
        sample_to_ndarray(sample)
    assert info.value.args == (message,)
    # Callers that caught numpy's TypeError for a short buffer still catch it.
    assert isinstance(info.value, SampleConversionError) and isinstance(info.value, TypeError)
    assert buffer.mapped == 0


@pytest.mark.parametrize(
    "make_buffer, width, height, size",
    [
        (lambda: Gst.Buffer.new_wrapped(pattern(24)), 4, 2, 24),
        (lambda: Gst.Buffer.new_wrapped(pattern(25)), 4, 2, 24),  # the first 24 bytes
        (Gst.Buffer.new, 0, 2, 0),  # no pixels, no bytes needed
        (Gst.Buffer.new, 4, 0, 0),
    ],
)
def test_buffers_that_hold_the_frame(make_buffer, width, height, size):
    buffer = Recording(make_buffer())
    sample = SimpleNamespace(get_caps=lambda: caps(width, height), get_buffer=lambda: buffer)
    frame = sample_to_ndarray(sample)
    assert frame.shape == (height, width, 3) and frame.tobytes() == pattern(size)
    assert buffer.mapped == 0


@pytest.mark.parametrize("data", [bytes(12), bytearray(13), memoryview(bytes(12))])
def test_a_mapping_that_offers_its_data_alone_is_bounded_by_the_data(data):
    # A wrapper's or a test double's mapping has `data` and nothing else.
    buffer = FakeBuffer(data)
    buffer.info = SimpleNamespace(data=data)
    frame = sample_to_ndarray(fake_sample(buffer))
    assert frame.shape == (2, 2, 3) and frame.tobytes() == bytes(12)
    assert [c[0] for c in buffer.calls] == ["map", "unmap"]


@pytest.mark.parametrize("data", [bytes(11), memoryview(bytes(12))[1:]])
def test_data_shorter_than_the_frame_is_refused_by_its_own_length(data):
    buffer = FakeBuffer(data)
    buffer.info = SimpleNamespace(data=data, size=12)  # a size that disagrees is not believed
    with pytest.raises(SampleSizeError, match="holds 11 bytes; a 2x2 BGR frame needs 12"):
        sample_to_ndarray(fake_sample(buffer))
    assert [c[0] for c in buffer.calls] == ["map", "unmap"]


def test_size_error_shape():
    assert SampleSizeError.__bases__ == (SampleConversionError, TypeError)
    assert SampleSizeError.__module__ == "plumo.utils.gstreamer"
    assert SampleSizeError.__doc__ == (
        "Raised when a sample's buffer holds fewer bytes than the frame its caps describe"
    )


# --- a live pipeline: frames that never change afterwards ----------------------------------------


def test_frames_stay_intact_while_the_pipeline_reuses_its_buffers(pipelines):
    p = pipelines(
        "videotestsrc pattern=ball ! video/x-raw,format=BGR,width=320,height=240"
        " ! appsink name=sink max-buffers=1 sync=false"
    )
    sink = p.get_by_name("sink")
    p.set_state(Gst.State.PLAYING)
    # As a reader does: convert the sample and let go of it at once.
    first = sample_to_ndarray(sink.try_pull_sample(5 * Gst.SECOND))
    kept = first.copy()
    for _ in range(20):
        last = sample_to_ndarray(sink.try_pull_sample(5 * Gst.SECOND))
    gc.collect()
    # The ball moves, so a frame still pointing into a reused buffer would differ now.
    assert not np.array_equal(kept, last)
    assert np.array_equal(first, kept)
    assert not first.flags.writeable and first.flags.owndata


# --- map and unmap bookkeeping, with stand-in buffers ---------------------------------------------


class FakeBuffer:
    """Records map and unmap; `data` becomes the mapping's data, `mapped` what map reports."""

    def __init__(self, data, mapped=True, unmap_error=None):
        self.info = SimpleNamespace(data=data, size=len(data))
        self.mapped = mapped
        self.unmap_error = unmap_error
        self.calls = []

    def map(self, flags):
        self.calls.append(("map", flags))
        return self.mapped, self.info

    def unmap(self, info):
        self.calls.append(("unmap", info))
        # The memory goes back to the pool once unmapped: scribble over it.
        if isinstance(self.info.data, bytearray):
            self.info.data[:] = bytes(len(self.info.data))
        if self.unmap_error is not None:
            raise self.unmap_error


def fake_sample(buffer, width=2, height=2, format_="BGR"):
    return SimpleNamespace(get_caps=lambda: caps(width, height, format_),
                           get_buffer=lambda: buffer)  # fmt: skip


READ = [("map", Gst.MapFlags.READ)]


@pytest.mark.parametrize(
    "width, height, format_, data, mapped, error, calls",
    [
        (None, 2, "BGR", bytes(12), True, SampleConversionError, []),
        (2, None, "BGR", bytes(12), True, SampleConversionError, []),
        (2, 2, "BGR", bytes(12), False, SampleConversionError, READ),
        (2, 2, "RGB", bytes(12), True, SampleConversionError, READ + ["unmap"]),
        (2, 2, None, bytes(12), True, SampleConversionError, READ + ["unmap"]),
        (2, 2, "BGR", bytes(11), True, TypeError, READ + ["unmap"]),
        (-2, 2, "BGR", bytes(12), True, ValueError, READ + ["unmap"]),
        (2, 2, "BGR", bytearray(12), True, None, READ + ["unmap"]),
        (2, 2, "BGR", bytes(12), True, None, READ + ["unmap"]),
    ],
)
def test_every_map_is_unmapped_once(width, height, format_, data, mapped, error, calls):
    buffer = FakeBuffer(data, mapped)
    sample = fake_sample(buffer, width, height, format_)
    if error is None:
        sample_to_ndarray(sample)
    else:
        with pytest.raises(error):
            sample_to_ndarray(sample)
    recorded = [c if c[0] == "map" else "unmap" for c in buffer.calls]
    assert recorded == calls
    assert all(c[1] is buffer.info for c in buffer.calls if c[0] == "unmap")


def test_mapped_memory_is_copied_before_the_unmap():
    data = bytearray(pattern(12))
    buffer = FakeBuffer(data)
    frame = sample_to_ndarray(fake_sample(buffer))
    assert data == bytes(12)  # the stand-in scribbled over its memory at unmap
    assert frame.tobytes() == pattern(12) and frame.flags.owndata and not frame.flags.writeable


def test_bytes_are_wrapped_without_a_copy():
    data = pattern(12)
    frame = sample_to_ndarray(fake_sample(FakeBuffer(data)))
    assert frame.base is data and not frame.flags.owndata and not frame.flags.writeable


def test_an_unmap_error_replaces_the_result_and_any_pending_error():
    replacing = OSError("unmap failed")
    with pytest.raises(OSError) as info:
        sample_to_ndarray(fake_sample(FakeBuffer(bytes(12), unmap_error=replacing)))
    assert info.value is replacing

    replacing = OSError("unmap failed")
    with pytest.raises(OSError) as info:
        sample_to_ndarray(fake_sample(FakeBuffer(bytes(12), unmap_error=replacing), format_="RGB"))
    assert info.value is replacing
    assert isinstance(info.value.__context__, SampleConversionError)


def test_the_array_is_built_by_the_module_numpy(monkeypatch):
    made = []

    class FakeArray:
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            self.flags = SimpleNamespace(writeable=True)

        def copy(self):
            made.append("copy")
            return self

    monkeypatch.setattr(gstreamer, "np", SimpleNamespace(ndarray=FakeArray, uint8="u8"))
    data = bytearray(12)
    frame = sample_to_ndarray(fake_sample(FakeBuffer(data), width=2, height=2))
    assert made == [((), {"shape": (2, 2, 3), "dtype": "u8", "buffer": data}), "copy"]
    assert frame.flags.writeable is False


@pytest.mark.parametrize(
    "format_, data, error",
    [("BGR", bytes(12), None), ("BGR", bytearray(12), None), ("RGB", bytes(12), SampleConversionError),
     ("BGR", bytes(5), TypeError)],
)  # fmt: skip
def test_no_references_leak_on_any_path(format_, data, error):
    buffer = FakeBuffer(data)
    sample = fake_sample(buffer, format_=format_)
    watched = [data, buffer, buffer.info, sample]

    def convert_many():
        for _ in range(50):
            try:
                sample_to_ndarray(sample)
            except SampleConversionError if error is None else error:
                pass
        buffer.calls.clear()  # the stand-in's own record holds the mapping

    convert_many()  # first calls may cache names and types
    before = [sys.getrefcount(o) for o in watched]
    convert_many()
    assert [sys.getrefcount(o) for o in watched] == before
