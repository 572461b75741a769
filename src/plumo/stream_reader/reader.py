"""Reads a video stream, from an HTTP URL or through a pipeline template, into BGR frames."""

import math
import threading
import time
import weakref
from typing import Iterator, Optional
from urllib.parse import urlsplit

import numpy as np

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import Gst, Pipeline, sample_to_ndarray  # isort: skip

from gi.repository import GLib  # noqa: E402

from plumo import sysboot  # noqa: E402
from plumo.errors import InvalidRuntimeOptionError, StreamReadError, StreamSetupError  # noqa: E402
from plumo.logger import logger  # noqa: E402
from plumo.pipeline_factories.base import PipelineFactory, _RateLimiter  # noqa: E402
from plumo.pipeline_factories.custom import CustomPipelineFactory  # noqa: E402
from plumo.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from plumo.stream_reader.knobset import check_knobset  # noqa: E402

SUPPORTED_OPTIONS = {
    # The most frames a second to deliver; None delivers every frame.
    "max_framerate": (int, float, type(None)),
    # Seconds to wait for the stream to start playing.
    "start_timeout": (int, float),
    # Seconds to wait for each frame; None waits as long as the stream stays up.
    "read_timeout": (int, float, type(None)),
}
"""The options a `StreamReader` takes, by name, with the types their values may have."""

DEFAULT_OPTIONS = {"max_framerate": None, "start_timeout": 10.0, "read_timeout": 10.0}

# How long one pull from the appsink may block: between pulls the reader looks at what the bus
# said, so this bounds how late an error is noticed (and how late Ctrl-C is).
_PULL_SLICE = Gst.SECOND // 10
# How long the start waits, at most, for the watcher to hear of the pipeline's own start-up. It
# comes at once with a main loop running; without one the wait gets every message itself.
_WATCHER_GRACE = 1.0
# How long the watcher waits before it passes on again what the start wait needs, when the copy
# it posted came back to itself rather than to the wait.
_NUDGE_RETRY_MS = 5
# What the start wait raises when the stream does not play in time.
_START_TIMEOUT_ERROR = "Timeout while waiting for stream to start"
# How long closing waits for the pipeline to reach NULL.
_CLOSE_TIMEOUT = 5.0


class StreamReader:
    """Reads the frames of one video stream as read-only `(height, width, 3)` BGR arrays.

    The stream is an HTTP URL (MJPEG cameras, or any container and codec GStreamer decodes), or,
    with `template`, a GStreamer launch string with a "{url}" placeholder and an appsink named
    "main_sink" that receives BGR video::

        with StreamReader("http://camera.local/video.mjpg", max_framerate=5) as reader:
            for frame in reader:
                ...

    Options (validated at construction; `InvalidRuntimeOptionError` for unknown names, wrong
    types and out-of-range values):

    - `max_framerate`: at most this many frames a second, or None (default) for all of them.
    - `start_timeout`: seconds to wait for the stream to start playing (default 10).
    - `read_timeout`: seconds to wait for each frame (default 10), or None to wait as long as
      the stream stays up.

    `open()` starts GStreamer (`plumo.sysboot.start()`) if needed, builds the pipeline and waits
    for it to play; `close()` stops it and releases what it holds. A `with` block does both.
    Read frames from one thread; `close()` may come from another and ends the reading.
    """

    def __init__(self, url: str, *, template: Optional[str] = None, **options):
        """
        :param url: The stream's URL
        :param template: A launch string with "{url}" and an appsink named "main_sink", or None
            to read the URL over HTTP with a decoder chosen for the stream
        :param options: See the class documentation
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        :raises InvalidCustomPipelineError: The template has no "{url}"
        :raises ValueError: The URL is not an HTTP URL (without a template), or cannot be filled
            into the template
        """
        if type(url) is not str:
            raise TypeError(f"url must be a str, not {type(url).__name__}")
        if template is not None and type(template) is not str:
            raise TypeError(f"template must be a str or None, not {type(template).__name__}")
        check_knobset(options, SUPPORTED_OPTIONS)
        self._options = {**DEFAULT_OPTIONS, **options}
        self._check_ranges()
        self._url = url
        self._report = _BusReport()
        self._max_framerate = self._options["max_framerate"]
        self._factory: PipelineFactory
        if template is None:
            parts = urlsplit(url)
            if parts.scheme not in ("http", "https") or not parts.netloc:
                raise ValueError(
                    f"'{url}' is not an HTTP URL; give a pipeline template to read other sources"
                )
            self._factory = HTTPPipelineFactory(
                url=url, pipeline_watcher=self._report.watch, on_complete=self._report.complete
            )
            self._factory.max_framerate = self._max_framerate
            self._limit_at_sink = False
        else:
            self._factory = CustomPipelineFactory(
                template, url=url, pipeline_watcher=self._report.watch,
                on_complete=self._report.complete,
            )  # fmt: skip
            # A template is the user's own chain, which the factory does not touch: the limit is
            # applied where its frames reach the appsink.
            self._limit_at_sink = self._max_framerate is not None
        self._pipeline: Optional[Pipeline] = None
        self._appsink = None
        self._finalizer: Optional[weakref.finalize] = None
        self._closed = False
        self._frames_read = 0
        self._left_after_error: Optional[int] = None

    def _check_ranges(self) -> None:
        for name in ("max_framerate", "start_timeout", "read_timeout"):
            value = self._options[name]
            if value is None:
                continue
            if isinstance(value, bool) or not (value > 0 and math.isfinite(value)):
                raise InvalidRuntimeOptionError(
                    f"Option '{name}' should be a positive, finite number, got {value!r}"
                )

    @property
    def url(self) -> str:
        """The stream's URL."""
        return self._url

    @property
    def frames_read(self) -> int:
        """How many frames `read()` has returned so far."""
        return self._frames_read

    @property
    def is_open(self) -> bool:
        """Whether the stream has been opened and not closed."""
        return self._pipeline is not None

    def open(self) -> "StreamReader":
        """Starts the stream and waits until it plays.

        :return: The reader itself
        :raises StreamSetupError: The stream reported an error, or did not start within
            `start_timeout` seconds; nothing is left running
        :raises RuntimeError: The reader is already open, or was closed
        """
        if self._pipeline is not None:
            raise RuntimeError(f"The stream reader for '{self._url}' is already open")
        if self._closed:
            raise RuntimeError(f"The stream reader for '{self._url}' was closed")
        sysboot.start()
        pipeline = self._factory.build()
        # From here on the pipeline is shut down with this reader, or when it is forgotten.
        self._pipeline = pipeline
        self._finalizer = weakref.finalize(self, _shut_down, pipeline)
        try:
            if self._limit_at_sink:
                limiter = _RateLimiter(self._max_framerate)
                pipeline.add_pad_probe(
                    pipeline.appsink.get_static_pad("sink"), Gst.PadProbeType.BUFFER,
                    limiter.on_buffer,
                )  # fmt: skip
            self._wait_until_playing(pipeline)
        except BaseException:
            self.close()
            raise
        self._appsink = pipeline.appsink
        logger.info(f"Reading '{self._url}'")
        return self

    def _wait_until_playing(self, pipeline: Pipeline) -> None:
        report = self._report
        start_timeout = self._options["start_timeout"]
        deadline = time.monotonic() + start_timeout
        # The pipeline's own first state change is on the bus by the time build() returns. Let
        # the watcher have it before the wait competes for messages: the watcher goes by it to
        # tell the stream's news from what a source said before it was linked.
        report.wait_for_start(min(start_timeout, _WATCHER_GRACE))
        if not report.begin_start_wait():
            try:
                try:
                    pipeline.wait_until_playing(max(deadline - time.monotonic(), 0.001))
                finally:
                    report.end_start_wait()
            except StreamSetupError as e:
                if str(e) != _START_TIMEOUT_ERROR:
                    # The wait took an error off the bus; the watcher may be in the middle of an
                    # earlier one. Let it finish before asking which came first.
                    report.catch_up(pipeline, _WATCHER_GRACE)
                cause = report.first_cause(str(e))
                raise StreamSetupError(f"Cannot open '{self._url}': {cause}") from e
        if report.error is not None:
            raise StreamSetupError(f"Cannot open '{self._url}': {report.error}")

    def read(self) -> Optional[np.ndarray]:
        """The next frame, or None at the end of the stream (or once the reader is closed).

        :return: A read-only `(height, width, 3)` uint8 array of BGR pixels, or None
        :raises StreamReadError: The stream reported an error
        :raises TimeoutError: No frame came within `read_timeout` seconds
        :raises RuntimeError: The reader has not been opened
        """
        appsink = self._appsink
        if appsink is None:
            if self._closed:
                return None
            raise RuntimeError(
                f"The stream reader for '{self._url}' is not open: call open(), or use it in a "
                "with statement"
            )
        report = self._report
        read_timeout = self._options["read_timeout"]
        deadline = None if read_timeout is None else time.monotonic() + read_timeout
        while True:
            if report.error is not None:
                return self._drain_after_error(appsink)
            if self._closed:
                return None
            sample = appsink.try_pull_sample(_PULL_SLICE)
            if sample is not None:
                return self._to_frame(sample)
            if appsink.is_eos():
                # A source that fails posts its error, then sends the end of its stream: let the
                # watcher have the pipeline's last word before calling this a proper end.
                report.wait_for_end(_WATCHER_GRACE)
                if report.error is not None:
                    return self._drain_after_error(appsink)
                return None
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"No frame from '{self._url}' within {read_timeout} s")

    def _to_frame(self, sample: Gst.Sample) -> np.ndarray:
        frame = sample_to_ndarray(sample)
        self._frames_read += 1
        return frame

    def _drain_after_error(self, appsink) -> np.ndarray:
        """The frames the appsink held when the error was noticed, one a call; then the error.

        Those frames were decoded before the failure and are sound. The count is bounded, so a
        pipeline that keeps flowing after an error cannot postpone it for ever.
        """
        if self._left_after_error is None:
            self._left_after_error = appsink.get_property("max-buffers")
        if self._left_after_error > 0:
            self._left_after_error -= 1
            sample = appsink.try_pull_sample(0)
            if sample is not None:
                return self._to_frame(sample)
        self._left_after_error = 0
        raise StreamReadError(f"Error reading '{self._url}': {self._report.error}")

    def __iter__(self) -> Iterator[np.ndarray]:
        """The frames, up to the end of the stream."""
        while True:
            frame = self.read()
            if frame is None:
                return
            yield frame

    def close(self) -> None:
        """Stops the stream and releases what its pipeline holds. Closing again does nothing.

        :raises StreamSetupError: The pipeline did not stop within 5 seconds (its resources are
            released all the same)
        """
        self._closed = True
        self._appsink = None
        pipeline, self._pipeline = self._pipeline, None
        finalizer, self._finalizer = self._finalizer, None
        if pipeline is not None:
            logger.info(f"Closing '{self._url}' after {self._frames_read} frames")
        del pipeline
        if finalizer is not None:
            finalizer()

    def __enter__(self) -> "StreamReader":
        return self.open()

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed" if self._closed else "not opened"
        return f"<StreamReader {self._url!r} {state}, {self._frames_read} frames read>"


def _shut_down(pipeline: Pipeline) -> None:
    """Stops the pipeline and undoes what was attached to it, even if the stop times out."""
    try:
        pipeline.set_state(Gst.State.NULL)
        pipeline.wait_until_null(_CLOSE_TIMEOUT)
    finally:
        pipeline.release_resources()


class _BusReport:
    """What the pipeline's bus has said, as the reader's own watcher heard it.

    The watcher runs on the GLib main loop's thread; the reader looks at the report between
    pulls. It holds no reference to the pipeline, so a forgotten reader can be reclaimed.

    The start wait (`wait_until_playing`) and this watcher take messages off the same bus, and
    either may get any one of them: while the reader waits, the watcher passes on what the wait
    needs to end - a fresh copy of an error, or a PLAYING state change - until the wait has it.
    """

    def __init__(self):
        self._lock = threading.Lock()
        self._started = threading.Event()
        self._playing = False
        self._error: Optional[str] = None
        self._error_is_flow = False
        self._ended = threading.Event()
        self._waiting = False
        self._nudges = set()
        self._markers = {}

    @property
    def error(self) -> Optional[str]:
        """The first error the stream reported after its start, or None."""
        return self._error

    def first_cause(self, wait_error: str) -> str:
        """The first cause of a failed start, given what the start wait raised.

        Either the wait or the watcher may have taken the first error off the bus. An element
        that fails posts its own error and then, as its streaming stops, GStreamer's generic one
        ("Internal data stream error."): when that is all the watcher heard, the wait had the
        element's own.
        """
        with self._lock:
            error, is_flow = self._error, self._error_is_flow
        if error is None or (is_flow and wait_error != _START_TIMEOUT_ERROR):
            return wait_error
        return error

    def catch_up(self, pipeline: Pipeline, timeout: float) -> bool:
        """Waits until the watcher has handled every message now on the bus."""
        marker = Gst.Message.new_application(pipeline, Gst.Structure.new_empty("plumo-catch-up"))
        handled = threading.Event()
        with self._lock:
            self._markers[marker.get_seqnum()] = handled
        pipeline.post_message(marker)
        return handled.wait(timeout)

    def wait_for_end(self, timeout: float) -> bool:
        """Waits until the watcher has heard of the end of the stream, or of an error."""
        return self._ended.wait(timeout)

    def complete(self, pipeline: Pipeline) -> None:
        """The factory's on-complete callback: decoded video has reached the appsink."""
        logger.debug(f"{pipeline.get_name()}: decoded video reaches the appsink")

    def wait_for_start(self, timeout: float) -> bool:
        """Waits until the watcher has seen the pipeline's own first state change."""
        return self._started.wait(timeout)

    def begin_start_wait(self) -> bool:
        """Notes that the reader is about to wait for the start; returns True when the outcome
        (playing, or an error) is already known, and there is nothing to wait for."""
        with self._lock:
            if self._playing or self._error is not None:
                return True
            self._waiting = True
            return False

    def end_start_wait(self) -> None:
        with self._lock:
            self._waiting = False

    def watch(self, _bus: Gst.Bus, message: Gst.Message, pipeline: Pipeline) -> bool:
        """The pipeline's bus watch."""
        kind = message.type
        nudge = None
        with self._lock:
            marker = self._markers.pop(message.get_seqnum(), None)
            if marker is not None:
                marker.set()
            elif message.get_seqnum() in self._nudges:
                # A message this watcher posted for the start wait, which came back here: try
                # again a moment later (at once, it would mostly come back again).
                self._nudges.discard(message.get_seqnum())
                if self._waiting:
                    GLib.timeout_add(_NUDGE_RETRY_MS, self._nudge_again, message, pipeline)
            elif kind == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
                self._started.set()
                _, new, _ = message.parse_state_changed()
                if new == Gst.State.PLAYING and not self._playing:
                    self._playing = True
                    nudge = _playing_message(pipeline)
            elif not self._started.is_set():
                # Before the pipeline's own first state change: what a source started early
                # said before it was linked, not news of the stream.
                pass
            elif kind == Gst.MessageType.ERROR:
                error, debug = message.parse_error()
                if self._error is None:
                    self._error = error.message
                    self._error_is_flow = _is_flow_error(error, debug)
                    self._ended.set()
                    logger.error(f"{pipeline.get_name()}: {error.message} ({debug})")
                    nudge = _copy_for_wait(message, pipeline)
            elif kind == Gst.MessageType.EOS:
                self._ended.set()
            if nudge is not None:
                if self._waiting:
                    self._nudges.add(nudge.get_seqnum())
                else:
                    nudge = None
        if nudge is not None:
            pipeline.post_message(nudge)
        return True

    def _nudge_again(self, message: Gst.Message, pipeline: Pipeline) -> bool:
        with self._lock:
            if not self._waiting:
                return False
            nudge = _copy_for_wait(message, pipeline)
            self._nudges.add(nudge.get_seqnum())
        pipeline.post_message(nudge)
        return False  # once


def _is_flow_error(error, debug: Optional[str]) -> bool:
    """Whether this is the error a streaming thread posts when data stopped flowing, as the
    consequence of another element's failure."""
    return error.matches(Gst.StreamError.quark(), Gst.StreamError.FAILED) and (
        "streaming stopped, reason" in (debug or "")
    )


def _playing_message(pipeline: Pipeline) -> Gst.Message:
    return Gst.Message.new_state_changed(
        pipeline, Gst.State.PAUSED, Gst.State.PLAYING, Gst.State.VOID_PENDING
    )


def _copy_for_wait(message: Gst.Message, pipeline: Pipeline) -> Gst.Message:
    """A new message that ends the start wait as `message` would have."""
    if message.type == Gst.MessageType.ERROR:
        error, debug = message.parse_error()
        return Gst.Message.new_error(message.src, error, debug)
    return _playing_message(pipeline)
