"""Reading video streams into frames (BGR, RGB or gray arrays).

`StreamReader` (from `plumo.stream_reader.reader`) and `StreamGroup` (many streams at once) are
imported on first use, as importing them initialises GStreamer; `Frame` is what `read_frame()`
returns, `StreamInfo` what `info` is; `plumo.stream_reader.knobset`
checks a reader's options.
"""

from typing import TYPE_CHECKING

from plumo.stream_reader.frame import Frame

if TYPE_CHECKING:  # type checkers see the real names; at run time they come on first use
    from plumo.stream_reader.group import StreamGroup
    from plumo.stream_reader.info import StreamInfo
    from plumo.stream_reader.options import ReaderOptions
    from plumo.stream_reader.reader import DEFAULT_OPTIONS, SUPPORTED_OPTIONS, StreamReader

__all__ = ["Frame", "StreamReader", "StreamGroup", "StreamInfo", "ReaderOptions",
           "SUPPORTED_OPTIONS", "DEFAULT_OPTIONS"]  # fmt: skip

_LAZY = {
    "StreamReader": "reader",
    "SUPPORTED_OPTIONS": "reader",
    "DEFAULT_OPTIONS": "reader",
    "StreamGroup": "group",
    "StreamInfo": "info",
    "ReaderOptions": "options",
}


def __getattr__(name):
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(f"plumo.stream_reader.{_LAZY[name]}"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_LAZY])
