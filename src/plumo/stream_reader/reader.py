"""Reads a video stream, from an HTTP URL or through a pipeline template, into frames."""

import functools
import math
import os
import time
from typing import TYPE_CHECKING, Any, Dict, Iterator, Optional, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    from typing_extensions import Unpack

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import Gst, Pipeline, pull_frame  # isort: skip

from gi.repository import GLib  # noqa: E402

from plumo import sysboot  # noqa: E402
from plumo.errors import InvalidCustomPipelineError, InvalidRuntimeOptionError  # noqa: E402
from plumo.logger import logger  # noqa: E402
from plumo.pipeline_factories.base import PipelineFactory  # noqa: E402
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
from plumo.stream_reader.connection import NOTHING, Connection, StreamStatus  # noqa: E402
from plumo.stream_reader.frame import Frame  # noqa: E402
from plumo.stream_reader.info import StreamInfo  # noqa: E402
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
      new connections. A stream that cannot start yet for a cause that may pass (refused, no
      answer, unreachable, a server error, a busy camera) is tried the same way: `open()`
      returns with it "connecting". One that cannot start for a cause no retry mends (not
      found, not authorised, an unknown host, an untrusted certificate, a missing file, not a
      video) is still an error at `open()`, and a stream that ends (a file, a camera's closed
      multipart stream) still ends.
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
    it holds. `status` tells how the stream is doing (`StreamStatus`), cheaply, from any thread. A `with` block does both. Read frames from one thread; `close()` may come from
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
            self._connection = Connection(
                url, ca_file=ca_file, verify=self._options["tls_verify"],
                start_timeout=self._options["start_timeout"],
                reconnect=self._options["reconnect"], latest=self._options["latest"],
            )  # fmt: skip
        except (TypeError, ValueError) as e:
            raise InvalidRuntimeOptionError(f"Option 'ca_file': {e}") from None
        watch, complete = self._connection.watch, self._connection.complete
        self._max_framerate = self._options["max_framerate"]
        self._latest = self._options["latest"]
        self._factory: PipelineFactory
        if template is None:
            # Its source starts with the pipeline, configured. HTTPPipelineFactory starts its
            # souphttpsrc on its own first, and the restart that follows may cut into the answer
            # to that first request, which libsoup 3 does not survive.
            self._factory = URLPipelineFactory(
                url=url, pipeline_watcher=watch, on_complete=complete
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
        else:
            self._factory = self._custom_factory(template, url)
            # A template is the user's own chain, which the factory does not touch: the frames
            # are chosen before the decoders in it and where its frames reach the appsink, and
            # the frame size check is applied there too.
            self._connection.prepare = functools.partial(
                _set_up_template_sink,
                sampling=(self._max_framerate, self._options["keyframes_only"]),
                max_frame_pixels=self._options["max_frame_pixels"], newest_only=self._latest,
            )  # fmt: skip
        self._connection.factory = self._factory
        self._connection.convert = functools.partial(
            pull_frame, pixel_format=self._pixel_format, size=self._size
        )
        self._opened = False
        self._closed = False

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
                template, url=url, pipeline_watcher=self._connection.watch,
                on_complete=self._connection.complete,
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
        return self._connection.frames

    @property
    def info(self) -> Optional[StreamInfo]:
        """The stream's size, frame rate, codec and liveness, from its first connection on (after
        a reconnection, the new connection's); None before."""
        return self._connection.info

    @property
    def reconnects(self) -> int:
        """How many times the reader connected again after a drop (`reconnect`)."""
        return self._connection.reconnects

    @property
    def frames_dropped(self) -> int:
        """How many decoded frames were dropped because a newer one came before `read()` took
        them (`latest`), as far as the reader has seen so far."""
        return self._connection.frames_dropped

    @property
    def status(self) -> StreamStatus:
        """How the stream is doing now: its state ("connecting", "streaming", "reconnecting",
        "ended", "failed", "closed") and since when, frames handed out and their rate over the
        last seconds, the last frame's age, reconnections, drops, frames dropped and the last
        failure's cause (credentials masked). An immutable snapshot; cheap, from any thread."""
        return self._connection.status

    @property
    def is_open(self) -> bool:
        """Whether the stream has been opened and not closed (also while it reconnects)."""
        return self._opened and not self._closed

    @property
    def _pipeline(self) -> Optional[Pipeline]:
        return self._connection.pipeline

    @property
    def _appsink(self) -> Any:
        return self._connection.appsink

    def open(self) -> "StreamReader":
        """Starts the stream and waits until it plays and the first frame's size is known; with
        `reconnect`, only until its first attempt fails for a cause that may pass (it is then
        "connecting", tried again after the back-off, and `read()` waits for it).

        :return: The reader itself
        :raises StreamSetupError: The stream reported an error (with `reconnect`: one no retry
            mends), did not start within `start_timeout` seconds (without `reconnect`), or the
            reader was closed meanwhile; nothing is left running
        :raises RuntimeError: The reader is already open, or was closed
        """
        if self._opened and not self._closed:
            raise RuntimeError(f"The stream reader for '{self._shown_url}' is already open")
        if self._closed:
            raise RuntimeError(f"The stream reader for '{self._shown_url}' was closed")
        self._start()
        try:
            self._connection.settle()
        except BaseException:
            self.close()
            raise
        if self._connection.info is not None:
            logger.info(f"Reading '{self._shown_url}'")
        return self

    def _start(self) -> None:
        """Starts GStreamer if needed and the stream's first attempt, without waiting for it
        (`StreamGroup` waits in its own way)."""
        sysboot.start()
        try:
            self._connection.begin()
        except BaseException:
            self.close()
            raise
        self._opened = True

    def read(self) -> Optional[np.ndarray]:
        """The next frame's image, or None at the end of the stream (or once the reader is closed).

        :return: A read-only uint8 array, `(height, width, 3)` in BGR or RGB, `(height, width)`
            in gray; or None
        :raises StreamReadError: The stream reported an error (after the frames decoded before
            it), without `reconnect`
        :raises StreamSetupError: With `reconnect`, a stream that was down at `open()` came up
            and answered with a cause no retry mends (such as 401)
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
            result = self._connection.step(deadline, _PULL_SLICE)
            if result is not NOTHING:
                return result  # type: ignore[no-any-return]
            if time.monotonic() >= deadline:
                raise self._connection.timeout_error(read_timeout)

    @property
    def _frame_wait(self) -> Optional[float]:
        """How long a frame may take, in seconds: `read_timeout`, and under a frame-rate limit
        the slot of the limit too, the time the frames it leaves out take to come."""
        read_timeout = self._options["read_timeout"]
        if read_timeout is None or self._max_framerate is None:
            return read_timeout
        return read_timeout + 1 / self._max_framerate

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
        if self._opened and not was_closed:
            logger.info(f"Closing '{self._shown_url}' after {self.frames_read} frames")
        self._connection.close()

    def __enter__(self) -> "StreamReader":
        return self.open()

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.is_open:
            state = self.status.state
            state = "open" if state == "streaming" else state
        else:
            state = "closed" if self._closed else "not opened"
        return f"<StreamReader '{self._shown_url}' {state}, {self.frames_read} frames read>"


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


def _set_up_template_sink(pipeline: Pipeline, appsink: Any, *, sampling, max_frame_pixels,
                          newest_only: bool) -> None:  # fmt: skip
    """Prepares a template's appsink, where the reader applies its options to the user's chain:
    the rate limit and keyframes only (`sampling`: max_framerate and keyframes_only), the frame
    size check, and the newest frame alone."""
    sink_pad = appsink.get_static_pad("sink")
    max_framerate, keyframes_only = sampling
    if max_framerate is not None or keyframes_only:
        chooser = Sampling(max_framerate, keyframes_only)
        chooser.watch_decoders(pipeline, pipeline)
        chooser.limit_after_decoding(sink_pad)
    if max_frame_pixels is not None:
        # This keeps large frames out of the reader, not out of the template's memory.
        refuse_large_frames(pipeline, sink_pad, max_frame_pixels)
    if newest_only:
        appsink.set_property("max-buffers", 1)
        appsink.set_property("drop", True)
