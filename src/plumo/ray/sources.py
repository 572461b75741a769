"""The checks `read_streams` and `CameraFleet` make of their sources and options in the caller's
process, before anything is sent to the cluster."""

import os
from typing import Iterable, List, Union

from plumo.logger import logger
from plumo.utils.urls import redact_url

Source = Union[str, "os.PathLike[str]"]


def check_sources(sources: Iterable[Source], options: dict, what: str) -> List[str]:
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
    from plumo.stream_reader.reader import StreamReader

    checked: List[str] = []
    for source in sources:
        if isinstance(source, os.PathLike):
            source = os.fspath(source)
        if source in checked:
            logger.warning(f"'{redact_url(str(source))}' is given twice: read once")
            continue
        StreamReader(source, **options)  # raises for a bad source or option; opens nothing
        checked.append(source)
    if not checked:
        raise ValueError(f"{what} needs at least one source")
    return checked


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
