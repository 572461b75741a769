"""Reads a video stream, from an HTTP URL or through a pipeline template, into frames."""

import enum
import math
import os
import random
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Dict, Iterator, Optional, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    from typing_extensions import Unpack

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import (  # isort: skip
    FrameBell,
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
from plumo.pipeline_factories.base import BUFFER_SRC_NAME, PipelineFactory  # noqa: E402
from plumo.pipeline_factories.guards import (  # noqa: E402
    DEFAULT_MAX_FRAME_PIXELS,
    refuse_large_frames,
)
from plumo.pipeline_factories.custom import CustomPipelineFactory  # noqa: E402
from plumo.pipeline_factories.sampling import Sampling  # noqa: E402
from plumo.pipeline_factories.sources import (  # noqa: E402
    RTSP_TRANSPORTS,
    SourceSettings,
    check_headers,
    find_source,
)
from plumo.pipeline_factories.url import URLPipelineFactory  # noqa: E402
from plumo.stream_reader.causes import FailureEvidence  # noqa: E402
from plumo.stream_reader.frame import Frame  # noqa: E402
from plumo.stream_reader.info import StreamInfo, describe_stream  # noqa: E402
from plumo.stream_reader.options import (  # noqa: E402
    SUPPORTED_OPTIONS,
    ReaderOptions,
    check_options,
)
from plumo.utils.urls import redact_text, redact_url  # noqa: E402

DEFAULT_OPTIONS: Dict[str, Any] = {
    "max_framerate": None,
    "start_timeout": 10.0,
    "read_timeout": 10.0,
    "ca_file": None,
    "max_frame_pixels": DEFAULT_MAX_FRAME_PIXELS,
    "pixel_format": "bgr",
    "keyframes_only": False,
    "size": None,
    "tls_verify": True,
    "user_agent": None,
    "headers": None,
    "rtsp_transport": "auto",
    "reconnect": False,
    "latest": False,
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
# Reconnection waits this long after the first drop, twice as long after each failed attempt,
# up to the longest wait, each wait spread by up to a quarter either way so that cameras that
# dropped together do not all come back at the same instant.
_FIRST_RETRY = 0.5
_LONGEST_RETRY = 30.0
_RETRY_JITTER = 0.25
# With reconnection, a stream whose source has brought nothing for this long has dropped (a
# camera that loses power sends no reset, and an RTSP camera's UDP packets just stop).
_STALL_TIME = 10.0


# The domain of the errors and warnings about a stream's source: its files, its connections.
_RESOURCE_ERRORS = GLib.quark_to_string(Gst.ResourceError.quark())


# What a step of the reading gives when no frame is there yet.
_NOTHING = object()


class _Phase(enum.Enum):
    STARTING = "starting"
    PLAYING = "playing"
    RECONNECTING = "reconnecting"
    ENDED = "ended"
    FAILED = "failed"
    CLOSED = "closed"


class StreamReader:
    """Reads the frames of one video stream as read-only arrays: `(height, width, 3)` BGR (or
    RGB), or `(height, width)` gray.

    The stream is an HTTP(S) URL (MJPEG cameras, HLS playlists, or any container and codec
    GStreamer decodes), an RTSP(S) URL (cameras), a file's path (a str or a `pathlib.Path`) or a
    `file://` URL; or, with `template`, a GStreamer launch string with a "{url}" placeholder and
    an appsink named "main_sink" that receives BGR video (or 8-bit YUV: I420, YV12, NV12, NV21,
    Y42B, Y444)::

        with StreamReader("rtsp://camera.local/stream", reconnect=True, latest=True) as reader:
            print(reader.info)
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
      the stream stays up; with `max_framerate`, one slot of the limit (1/max_framerate s) more,
      since the frames it leaves out come meanwhile.
    - `ca_file`: a PEM file of the CAs that may sign an HTTPS or RTSPS stream's certificate,
      instead of the system's (URLs read without a template only).
    - `tls_verify`: True (default), or False to accept any certificate (a warning is logged).
    - `user_agent`: the User-Agent an HTTP or RTSP source sends, or None for GStreamer's.
    - `headers`: a dict of extra HTTP request headers (HTTP and HTTPS URLs), or None.
    - `rtsp_transport`: "auto" (default: UDP, and TCP when UDP brings nothing within 2 s),
      "tcp" or "udp".
    - `reconnect`: False (default), or True to go on after a stream that had started drops (an
      error, a reset, a camera that goes away, or 10 s without data): the reader rebuilds its
      pipeline after 0.5 s, doubling the wait after each failed attempt up to 30 s (each wait
      spread by a quarter either way), for as long as it is open; `read()` waits meanwhile
      (a `TimeoutError` after `read_timeout` leaves it reconnecting), and `reconnects` counts the
      new connections. A stream that cannot start is still an error at `open()`, and a stream
      that ends (a file, a camera's closed multipart stream) still ends.
    - `latest`: False (default), or True to keep only the newest decoded frame, so that
      `read()` hands out the newest picture; the ones not read before the next came are dropped
      (`frames_dropped`).
    - `max_frame_pixels`: the most pixels a frame may have (default 8192x8192), or None for no
      limit: a stream of larger frames fails (`FrameTooLargeError`) before they are decoded
      into memory.
    - `pixel_format`: "bgr" (default), "rgb", or "gray" (the luma alone, stretched to 0-255).
    - `keyframes_only`: False (default), or True to decode and deliver only keyframes, with
      their own timestamps (with `max_framerate`, at most that many a second). Video without
      keyframe marks (raw video, images, MJPEG) is all keyframes.
    - `size`: (width, height) to have every frame at that size, scaled as it is converted, in
      one pass (averaging the pixels each one covers when shrinking, interpolating when
      growing), or None (default) for frames as the stream has them.

    `open()` starts GStreamer (`plumo.sysboot.start()`) if needed, builds the pipeline and waits
    for it to play and for the first frame's size (`info`); `close()` stops it and releases what
    it holds. A `with` block does both. Read frames from one thread; `close()` may come from
    another, and ends the start wait, a reconnection and the reading. Credentials in the URL are
    never shown: messages show `user:***@host`.
    """

    def __init__(
        self,
        url: Union[str, "os.PathLike[str]"],
        *,
        template: Optional[str] = None,
        **options: "Unpack[ReaderOptions]",
    ):
        """
        :param url: The stream's URL, or a file's path (str or path-like)
        :param template: A launch string with "{url}" and an appsink named "main_sink", or None
            to read the URL with a source and a decoder chosen for it
        :param options: See the class documentation
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        :raises InvalidCustomPipelineError: The template has no "{url}", does not parse, or has
            no appsink named "main_sink"
        :raises ValueError: The URL's scheme is not one plumo reads (without a template), or the
            URL cannot be filled into the template
        """
        if template is None and isinstance(url, os.PathLike):
            url = os.fspath(url)
        if type(url) is not str:
            raise TypeError(f"url must be a str or a path, not {type(url).__name__}")
        if template is not None and type(template) is not str:
            raise TypeError(f"template must be a str or None, not {type(template).__name__}")
        check_options(options)
        self._options: Dict[str, Any] = {**DEFAULT_OPTIONS, **options}
        self._check_ranges()
        self._pixel_format = self._options["pixel_format"]
        self._check_choice("pixel_format", PIXEL_FORMATS)
        self._size = self._check_size()
        self._check_choice("rtsp_transport", RTSP_TRANSPORTS)
        self._url = url
        self._shown_url = redact_url(url)
        ca_file = self._options["ca_file"]
        if template is not None:
            for name in ("ca_file", "user_agent", "headers", "tls_verify", "rtsp_transport"):
                if self._options[name] != DEFAULT_OPTIONS[name]:
                    urls = "HTTPS URLs" if name == "ca_file" else "URLs"
                    raise InvalidRuntimeOptionError(
                        f"Option '{name}' applies to {urls} read without a template; give the "
                        "template's source its settings itself"
                    )
        if ca_file is not None:
            ca_file = os.fspath(ca_file)
        try:
            headers = check_headers(self._options["headers"] or {})
        except (TypeError, ValueError) as e:
            raise InvalidRuntimeOptionError(f"Option 'headers': {e}") from None
        try:
            self._state = _StreamState(url, ca_file, verify=self._options["tls_verify"])
        except (TypeError, ValueError) as e:
            raise InvalidRuntimeOptionError(f"Option 'ca_file': {e}") from None
        self._max_framerate = self._options["max_framerate"]
        self._reconnect = self._options["reconnect"]
        self._latest = self._options["latest"]
        self._factory: PipelineFactory
        if template is None:
            # Its source starts with the pipeline, configured. HTTPPipelineFactory starts its
            # souphttpsrc on its own first, and the restart that follows may cut into the answer
            # to that first request, which libsoup 3 does not survive.
            self._factory = URLPipelineFactory(
                url=url, pipeline_watcher=self._state.watch, on_complete=self._state.complete
            )
            if find_source(url).element == "souphttpsrc":
                # A stream cut short is an error, not an end.
                self._factory.detect_truncation = True
            self._factory.max_framerate = self._max_framerate
            self._factory.keyframes_only = self._options["keyframes_only"]
            self._factory.max_frame_pixels = self._options["max_frame_pixels"]
            self._factory.ca_file = ca_file
            self._factory.newest_frame_only = self._latest
            self._factory.source_settings = SourceSettings(
                user_agent=self._options["user_agent"], headers=headers,
                tls_verify=self._options["tls_verify"],
                rtsp_transport=self._options["rtsp_transport"],
            )  # fmt: skip
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
        # The pipeline and its finalizer change hands between the reading thread (which opens,
        # and rebuilds the pipeline after a drop) and close(), which may come from another.
        self._lock = threading.Lock()
        self._pipeline: Optional[Pipeline] = None
        self._appsink: Any = None  # the current pipeline's appsink
        self._finalizer: Optional[weakref.finalize] = None
        self._opened = False
        self._closed = False
        self._frames_read = 0
        self._frames_after_error = 0
        self._info: Optional[StreamInfo] = None
        # Reconnection: when the next attempt is due (None: connected), how many attempts
        # failed in a row, when the current attempt must have started by, and the count of new
        # connections.
        self._retry_at: Optional[float] = None
        # A rebuilt pipeline not yet seen playing (it may play before the reader looks again).
        self._rejoining = False
        self._failed_attempts = 0
        self._dropped_at = 0.0
        self._start_deadline = 0.0
        self._reconnects = 0
        self._frames_dropped = 0
        self._eos_at: Optional[float] = None  # when the appsink was first found at its end

    def _check_ranges(self) -> None:
        for name in ("max_framerate", "start_timeout", "read_timeout", "max_frame_pixels"):
            value = self._options[name]
            if value is None:
                continue
            if isinstance(value, bool) or not (value > 0 and math.isfinite(value)):
                raise InvalidRuntimeOptionError(
                    f"Option '{name}' should be a positive, finite number, got {value!r}"
                )

    def _check_size(self) -> Optional[Tuple[int, int]]:
        size = self._options["size"]
        if size is None:
            return None
        if len(size) != 2 or not all(
            isinstance(side, int) and not isinstance(side, bool) and side > 0 for side in size
        ):
            raise InvalidRuntimeOptionError(
                f"Option 'size' should be two positive ints (width, height), got {size!r}"
            )
        width, height = size
        most = self._options["max_frame_pixels"]
        if most is not None and width * height > most:
            raise InvalidRuntimeOptionError(
                f"Option 'size': {width}x{height} frames exceed max_frame_pixels ({most} pixels)"
            )
        return (width, height)

    def _check_choice(self, name: str, choices) -> None:
        if self._options[name] not in choices:
            raise InvalidRuntimeOptionError(
                f"Option '{name}' should be one of {', '.join(map(repr, choices))}, "
                f"got {self._options[name]!r}"
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
        """The stream's URL (or path), as given."""
        return self._url

    @property
    def pixel_format(self) -> str:
        """The frames' pixels: "bgr", "rgb" or "gray"."""
        return self._pixel_format

    @property
    def size(self) -> Optional[Tuple[int, int]]:
        """The (width, height) frames are scaled to; None: as the stream has them."""
        return self._size

    @property
    def frames_read(self) -> int:
        """How many frames `read()` and `read_frame()` have returned so far."""
        return self._frames_read

    @property
    def info(self) -> Optional[StreamInfo]:
        """The stream's size, frame rate, codec and liveness, from `open()` on (after a
        reconnection, the new connection's); None before."""
        return self._info

    @property
    def reconnects(self) -> int:
        """How many times the reader connected again after a drop (`reconnect`)."""
        return self._reconnects

    @property
    def frames_dropped(self) -> int:
        """How many decoded frames were dropped because a newer one came before `read()` took
        them (`latest`), as far as the reader has seen so far."""
        return self._frames_dropped

    @property
    def _reconnecting(self) -> bool:
        """Whether the stream dropped and is not back yet."""
        return self._retry_at is not None or (
            self._opened and self._state.phase in (_Phase.STARTING, _Phase.RECONNECTING)
        )

    def _listen(self, bell: FrameBell, key: int) -> None:
        """Has `bell` rung with `key` whenever a frame reaches the appsink (from GStreamer's
        streaming thread, without the GIL) and whenever the stream's phase changes, for a reader
        that is stepped rather than read (`StreamGroup`). Set it before `open()`."""
        self._state.bell = (bell, key)

    @property
    def is_open(self) -> bool:
        """Whether the stream has been opened and not closed (also while it reconnects)."""
        return self._opened and not self._closed

    def open(self) -> "StreamReader":
        """Starts the stream and waits until it plays and the first frame's size is known.

        :return: The reader itself
        :raises StreamSetupError: The stream reported an error, did not start within
            `start_timeout` seconds, or the reader was closed meanwhile; nothing is left running
            (also with `reconnect`: a stream that never started is not retried)
        :raises RuntimeError: The reader is already open, or was closed
        """
        if self._opened and not self._closed:
            raise RuntimeError(f"The stream reader for '{self._shown_url}' is already open")
        if self._closed:
            raise RuntimeError(f"The stream reader for '{self._shown_url}' was closed")
        sysboot.start()
        try:
            self._connect()
            self._wait_until_playing()
        except BaseException:
            self.close()
            raise
        self._opened = True
        self._connected()
        logger.info(f"Reading '{self._shown_url}'")
        return self

    def _connect(self) -> None:
        """Builds a pipeline and makes it the reader's; it is starting then.

        :raises StreamSetupError: The factory could not build it (a missing file, an untrusted
            certificate found before the stream began), or the reader was closed meanwhile
        """
        try:
            pipeline = self._factory.build()
        except StreamSetupError as e:
            raise StreamSetupError(f"Cannot open '{self._shown_url}': {e}") from e
        # From here on the pipeline is shut down with this reader, or when it is forgotten.
        finalizer = weakref.finalize(self, _shut_down, pipeline)
        appsink = pipeline.appsink
        with self._lock:
            closed = self._closed
            if not closed:
                self._pipeline, self._finalizer = pipeline, finalizer
                self._appsink = appsink
        if closed:  # by another thread, before the finalizer was there to run
            finalizer()
            raise StreamSetupError(f"Cannot open '{self._shown_url}': the reader was closed")
        sink_pad = appsink.get_static_pad("sink")
        if self._reconnect:
            source = pipeline.get_by_name(BUFFER_SRC_NAME)
            pad = source.get_static_pad("src") if source is not None else None
            if pad is not None:
                self._state.watch_data(pipeline, pad)
        if self._sampling_at_sink:
            sampling = Sampling(self._max_framerate, self._options["keyframes_only"])
            sampling.watch_decoders(pipeline, pipeline)
            pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.BUFFER, sampling.after_decoding)
        if self._size_check_at_sink:
            # This keeps large frames out of the reader, not out of the template's memory.
            refuse_large_frames(pipeline, sink_pad, self._options["max_frame_pixels"])
        if self._latest and isinstance(self._factory, CustomPipelineFactory):
            # A template's appsink keeps the newest frame alone too.
            appsink.set_property("max-buffers", 1)
            appsink.set_property("drop", True)
        # After the frames that sampling drops: they are not the reader's to count.
        self._state.hear(pipeline, sink_pad, count_frames=self._latest)
        if self._state.bell is not None:
            # Once the frame is in the appsink, where a pull without waiting finds it.
            bell, key = self._state.bell
            bell.watch(appsink, key)

    def _connected(self) -> None:
        """The pipeline plays and its frames' size is known: describe the stream."""
        pipeline, caps = self._pipeline, self._state.caps
        if pipeline is not None and caps is not None:
            self._info = describe_stream(pipeline, caps)

    def _wait_until_playing(self) -> None:
        start_timeout = self._options["start_timeout"]
        phase = self._state.wait_while(_Phase.STARTING, start_timeout)
        if phase is _Phase.PLAYING:
            return
        raise self._start_error(phase)

    def _start_error(self, phase: "_Phase") -> StreamSetupError:
        start_timeout = self._options["start_timeout"]
        if phase is _Phase.CLOSED:
            cause = "the reader was closed"
        elif phase is _Phase.STARTING:
            cause = f"Timeout while waiting for stream to start ({start_timeout} s)"
            stalled = self._state.evidence.stalled(diagnose_within=_DIAGNOSIS_TIME)
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
        return error(f"Cannot open '{self._shown_url}': {cause}")

    def read(self) -> Optional[np.ndarray]:
        """The next frame's image, or None at the end of the stream (or once the reader is closed).

        :return: A read-only uint8 array, `(height, width, 3)` in BGR or RGB, `(height, width)`
            in gray; or None
        :raises StreamReadError: The stream reported an error (after the frames decoded before
            it), without `reconnect`
        :raises TimeoutError: No frame came within `read_timeout` seconds (with `reconnect`, the
            reader goes on reconnecting)
        :raises RuntimeError: The reader has not been opened
        """
        frame = self.read_frame()
        return None if frame is None else frame.image

    def read_frame(self) -> Optional[Frame]:
        """The next frame, with its timestamp and index; None at the end of the stream (or once
        the reader is closed). Raises as `read()` does."""
        if not self._opened:
            if self._closed:
                return None
            raise RuntimeError(
                f"The stream reader for '{self._shown_url}' is not open: call open(), or use it "
                "in a with statement"
            )
        read_timeout = self._frame_wait
        deadline = math.inf if read_timeout is None else time.monotonic() + read_timeout
        while True:
            result = self._step(deadline, _PULL_SLICE)
            if result is not _NOTHING:
                return result  # type: ignore[return-value]
            if time.monotonic() >= deadline:
                raise self._timeout(read_timeout)

    def _step(self, until: float, pull_wait: float):
        """One move of the reading: the next frame, None at the end of the stream, or `_NOTHING`
        when there is none yet. Waits for the stream's news until `until` at most, and for a
        frame `pull_wait` seconds at most (`StreamGroup` steps its readers without waiting).

        :raises StreamReadError: The stream failed (without `reconnect`)
        """
        state = self._state
        if self._closed:
            return None
        if self._retry_at is not None:
            self._reconnect_when_due(until)
            return _NOTHING
        phase = state.phase
        if phase is _Phase.CLOSED:
            return None
        if phase is _Phase.STARTING or self._rejoining:
            if not self._wait_for_new_connection(until):
                return _NOTHING
            phase = state.phase
        appsink = self._appsink
        if appsink is None:  # closed by another thread meanwhile
            return None
        if phase is _Phase.FAILED:
            frame = self._frame_after_error(appsink, pull_wait)
            if frame is not None:
                return frame
            # Frames too large stay too large: that is no drop to come back from.
            if self._reconnect and not state.frame_too_large:
                self._drop(state.cause())
                return _NOTHING
            error = FrameTooLargeError if state.frame_too_large else StreamReadError
            raise error(f"Error reading '{self._shown_url}': {state.cause()}")
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
                return _NOTHING
            return _NOTHING if phase in (_Phase.FAILED, _Phase.CLOSED) else None
        if self._reconnect and state.quiet_for() >= _STALL_TIME:
            self._drop(f"nothing came from the source for {_STALL_TIME:g} s")
        return _NOTHING

    @property
    def _frame_wait(self) -> Optional[float]:
        """How long a frame may take, in seconds: `read_timeout`, and under a frame-rate limit
        the slot of the limit too, the time the frames it leaves out take to come."""
        read_timeout = self._options["read_timeout"]
        if read_timeout is None or self._max_framerate is None:
            return read_timeout
        return read_timeout + 1 / self._max_framerate

    def _timeout(self, read_timeout) -> TimeoutError:
        doing = " (reconnecting)" if self._retry_at is not None else ""
        return TimeoutError(f"No frame from '{self._shown_url}' within {read_timeout} s{doing}")

    def _drop(self, cause: str) -> None:
        """The stream dropped: shuts its pipeline down and schedules the next attempt."""
        with self._lock:
            pipeline, self._pipeline = self._pipeline, None
            finalizer, self._finalizer = self._finalizer, None
            self._appsink = None
        self._rejoining = False
        self._state.retire(pipeline)
        del pipeline
        if finalizer is not None:
            finalizer()
        if self._closed:
            return
        wait = min(_LONGEST_RETRY, _FIRST_RETRY * 2 ** min(self._failed_attempts, 16))
        wait *= random.uniform(1 - _RETRY_JITTER, 1 + _RETRY_JITTER)
        if self._failed_attempts == 0:
            self._dropped_at = time.monotonic()
            logger.warning(f"'{self._shown_url}' dropped: {cause}; reconnecting in {wait:.1f} s")
        else:
            logger.info(
                f"'{self._shown_url}': reconnection attempt {self._failed_attempts} failed: "
                f"{cause}; next in {wait:.1f} s"
            )
        self._failed_attempts += 1
        self._retry_at = time.monotonic() + wait

    def _reconnect_when_due(self, until: float) -> None:
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
        self._state.restart()
        self._frames_after_error = 0
        self._start_deadline = time.monotonic() + self._options["start_timeout"]
        try:
            self._connect()
        except StreamSetupError as e:
            self._drop(str(e).partition(": ")[2] or str(e))
        else:
            self._rejoining = True

    def _wait_for_new_connection(self, until: float) -> bool:
        """Waits for a rebuilt pipeline to play, until `until` at most and within its start
        timeout; whether it played (it may have failed or ended since, after frames of its own)."""
        until = min(until, self._start_deadline)
        phase = self._state.wait_while(_Phase.STARTING, until - time.monotonic())
        if phase is not _Phase.STARTING:
            self._rejoining = False
        if phase is _Phase.PLAYING or (phase is not _Phase.CLOSED and self._state.played):
            self._reconnects += 1
            self._connected()
            logger.info(
                f"'{self._shown_url}' reconnected after {time.monotonic() - self._dropped_at:.1f} s"
                f" ({self._failed_attempts} attempt{'s' if self._failed_attempts != 1 else ''})"
            )
            return True
        if phase is _Phase.STARTING:
            if time.monotonic() >= self._start_deadline:
                self._drop(self._start_error(phase).args[0].partition("': ")[2])
        elif phase in (_Phase.FAILED, _Phase.ENDED):
            self._drop(self._start_error(phase).args[0].partition("': ")[2])
        return False

    def _pull(self, appsink, wait: float) -> Optional[Frame]:
        """The appsink's next frame, waited for at most `wait` seconds; None if none came."""
        arrived = self._state.frames_arrived
        try:
            pulled = pull_frame(appsink, wait, self._pixel_format, self._size)
        except SampleConversionError as e:
            # A frame that does not hold what its caps say: never hand it out.
            raise StreamReadError(f"Error reading '{self._shown_url}': {e}") from e
        if pulled is None:
            return None
        image, pts = pulled
        frame = Frame(image, pts, self._frames_read, time.time())
        self._frames_read += 1
        if self._latest:
            # Of the frames that had arrived before this pull, all but this one were dropped
            # (one arriving during the pull is counted at the next).
            self._frames_dropped = max(self._frames_dropped, arrived - self._frames_read)
        return frame

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

    def __iter__(self) -> Iterator[np.ndarray]:
        """The frames' images, up to the end of the stream."""
        while True:
            frame = self.read()
            if frame is None:
                return
            yield frame

    def close(self) -> None:
        """Stops the stream and releases what its pipeline holds. Closing again does nothing.

        May come from another thread: a start wait, a reconnection or a read there ends (the
        start with `StreamSetupError`, a read with None).

        :raises StreamSetupError: The pipeline did not stop within 5 seconds (its resources are
            released all the same)
        """
        was_closed, self._closed = self._closed, True
        self._state.close()
        with self._lock:
            pipeline, self._pipeline = self._pipeline, None
            finalizer, self._finalizer = self._finalizer, None
            # Its last frame holds the decoder's buffer pool, and that pool's sockets.
            self._appsink = None
        if self._opened and not was_closed:
            logger.info(f"Closing '{self._shown_url}' after {self._frames_read} frames")
        del pipeline
        if finalizer is not None:
            finalizer()

    def __enter__(self) -> "StreamReader":
        return self.open()

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.is_open:
            state = "reconnecting" if self._retry_at is not None else "open"
        else:
            state = "closed" if self._closed else "not opened"
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
    """What the pipeline's bus and appsink said, as the reader's watcher and probes heard them,
    and whether the reader was closed: the one thing `open()`, `read()` and `close()` wait on.

    The watcher (on the GLib main loop's thread) is the only code that takes the pipeline's bus
    messages, and with the reader's own moves (`close()`, a drop, a new connection) the only
    writer of the phase. A pipeline the reader has given up (`retire`) is no longer heard. It
    holds no reference to a pipeline, so a forgotten reader can be reclaimed.
    """

    def __init__(self, url: str, ca_file: Optional[str], verify: bool = True):
        self._changed = threading.Condition()
        self._url = url
        self._ca_file = ca_file
        self._verify = verify
        self._shown_url = redact_url(url)
        self._retired: "weakref.WeakSet[Pipeline]" = weakref.WeakSet()
        # Rung with its key at every change of phase, for a reader that is stepped (_listen).
        self.bell: Optional[Tuple[FrameBell, int]] = None
        self._phase = _Phase.STARTING
        self.frames_arrived = 0
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
        self._last_data = time.monotonic()
        self._lost: Optional[str] = None  # a source's warning that its connection is gone

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

    def retire(self, pipeline: Optional[Pipeline]) -> None:
        """The reader gave `pipeline` up after a drop: what it says from now on is not heard."""
        with self._changed:
            if pipeline is not None:
                self._retired.add(pipeline)
            if self._phase is not _Phase.CLOSED:
                self._phase = _Phase.RECONNECTING
                self._changed.notify_all()

    def restart(self) -> None:
        """A new connection begins."""
        with self._changed:
            if self._phase is _Phase.CLOSED:
                return
            self._begin()
            self._phase = _Phase.STARTING
            self._changed.notify_all()

    def hear(self, pipeline: Pipeline, sink_pad: Gst.Pad, *, count_frames: bool) -> None:
        """Listens at the appsink's pad of the reader's new `pipeline` for the frames' format
        (the stream has started once the pipeline plays and it is known), and, with
        `count_frames`, counts the frames that arrive there."""
        heard = weakref.ref(pipeline)
        pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.EVENT_DOWNSTREAM, self._on_event, heard)
        if count_frames:
            pipeline.add_pad_probe(sink_pad, Gst.PadProbeType.BUFFER, self._on_frame, heard)
        # The pipeline was started before the probe was there, and its first frame may have
        # passed it already.
        caps = sink_pad.get_current_caps()
        if caps is not None:
            self._on_caps(caps)

    def watch_data(self, pipeline: Pipeline, pad: Gst.Pad) -> None:
        """Notes when data last came out of the source's `pad`."""
        pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, self._on_data, weakref.ref(pipeline))

    def quiet_for(self) -> float:
        """Seconds since the source last brought data (or since the connection began)."""
        return time.monotonic() - self._last_data

    def _heard(self, pipeline) -> bool:
        return pipeline is not None and pipeline not in self._retired

    def _on_event(self, _pad: Gst.Pad, info: Gst.PadProbeInfo, heard) -> Gst.PadProbeReturn:
        event = info.get_event()
        if event is not None and event.type == Gst.EventType.CAPS and self._heard(heard()):
            self._on_caps(event.parse_caps())
        return Gst.PadProbeReturn.OK

    def _on_frame(self, _pad: Gst.Pad, _info, heard) -> Gst.PadProbeReturn:
        if self._heard(heard()):
            self.frames_arrived += 1
        return Gst.PadProbeReturn.OK

    def _on_data(self, _pad: Gst.Pad, _info, heard) -> Gst.PadProbeReturn:
        if self._heard(heard()):
            self._last_data = time.monotonic()
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
            self.played = True
            self._changed.notify_all()
            self._tell()

    def complete(self, pipeline: Pipeline) -> None:
        """The factory's on-complete callback: decoded video has reached the appsink."""
        logger.debug(f"{self._shown_url}: decoded video reaches the appsink")

    def _enter(self, phase: _Phase) -> None:
        with self._changed:
            if self._phase is _Phase.CLOSED:
                return
            self._phase = phase
            self._changed.notify_all()
        self._tell()

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
            text = redact_text(f"{source}: {said}", self._url)
            logger.error(f"{self._shown_url}: {text}")
            if self._phase is not _Phase.FAILED:  # the first error is the failure's
                details = message.parse_error_details()
                self.frame_too_large = details is not None and details.has_name(
                    "plumo-frame-too-large"
                )
                if self._lost is not None:
                    # Over UDP, rtspsrc then tries the server again, and fails to connect.
                    with self._changed:
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
