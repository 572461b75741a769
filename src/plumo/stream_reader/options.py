"""The options a stream reader takes, declared once: `ReaderOptions`, a TypedDict that type
checkers and editors read (`StreamReader(url, **options: Unpack[ReaderOptions])`), from which the
run-time check's table of types and its explanations are made."""

import difflib
import os
from typing import (Any, Dict, Literal, Mapping, Optional, Tuple, TypedDict, Union, get_args,
                    get_origin, get_type_hints)  # fmt: skip

from plumo.errors import InvalidRuntimeOptionError
from plumo.stream_reader.knobset import check_knobset

PixelFormat = Literal["bgr", "rgb", "gray"]
RtspTransport = Literal["auto", "tcp", "udp"]


class ReaderOptions(TypedDict, total=False):
    """The options of `StreamReader` (and of `StreamGroup`, `plumo.ray.read_streams` and
    `CameraFleet`, which hand them to their readers). Every one may be left out."""

    max_framerate: Optional[float]
    """At most this many frames a second, chosen by the frames' timestamps; None: every frame."""
    start_timeout: float
    """Seconds to wait for the stream to start playing (10)."""
    read_timeout: Optional[float]
    """Seconds to wait for each frame (10), and with max_framerate the limit's slot too; None: as
    long as the stream stays up."""
    ca_file: Union[str, "os.PathLike[str]", None]
    """A PEM file of the CAs an HTTPS or RTSPS stream's certificate may come from."""
    tls_verify: bool
    """False: accept any certificate (a warning says so)."""
    user_agent: Optional[str]
    """The User-Agent an HTTP or RTSP source sends; None: GStreamer's."""
    headers: Optional[Dict[str, str]]
    """Extra HTTP request headers, by name."""
    rtsp_transport: RtspTransport
    """How an RTSP stream's packets travel: "auto" (UDP, then TCP), "tcp" or "udp"."""
    reconnect: bool
    """Connect again, with back-off, when a stream drops, and go on."""
    latest: bool
    """Keep the newest decoded frame alone; drop those not read in time."""
    max_frame_pixels: Optional[int]
    """The most pixels a frame may have (8192x8192); None: no limit."""
    pixel_format: PixelFormat
    """The frames' pixels: "bgr" (default), "rgb", or "gray"."""
    keyframes_only: bool
    """Decode and deliver keyframes alone."""
    size: Optional[Tuple[int, int]]
    """(width, height) to scale every frame to as it is converted; None: as the stream has it."""


def _runtime_types(hint: Any) -> Tuple[type, ...]:
    """The classes a value of the annotation `hint` may be an instance of at run time."""
    origin = get_origin(hint)
    if origin is Union:
        return tuple(t for arg in get_args(hint) for t in _runtime_types(arg))
    if origin is Literal:
        return tuple(dict.fromkeys(type(value) for value in get_args(hint)))
    if origin is not None:  # Dict[str, str], os.PathLike[str], Tuple[int, int]
        return (origin,)
    if hint is float:  # a type checker takes an int for a float; so does the reader
        return (int, float)
    return (type(None),) if hint is None else (hint,)


_HINTS: Dict[str, Any] = get_type_hints(ReaderOptions)

SUPPORTED_OPTIONS: Dict[str, Tuple[type, ...]] = {
    name: _runtime_types(hint) for name, hint in _HINTS.items()
}
"""The options a `StreamReader` takes, by name, with the types their values may have."""

# How each type is named to people.
_IN_WORDS = {
    int: "a whole number",
    float: "a number",
    bool: "True or False",
    str: "a string",
    dict: "a dict",
    tuple: "a tuple",
    os.PathLike: "a path",
    type(None): "None",
}


def _in_words(hint: Any) -> str:
    """`hint` as people say it: "a number or None", "'bgr', 'rgb' or 'gray'"."""
    if get_origin(hint) is Union:
        parts = [_in_words(arg) for arg in get_args(hint)]
    elif get_origin(hint) is Literal:
        parts = [repr(value) for value in get_args(hint)]
    else:
        kinds = _runtime_types(hint)
        parts = [_IN_WORDS.get(kinds[-1], kinds[-1].__name__)]  # float's, not int's
    parts = list(dict.fromkeys(parts))
    return parts[0] if len(parts) == 1 else f"{', '.join(parts[:-1])} or {parts[-1]}"


def closest_option(name: str) -> Optional[str]:
    """The option `name` was most likely meant to be, if one is close."""
    found = difflib.get_close_matches(str(name), list(SUPPORTED_OPTIONS), n=1, cutoff=0.6)
    return found[0] if found else None


def check_options(options: Mapping[str, Any]) -> None:
    """Checks options' names and types, as `check_knobset` does, and says what was meant: the
    closest option to an unknown name, the types a value may have in words.

    :raises InvalidRuntimeOptionError: An option is unknown or its value of the wrong type
    """
    try:
        check_knobset(options, SUPPORTED_OPTIONS)
    except InvalidRuntimeOptionError as e:
        raise InvalidRuntimeOptionError(_explained(options) or str(e)) from None


def _explained(options: Mapping[str, Any]) -> Optional[str]:
    """The first offending option, explained (the one `check_knobset` reports)."""
    for name, value in options.items():
        if name not in SUPPORTED_OPTIONS:
            meant = closest_option(name)
            if meant is not None:
                return f"Unknown option '{name}'; did you mean '{meant}'?"
            return f"Unknown option '{name}'; the options are {', '.join(SUPPORTED_OPTIONS)}"
        if not isinstance(value, SUPPORTED_OPTIONS[name]):
            return f"Option '{name}' should be {_in_words(_HINTS[name])}, got {_shown(value)}"
    return None


def _shown(value: Any) -> str:
    """A wrong value, briefly: its type, and the value itself where it is a plain number or a
    short string (a container may hold a header's secret)."""
    kind = type(value).__name__
    if isinstance(value, (int, float)) or (isinstance(value, str) and len(value) <= 40):
        return f"{kind} {value!r}"
    return kind
