"""What every pipeline factory shares: the names of the contract with a pipeline, and the decoding
of a source into BGR frames at the pipeline's application sink."""

import os
import threading
import time
import weakref
from abc import ABC, abstractmethod
from numbers import Real
from typing import Callable, Optional, Tuple

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import Pipeline  # isort: skip

from gi.repository import GLib, GObject, Gst  # noqa: E402

from plumo.errors import NotLinkedError, StreamSetupError  # noqa: E402
from plumo.logger import logger  # noqa: E402
from plumo.utils import tls  # noqa: E402

BUFFER_SRC_NAME = "buffer_src"
"""The name of the element whose "src" pad a reader may probe to see (and skip) buffers."""

_APPSINK_PROPERTIES = {
    # A reader pulls frames itself: keep a few decoded frames ready, and hold the pipeline
    # back (rather than drop or pile up frames) when the reader is slower than the stream.
    "max-buffers": 4,
    "drop": False,
    # Deliver frames as soon as they are decoded: a file served over HTTP carries timestamps,
    # and syncing to the clock would slow it down to its nominal frame rate.
    "sync": False,
}

_CONVERT_QUEUE_PROPERTIES = {
    # Decoded frames wait here to be converted on the queue's own thread while the decoder goes
    # on with the next ones. A few frames take up the unevenness between the two (a frame-threaded
    # decoder hands out frames in bursts); a count, rather than bytes, keeps that the same at
    # every frame size.
    "max-size-buffers": 4,
    "max-size-bytes": 0,
    "max-size-time": 0,
}

_FRAMERATE_LIMIT: Optional[float] = None
"""The frame rate limit factories start with: none. Set `PipelineFactory.max_framerate` to change
it for one factory."""

DEFAULT_MAX_FRAME_PIXELS = 8192 * 8192
"""A frame size limit for readers of streams they do not trust: 8192x8192. Factories start with
none (`PipelineFactory.max_frame_pixels` is None)."""

_PIPELINE_WATCHER = Callable[[Gst.Bus, Gst.Message, Pipeline], bool]
"""A bus watch: called with the bus, the message and the pipeline; returns whether to stay.

What comes before the pipeline's own first state change is not about the stream: the HTTP factory
starts its source before the decoder set-up links it (and then restarts it), and a source quick
enough to push meanwhile reports a "not-linked" error. A watcher should take no notice of it."""

_ON_COMPLETE_CALLBACK = Callable[[Pipeline], None]
"""Called with a pipeline once its source is decoded into the application sink."""

_BGR_CAPS = "video/x-raw,format=BGR"

_VIDEO_DECODER = Gst.ELEMENT_FACTORY_TYPE_DECODER | Gst.ELEMENT_FACTORY_TYPE_MEDIA_VIDEO


def _check_max_framerate(max_framerate) -> Optional[float]:
    """The limit in frames per second, or None for no limit."""
    if max_framerate is None:
        return None
    if isinstance(max_framerate, bool) or not isinstance(max_framerate, Real):
        raise TypeError(
            f"max_framerate must be a number of frames per second or None, "
            f"not {type(max_framerate).__name__}"
        )
    if not max_framerate > 0 or max_framerate == float("inf"):
        raise ValueError(f"max_framerate must be a positive, finite number, not {max_framerate}")
    return float(max_framerate)


def _check_max_frame_pixels(max_frame_pixels) -> Optional[int]:
    """The limit in pixels a frame, or None for no limit."""
    if max_frame_pixels is None:
        return None
    if isinstance(max_frame_pixels, bool) or not isinstance(max_frame_pixels, int):
        raise TypeError(
            f"max_frame_pixels must be a number of pixels (an int) or None, "
            f"not {type(max_frame_pixels).__name__}"
        )
    if max_frame_pixels <= 0:
        raise ValueError(f"max_frame_pixels must be positive, not {max_frame_pixels}")
    return max_frame_pixels


class PipelineFactory(ABC):
    """Builds pipelines that read one source URL into BGR frames at their application sink."""

    _ca: Optional[tls.CaFile] = None
    # Off unless the owner asks, so that a factory built by users behaves as it always has.
    _detect_truncation = False
    _max_frame_pixels: Optional[int] = None

    def __init__(self, *, url: Optional[str], max_framerate, on_complete: _ON_COMPLETE_CALLBACK):
        """
        :param url: The URL to read
        :param max_framerate: The most frames per second to deliver, or None for every frame
        :param on_complete: Called with the pipeline once its source is decoded into its
            application sink (on a GStreamer streaming thread)
        """
        self._url = url
        self._max_framerate = _check_max_framerate(max_framerate)
        self._on_complete = on_complete
        self._logger = logger

    @property
    def max_framerate(self) -> Optional[float]:
        """The most frames per second the pipelines built from now on deliver; None: no limit."""
        return self._max_framerate

    @max_framerate.setter
    def max_framerate(self, value: Optional[float]) -> None:
        self._max_framerate = _check_max_framerate(value)

    @property
    def ca_file(self) -> Optional[str]:
        """The PEM file of the CAs whose certificates an HTTPS source of the pipelines built from
        now on trusts, instead of the system's; None: the system's. It is read when set.

        :raises TypeError: Set to something other than a path or None
        :raises ValueError: Set to a file that cannot be read, or that holds no PEM certificate
        """
        return None if self._ca is None else self._ca.path

    @ca_file.setter
    def ca_file(self, value) -> None:
        self._ca = None if value is None else tls.load_ca_file(value)

    @property
    def detect_truncation(self) -> bool:
        """Whether pipelines built from now on report a stream cut short as an error.

        A camera's multipart stream that stops without its closing boundary, or a body that
        stops short of its Content-Length or last chunk, then posts an ERROR from the source
        ("The connection closed after 51234 bytes of 102400", "The camera's stream ended without
        its closing boundary after 12 frames (24000 bytes)") before its end of stream goes
        downstream, so the frames that arrived are still delivered. False (the default): such a
        stream ends as if it were complete, or with the source's own error.
        """
        return self._detect_truncation

    @detect_truncation.setter
    def detect_truncation(self, value: bool) -> None:
        if not isinstance(value, bool):
            raise TypeError(f"detect_truncation must be a bool, not {type(value).__name__}")
        self._detect_truncation = value

    @property
    def max_frame_pixels(self) -> Optional[int]:
        """The most pixels a frame may have in the pipelines built from now on; None: no limit.

        Larger video ends the stream with an error ("16000x16000 frames exceed max_frame_pixels
        (67108864 pixels)") as soon as a decoder announces its size, before anything downstream
        of it holds such a frame. See `refuse_large_frames`.
        """
        return self._max_frame_pixels

    @max_frame_pixels.setter
    def max_frame_pixels(self, value: Optional[int]) -> None:
        self._max_frame_pixels = _check_max_frame_pixels(value)

    @abstractmethod
    def build(self) -> Pipeline:
        """Builds a new pipeline for the URL and asks it to play."""

    def _set_up_decoder(self, source: Gst.Element, pad: Optional[Gst.Pad], pipeline: Pipeline):
        """Decodes what the source pad produces into BGR frames at the pipeline's appsink.

        The colour conversion chain is built here, once; each video pad the decoder exposes is
        then linked to it, taking the place of any earlier one. Decoders drop and re-expose their
        pads whenever the pipeline goes back to READY and up again (a restart, or a start-up that
        catches elements already running), so every new pad must be linked, not only the first.

        :param source: The element that produces the encoded stream
        :param pad: The source's pad to decode from
        :param pipeline: The pipeline, with its appsink already set
        :raises StreamSetupError: The source pad is missing or does not link to the decoder, or
            the HTTPS server's certificate is not trusted (see `plumo.utils.tls.apply_trust`)
        :raises NotLinkedError: The conversion chain does not link to the appsink
        """
        if pad is None:
            raise StreamSetupError(f"Element '{source.get_name()}' has no 'src' pad to decode")
        appsink = pipeline.appsink
        # The source may have been started already, and its request be under way. Stop it, so
        # that it starts afresh with the rest of the pipeline: a request interrupted by the
        # pipeline's own start-up can leave it waiting for ever, without an error.
        source.set_state(Gst.State.NULL)
        kind = source.get_factory()
        if kind is not None and kind.get_name() == "souphttpsrc":
            tls.apply_trust(source, self._ca)
        # What it said meanwhile is stale: a PLAYING among it would end the owner's start wait
        # before the pipeline has even started.
        bus = pipeline.get_bus()
        while bus.pop() is not None:
            pass

        # The new elements, likewise, start with the pipeline's own state change.
        decoder = pipeline.new_element("decodebin", auto_play=False)
        result = pad.link(decoder.get_static_pad("sink"))
        if result != Gst.PadLinkReturn.OK:
            raise StreamSetupError(
                f"Could not link '{source.get_name()}' to the decoder: {result.value_nick}"
            )

        # Decoding and colour conversion run on threads of their own, with a queue between
        # them: on one thread, as the decoder's pads would otherwise drive them, they take turns,
        # and a 720p H.264 clip is read about a fifth slower on two CPUs.
        queue = pipeline.new_element("queue", properties=_CONVERT_QUEUE_PROPERTIES, auto_play=False)
        convert = pipeline.new_element(
            "videoconvert",
            link_to=queue,
            properties={"n-threads": _converter_threads()},
            auto_play=False,
        )
        bgr, _ = pipeline.filter_caps(convert, [_BGR_CAPS], auto_play=False)
        if not bgr.link(appsink):
            raise NotLinkedError(f"Failed to link {bgr.get_name()} to the appsink")
        chain_sink = queue.get_static_pad("sink")
        if self._max_framerate is not None:
            # Frames are dropped before they are queued and converted, so a limit also saves
            # the work.
            limiter = _RateLimiter(self._max_framerate)
            pipeline.add_pad_probe(chain_sink, Gst.PadProbeType.BUFFER, limiter.on_buffer)

        if self._detect_truncation:
            _StreamEnd(source, pipeline).attach(pipeline, decoder)
        if self._max_frame_pixels is not None:
            # Checked as each decoder announces its output, before anything after it holds a
            # frame; raw video, which has no decoder, where it enters the chain.
            frame_limit = _FrameLimit(pipeline, self._max_frame_pixels)
            pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, frame_limit.restart)
            pipeline.connect_signal_handler(
                decoder, "deep-element-added", frame_limit.on_decoder_added
            )
            frame_limit.watch(chain_sink)

        link = _DecodedPadLink(chain_sink, pipeline, self._on_complete)
        pipeline.connect_signal_handler(decoder, "deep-element-added", _tune_decoder_element)
        pipeline.connect_signal_handler(decoder, "pad-added", link.on_pad_added)
        pipeline.connect_signal_handler(decoder, "no-more-pads", link.on_no_more_pads)


class _RateLimiter:
    """A buffer probe that lets at most `max_framerate` frames a second through.

    Time is the frames' own timestamps, so a clip read faster than real time keeps one frame in
    so many of its own; frames without timestamps (a camera's MJPEG, say) go by the clock. A
    timestamp that jumps back (a restart, a new segment) starts the count afresh.
    """

    def __init__(self, max_framerate: float):
        self._interval = round(Gst.SECOND / max_framerate)
        # Containers round timestamps (Matroska to the millisecond): a frame a little early for
        # its slot still takes it.
        self._slack = self._interval // 10
        self._next = None

    def on_buffer(self, _pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        pts = info.get_buffer().pts
        now = time.monotonic_ns() if pts == Gst.CLOCK_TIME_NONE else pts
        due = self._next
        if due is not None and due - self._interval <= now < due - self._slack:
            return Gst.PadProbeReturn.DROP
        # Keep to a grid of intervals, so that the rate averages the limit rather than the next
        # slower rate the input's spacing allows; start a new grid after a gap or a jump back.
        on_grid = due is not None and -self._slack <= now - due < self._interval
        self._next = (due if on_grid else now) + self._interval
        return Gst.PadProbeReturn.OK


class _DecodedPadLink:
    """Links the decoder's video pads, as they come, to the conversion chain's sink pad.

    Runs on streaming threads. It keeps only a weak reference to the pipeline, so the decoder's
    signal handlers do not keep the pipeline alive.
    """

    def __init__(self, chain_sink: Gst.Pad, pipeline: Pipeline, on_complete):
        self._chain_sink = chain_sink
        self._pipeline = weakref.ref(pipeline)
        self._on_complete = on_complete
        self._completed = False
        self._lock = threading.Lock()

    def on_pad_added(self, decoder: Gst.Element, pad: Gst.Pad) -> None:
        if not _is_video(pad):
            return
        with self._lock:
            old_peer = self._chain_sink.get_peer()
            if old_peer is not None:
                old_peer.unlink(self._chain_sink)
            result = pad.link(self._chain_sink)
            first = result == Gst.PadLinkReturn.OK and not self._completed
            if first:
                self._completed = True
        pipeline = self._pipeline()
        if pipeline is None:
            return
        if result != Gst.PadLinkReturn.OK:
            _post_error(
                pipeline,
                decoder,
                f"Could not link the decoded video ({pad.get_current_caps()}) to the converter: "
                f"{result.value_nick}",
                Gst.StreamError.FORMAT,
            )
        elif first:
            try:
                self._on_complete(pipeline)
            except Exception as e:  # noqa: BLE001 - reported on the bus, where the owner looks
                _post_error(pipeline, decoder, f"on_complete failed: {e!r}", Gst.StreamError.FAILED)

    def on_no_more_pads(self, decoder: Gst.Element) -> None:
        # Every pad of this round is out. Without a video one the stream can never deliver a
        # frame, so say so rather than leave the owner waiting for one.
        if self._chain_sink.is_linked():
            return
        pipeline = self._pipeline()
        if pipeline is not None:
            _post_error(
                pipeline,
                decoder,
                f"The stream has no video: {_describe_pads(decoder)}",
                Gst.StreamError.WRONG_TYPE,
            )


class _StreamEnd:
    """Tells a stream that was cut short from one that ended, at souphttpsrc's source pad.

    What souphttpsrc (GStreamer 1.22, with libsoup 3 or 2.4 alike) does with a stream that stops
    early:

    - A read error (a reset, a body cut inside a chunk), or the end of a body short of its
      Content-Length: it asks again from where it stopped, with a Range header, at once and at
      least once whatever its `retries` (each byte read starts its count afresh). A server that
      answers 206 resumes the body; otherwise it posts its own error ("Server does not support
      seeking."), then "Internal data stream error.", then sends EOS. The cause users should see
      is the first failure, so it is posted first: from a synchronous bus handler, as the
      source's own error is being posted.
    - An orderly close of a body without a length (a camera's multipart stream, or a chunked body
      cut between two chunks, which libsoup reads as complete): EOS alone. A camera's stream is
      complete when it ended with its closing boundary; without it, the error is posted from
      the EOS event before it goes downstream, so every frame before it is still delivered.

    A chunked body cut between chunks, or a body that simply runs until the connection closes,
    carries no mark of its end that reaches GStreamer, and ends as if it were complete.
    """

    # How many bytes of a camera's stream are kept to look for its closing boundary, and of its
    # start to read the boundary off its first line.
    _TAIL_BYTES = 1024
    _HEAD_BYTES = 1024

    def __init__(self, source: Gst.Element, pipeline: Pipeline):
        self._source = source
        self._pipeline = weakref.ref(pipeline)
        self._lock = threading.Lock()
        self._probing_buffers = False
        self._reset()

    def _reset(self) -> None:
        """Forgets the last stream: the source starts a new one (the pipeline restarted)."""
        self._started = False  # a successful response came: from now on an end is news
        self._settled = False  # reported, or another element failed first with its own cause
        self._ended = False  # the stream was ended here, and what the source still sends is dropped
        self._status = 0  # of the answer whose body this is
        self._length: Optional[int] = None
        self._chunked = False
        self._camera = False
        self._frames = 0
        self._head = b""
        self._closing: Optional[bytes] = None
        self._tail = b""

    def attach(self, pipeline: Pipeline, decoder: Gst.Element) -> None:
        """Watches the source's pad, the decoder's demuxer and the pipeline's bus."""
        pad = self._source.get_static_pad("src")
        pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, self._on_event)
        pipeline.connect_signal_handler(decoder, "deep-element-added", self._on_element_added)
        bus = pipeline.get_bus()
        bus.enable_sync_message_emission()
        pipeline.destructors.append(bus.disable_sync_message_emission)
        pipeline.connect_signal_handler(bus, "sync-message::error", self._on_error)

    def _on_event(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        event = info.get_event()
        if self._ended:
            # Only the EOS sent from here gets this far: the pad is at its end after it.
            ours = event.type == Gst.EventType.EOS
            return Gst.PadProbeReturn.OK if ours else Gst.PadProbeReturn.DROP
        if event.type == Gst.EventType.STREAM_START:
            with self._lock:
                self._reset()
        elif event.type == Gst.EventType.CUSTOM_DOWNSTREAM_STICKY:
            if event.has_name("http-headers"):
                return self._on_response(pad, event.get_structure())
        elif event.type == Gst.EventType.EOS:
            self._on_end()
        return Gst.PadProbeReturn.OK

    def _on_response(self, pad: Gst.Pad, headers: Gst.Structure) -> Gst.PadProbeReturn:
        """A response whose body follows (souphttpsrc pushes no headers of one that failed)."""
        status = headers.get_value("http-status-code")
        if not 200 <= status < 300:
            return Gst.PadProbeReturn.OK  # a server error it is about to ask again after
        if not self._started:
            self._started = True
            self._status = status
            response = headers.get_value("response-headers")
            length = _header(response, "content-length")
            self._length = int(length) if length is not None and length.isdigit() else None
            self._chunked = "chunked" in (_header(response, "transfer-encoding") or "").lower()
            content_type = (_header(response, "content-type") or "").lower()
            self._camera = content_type.startswith("multipart/")
            if self._camera:
                # A camera's stream asked for again is a new stream, not the rest of the old one.
                # souphttpsrc asks once whatever its retries (each byte read restarts its count);
                # 0 stops it there when that answer too breaks off before its first byte, where
                # the default would ask the camera 3 more times, at once.
                self._source.set_property("retries", 0)
                pipeline = self._pipeline()
                if pipeline is not None and not self._probing_buffers:
                    self._probing_buffers = True
                    pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, self._on_buffer)
            return Gst.PadProbeReturn.OK
        if not self._camera:
            return Gst.PadProbeReturn.OK  # the rest of a body, from where it broke off
        # The camera answered the request for the rest: its bytes would be spliced into the part
        # that broke off. The stream ends here, and whatever comes from that answer is dropped.
        self._report()
        self._ended = True
        pad.push_event(Gst.Event.new_eos())
        return Gst.PadProbeReturn.DROP

    def _on_buffer(self, _pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        if self._ended:
            return Gst.PadProbeReturn.DROP
        if not self._camera:
            return Gst.PadProbeReturn.OK
        buffer = info.get_buffer()
        size = buffer.get_size()
        if self._closing is None and len(self._head) < self._HEAD_BYTES:
            # The boundary as the demuxer takes it: the body's first line, whatever the
            # Content-Type says.
            self._head += buffer.extract_dup(0, min(size, self._HEAD_BYTES - len(self._head)))
            line, newline, _ = self._head.lstrip().partition(b"\n")
            if newline and line.startswith(b"--"):
                self._closing = line.rstrip() + b"--"
        start = max(0, size - self._TAIL_BYTES)
        self._tail = (self._tail + buffer.extract_dup(start, size - start))[-self._TAIL_BYTES :]
        return Gst.PadProbeReturn.OK

    def _on_element_added(self, _decoder: Gst.Element, _bin: Gst.Bin, element: Gst.Element) -> None:
        factory = element.get_factory()
        pipeline = self._pipeline()
        if pipeline is not None and factory is not None and factory.get_name() == "multipartdemux":
            pipeline.connect_signal_handler(element, "pad-added", self._on_part_pad)

    def _on_part_pad(self, _demuxer: Gst.Element, pad: Gst.Pad) -> None:
        # The demuxer pushes each part whole, on the source's thread: by the source's EOS, this
        # counts every frame the camera sent in full.
        pipeline = self._pipeline()
        if pipeline is not None:
            pipeline.add_pad_probe(pad, Gst.PadProbeType.BUFFER, self._on_part)

    def _on_part(self, _pad: Gst.Pad, _info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        self._frames += 1
        return Gst.PadProbeReturn.OK

    def _on_end(self) -> None:
        """The source sends EOS, with no error before it."""
        if not self._camera or (self._closing is not None and self._closing in self._tail):
            # A body short of its length never gets here: souphttpsrc asks for the rest, and
            # fails if it cannot have it. Other bodies show no end to check.
            return
        self._report()

    def _on_error(self, _bus: Gst.Bus, message: Gst.Message) -> None:
        """A synchronous bus handler: runs as an element posts an error, before it is queued."""
        if message.src != self._source:
            with self._lock:
                # Another element failed first: the source's end is the consequence.
                self._settled = True
            return
        if self._started:
            self._report()

    def _report(self) -> None:
        """Posts the error that says how the stream was cut short, once a stream."""
        with self._lock:
            if self._settled or not self._started:
                return
            self._settled = True
        pipeline = self._pipeline()
        if pipeline is None:
            return
        ok, received = self._source.query_position(Gst.Format.BYTES)
        received = received if ok else 0
        details = Gst.Structure.new_empty("plumo-stream-cut")
        # The status of the answer that broke off, as souphttpsrc gives its own errors theirs.
        details.set_value("http-status-code", GObject.Value(GObject.TYPE_UINT, self._status))
        details.set_value("bytes", received)
        if self._camera:
            text = (
                f"The camera's stream ended without its closing boundary after {self._frames} "
                f"frames ({received} bytes)"
            )
            details.set_value("frames", self._frames)
        elif self._length is not None:
            text = f"The connection closed after {received} bytes of {self._length}"
            details.set_value("length", self._length)
        elif self._chunked:
            text = f"The connection closed after {received} bytes, before the body's last chunk"
        else:
            text = f"The connection closed after {received} bytes, before the end of the body"
        _post_error(pipeline, self._source, text, Gst.ResourceError.READ, details)


def _header(headers: Gst.Structure, name: str) -> Optional[str]:
    """The value of the HTTP header `name` (lower case) in souphttpsrc's headers, or None; None
    too for a header that came more than once."""
    for i in range(headers.n_fields()):
        field = headers.nth_field_name(i)
        if field.lower() == name:
            value = headers.get_value(field)
            return value.strip() if isinstance(value, str) else None
    return None


def refuse_large_frames(pipeline: Pipeline, pad: Gst.Pad, max_pixels: int) -> None:
    """Ends the stream at `pad` with an error when video of more than `max_pixels` pixels a frame
    is about to pass it.

    The check is on the caps event, which announces a frame size before any frame of that size
    passes: the error ("16000x16000 frames exceed max_frame_pixels (67108864 pixels)") is posted
    from the pad's element, the caps are dropped and the pad ends its stream with an EOS, so
    what came before is delivered and nothing of the new size goes past the pad. On a pipeline of
    the user's own, the appsink's sink pad is the place: it keeps such frames from the reader,
    though not from the elements before it.

    :param pipeline: The pipeline the pad is in; the probe is removed with its resources
    :param pad: Any pad that carries video caps (others pass untouched)
    :param max_pixels: The most pixels (width times height) a frame may have
    :raises TypeError, ValueError: `max_pixels` is not a positive int
    """
    limit = _check_max_frame_pixels(max_pixels)
    if limit is None:
        raise TypeError("max_pixels must be a number of pixels (an int), not None")
    frame_limit = _FrameLimit(pipeline, limit)
    pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, frame_limit.restart)
    frame_limit.watch(pad)


class _FrameLimit:
    """Refuses frames of more than `max_pixels` pixels at the pads it watches, with one error a
    run of the pipeline (a frame size refused at a decoder reaches the pads after it too)."""

    def __init__(self, pipeline: Pipeline, max_pixels: int):
        self._pipeline = weakref.ref(pipeline)
        self._max_pixels = max_pixels
        self._refused = False

    def watch(self, pad: Gst.Pad) -> None:
        pipeline = self._pipeline()
        if pipeline is not None:
            pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, self._on_event)

    def restart(self, _pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        """A probe for the pad where each run of the stream starts: a new run, a new check."""
        if info.get_event().type == Gst.EventType.STREAM_START:
            self._refused = False
        return Gst.PadProbeReturn.OK

    def on_decoder_added(self, _decoder: Gst.Element, _bin: Gst.Bin, element: Gst.Element) -> None:
        """The decodebin's deep-element-added handler: watches what each decoder hands on."""
        factory = element.get_factory()
        if factory is not None and factory.list_is_type(Gst.ELEMENT_FACTORY_TYPE_DECODER):
            for pad in element.srcpads:
                self.watch(pad)

    def _on_event(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        event = info.get_event()
        if event.type != Gst.EventType.CAPS:
            return Gst.PadProbeReturn.OK
        size = _frame_size(event.parse_caps())
        if size is None or size[0] * size[1] <= self._max_pixels:
            return Gst.PadProbeReturn.OK
        if not self._refused:
            self._refused = True
            self._post(pad, *size)
        # Dropping the caps alone would not do: a source pad reports them sent all the same, and
        # offers them again before the next frame. At its end, the pad takes no more frames, and
        # what is downstream ends as a stream does. (A decoder whose source pad this is still
        # makes, and frees, the frame it was about to hand on: it allocates its output whatever
        # becomes of the caps.)
        if pad.get_sticky_event(Gst.EventType.EOS, 0) is None:
            eos = Gst.Event.new_eos()
            if pad.get_direction() == Gst.PadDirection.SRC:
                pad.push_event(eos)
            else:
                pad.send_event(eos)
        return Gst.PadProbeReturn.DROP

    def _post(self, pad: Gst.Pad, width: int, height: int) -> None:
        pipeline = self._pipeline()
        if pipeline is None:
            return
        details = Gst.Structure.new_empty("plumo-frame-too-large")
        for name, value in (("width", width), ("height", height), ("max", self._max_pixels)):
            details.set_value(name, value)
        text = f"{width}x{height} frames exceed max_frame_pixels ({self._max_pixels} pixels)"
        element = pad.get_parent_element() or pipeline
        _post_error(pipeline, element, text, Gst.StreamError.FORMAT, details)


def _frame_size(caps: Optional[Gst.Caps]) -> Optional[Tuple[int, int]]:
    """(width, height) of video caps, or None."""
    if caps is None or caps.get_size() == 0:
        return None
    structure = caps.get_structure(0)
    has_width, width = structure.get_int("width")
    has_height, height = structure.get_int("height")
    return (width, height) if has_width and has_height else None


# How many threads the decoder and the converter may each use. Threads beyond the CPUs only take
# turns, and a decoder's frame threads cost CPU time of their own (a tenth to a third more than
# decoding on one thread, for H.264), which a machine kept busy pays in frames. On two CPUs, reading a 720p
# H.264 clip (with the queue, rounds in turns): the decoder's own choice, a frame thread per CPU,
# 416 frames a second; one decoder thread, 463 (6-16% more over three such runs); the converter
# on two threads instead of one, no difference. With more CPUs (not measured: the development
# machine has two) the decoder gets all but one, left to the conversion and the reader, and the
# converter, the lighter stage (0.7 of the decoding time on one thread), half of them, so that it
# does not become the one stage that cannot keep up.


def _decoder_threads() -> int:
    return max(1, _cpu_count() - 1)


def _converter_threads() -> int:
    return max(1, _cpu_count() // 2)


def _cpu_count() -> int:
    """The number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _post_error(
    pipeline: Pipeline,
    element: Gst.Element,
    text: str,
    code,
    details: Optional[Gst.Structure] = None,
) -> None:
    """Posts an error from `element` whose message, the text owners see, is `text`.

    :param code: A member of one of GStreamer's error enums (Gst.StreamError.FAILED, ...), which
        gives the error its domain too
    :param details: The facts behind the text, for owners that want them as values
    """
    error = GLib.Error.new_literal(type(code).quark(), text, int(code))
    pipeline.post_message(Gst.Message.new_error_with_details(element, error, text, details))


def _tune_decoder_element(_decoder: Gst.Element, _bin: Gst.Bin, element: Gst.Element) -> None:
    """Adjusts the elements the decoder plugs in, as it plugs them in, before data reaches them."""
    factory = element.get_factory()
    if factory is None:
        return
    if factory.get_name() == "multipartdemux":
        # A camera's multipart MJPEG stream never ends its list of parts, so the demuxer never
        # says it has all its pads, and the decoder would wait for that for ever before exposing
        # any. Such a stream carries one kind of part: say so, and the pad comes at once.
        element.set_property("single-stream", True)
    elif factory.list_is_type(_VIDEO_DECODER) and element.find_property("max-threads") is not None:
        # The libav video decoders (avdec_h264, ...): left to themselves, they take a thread per
        # CPU, and leave none to the conversion.
        element.set_property("max-threads", _decoder_threads())


def _media_type(pad: Gst.Pad) -> str:
    """The media type the pad carries ("video/x-raw", ...), or "unknown"."""
    caps = pad.get_current_caps() or pad.query_caps(None)
    return caps.get_structure(0).get_name() if caps and caps.get_size() else "unknown"


def _is_video(pad: Gst.Pad) -> bool:
    return _media_type(pad).startswith("video/")


def _describe_pads(decoder: Gst.Element) -> str:
    return ", ".join(_media_type(pad) for pad in decoder.srcpads) or "no decoded streams"
