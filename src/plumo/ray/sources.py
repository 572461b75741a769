"""The checks `read_streams` and `CameraFleet` make of their sources and options in the caller's
process, before anything is sent to the cluster."""

import os
from typing import Any, Iterable, List, Mapping, Union, cast


Source = Union[str, "os.PathLike[str]"]


def check_sources(sources: Iterable[Source], options: Mapping[str, Any], what: str) -> List[str]:
    """The sources as the workers get them: each a str (a path made a str), each once, in the
    order given. Every source is checked with `options` the way a `StreamReader` checks them
    (nothing is opened), so that a mistake is raised here rather than in a worker.

    :param what: The caller's name, for the messages
    :raises TypeError: `sources` is a single URL or path rather than a list of them
    :raises ValueError: No sources, or a source plumo does not read
    :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
    """
    if isinstance(sources, (str, bytes, os.PathLike)):
        raise TypeError(f"{what} takes a list of sources, not a single one: [{sources!r}]")
    # Importing the reader initialises GStreamer, which the checks need.
    from plumo.stream_reader.group import distinct_sources
    from plumo.stream_reader.reader import StreamReader

    # Paths are sent as str: a worker gets the source as a reader takes it.
    plain = [os.fspath(s) if isinstance(s, os.PathLike) else s for s in sources]
    checked = cast(List[str], distinct_sources(plain))
    if not checked:
        raise ValueError(f"{what} needs at least one source")
    for source in checked:
        StreamReader(source, **options)  # raises for a bad source or option; opens nothing
    return checked


def check_count(name: str, value) -> None:
    """ValueError unless `value` is an int of 1 or more (not a bool)."""
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} should be a positive int, got {value!r}")


def split_evenly(sources: List[str], groups: int) -> List[List[str]]:
    """`sources` in `groups` groups (fewer when there are fewer sources) whose sizes differ by one
    at most, each keeping the order given."""
    groups = max(1, min(groups, len(sources)))
    size, extra = divmod(len(sources), groups)
    split, start = [], 0
    for n in range(groups):
        end = start + size + (1 if n < extra else 0)
        split.append(sources[start:end])
        start = end
    return split
