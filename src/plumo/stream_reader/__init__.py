"""Reading video streams into frames (BGR, RGB or gray arrays).

`StreamReader` (from `plumo.stream_reader.reader`) is imported on first use, as importing it
initialises GStreamer; `Frame` is what its `read_frame()` returns; `plumo.stream_reader.knobset`
checks a reader's options.
"""

from typing import TYPE_CHECKING

from plumo.stream_reader.frame import Frame

if TYPE_CHECKING:  # type checkers see the real names; at run time they come on first use
    from plumo.stream_reader.reader import DEFAULT_OPTIONS, SUPPORTED_OPTIONS, StreamReader

__all__ = ["Frame", "StreamReader", "SUPPORTED_OPTIONS", "DEFAULT_OPTIONS"]

_LAZY = ("StreamReader", "SUPPORTED_OPTIONS", "DEFAULT_OPTIONS")


def __getattr__(name):
    if name in _LAZY:
        from plumo.stream_reader import reader

        return getattr(reader, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_LAZY])
