"""Many streams read at once in one process, their frames handed out as they arrive; streams may
be added and removed while the group runs."""

import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import (TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Mapping, Optional, Tuple,
                    Union)  # fmt: skip

from plumo.errors import StreamSetupError
from plumo.logger import logger
from plumo.stream_reader.connection import NOTHING, StreamStatus
from plumo.stream_reader.frame import Frame
from plumo.stream_reader.reader import StreamReader
from plumo.utils.gstreamer import FrameBell
from plumo.utils.urls import redact_url

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from plumo.stream_reader.options import ReaderOptions

Source = Union[str, "os.PathLike[str]"]

# Every reader is stepped at least this often, so that what does not ring the bell is seen in
# time: a reconnection that is due, a stream gone silent, the end of a stream's grace.
_SWEEP = 0.25
# Frames of different streams that are ready together are converted on this many threads at
# once, the iterating thread among them (the conversion lets go of the GIL): one thread alone
# would leave CPUs idle that the decoders do not fill.
_CONVERTING_THREADS = max(1, os.cpu_count() or 1)


def distinct_sources(sources: Iterable[Source]) -> List[Source]:
    """`sources` each once, in the order given; one given again is logged and left out.

    :raises TypeError: One source (a str, bytes or path) given instead of a list of them
    """
    if isinstance(sources, (str, bytes, os.PathLike)):
        # Iterated, it would be read as a stream for each character.
        raise TypeError(
            f"sources must be a list of URLs or paths, not a {type(sources).__name__}: give one "
            "stream as a list of one"
        )
    distinct: List[Source] = []
    for source in sources:
        if source in distinct:
            logger.warning(f"'{_shown(source)}' is given twice: read once")
        else:
            distinct.append(source)
    return distinct


def _shown(source: Source) -> str:
    return redact_url(os.fspath(source))


class _Member:
    """A stream of the group: its reader, the key it rings the bell with, when it last gave a
    frame (or last waited for its connection), and whether the group still reads it."""

    def __init__(self, source: Source, reader: StreamReader, key: int):
        self.source = source
        self.reader = reader
        self.key = key
        self.last_frame = 0.0
        self.started = False  # by open() or add(), once
        self.reading = False


class StreamGroup:
    """Reads many streams at once, in one process, and hands out their frames in the order they
    arrive::

        with StreamGroup(["rtsp://cam1/stream", "rtsp://cam2/stream", "recording.mp4"],
                         max_framerate=2, reconnect=True) as group:
            for source, frame in group:
                ...
            print(group.errors)

    The options are `StreamReader`'s, and apply to each stream; a mapping `{source: options}`
    gives each stream options of its own, over the group's. A stream that fails (when it starts,
    or later) leaves the group: its exception goes into `errors`, under its source, and the
    others go on; with `reconnect`, a stream that drops is connected again instead, and one that
    is down at the start joins when it comes up. `add()` and `remove()` change the streams while
    the group runs, from any thread. The iteration ends when no stream is left reading (every one
    ended, failed or was removed), or when the group is closed (`close()` may come from any
    thread). `status()` tells how each stream is doing.

    Each stream holds a few decoded frames at most (one with `latest`): a consumer slower than
    the streams holds them back (or, with `latest`, has the older frames dropped), and memory
    does not grow. No thread is kept per stream: the GStreamer threads decode, each stream's
    appsink rings the group's bell when a frame reaches it (in C, without the GIL), and the
    thread that iterates takes the frames and hands them out, converting those of streams ready
    together on a few threads. Iterate from one thread.
    """

    def __init__(self, sources: Union[Iterable[Source], Mapping[Source, "ReaderOptions"]],
                 **options: "Unpack[ReaderOptions]"):  # fmt: skip
        """
        :param sources: The streams: URLs or paths, as `StreamReader` takes them (a source given
            twice is read once); or a mapping of each to its own options
        :param options: `StreamReader`'s options, for every stream
        :raises ValueError: No sources, or a source plumo does not read
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        """
        self._options: Dict[str, Any] = dict(options)
        if isinstance(sources, Mapping):
            given = {source: self._options_of(source, own) for source, own in sources.items()}
        else:
            given = {source: self._options for source in distinct_sources(sources)}
        if not given:
            raise ValueError("A StreamGroup needs at least one source")
        # The table of streams, changed only by add() and remove() (and by the streams that
        # leave), under the lock; errors too, as converting threads may write them at once.
        self._lock = threading.Lock()
        self._members: Dict[Source, _Member] = {}
        self._by_key: Dict[int, _Member] = {}
        self._free_keys: List[int] = []
        self.errors: Dict[Source, BaseException] = {}
        """The exception each failed stream left the group with, by source."""
        # Rung with a stream's key when it has a frame or news.
        self._bell = FrameBell()
        for source, own in given.items():
            self._enrol(source, StreamReader(source, **own))
        self._opened = self._closed = False
        self._converting: Optional[ThreadPoolExecutor] = None

    def _options_of(self, source: Source, own: Optional[Mapping[str, Any]]) -> Dict[str, Any]:
        if own is None:
            return self._options
        if not isinstance(own, Mapping):
            raise TypeError(f"The options of '{_shown(source)}' must be a mapping of option names "
                            f"to values, not {type(own).__name__}")  # fmt: skip
        return {**self._options, **own}

    def _enrol(self, source: Source, reader: StreamReader) -> _Member:
        """Puts a stream in the table, not yet read. Called with the lock held, or before the
        group is shared."""
        key = self._free_keys.pop() if self._free_keys else len(self._by_key)
        member = _Member(source, reader, key)
        self._members[source] = member
        self._by_key[key] = member
        return member

    @property
    def sources(self) -> List[Source]:
        """The group's sources, each once, in the order given (and added)."""
        with self._lock:
            return list(self._members)

    @property
    def readers(self) -> Dict[Source, StreamReader]:
        """The reader of each source (its `info`, `reconnects`, `frames_read`, ...)."""
        with self._lock:
            return {source: member.reader for source, member in self._members.items()}

    @property
    def is_open(self) -> bool:
        """Whether the group has been opened and not closed."""
        return self._opened and not self._closed

    def status(self) -> Dict[Source, StreamStatus]:
        """How each stream is doing (`StreamReader.status`), by source: those that left the
        group with an error too ("failed"), not those removed."""
        with self._lock:
            members = list(self._members.values())
        return {member.source: member.reader.status for member in members}

    def open(self) -> "StreamGroup":
        """Starts every stream at once, and waits until each plays or fails (those that fail are
        in `errors`; with `reconnect`, one down for a cause that may pass stays, "connecting").

        :raises RuntimeError: The group is already open, or was closed
        """
        if self._opened or self._closed:
            raise RuntimeError("The StreamGroup is already open" if self._opened else
                               "The StreamGroup was closed")  # fmt: skip
        with self._lock:
            self._opened = True
            members = [member for member in self._members.values() if not member.started]
            for member in members:
                member.started = True
        for member in members:
            try:
                self._start(member)
            except StreamSetupError as e:
                self._leave(member, e)
        for member in members:
            if member.reading and not self._closed:
                try:
                    member.reader._connection.settle()
                except StreamSetupError as e:
                    self._leave(member, e)
        if _CONVERTING_THREADS > 1:
            self._converting = ThreadPoolExecutor(_CONVERTING_THREADS - 1,
                                                  thread_name_prefix="plumo-group")  # fmt: skip
        return self

    def _start(self, member: _Member) -> None:
        """Starts the stream's first attempt, without waiting for it.

        :raises StreamSetupError: Its pipeline could not be built (a missing file)
        """
        # Frames and news wake the iterating thread; set before the stream starts.
        member.reader._connection.listen(self._bell, member.key)
        member.last_frame = time.monotonic()
        member.reader._start()
        member.reading = True

    def add(self, source: Source, **options: "Unpack[ReaderOptions]") -> None:
        """Adds a stream, with its own options over the group's, from any thread; in an open
        group it starts at once and joins the iteration when it plays (a failure to start goes
        into `errors`, as at `open()`).

        :raises ValueError: The source is already in the group, or is not one plumo reads
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        :raises StreamSetupError: Its pipeline could not be built (a missing file)
        :raises RuntimeError: The group was closed
        """
        reader = StreamReader(source, **{**self._options, **options})
        with self._lock:
            if self._closed:
                raise RuntimeError("The StreamGroup was closed")
            if source in self._members:
                raise ValueError(f"'{_shown(source)}' is already in the group")
            member = self._enrol(source, reader)
            member.started = self._opened
        if not member.started:
            return
        try:
            self._start(member)
        except BaseException:
            self._forget(member)
            reader.close()
            raise
        logger.info(f"'{_shown(source)}' joins the group")
        self._bell.ring(member.key)  # the iterating thread takes it in

    def remove(self, source: Source) -> None:
        """Takes a stream out of the group, from any thread, and closes it: it yields nothing
        more, and leaves `errors` and `status()`.

        :raises KeyError: The source is not in the group
        """
        with self._lock:
            member = self._members.get(source)
            if member is None:
                raise KeyError(f"'{_shown(source)}' is not in the group")
            self._forget_locked(member)
            self.errors.pop(source, None)
        member.reader.close()
        logger.info(f"'{_shown(source)}' is removed from the group")
        self._bell.ring(member.key)  # wakes the iterating thread, which may have no stream left

    def _forget(self, member: _Member) -> None:
        with self._lock:
            self._forget_locked(member)

    def _forget_locked(self, member: _Member) -> None:
        member.reading = False
        if self._members.get(member.source) is member:
            del self._members[member.source]
            del self._by_key[member.key]
            self._free_keys.append(member.key)

    def _leave(self, member: _Member, error: Optional[BaseException]) -> None:
        """The stream ended, or failed with `error`: it is read no more."""
        if error is not None:
            logger.warning(f"'{_shown(member.source)}' leaves the group: {error}")
        else:
            logger.info(f"'{_shown(member.source)}' leaves the group: end of stream")
        with self._lock:  # streams may leave from the converting threads at once
            member.reading = False
            if error is not None and self._members.get(member.source) is member:
                self.errors[member.source] = error
        member.reader.close()

    def _reading(self) -> List[_Member]:
        with self._lock:
            return [member for member in self._members.values() if member.reading]

    def __iter__(self) -> Iterator[Tuple[Source, Frame]]:
        """`(source, frame)` pairs, as the frames arrive, until no stream is left reading, or
        the group is closed."""
        if not self._opened:
            raise RuntimeError("The StreamGroup is not open: call open(), or use it in a with "
                               "statement")  # fmt: skip
        next_sweep = time.monotonic() + _SWEEP
        # Streams that just gave a frame: there may be more where it came from (the appsink
        # rang once for each, and a ring not yet taken is not rung again).
        again: List[_Member] = self._reading()
        while not self._closed:
            reading = self._reading()
            if not reading:
                return
            rung = self._bell.wait(0.0 if again else max(0.0, next_sweep - time.monotonic()))
            with self._lock:
                woken = again + [self._by_key[key] for key in rung if key in self._by_key]
            if time.monotonic() >= next_sweep:
                woken += reading
                next_sweep = time.monotonic() + _SWEEP
            # Each stream once, in the order woken, and stepped once here, so that its own
            # frames keep their order.
            woken = [member for member in dict.fromkeys(woken) if member.reading]
            try:
                stepped = self._step_all(woken)
            except RuntimeError:  # the pool was shut down: the group is closed
                if self._closed:
                    return
                raise
            again = []
            for member, frame in stepped:
                # A stream removed meanwhile yields nothing more.
                if frame is not None and member.reading and not self._closed:
                    again.append(member)
                    yield member.source, frame

    def _step_all(self, woken: List[_Member]) -> List[Tuple[_Member, Optional[Frame]]]:
        """Steps each stream once: in shares, one for this thread and one for each converting
        thread, when there are several."""
        converting = self._converting
        shares = 1 if converting is None else min(len(woken), _CONVERTING_THREADS)
        if converting is None or shares <= 1:
            return self._step_each(woken)
        parts = [woken[i::shares] for i in range(shares)]
        helped = [converting.submit(self._step_each, part) for part in parts[1:]]
        stepped = self._step_each(parts[0])
        for future in helped:
            stepped += future.result()
        return stepped

    def _step_each(self, members: List[_Member]) -> List[Tuple[_Member, Optional[Frame]]]:
        return [(member, self._step(member)) for member in members]

    def _step(self, member: _Member) -> Optional[Frame]:
        connection = member.reader._connection
        now = time.monotonic()
        try:
            result = connection.step(now, 0.0)
        except Exception as e:  # noqa: BLE001 - the stream leaves the group with it
            self._leave(member, e)
            return None
        if result is None:
            if member.reading and not self._closed:  # not removed or closed meanwhile
                self._leave(member, None)
            return None
        if result is NOTHING:
            if connection.waiting_for_connection:
                member.last_frame = now  # the time without frames counts from its connection
                return None
            read_timeout = member.reader._frame_wait
            if read_timeout is not None and now - member.last_frame >= read_timeout:
                self._leave(member, connection.timeout_error(read_timeout))
            return None
        member.last_frame = now
        return result  # type: ignore[no-any-return]

    def close(self) -> None:
        """Stops every stream and ends the iteration (from any thread). Closing again does
        nothing."""
        with self._lock:
            self._closed = True
            members = list(self._members.values())
        self._bell.ring(0)  # wakes the iterating thread, which sees the group closed
        for member in members:
            member.reader.close()
        if self._converting is not None:
            self._converting.shutdown(wait=False)

    def __enter__(self) -> "StreamGroup":
        return self.open()

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open" if self._opened else "not opened"
        with self._lock:
            streams, reading = len(self._members), sum(m.reading for m in self._members.values())
            failed = len(self.errors)
        return f"<StreamGroup {streams} streams {state}, {reading} reading, {failed} failed>"
