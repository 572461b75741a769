"""Reads a video stream, from an HTTP URL or through a pipeline template, into frames."""

import enum
import math
import os
import threading
import time
import weakref
from typing import Iterator, Optional
from urllib.parse import urlsplit

import numpy as np

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import (  # isort: skip
    Gst,
    Pipeline,
    SampleConversionError,
    pull_frame,
)

from gi.repository import GLib  # noqa: E402

from plumo import sysboot  # noqa: E402
from plumo.errors import (  # noqa: E402
    FrameTooLargeError,
    InvalidCustomPipelineError,
    InvalidRuntimeOptionError,
    StreamReadError,
    StreamSetupError,
)
from plumo.logger import logger  # noqa: E402
from plumo.pipeline_factories.base import PipelineFactory  # noqa: E402
from plumo.pipeline_factories.guards import (  # noqa: E402
    DEFAULT_MAX_FRAME_PIXELS,
    refuse_large_frames,
)
from plumo.pipeline_factories.custom import CustomPipelineFactory  # noqa: E402
from plumo.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from plumo.pipeline_factories.sampling import Sampling  # noqa: E402
from plumo.stream_reader.causes import FailureEvidence  # noqa: E402
from plumo.stream_reader.frame import Frame  # noqa: E402
from plumo.stream_reader.knobset import check_knobset  # noqa: E402
from plumo.utils.urls import redact_text, redact_url  # noqa: E402

SUPPORTED_OPTIONS = {
    # The most frames a second to deliver; None delivers every frame.
    "max_framerate": (int, float, type(None)),
    # Seconds to wait for the stream to start playing.
    "start_timeout": (int, float),
    # Seconds to wait for each frame; None waits as long as the stream stays up.
    "read_timeout": (int, float, type(None)),
    # A PEM file of the CAs an HTTPS stream's certificate may come from, instead of the system's.
    "ca_file": (str, os.PathLike, type(None)),
    # The most pixels a frame may have; larger frames end the stream before they are decoded
    # into memory. None: no limit.
    "max_frame_pixels": (int, type(None)),
    # The frames' pixels: "bgr", "rgb", or "gray" (the luma alone, full range).
    "pixel_format": (str,),
    # Keyframes alone, the others never decoded.
    "keyframes_only": (bool,),
}
"""The options a `StreamReader` takes, by name, with the types their values may have."""

DEFAULT_OPTIONS = {
    "max_framerate": None,
    "start_timeout": 10.0,
    "read_timeout": 10.0,
    "ca_file": None,
    "max_frame_pixels": DEFAULT_MAX_FRAME_PIXELS,
    "pixel_format": "bgr",
    "keyframes_only": False,
}

PIXEL_FORMATS = ("bgr", "rgb", "gray")
"""The values of the `pixel_format` option."""

# How long one pull from the appsink may block, in seconds. Nothing on the bus wakes a pull, so
# this bounds how late `read()` notices an error or a close.
_PULL_SLICE = 0.1
# How long `read()`, at the appsink's end of stream, waits for the watcher to hear how the stream
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


class _Phase(enum.Enum):
    STARTING = "starting"
    PLAYING = "playing"
    ENDED = "ended"
    FAILED = "failed"
    CLOSED = "closed"


class StreamReader:
    """Reads the frames of one video stream as read-only arrays: `(height, width, 3)` BGR (or
    RGB), or `(height, width)` gray.

    The stream is an HTTP URL (MJPEG cameras, or any container and codec GStreamer decodes), or,
    with `template`, a GStreamer launch string with a "{url}" placeholder and an appsink named
    "main_sink" that receives BGR video (or 8-bit YUV: I420, YV12, NV12, NV21, Y42B, Y444)::

        with StreamReader("http://camera.local/video.mjpg", max_framerate=5) as reader:
            for image in reader:
                ...

    `read_frame()` gives each frame with its timestamp and index (a `Frame`); `read()` and
    iteration give the arrays alone. The decoder's pictures are converted in compiled code, into
    the array itself, with the GIL released, using the colour matrix and range the stream gives
    (BT.601, BT.709 or BT.2020; where it does not say, as GStreamer assumes: BT.709 above 576
    lines, BT.601 up to them, limited range).

    Options (validated at construction; `InvalidRuntimeOptionError` for unknown names, wrong
    types and out-of-range values):

    - `max_framerate`: at most this many frames a second, or None (default) for all of them:
      the first frame at or after each slot of 1/max_framerate seconds, by the frames' own
      timestamps (by the clock for frames without them). Frames it would not keep are not
      decoded where the coding allows: none of a camera's MJPEG, and in H.264 and the like those
      after the last one kept in a group of pictures, when the next is kept at or after the
      following keyframe.
    - `start_timeout`: seconds to wait for the stream to start playing (default 10).
    - `read_timeout`: seconds to wait for each frame (default 10), or None to wait as long as
      the stream stays up.
    - `ca_file`: a PEM file of the CAs that may sign an HTTPS stream's certificate, instead of
      the system's (HTTP URLs without a template only).
    - `max_frame_pixels`: the most pixels a frame may have (default 8192x8192), or None for no
      limit: a stream of larger frames fails (`FrameTooLargeError`) before they are decoded
      into memory.
    - `pixel_format`: "bgr" (default), "rgb", or "gray" (the luma alone, stretched to 0-255).
    - `keyframes_only`: False (default), or True to decode and deliver only keyframes, with
      their own timestamps (with `max_framerate`, at most that many a second). Video without
      keyframe marks (raw video, images, MJPEG) is all keyframes.

    `open()` starts GStreamer (`plumo.sysboot.start()`) if needed, builds the pipeline and waits
    for it to play; `close()` stops it and releases what it holds. A `with` block does both.
    Read frames from one thread; `close()` may come from another, and ends the start wait and the
    reading. Credentials in the URL are never shown: messages show `user:***@host`.
    """

    def __init__(self, url: str, *, template: Optional[str] = None, **options):
        """
        :param url: The stream's URL
        :param template: A launch string with "{url}" and an appsink named "main_sink", or None
            to read the URL over HTTP with a decoder chosen for the stream
        :param options: See the class documentation
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        :raises InvalidCustomPipelineError: The template has no "{url}", does not parse, or has
            no appsink named "main_sink"
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
        self._pixel_format = self._options["pixel_format"]
        if self._pixel_format not in PIXEL_FORMATS:
            raise InvalidRuntimeOptionError(
                f"Option 'pixel_format' should be one of {', '.join(map(repr, PIXEL_FORMATS))}, "
                f"got {self._pixel_format!r}"
            )
        self._url = url
        self._shown_url = redact_url(url)
        ca_file = self._options["ca_file"]
        if ca_file is not None:
            if template is not None:
                raise InvalidRuntimeOptionError(
                    "Option 'ca_file' applies to HTTPS URLs read without a template; give the "
                    "template's source its trust itself"
                )
            ca_file = os.fspath(ca_file)
        try:
            evidence = FailureEvidence(url, ca_file=ca_file)
        except (TypeError, ValueError) as e:
            raise InvalidRuntimeOptionError(f"Option 'ca_file': {e}") from None
        self._state = _StreamState(url, evidence)
        self._max_framerate = self._options["max_framerate"]
        self._factory: PipelineFactory
        if template is None:
            parts = urlsplit(url)
            if parts.scheme not in ("http", "https") or not parts.netloc:
                raise ValueError(
                    f"'{self._shown_url}' is not an HTTP URL; give a pipeline template to read "
                    "other sources"
                )
            self._factory = HTTPPipelineFactory(
                url=url, pipeline_watcher=self._state.watch, on_complete=self._state.complete
            )
            self._factory.max_framerate = self._max_framerate
            self._factory.keyframes_only = self._options["keyframes_only"]
            self._factory.max_frame_pixels = self._options["max_frame_pixels"]
            self._factory.ca_file = ca_file
            # A stream cut short is an error, not an end.
            self._factory.detect_truncation = True
            # The decoder's own pictures, converted here.
            self._factory.native_frames = True
            self._sampling_at_sink = self._size_check_at_sink = False
        else:
            self._factory = self._custom_factory(template, url)
            # A template is the user's own chain, which the factory does not touch: the frames
            # are chosen before the decoders in it and where its frames reach the appsink, and
            # the frame size check is applied there too.
            self._sampling_at_sink = (
                self._max_framerate is not None or self._options["keyframes_only"]
            )
            self._size_check_at_sink = self._options["max_frame_pixels"] is not None
        self._pipeline: Optional[Pipeline] = None
        self._appsink = None
        self._finalizer: Optional[weakref.finalize] = None
        self._closed = False
        self._frames_read = 0
        self._frames_after_error = 0

    def _check_ranges(self) -> None:
        for name in ("max_framerate", "start_timeout", "read_timeout", "max_frame_pixels"):
            value = self._options[name]
            if value is None:
                continue
            if isinstance(value, bool) or not (value > 0 and math.isfinite(value)):
                raise InvalidRuntimeOptionError(
                    f"Option '{name}' should be a positive, finite number, got {value!r}"
                )

    def _custom_factory(self, template: str, url: str) -> CustomPipelineFactory:
        """The factory for a template, once the template has been checked by parsing it."""
        try:
            factory = CustomPipelineFactory(
                template, url=url, pipeline_watcher=self._state.watch,
                on_complete=self._state.complete,
            )  # fmt: skip
        except ValueError as e:
            raise ValueError(redact_text(str(e), url)) from None
        except (KeyError, IndexError) as e:
            # The template is filled in with str.format: other braces than "{url}", such as a
            # caps list "{I420, NV12}", must be doubled.
            raise InvalidCustomPipelineError(
                f"Invalid pipeline template: braces other than {{url}} must be doubled ({{{{ and "
                f"}}}}), found {{{e.args[0] if e.args else ''}}}"
            ) from None
        check_template(factory._pipeline_str, url)
        return factory

    @property
    def url(self) -> str:
        """The stream's URL, as given."""
        return self._url

    @property
    def pixel_format(self) -> str:
        """The frames' pixels: "bgr", "rgb" or "gray"."""
        return self._pixel_format

    @property
    def frames_read(self) -> int:
        """How many frames `read()` and `read_frame()` have returned so far."""
        return self._frames_read

    @property
    def is_open(self) -> bool:
        """Whether the stream has been opened and not closed."""
        return self._pipeline is not None

    def open(self) -> "StreamReader":
        """Starts the stream and waits until it plays.

        :return: The reader itself
        :raises StreamSetupError: The stream reported an error, did not start within
            `start_timeout` seconds, or the reader was closed meanwhile; nothing is left running
        :raises RuntimeError: The reader is already open, or was closed
        """
        if self._pipeline is not None:
            raise RuntimeError(f"The stream reader for '{self._shown_url}' is already open")
        if self._closed:
            raise RuntimeError(f"The stream reader for '{self._shown_url}' was closed")
        sysboot.start()
        try:
            pipeline = self._factory.build()
        except StreamSetupError as e:  # a certificate found untrusted before the stream began
            raise StreamSetupError(f"Cannot open '{self._shown_url}': {e}") from e
        # From here on the pipeline is shut down with this reader, or when it is forgotten.
        self._pipeline = pipeline
        self._finalizer = weakref.finalize(self, _shut_down, pipeline)
        try:
            if self._closed:  # by another thread, before the finalizer was there to run
                raise StreamSetupError(f"Cannot open '{self._shown_url}': the reader was closed")
            if self._sampling_at_sink:
                sampling = Sampling(self._max_framerate, self._options["keyframes_only"])
                sampling.watch_decoders(pipeline, pipeline)
                pipeline.add_pad_probe(
                    pipeline.appsink.get_static_pad("sink"), Gst.PadProbeType.BUFFER,
                    sampling.after_decoding,
                )  # fmt: skip
            if self._size_check_at_sink:
                # This keeps large frames out of the reader, not out of the template's memory.
                refuse_large_frames(
                    pipeline, pipeline.appsink.get_static_pad("sink"),
                    self._options["max_frame_pixels"],
                )  # fmt: skip
            self._wait_until_playing()
        except BaseException:
            self.close()
            raise
        self._appsink = pipeline.appsink
        logger.info(f"Reading '{self._shown_url}'")
        return self

    def _wait_until_playing(self) -> None:
        start_timeout = self._options["start_timeout"]
        phase = self._state.wait_while(_Phase.STARTING, start_timeout)
        if phase is _Phase.PLAYING:
            return
        if phase is _Phase.CLOSED:
            cause = "the reader was closed"
        elif phase is _Phase.STARTING:
            cause = f"Timeout while waiting for stream to start ({start_timeout} s)"
            stalled = self._state.evidence.stalled()
            if stalled:
                cause += f": {stalled}"
            if _nobody_runs_the_main_loop():
                cause += (
                    "; nothing runs the default GLib main context, where the reader hears of its "
                    "stream: start plumo with sysboot.start(), or run a GLib main loop"
                )
        elif phase is _Phase.ENDED:
            cause = "the stream ended before its first frame"
        else:
            cause = self._state.cause()
        error = FrameTooLargeError if self._state.frame_too_large else StreamSetupError
        raise error(f"Cannot open '{self._shown_url}': {cause}")

    def read(self) -> Optional[np.ndarray]:
        """The next frame's image, or None at the end of the stream (or once the reader is closed).

        :return: A read-only uint8 array, `(height, width, 3)` in BGR or RGB, `(height, width)`
            in gray; or None
        :raises StreamReadError: The stream reported an error (after the frames decoded before it)
        :raises TimeoutError: No frame came within `read_timeout` seconds
        :raises RuntimeError: The reader has not been opened
        """
        frame = self.read_frame()
        return None if frame is None else frame.image

    def read_frame(self) -> Optional[Frame]:
        """The next frame, with its timestamp and index; None at the end of the stream (or once
        the reader is closed). Raises as `read()` does."""
        appsink = self._appsink
        if appsink is None:
            if self._closed:
                return None
            raise RuntimeError(
                f"The stream reader for '{self._shown_url}' is not open: call open(), or use it "
                "in a with statement"
            )
        state = self._state
        read_timeout = self._options["read_timeout"]
        deadline = None if read_timeout is None else time.monotonic() + read_timeout
        while True:
            phase = state.phase
            if phase is _Phase.CLOSED:
                return None
            if phase is _Phase.FAILED:
                return self._frame_after_error(appsink)
            frame = self._pull(appsink)
            if frame is not None:
                return frame
            if appsink.is_eos():
                # Let the watcher have the pipeline's last word before calling this an end.
                phase = state.wait_while(_Phase.PLAYING, _WATCHER_GRACE)
                if phase is _Phase.FAILED:
                    return self._frame_after_error(appsink)
                return None
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"No frame from '{self._shown_url}' within {read_timeout} s")

    def _pull(self, appsink) -> Optional[Frame]:
        """The appsink's next frame, waited for at most `_PULL_SLICE`; None if none came."""
        try:
            pulled = pull_frame(appsink, _PULL_SLICE, self._pixel_format)
        except SampleConversionError as e:
            # A frame that does not hold what its caps say: never hand it out.
            raise StreamReadError(f"Error reading '{self._shown_url}': {e}") from e
        if pulled is None:
            return None
        image, pts = pulled
        frame = Frame(image, pts, self._frames_read, time.time())
        self._frames_read += 1
        return frame

    def _frame_after_error(self, appsink) -> Frame:
        """A frame that was on its way to the appsink when the stream failed; then the error.

        Those frames were decoded before the failure and are sound. They are taken while they
        keep coming (up to the appsink's end of stream), and no more than a bounded number.
        """
        if self._frames_after_error < _FRAMES_AFTER_ERROR and not self._closed:
            self._frames_after_error += 1
            frame = self._pull(appsink)
            if frame is not None:
                return frame
        self._frames_after_error = _FRAMES_AFTER_ERROR
        error = FrameTooLargeError if self._state.frame_too_large else StreamReadError
        raise error(f"Error reading '{self._shown_url}': {self._state.cause()}")

    def __iter__(self) -> Iterator[np.ndarray]:
        """The frames' images, up to the end of the stream."""
        while True:
            frame = self.read()
            if frame is None:
                return
            yield frame

    def close(self) -> None:
        """Stops the stream and releases what its pipeline holds. Closing again does nothing.

        May come from another thread: a start wait or a read there ends (the start with
        `StreamSetupError`, a read with None).

        :raises StreamSetupError: The pipeline did not stop within 5 seconds (its resources are
            released all the same)
        """
        self._closed = True
        self._state.close()
        self._appsink = None
        pipeline, self._pipeline = self._pipeline, None
        finalizer, self._finalizer = self._finalizer, None
        if pipeline is not None:
            logger.info(f"Closing '{self._shown_url}' after {self._frames_read} frames")
        del pipeline
        if finalizer is not None:
            finalizer()

    def __enter__(self) -> "StreamReader":
        return self.open()

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed" if self._closed else "not opened"
        return f"<StreamReader '{self._shown_url}' {state}, {self._frames_read} frames read>"


def check_template(launch: str, url: str) -> None:
    """Parses a filled-in template once, so that a mistake in it is an error before anything
    is read: `InvalidCustomPipelineError` for a syntax error, an unknown element or property, or
    no appsink named "main_sink". The parsed elements are dropped unstarted."""
    try:
        parsed = Gst.parse_launch(launch)
    except GLib.Error as e:
        raise InvalidCustomPipelineError(
            f"Invalid pipeline template: {redact_text(e.message, url)}"
        ) from None
    try:
        sink = parsed.get_by_name("main_sink") if isinstance(parsed, Gst.Bin) else None
        if sink is None and parsed.get_name() == "main_sink":
            sink = parsed
        if sink is None:
            raise InvalidCustomPipelineError(
                "Invalid pipeline template: it has no element named 'main_sink' (an appsink)"
            )
        kind = sink.get_factory().get_name() if sink.get_factory() is not None else "bin"
        if kind != "appsink":
            raise InvalidCustomPipelineError(
                f"Invalid pipeline template: the element named 'main_sink' is a {kind}, not an "
                "appsink"
            )
    finally:
        parsed.set_state(Gst.State.NULL)


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
    """What the pipeline's bus said, as the reader's watcher heard it, and whether the reader was
    closed: the one thing `open()`, `read()` and `close()` wait on.

    The watcher (on the GLib main loop's thread) is the only code that takes the pipeline's bus
    messages, and with `close()` the only writer of the phase. It holds no reference to the
    pipeline, so a forgotten reader can be reclaimed.
    """

    def __init__(self, url: str, evidence: FailureEvidence):
        self._changed = threading.Condition()
        self._url = url
        self._shown_url = redact_url(url)
        self.evidence = evidence
        self._phase = _Phase.STARTING
        self._heard_own_start = False
        self._cause: Optional[str] = None
        self.frame_too_large = False

    @property
    def phase(self) -> _Phase:
        return self._phase

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
            self._changed.wait_for(lambda: self._phase is not phase, timeout)
            return self._phase

    def close(self) -> None:
        self._enter(_Phase.CLOSED)

    def complete(self, pipeline: Pipeline) -> None:
        """The factory's on-complete callback: decoded video has reached the appsink."""
        logger.debug(f"{self._shown_url}: decoded video reaches the appsink")

    def _enter(self, phase: _Phase) -> None:
        with self._changed:
            if self._phase is _Phase.CLOSED:
                return
            self._phase = phase
            self._changed.notify_all()

    def watch(self, _bus: Gst.Bus, message: Gst.Message, pipeline: Pipeline) -> bool:
        """The pipeline's bus watch."""
        kind = message.type
        if kind == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
            self._heard_own_start = True
            _, new, _ = message.parse_state_changed()
            if new == Gst.State.PLAYING and self._phase is _Phase.STARTING:
                self._enter(_Phase.PLAYING)
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
            text = redact_text(f"{source}: {said}", self._url)
            logger.error(f"{self._shown_url}: {text}")
            if self._phase is not _Phase.FAILED:  # the first error is the failure's
                details = message.parse_error_details()
                self.frame_too_large = details is not None and details.has_name(
                    "plumo-frame-too-large"
                )
                self._enter(_Phase.FAILED)
        elif kind == Gst.MessageType.EOS:
            if self._phase in (_Phase.STARTING, _Phase.PLAYING):
                self._enter(_Phase.ENDED)
        return True
