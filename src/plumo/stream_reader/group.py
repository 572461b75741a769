"""Many streams read at once in one process, their frames handed out as they arrive."""

import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Dict, Iterable, Iterator, List, Optional, Tuple, Union

from plumo.logger import logger
from plumo.stream_reader.frame import Frame
from plumo.stream_reader.reader import _NOTHING, StreamReader
from plumo.utils.gstreamer import FrameBell
from plumo.utils.urls import redact_url

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from plumo.stream_reader.options import ReaderOptions

Source = Union[str, "os.PathLike[str]"]

# Every reader is stepped at least this often, so that what does not ring the bell is seen in
# time: a reconnection that is due, a stream gone silent, the end of a stream's grace.
_SWEEP = 0.25
# At most this many streams start at once (each start waits for its stream to play).
_OPENING_THREADS = 16
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
            logger.warning(f"'{redact_url(os.fspath(source))}' is given twice: read once")
        else:
            distinct.append(source)
    return distinct


class StreamGroup:
    """Reads many streams at once, in one process, and hands out their frames in the order they
    arrive::

        with StreamGroup(["rtsp://cam1/stream", "rtsp://cam2/stream", "recording.mp4"],
                         max_framerate=2, reconnect=True) as group:
            for source, frame in group:
                ...
            print(group.errors)

    The options are `StreamReader`'s, and apply to each stream. A stream that fails (when it
    starts, or later) leaves the group: its exception goes into `errors`, under its source, and
    the others go on; with `reconnect`, a stream that drops is connected again instead. The
    iteration ends when every stream has ended or failed, or when the group is closed (`close()`
    may come from any thread).

    Each stream holds a few decoded frames at most (one with `latest`): a consumer slower than
    the streams holds them back (or, with `latest`, has the older frames dropped), and memory
    does not grow. No thread is kept per stream: the GStreamer threads decode, each stream's
    appsink rings the group's bell when a frame reaches it (in C, without the GIL), and the
    thread that iterates takes the frames and hands them out, converting those of streams ready
    together on a few threads. Iterate from one thread.
    """

    def __init__(self, sources: Iterable[Source], **options: "Unpack[ReaderOptions]"):
        """
        :param sources: The streams: URLs or paths, as `StreamReader` takes them; a source
            given twice is read once
        :param options: `StreamReader`'s options, for every stream
        :raises ValueError: No sources, or a source plumo does not read
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        """
        given = distinct_sources(sources)
        if not given:
            raise ValueError("A StreamGroup needs at least one source")
        self._readers = {source: StreamReader(source, **options) for source in given}
        self.errors: Dict[Source, BaseException] = {}
        """The exception each failed stream left the group with, by source."""
        # Rung with a stream's place among the sources when it has a frame or news.
        self._bell = FrameBell()
        self._by_key = list(self._readers)
        self._lock = threading.Lock()  # over _active and errors, which converting threads change
        self._active: List[Source] = []
        self._last_frame: Dict[Source, float] = {}
        self._opened = self._closed = False
        self._converting: Optional[ThreadPoolExecutor] = None

    @property
    def sources(self) -> List[Source]:
        """The group's sources, each once, in the order given."""
        return list(self._readers)

    @property
    def readers(self) -> Dict[Source, StreamReader]:
        """The reader of each source (its `info`, `reconnects`, `frames_read`, ...)."""
        return dict(self._readers)

    def open(self) -> "StreamGroup":
        """Starts every stream, several at once, and waits until each plays or fails (those that
        fail are in `errors`).

        :raises RuntimeError: The group is already open, or was closed
        """
        if self._opened or self._closed:
            raise RuntimeError("The StreamGroup is already open" if self._opened else
                               "The StreamGroup was closed")  # fmt: skip
        self._opened = True
        for key, reader in enumerate(self._readers.values()):
            # Frames and news wake the iterating thread; set before the stream starts.
            reader._listen(self._bell, key)
        with ThreadPoolExecutor(min(_OPENING_THREADS, len(self._readers))) as pool:
            opened = pool.map(self._open_one, self._readers)
            now = time.monotonic()
            for source, ok in zip(list(self._readers), opened):
                if ok:
                    self._active.append(source)
                    self._last_frame[source] = now
        helpers = min(_CONVERTING_THREADS, len(self._active)) - 1
        if helpers > 0:
            self._converting = ThreadPoolExecutor(helpers, thread_name_prefix="plumo-group")
        return self

    def _open_one(self, source: Source) -> bool:
        if self._closed:
            return False
        try:
            self._readers[source].open()
            return True
        except Exception as e:  # noqa: BLE001 - the stream leaves the group with it
            self._leave(source, e)
            return False

    def _leave(self, source: Source, error: Optional[BaseException]) -> None:
        if error is not None:
            logger.warning(f"'{redact_url(os.fspath(source))}' leaves the group: {error}")
        with self._lock:  # streams may leave from the converting threads at once
            if error is not None:
                self.errors[source] = error
            if source in self._active:
                self._active.remove(source)
        self._readers[source].close()

    def __iter__(self) -> Iterator[Tuple[Source, Frame]]:
        """`(source, frame)` pairs, as the frames arrive, until every stream has ended or
        failed, or the group is closed."""
        if not self._opened:
            raise RuntimeError("The StreamGroup is not open: call open(), or use it in a with "
                               "statement")  # fmt: skip
        next_sweep = time.monotonic() + _SWEEP
        # Streams that just gave a frame: there may be more where it came from (the appsink
        # rang once for each, and a ring not yet taken is not rung again).
        again: List[Source] = list(self._active)
        while self._active and not self._closed:
            rung = self._bell.wait(0.0 if again else max(0.0, next_sweep - time.monotonic()))
            woken = again + [self._by_key[key] for key in rung]
            if time.monotonic() >= next_sweep:
                woken += self._active
                next_sweep = time.monotonic() + _SWEEP
            # Each stream once, in the order woken, and stepped once here, so that its own
            # frames keep their order.
            woken = [source for source in dict.fromkeys(woken) if source in self._active]
            try:
                stepped = self._step_all(woken)
            except RuntimeError:  # the pool was shut down: the group is closed
                if self._closed:
                    return
                raise
            again = []
            for source, frame in stepped:
                if frame is not None and not self._closed:
                    again.append(source)
                    yield source, frame

    def _step_all(self, woken: List[Source]) -> List[Tuple[Source, Optional[Frame]]]:
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

    def _step_each(self, sources: List[Source]) -> List[Tuple[Source, Optional[Frame]]]:
        return [(source, self._step(source)) for source in sources]

    def _step(self, source: Source) -> Optional[Frame]:
        reader = self._readers[source]
        now = time.monotonic()
        try:
            result = reader._step(now, 0.0)
        except Exception as e:  # noqa: BLE001 - the stream leaves the group with it
            self._leave(source, e)
            return None
        if result is None:
            self._leave(source, None)
            return None
        if result is _NOTHING:
            read_timeout = reader._frame_wait
            if (read_timeout is not None and now - self._last_frame[source] >= read_timeout
                    and not reader._reconnecting):  # fmt: skip
                self._leave(source, reader._timeout(read_timeout))
            return None
        self._last_frame[source] = now
        return result  # type: ignore[return-value]

    def close(self) -> None:
        """Stops every stream and ends the iteration (from any thread). Closing again does
        nothing."""
        self._closed = True
        self._bell.ring(0)  # wakes the iterating thread, which sees the group closed
        for reader in self._readers.values():
            reader.close()
        if self._converting is not None:
            self._converting.shutdown(wait=False)

    def __enter__(self) -> "StreamGroup":
        return self.open()

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open" if self._opened else "not opened"
        return (f"<StreamGroup {len(self._readers)} streams {state}, {len(self._active)} reading, "
                f"{len(self.errors)} failed>")  # fmt: skip
