"""plumo: video streams (cameras over HTTP and RTSP, files, HLS) to numpy frames through GStreamer,
with a compiled C++ core.

    from plumo import StreamReader

    with StreamReader("rtsp://camera.local/stream", reconnect=True) as reader:
        for image in reader:  # read-only (height, width, 3) BGR arrays
            ...

The readers and their types are imported on first use: importing plumo alone does not start
GStreamer.
"""

from typing import TYPE_CHECKING

from plumo.errors import (
    FrameTooLargeError,
    InvalidCustomPipelineError,
    InvalidRuntimeOptionError,
    NotLinkedError,
    PlumoError,
    StreamReadError,
    StreamSetupError,
)
from plumo.logger import logger

if TYPE_CHECKING:  # type checkers see the real names; at run time they come on first use
    from plumo.stream_reader.frame import Frame
    from plumo.stream_reader.group import StreamGroup
    from plumo.stream_reader.info import StreamInfo
    from plumo.stream_reader.options import ReaderOptions
    from plumo.stream_reader.reader import StreamReader

__version__ = "0.1.0"

__all__ = [
    "StreamReader", "StreamGroup", "Frame", "StreamInfo", "ReaderOptions",
    "PlumoError", "StreamSetupError", "StreamReadError", "FrameTooLargeError",
    "InvalidRuntimeOptionError", "InvalidCustomPipelineError", "NotLinkedError",
    "logger", "__version__",
]  # fmt: skip

_LAZY = {
    "StreamReader": "plumo.stream_reader.reader",
    "StreamGroup": "plumo.stream_reader.group",
    "Frame": "plumo.stream_reader.frame",
    "StreamInfo": "plumo.stream_reader.info",
    "ReaderOptions": "plumo.stream_reader.options",
}


def __getattr__(name):
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(_LAZY[name]), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_LAZY])
