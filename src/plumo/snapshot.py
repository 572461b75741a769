"""Saves a BGR frame as a PNG file, with nothing but the standard library."""

import struct
import zlib

import numpy as np

_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def encode_png(frame: np.ndarray) -> bytes:
    """The PNG file (8-bit RGB) of a `(height, width, 3)` uint8 BGR frame."""
    if not isinstance(frame, np.ndarray) or frame.dtype != np.uint8 or frame.ndim != 3 \
            or frame.shape[2] != 3 or 0 in frame.shape:  # fmt: skip
        raise ValueError(
            "Expected a (height, width, 3) uint8 array of BGR pixels, got "
            f"{getattr(frame, 'shape', None)} {getattr(frame, 'dtype', type(frame).__name__)}"
        )
    height, width = frame.shape[:2]
    # Each row starts with its filter type, 0 (none); the pixels go in RGB order.
    rows = np.empty((height, 1 + width * 3), dtype=np.uint8)
    rows[:, 0] = 0
    rows[:, 1:] = frame[:, :, ::-1].reshape(height, width * 3)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"".join((
        _SIGNATURE,
        _chunk(b"IHDR", header),
        _chunk(b"IDAT", zlib.compress(rows.tobytes(), 6)),
        _chunk(b"IEND", b""),
    ))  # fmt: skip


def save_png(path: str, frame: np.ndarray) -> None:
    """Writes the frame to `path` as PNG, replacing any file there."""
    data = encode_png(frame)
    with open(path, "wb") as f:
        f.write(data)


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
