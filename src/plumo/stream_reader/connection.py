"""The life of one connection to a stream, in one place: what happens when a camera is down at the
start, when it drops, while it is away and when it comes back.

A `Connection` builds its pipeline with the reader's factory, starts it, hears its bus (the
watcher, `_StreamState`, is the only consumer of the bus and, with the connection's own moves,
the only writer of the state), pulls its frames, notices a drop (an error, a source that lost its
connection, a source gone silent), shuts the pipeline down, waits out the back-off and builds a
new one. `StreamReader` drives one with blocking waits; `StreamGroup` steps many without waiting.
`status` is a snapshot of the state, taken under its lock.

A stream that cannot start is tried again, with `reconnect`, when the cause may pass by itself
(`causes.may_pass`: refused, no answer, unreachable, a server error or a busy camera); a cause no
retry can mend (not found, not authorised, no such host, an untrusted certificate, not a video, a
missing file) ends it, at `open()` or at the first answer of a camera that came up. Once a stream
has played, every drop is tried again, whatever its cause, but for frames too large.
"""

import bisect
import collections
import enum
import math
import random
import threading
import time
import weakref
from dataclasses import asdict, dataclass
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import (  # isort: skip
    BufferWatch,
    FrameBell,
    Gst,
    Pipeline,
    SampleConversionError,
)

from gi.repository import GLib  # noqa: E402

from plumo.errors import FrameTooLargeError, StreamReadError, StreamSetupError  # noqa: E402
from plumo.logger import logger  # noqa: E402
from plumo.pipeline_factories.base import BUFFER_SRC_NAME, PipelineFactory  # noqa: E402
from plumo.stream_reader.causes import FailureEvidence, may_pass  # noqa: E402
from plumo.stream_reader.frame import Frame  # noqa: E402
from plumo.stream_reader.info import StreamInfo, describe_stream  # noqa: E402
from plumo.utils.urls import redact_text, redact_url  # noqa: E402

# How long a step, at the appsink's end of stream, waits for the watcher to hear how the stream
# ended: a source that fails posts its error and then sends the end of its stream.
_WATCHER_GRACE = 1.0
# After an error, the frames still on their way to the appsink were decoded before the failure
# and are delivered; a pipeline that keeps flowing after its error cannot put it off for longer.
_FRAMES_AFTER_ERROR = 64
# How long closing waits for the pipeline to reach NULL.
_CLOSE_TIMEOUT = 5.0
# How long, at most, finding the cause of a failure may look at the network (when the source
# said nothing useful).
_DIAGNOSIS_TIME = 2.0
# With reconnection, a stream whose source has brought nothing for this long has dropped (a
# camera that loses power sends no reset, and an RTSP camera's UDP packets just stop).
_STALL_TIME = 10.0
# The frame rate in `status` counts the frames of this many last seconds (and at most this many
# frames, by their spacing).
_FPS_WINDOW = 5.0
_FPS_FRAMES = 512

# The domain of the errors and warnings about a stream's source: its files, its connections.
_RESOURCE_ERRORS = GLib.quark_to_string(Gst.ResourceError.quark())

NOTHING: Any = object()
"""What a step gives when no frame is there yet."""


@dataclass(frozen=True)
class Backoff:
    """How long to wait before the next attempt: `first` after a drop, twice as long after each
    failed attempt, up to `longest`, each wait spread by up to `jitter` (a fraction) either way,
    so that cameras that dropped together do not all come back at the same instant."""

    first: float = 0.5
    longest: float = 30.0
    jitter: float = 0.25

    def wait(self, failures: int) -> float:
        """The wait after `failures` failures in a row (0: the drop itself)."""
        wait = min(self.longest, self.first * 2 ** min(failures, 16))
        return wait * random.uniform(1 - self.jitter, 1 + self.jitter)

    @property
    def most(self) -> float:
        """The longest any wait can be."""
        return self.longest * (1 + self.jitter)


BACKOFF = Backoff()
"""The reader's back-off: 0.5 s, doubling up to 30 s, spread by a quarter either way."""


STATES = ("connecting", "streaming", "reconnecting", "ended", "failed", "closed")
"""The states of a stream in `StreamStatus.state`."""


@dataclass(frozen=True)
class StreamStatus:
    """How a stream is doing, at one moment (`StreamReader.status`, `StreamGroup.status()`)."""

    state: str
    """"connecting" (not played yet: starting, or waiting to try again), "streaming",
    "reconnecting" (dropped after it had played), "ended", "failed" or "closed"."""
    since: float
    """When it entered that state (`time.time()`)."""
    frames: int
    """Frames handed out so far."""
    fps: float
    """Frames handed out a second, over the last 5 seconds."""
    last_frame_age: Optional[float]
    """Seconds since the last frame was handed out; None before the first."""
    reconnects: int
    """New connections made after drops."""
    drops: int
    """Times the stream dropped (the reconnections that followed are `reconnects`)."""
    frames_dropped: int
    """Decoded frames replaced by newer ones before they were read (`latest`)."""
    last_error: Optional[str]
    """The last failure's cause, in one line with credentials masked; None if none came."""

    def to_dict(self) -> Dict[str, Any]:
        return asdict(self)


class _Phase(enum.Enum):
    STARTING = "starting"  # a pipeline is starting
    PLAYING = "playing"
    FAILED = "failed"  # the pipeline reported an error
    ENDED = "ended"
    WAITING = "waiting"  # no pipeline: the next attempt is due later
    CLOSED = "closed"


class Connection:
    """One stream's connection, from its first attempt to its close: see the module's text.

    Its pipelines come from `factory` (set before `begin()`; made with `watch` and `complete`
    as its watcher and on-complete callbacks), are prepared by `prepare(pipeline, appsink)`, and
    hand out frames through `convert(appsink, wait)`, which gives `(image, pts)` or None.
    """

    def __init__(
        self,
        url: str,
        *,
        ca_file: Optional[str],
        verify: bool,
        start_timeout: float,
        reconnect: bool,
        latest: bool,
        backoff: Backoff = BACKOFF,
    ):
        """:raises TypeError, ValueError: `ca_file` is not a path to a readable CA file"""
        self._url = url
        self._shown_url = redact_url(url)
        self._state = _StreamState(url, ca_file, verify=verify, reconnect=reconnect)
        self._start_timeout = start_timeout
        self._reconnect = reconnect
        self._latest = latest
        self._backoff = backoff
        self.factory: Optional[PipelineFactory] = None
        self.prepare: Callable[[Pipeline, Any], None] = lambda _pipeline, _appsink: None
        self.convert: Callable[[Any, float], Optional[Tuple[Any, Optional[float]]]]
        # The pipeline and its finalizer change hands between the thread that steps (which
        # builds, and rebuilds after a drop) and close(), which may come from another.
        self._lock = threading.Lock()
        self._pipeline: Optional[Pipeline] = None
        self.appsink: Any = None  # the current pipeline's appsink
        self._finalizer: Optional[weakref.finalize] = None
        self._closed = False
        self._info: Optional[StreamInfo] = None
        self._frames_after_error = 0
        self._eos_at: Optional[float] = None  # when the appsink was first found at its end
        # When the next attempt is due (None: one is running, or none is needed), how many
        # attempts failed in a row, when the drop (or the first failure) came, and when the
        # current attempt must have started by.
        self._retry_at: Optional[float] = None
        # A pipeline built and not yet seen playing (it may play before anyone looks again).
        self._attempting = False
        self._failed_attempts = 0
        self._away_since = 0.0
        self._start_deadline = 0.0

    # --- what the reader and the group read -----------------------------------------------

    @property
    def watch(self):
        """The bus watch to give the factory."""
        return self._state.watch

    @property
    def complete(self):
        """The on-complete callback to give the factory."""
        return self._state.complete

    @property
    def pipeline(self) -> Optional[Pipeline]:
        return self._pipeline

    @property
    def info(self) -> Optional[StreamInfo]:
        return self._info

    @property
    def frames(self) -> int:
        return self._state.frames

    @property
    def reconnects(self) -> int:
        return self._state.reconnects

    @property
    def frames_dropped(self) -> int:
        return self._state.frames_dropped

    @property
    def status(self) -> StreamStatus:
        return self._state.status()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def waiting_for_connection(self) -> bool:
        """Whether the stream is not up yet, or dropped and is not back yet."""
        return (self._retry_at is not None or self._attempting
                or self._state.phase in (_Phase.STARTING, _Phase.WAITING))  # fmt: skip

    def listen(self, bell: FrameBell, key: int) -> None:
        """Has `bell` rung with `key` whenever a frame reaches the appsink (from GStreamer's
        streaming thread, without the GIL) and whenever the state changes, for a connection that
        is stepped without waiting (`StreamGroup`). Set before `begin()`."""
        self._state.bell = (bell, key)

    # --- the first attempt ----------------------------------------------------------------

    def begin(self) -> None:
        """Builds the first pipeline and starts it, without waiting for it to play.

        :raises StreamSetupError: The factory could not build it (a missing file, an untrusted
            certificate found before the stream began), or the connection was closed
        """
        self._away_since = time.monotonic()
        try:
            self._attempt()
        except StreamSetupError as e:
            if not self._closed:
                self._state.give_up(str(e).partition("': ")[2] or str(e))
            raise

    def settle(self) -> None:
        """Waits for the first attempt's outcome: returns once the stream plays, or, with
        `reconnect`, once the attempt failed for a cause that may pass (the next attempt is then
        due after the back-off).

        :raises StreamSetupError: The attempt failed for a cause no retry can mend, or failed at
            all without `reconnect`, or the connection was closed meanwhile
        """
        while self._attempting:
            if self._attempt_outcome(math.inf):
                return
        if self._closed or self._state.phase is _Phase.CLOSED:
            raise StreamSetupError(f"Cannot open '{self._shown_url}': the reader was closed")

    # --- reading --------------------------------------------------------------------------

    def step(self, until: float, pull_wait: float):
        """One move of the reading: the next frame, None at the end of the stream, or `NOTHING`
        when there is none yet. Waits for the stream's news until `until` at most, and for a
        frame `pull_wait` seconds at most (`StreamGroup` steps without waiting).

        :raises StreamReadError: The stream failed (without `reconnect`)
        :raises StreamSetupError: The stream never played, and failed for a cause no retry can
            mend (or at all, without `reconnect`)
        """
        state = self._state
        if self._closed:
            return None
        if self._retry_at is not None:
            self._retry_when_due(until)
            return NOTHING
        phase = state.phase
        if phase is _Phase.CLOSED:
            return None
        if phase is _Phase.STARTING or self._attempting:
            if not self._attempt_outcome(until):
                return NOTHING
            phase = state.phase
        appsink = self.appsink
        if appsink is None:  # closed by another thread meanwhile
            return None
        if phase is _Phase.FAILED:
            frame = self._frame_after_error(appsink, pull_wait)
            if frame is not None:
                return frame
            # Frames too large stay too large: that is no drop to come back from.
            if self._reconnect and not state.frame_too_large:
                self._drop(state.cause())
                return NOTHING
            error = FrameTooLargeError if state.frame_too_large else StreamReadError
            raise error(f"Error reading '{self._shown_url}': {state.give_up()}")
        frame = self._pull(appsink, pull_wait)
        if frame is not None:
            self._failed_attempts = 0
            return frame
        if appsink.is_eos():
            # Let the watcher have the pipeline's last word before calling this an end.
            now = time.monotonic()
            if self._eos_at is None:
                self._eos_at = now
            grace_over = self._eos_at + _WATCHER_GRACE
            phase = state.wait_while(_Phase.PLAYING, min(grace_over, until) - now)
            if phase is _Phase.PLAYING and time.monotonic() < grace_over:
                return NOTHING
            if phase in (_Phase.FAILED, _Phase.CLOSED):
                return NOTHING
            state.end()
            return None
        if self._reconnect and state.quiet_for() >= _STALL_TIME:
            self._drop(f"nothing came from the source for {_STALL_TIME:g} s")
        return NOTHING

    def timeout_error(self, read_timeout: Optional[float]) -> TimeoutError:
        if self.waiting_for_connection:
            doing = " (reconnecting)" if self._state.streamed else " (connecting)"
        else:
            doing = ""
        return TimeoutError(f"No frame from '{self._shown_url}' within {read_timeout} s{doing}")

    def close(self) -> None:
        """Stops the stream and releases what its pipeline holds. Closing again does nothing."""
        self._closed = True
        self._state.close()
        with self._lock:
            pipeline, self._pipeline = self._pipeline, None
            finalizer, self._finalizer = self._finalizer, None
            # Its last frame holds the decoder's buffer pool, and that pool's sockets.
            self.appsink = None
        del pipeline
        if finalizer is not None:
            finalizer()

    # --- attempts, drops and the back-off -------------------------------------------------

    def _attempt(self) -> None:
        """Builds a pipeline and makes it the connection's; it is starting then."""
        assert self.factory is not None, "the connection has no factory"
        self._start_deadline = time.monotonic() + self._start_timeout
        try:
            pipeline = self.factory.build()
        except StreamSetupError as e:
            raise StreamSetupError(f"Cannot open '{self._shown_url}': {e}") from e
        # From here on the pipeline is shut down with this connection, or when it is forgotten.
        finalizer = weakref.finalize(self, _shut_down, pipeline)
        appsink = pipeline.appsink
        with self._lock:
            closed = self._closed
            if not closed:
                self._pipeline, self._finalizer = pipeline, finalizer
                self.appsink = appsink
        if closed:  # by another thread, before the finalizer was there to run
            finalizer()
            raise StreamSetupError(f"Cannot open '{self._shown_url}': the reader was closed")
        sink_pad = appsink.get_static_pad("sink")
        if self._reconnect:
            source = pipeline.get_by_name(BUFFER_SRC_NAME)
            pad = source.get_static_pad("src") if source is not None else None
            if pad is not None:
                self._state.watch_data(pad)
        self.prepare(pipeline, appsink)
        # After the frames that sampling drops: they are not the reader's to count.
        self._state.hear(pipeline, sink_pad, count_frames=self._latest)
        if self._state.bell is not None:
            # Once the frame is in the appsink, where a pull without waiting finds it.
            bell, key = self._state.bell
            bell.watch(appsink, key)
        self._attempting = True

    def _attempt_outcome(self, until: float) -> bool:
        """Waits for the running attempt to play, until `until` at most and within its start
        timeout; whether it played (it may have failed or ended since, after frames of its own).
        An attempt that failed is dropped (to be tried again), or ends the stream."""
        state = self._state
        phase = state.wait_while(_Phase.STARTING, min(until, self._start_deadline) - time.monotonic())
        if phase is _Phase.CLOSED:
            self._attempting = False
            return False
        if phase is _Phase.PLAYING or (phase is not _Phase.STARTING and state.played):
            self._attempting = False
            self._connected()
            return True
        if phase is _Phase.STARTING and time.monotonic() < self._start_deadline:
            return False
        self._attempting = False
        cause = self._start_cause(phase)
        if state.streamed or (self._reconnect and self._may_pass(phase, cause)):
            self._drop(cause)
            return False
        error = FrameTooLargeError if state.frame_too_large else StreamSetupError
        raise error(f"Cannot open '{self._shown_url}': {state.give_up(cause)}")

    def _may_pass(self, phase: _Phase, cause: str) -> bool:
        """Whether a stream that never played, whose attempt ended in `phase`, may start when
        tried again."""
        if phase is _Phase.STARTING:
            return True  # no answer in time
        if phase is _Phase.ENDED or self._state.frame_too_large:
            return False
        return may_pass(self._state.evidence, cause)

    def _start_cause(self, phase: _Phase) -> str:
        """Why an attempt that ended in `phase` did not start, in one line."""
        if phase is _Phase.STARTING:
            cause = f"Timeout while waiting for stream to start ({self._start_timeout} s)"
            stalled = self._state.evidence.stalled(diagnose_within=_DIAGNOSIS_TIME)
            if stalled:
                cause += f": {stalled}"
            if _nobody_runs_the_main_loop():
                cause += (
                    "; nothing runs the default GLib main context, where the reader hears of its "
                    "stream: start plumo with sysboot.start(), or run a GLib main loop"
                )
            return cause
        if phase is _Phase.ENDED:
            return "the stream ended before its first frame"
        return self._state.cause()

    def _connected(self) -> None:
        """The pipeline plays and its frames' size is known: describe the stream, and say it is
        back if it was away."""
        pipeline, caps = self._pipeline, self._state.caps
        if pipeline is not None and caps is not None:
            self._info = describe_stream(pipeline, caps)
        away = time.monotonic() - self._away_since
        attempts = f"{self._failed_attempts} attempt{'s' if self._failed_attempts != 1 else ''}"
        if self._state.rejoined():
            logger.info(f"'{self._shown_url}' reconnected after {away:.1f} s ({attempts})")
        elif self._failed_attempts:
            logger.info(f"'{self._shown_url}' is up after {away:.1f} s ({attempts})")

    def _drop(self, cause: str) -> None:
        """The stream dropped, or an attempt failed: shuts the pipeline down and schedules the
        next attempt."""
        with self._lock:
            pipeline, self._pipeline = self._pipeline, None
            finalizer, self._finalizer = self._finalizer, None
            self.appsink = None
        self._attempting = False
        wait = self._backoff.wait(self._failed_attempts)
        dropped = self._state.wait_for_retry(pipeline, cause)
        del pipeline
        if finalizer is not None:
            finalizer()
        if self._closed:
            return
        if dropped:
            self._away_since = time.monotonic()
            logger.warning(f"'{self._shown_url}' dropped: {cause}; reconnecting in {wait:.1f} s")
        elif self._failed_attempts == 0:  # the first attempt of a stream that never played
            logger.warning(f"'{self._shown_url}' cannot be reached yet: {cause}; trying again in "
                           f"{wait:.1f} s")  # fmt: skip
        else:
            # Said once; a camera that stays away does not fill the log.
            log = logger.info if self._failed_attempts == 1 else logger.debug
            log(f"'{self._shown_url}': attempt {self._failed_attempts} failed: {cause}; next in "
                f"{wait:.1f} s")  # fmt: skip
        self._failed_attempts += 1
        self._retry_at = time.monotonic() + wait

    def _retry_when_due(self, until: float) -> None:
        """Waits for the next attempt (until `until` at most, or close()), then, when it is due,
        builds the new pipeline."""
        assert self._retry_at is not None
        due = self._retry_at
        if self._state.wait_closed(min(due, until) - time.monotonic()):
            return
        if time.monotonic() < due:
            return
        self._retry_at = None
        self._eos_at = None
        self._frames_after_error = 0
        self._state.restart()
        try:
            self._attempt()
        except StreamSetupError as e:
            self._drop(str(e).partition("': ")[2] or str(e))

    # --- frames ---------------------------------------------------------------------------

    def _pull(self, appsink, wait: float) -> Optional[Frame]:
        """The appsink's next frame, waited for at most `wait` seconds; None if none came."""
        state = self._state
        arrived = state.frames_arrived
        try:
            pulled = self.convert(appsink, wait)
        except SampleConversionError as e:
            # A frame that does not hold what its caps say: never hand it out.
            raise StreamReadError(f"Error reading '{self._shown_url}': {e}") from e
        if pulled is None:
            return None
        image, pts = pulled
        index = state.note_frame(arrived if self._latest else None)
        return Frame(image, pts, index, time.time())

    def _frame_after_error(self, appsink, wait: float) -> Optional[Frame]:
        """A frame that was on its way to the appsink when the stream failed, or None when no
        more come.

        Those frames were decoded before the failure and are sound. They are taken while they
        keep coming (up to the appsink's end of stream), and no more than a bounded number.
        """
        if self._frames_after_error < _FRAMES_AFTER_ERROR and not self._closed:
            self._frames_after_error += 1
            frame = self._pull(appsink, wait)
            if frame is not None:
                return frame
        self._frames_after_error = _FRAMES_AFTER_ERROR
        return None


def _rate(times: List[float], now: float) -> float:
    """Frames a second over the last `_FPS_WINDOW` seconds, from the times frames were handed
    out: from the first of them to now, which lowers the rate as soon as frames stop coming;
    from the first to the last while they have come for less than a second."""
    recent = len(times) - bisect.bisect_right(times, now - _FPS_WINDOW)
    if recent == 0:
        return 0.0
    first = times[-recent]
    if now - first >= 1.0:
        return recent / (now - first)
    return (recent - 1) / (times[-1] - first) if times[-1] > first else 0.0


def _shut_down(pipeline: Pipeline) -> None:
    """Stops the pipeline and undoes what was attached to it, even if the stop times out."""
    try:
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(_CLOSE_TIMEOUT)
    finally:
        pipeline.release_resources()


def _nobody_runs_the_main_loop() -> bool:
    context = GLib.MainContext.default()
    if not context.acquire():
        return False  # another thread runs it
    context.release()
    return True


class _StreamState:
    """What the pipeline's bus and appsink said, as the watcher and probes heard them, what the
    connection did about it (drops, attempts, frames handed out), and whether it was closed: the
    one thing that `open()`, `read()` and `close()` wait on, and that `status` shows.

    The watcher (on the GLib main loop's thread) is the only code that takes the pipeline's bus
    messages, and with the connection's own moves (`close()`, a drop, a new attempt) the only
    writer of the phase. A pipeline the connection has given up (`wait_for_retry`) is no longer
    heard. It holds no reference to a pipeline, so a forgotten reader can be reclaimed.
    """

    def __init__(self, url: str, ca_file: Optional[str], verify: bool = True,
                 reconnect: bool = False):  # fmt: skip
        self._changed = threading.Condition()
        self._url = url
        self._ca_file = ca_file
        self._verify = verify
        self._reconnect = reconnect
        self._shown_url = redact_url(url)
        self._retired: "weakref.WeakSet[Pipeline]" = weakref.WeakSet()
        # Rung with its key at every change of phase, for a connection that is stepped (listen).
        self.bell: Optional[Tuple[FrameBell, int]] = None
        self._phase = _Phase.STARTING
        # The frames that reached the appsinks of the connections given up, and of this one.
        self._arrived_before = 0
        self._arrivals = BufferWatch()
        # What the status shows, beyond the phase.
        self.streamed = False  # whether any connection played
        self._streamed_before = False  # whether one played before the current attempt
        self._gave_up: Optional[str] = None  # the cause the stream ended with, for good
        self.frames = 0
        self.frames_dropped = 0
        self.reconnects = 0
        self._drops = 0
        self._last_error: Optional[str] = None
        self._frame_times: Deque[float] = collections.deque(maxlen=_FPS_FRAMES)
        self._shown_state = self._public_state()
        self._since = time.time()
        self._begin()

    def _begin(self) -> None:
        """What is known of a connection before it has said anything."""
        self.evidence = FailureEvidence(self._url, ca_file=self._ca_file, verify=self._verify)
        self._heard_own_start = False
        self._pipeline_playing = False
        self.played = False  # whether this connection reached PLAYING (it may have left it since)
        self.caps: Optional[Gst.Caps] = None
        self._cause: Optional[str] = None
        self.frame_too_large = False
        # What comes out of the source, from now on (the clock of its silence starts here).
        self._source_data = BufferWatch()
        self._lost: Optional[str] = None  # a source's warning that its connection is gone

    @property
    def phase(self) -> _Phase:
        return self._phase

    @property
    def frames_arrived(self) -> int:
        """The frames that reached the appsink so far (counted with `count_frames`)."""
        # Under the lock: a drop moves the count from one to the other.
        with self._changed:
            return self._arrived_before + self._arrivals.count

    # --- the status -----------------------------------------------------------------------

    def _public_state(self) -> str:
        """The state `status` shows; called with the lock held."""
        phase = self._phase
        if self._gave_up is not None:
            return "failed"
        if phase is _Phase.CLOSED:
            return "closed"
        if phase is _Phase.PLAYING:
            return "streaming"
        if phase is _Phase.ENDED and (self.played or not self._reconnect):
            return "ended"
        if phase is _Phase.FAILED and (not self._reconnect or self.frame_too_large):
            return "failed"
        return "reconnecting" if self.streamed else "connecting"

    def _changed_now(self) -> None:
        """Called with the lock held after any change: wakes the waiters, notes when the shown
        state changed, and rings the bell."""
        self._changed.notify_all()
        shown = self._public_state()
        if shown != self._shown_state:
            self._shown_state, self._since = shown, time.time()
        self._tell()

    def status(self) -> "StreamStatus":
        now = time.monotonic()
        with self._changed:
            times = list(self._frame_times)
            return StreamStatus(
                state=self._shown_state, since=self._since, frames=self.frames,
                fps=_rate(times, now), last_frame_age=now - times[-1] if times else None,
                reconnects=self.reconnects, drops=self._drops,
                frames_dropped=self.frames_dropped, last_error=self._last_error,
            )  # fmt: skip

    def note_frame(self, arrived: Optional[int]) -> int:
        """A frame is handed out; with `arrived` (the frames that had reached the appsink before
        it was pulled, in newest-frame mode), all but this one of those were dropped. Returns the
        frame's index."""
        with self._changed:
            index = self.frames
            self.frames += 1
            self._frame_times.append(time.monotonic())
            if arrived is not None:
                # One arriving during the pull is counted at the next.
                self.frames_dropped = max(self.frames_dropped, arrived - self.frames)
            return index

    def give_up(self, cause: Optional[str] = None) -> str:
        """The stream ends for good with `cause` (default: the failure's): its state is "failed"
        from now on. Returns the cause."""
        cause = self.cause() if cause is None else cause
        with self._changed:
            self._gave_up = self._last_error = cause
            self._changed_now()
        return cause

    def rejoined(self) -> bool:
        """A new connection plays after a failure; whether it is a reconnection (the stream had
        played before it dropped)."""
        with self._changed:
            self.reconnects += self._streamed_before
            return self._streamed_before

    # --- the connection's moves -----------------------------------------------------------

    def cause(self) -> str:
        """Why the stream failed, in one line (found once, on the caller's thread: it may look at
        the network for a moment when the source said nothing useful)."""
        if self._cause is None:
            cause = self.evidence.cause(diagnose_within=_DIAGNOSIS_TIME)
            self._cause = cause if cause is not None else "unknown error"
        return self._cause

    def wait_while(self, phase: _Phase, timeout: float) -> _Phase:
        """Waits until the phase is no longer `phase`, for at most `timeout` seconds; returns
        the phase then. Ctrl-C ends the wait (the wait is Python's, which signals interrupt)."""
        with self._changed:
            self._changed.wait_for(lambda: self._phase is not phase, max(0.0, timeout))
            return self._phase

    def wait_closed(self, timeout: float) -> bool:
        """Waits for `close()` for at most `timeout` seconds; whether it came."""
        with self._changed:
            return self._changed.wait_for(
                lambda: self._phase is _Phase.CLOSED, max(0.0, timeout)
            )  # fmt: skip

    def close(self) -> None:
        self._enter(_Phase.CLOSED)

    def end(self) -> None:
        """The reading found the end of the stream."""
        self._enter(_Phase.ENDED)

    def wait_for_retry(self, pipeline: Optional[Pipeline], cause: str) -> bool:
        """The connection gave `pipeline` up after a drop or a failed attempt for `cause`: what it
        says from now on is not heard, and the next attempt waits. Returns whether it was a drop
        (the connection had played)."""
        with self._changed:
            if pipeline is not None:
                self._retired.add(pipeline)
            # What reaches its appsink from now on is not counted.
            self._arrived_before += self._arrivals.count
            self._arrivals = BufferWatch()
            self._last_error = cause
            dropped = self.played
            self._drops += dropped
            if self._phase is not _Phase.CLOSED:
                self._phase = _Phase.WAITING
                self._changed_now()
            return dropped

    def restart(self) -> None:
        """A new attempt begins."""
        with self._changed:
            if self._phase is _Phase.CLOSED:
                return
            self._streamed_before = self.streamed
            self._begin()
            self._phase = _Phase.STARTING
            self._changed_now()

    def hear(self, pipeline: Pipeline, sink_pad: Gst.Pad, *, count_frames: bool) -> None:
        """Listens at the appsink's pad of the connection's new `pipeline` for the frames'
        format (the stream has started once the pipeline plays and it is known), and, with
        `count_frames`, counts the frames that arrive there (in C: frames come at the stream's
        rate)."""
        heard = weakref.ref(pipeline)
        pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.EVENT_DOWNSTREAM, self._on_event, heard)
        if count_frames:
            self._arrivals.watch(sink_pad)
        # The pipeline was started before the probe was there, and its first frame may have
        # passed it already.
        caps = sink_pad.get_current_caps()
        if caps is not None:
            self._on_caps(caps)

    def watch_data(self, pad: Gst.Pad) -> None:
        """Notes when data last came out of the source's `pad` (in C: it comes packet by
        packet)."""
        self._source_data.watch(pad)

    def quiet_for(self) -> float:
        """Seconds since the source last brought data (or since the connection began)."""
        return self._source_data.quiet_for()

    # --- what the pipeline says -----------------------------------------------------------

    def _heard(self, pipeline) -> bool:
        return pipeline is not None and pipeline not in self._retired

    def _on_event(self, _pad: Gst.Pad, info: Gst.PadProbeInfo, heard) -> Gst.PadProbeReturn:
        event = info.get_event()
        if event is not None and event.type == Gst.EventType.CAPS and self._heard(heard()):
            self._on_caps(event.parse_caps())
        return Gst.PadProbeReturn.OK

    def _tell(self) -> None:
        if self.bell is not None:
            bell, key = self.bell
            bell.ring(key)  # never waits: it may be rung with the lock held

    def _on_caps(self, caps: Gst.Caps) -> None:
        with self._changed:
            self.caps = caps
            self._started()

    def _started(self) -> None:
        """Called with the lock held: enters PLAYING once the pipeline plays and its frames'
        format is known."""
        if self._phase is _Phase.STARTING and self._pipeline_playing and self.caps is not None:
            self._phase = _Phase.PLAYING
            self.played = self.streamed = True
            self._changed_now()

    def complete(self, pipeline: Pipeline) -> None:
        """The factory's on-complete callback: decoded video has reached the appsink."""
        logger.debug(f"{self._shown_url}: decoded video reaches the appsink")

    def _enter(self, phase: _Phase) -> None:
        with self._changed:
            if self._phase is _Phase.CLOSED:
                return
            self._phase = phase
            self._changed_now()

    def watch(self, _bus: Gst.Bus, message: Gst.Message, pipeline: Pipeline) -> bool:
        """The pipeline's bus watch."""
        if not self._heard(pipeline):
            return True
        kind = message.type
        if kind == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
            self._heard_own_start = True
            _, new, _ = message.parse_state_changed()
            if new == Gst.State.PLAYING:
                with self._changed:
                    self._pipeline_playing = True
                    self._started()
            return True
        if not self._heard_own_start:
            # Before the pipeline's own first state change: what a source started early said
            # before it was linked, not news of the stream.
            return True
        self.evidence.note(message)
        if kind == Gst.MessageType.ERROR:
            error, debug = message.parse_error()
            source = message.src.get_name() if message.src is not None else "?"
            said = error.message
            if debug and debug != said:
                said += f" ({debug})"
            # GStreamer's own words (its source files, functions and element paths) are for
            # debugging; the cause, in one line, comes with the drop or the error raised.
            logger.debug(redact_text(f"{self._shown_url}: {source}: {' '.join(said.split())}",
                                     self._url))  # fmt: skip
            if self._phase is not _Phase.FAILED:  # the first error is the failure's
                details = message.parse_error_details()
                self.frame_too_large = details is not None and details.has_name(
                    "plumo-frame-too-large"
                )
                with self._changed:
                    # What it said, until the cause is found (on the reading thread); a cause
                    # found for an earlier attempt stands until then.
                    if self._last_error is None:
                        self._last_error = redact_text(" ".join(error.message.split()), self._url)
                    if self._lost is not None:
                        # Over UDP, rtspsrc then tries the server again, and fails to connect.
                        self._cause = f"the connection was lost ({self._lost})"
                self._enter(_Phase.FAILED)
        elif kind == Gst.MessageType.WARNING:
            error, _ = message.parse_warning()
            if error.domain == _RESOURCE_ERRORS and self._lost is None:
                # rtspsrc says its connection is gone only in a warning, before the end of
                # stream it sends down.
                source = message.src.get_name() if message.src is not None else "?"
                self._lost = redact_text(f"{source}: {error.message}", self._url)
        elif kind == Gst.MessageType.EOS:
            if self._lost is not None and self._phase is not _Phase.FAILED:
                # Not the stream's end: the source lost its connection and gave up.
                with self._changed:
                    self._cause = f"the connection was lost ({self._lost})"
                self._enter(_Phase.FAILED)
            elif self._phase in (_Phase.STARTING, _Phase.PLAYING):
                self._enter(_Phase.ENDED)
        return True

