"""Saves a BGR frame as an image file, in the format its extension names, with GStreamer's own
encoders."""

import os
import time
from typing import Dict

import numpy as np

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import Gst  # isort: skip

ENCODERS: Dict[str, str] = {
    ".png": "pngenc compression-level=6",
    ".jpg": "jpegenc quality=95",
    ".jpeg": "jpegenc quality=95",
}
"""The file name extensions a snapshot may have, and the encoder each one names."""

_ENCODE_TIMEOUT = 10 * Gst.SECOND


_CHANNELS = {"bgr": 3, "rgb": 3, "gray": 1}


def check_snapshot_path(path: str) -> None:
    """Checks, before anything is read, that a snapshot can be written to `path`: its extension
    names a known format and the file can be opened for writing (a file that was not there is
    removed again).

    :raises ValueError: With a one-line reason
    """
    extension = os.path.splitext(path)[1].lower()
    if extension not in ENCODERS:
        known = ", ".join(sorted(ENCODERS))
        raise ValueError(f"cannot tell the image format of '{path}': name it {known}")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise ValueError(f"no such folder: '{folder}'")
    existed = os.path.lexists(path)
    try:
        with open(path, "ab"):
            pass
    except OSError as e:
        raise ValueError(f"cannot write '{path}': {e.strerror}") from None
    if not existed:
        os.remove(path)


def encode_image(frame: np.ndarray, extension: str, pixel_format: str = "bgr") -> bytes:
    """The image file, in the format of `extension` (".png", ".jpg"), of a uint8 frame:
    `(height, width, 3)` in BGR or RGB, or `(height, width)` in gray, as `pixel_format` says.

    :raises ValueError: The frame is not such an array, or the extension or the pixel format is
        unknown
    :raises RuntimeError: The encoder failed
    """
    channels = _CHANNELS.get(pixel_format)
    if channels is None:
        raise ValueError(f"Unknown pixel format: {pixel_format!r}")
    shape_wanted = "(height, width)" if channels == 1 else "(height, width, 3)"
    if not isinstance(frame, np.ndarray) or frame.dtype != np.uint8 \
            or frame.ndim != (2 if channels == 1 else 3) \
            or (channels == 3 and frame.shape[2] != 3) or 0 in frame.shape:  # fmt: skip
        raise ValueError(
            f"Expected a {shape_wanted} uint8 array of {pixel_format.upper()} pixels, got "
            f"{getattr(frame, 'shape', None)} {getattr(frame, 'dtype', type(frame).__name__)}"
        )
    encoder = ENCODERS.get(extension.lower())
    if encoder is None:
        raise ValueError(f"Unknown image format: '{extension}'")
    height, width = frame.shape[:2]
    # BGRx has no row padding at any width, unlike BGR, whose rows GStreamer aligns to 4 bytes.
    pixels = np.empty((height, width, 4), np.uint8)
    pixels[:, :, :3] = (
        frame[:, :, ::-1] if pixel_format == "rgb" else frame[:, :, None] if channels == 1 else frame
    )
    pixels[:, :, 3] = 255
    pipeline = Gst.parse_launch(
        f"appsrc name=src caps=video/x-raw,format=BGRx,width={width},height={height},"
        f"framerate=0/1 ! videoconvert ! {encoder} ! appsink name=sink sync=false"
    )
    try:
        pipeline.set_state(Gst.State.PLAYING)
        source = pipeline.get_by_name("src")
        source.emit("push-buffer", Gst.Buffer.new_wrapped(pixels.tobytes()))
        source.emit("end-of-stream")
        sample = pipeline.get_by_name("sink").try_pull_sample(_ENCODE_TIMEOUT)
        if sample is None:
            error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
            cause = error.parse_error()[0].message if error else "no image within 10 s"
            raise RuntimeError(f"Could not encode the frame: {cause}")
        buffer = sample.get_buffer()
        return buffer.extract_dup(0, buffer.get_size())
    finally:
        pipeline.set_state(Gst.State.NULL)


def save_snapshot(path: str, frame: np.ndarray, pixel_format: str = "bgr") -> None:
    """Writes the frame (see `encode_image`) to `path` in the format its extension names,
    replacing any file there. The file appears whole or not at all."""
    data = encode_image(frame, os.path.splitext(path)[1], pixel_format)
    partial = f"{path}.{os.getpid()}.{time.monotonic_ns()}.part"
    try:
        with open(partial, "wb") as f:
            f.write(data)
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)
