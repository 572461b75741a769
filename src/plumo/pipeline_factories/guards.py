"""Guards on what a pipeline reads: a stream cut short is an error, not an end (`StreamEnd`), and
frames larger than a limit end the stream before anything after the decoder holds one
(`FrameLimit`, `refuse_large_frames`). Both report on the pipeline's bus (`post_error`), as the
factory base does what it finds wrong with a stream."""

import threading
import weakref
from typing import Optional, Tuple

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import BufferWatch, Pipeline  # isort: skip

from gi.repository import GLib, GObject, Gst  # noqa: E402

DEFAULT_MAX_FRAME_PIXELS = 8192 * 8192
"""A frame size limit for readers of streams they do not trust: 8192x8192. Factories start with
none (`PipelineFactory.max_frame_pixels` is None)."""


def check_max_frame_pixels(max_frame_pixels) -> Optional[int]:
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


def post_error(
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


class StreamEnd:
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

    A seek is not a cut. souphttpsrc takes any server with a Content-Length for one that answers
    Range requests, and fails a seek that gets the whole body again ("Server does not support
    seeking."). So the source is seekable, to the demuxers that ask, only when the server said it
    takes Range requests (Accept-Ranges: bytes); otherwise the stream is read from start to end
    (an MP4 whose index comes last is then held by its demuxer until the index). A source that
    fails between a seek and the first data after it keeps its own error.
    """

    # How many bytes of a camera's stream are kept to look for its closing boundary, and of its
    # start to read the boundary off its first line.
    _TAIL_BYTES = 1024
    _HEAD_BYTES = 1024

    def __init__(self, source: Gst.Element, pipeline: Pipeline):
        self._source = source
        self._pipeline = weakref.ref(pipeline)
        self._lock = threading.Lock()
        # A camera's stream, as it passes the source's pad: its first and last bytes (in C: the
        # stream comes in many small buffers); and the parts the demuxer finds in it.
        self._bytes = BufferWatch(head=self._HEAD_BYTES, tail=self._TAIL_BYTES)
        self._parts = BufferWatch()
        self._watching_bytes = False
        self._reset()

    def _reset(self) -> None:
        """Forgets the last stream: the source starts a new one (the pipeline restarted)."""
        self._started = False  # a successful response came: from now on an end is news
        self._settled = False  # reported, or another element failed first with its own cause
        self._ended = False  # the stream was ended here, and what the source still sends is dropped
        self._status = 0  # of the answer whose body this is
        self._ranges = False  # the server said it takes Range requests
        self._seeking = False  # a seek went up to the source, and no data has come since
        self._length: Optional[int] = None
        self._chunked = False
        self._camera = False
        self._bytes.reset()
        self._parts.reset()

    def attach(self, pipeline: Pipeline, decoder: Gst.Element) -> None:
        """Watches the source's pad, the decoder's demuxer and the pipeline's bus."""
        pad = self._source.get_static_pad("src")
        pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, self._on_event)
        pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_UPSTREAM, self._on_seek)
        pipeline.add_pad_probe(pad, Gst.PadProbeType.QUERY_UPSTREAM, self._on_query)
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
        elif event.type == Gst.EventType.SEGMENT:
            self._seeking = False  # the source has its data again: what goes wrong now is news
        elif event.type == Gst.EventType.EOS:
            self._on_end()
        return Gst.PadProbeReturn.OK

    def _on_seek(self, _pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        if info.get_event().type == Gst.EventType.SEEK:
            self._seeking = True
        return Gst.PadProbeReturn.OK

    def _on_query(self, _pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        query = info.get_query()
        if query.type != Gst.QueryType.SEEKING or self._ranges or not self._started:
            return Gst.PadProbeReturn.OK
        # Answered here, before the source sees it: a new seeking query says "not seekable"
        # until an element answers it (and one the bindings hand over cannot be written to).
        return Gst.PadProbeReturn.HANDLED

    def _on_response(self, pad: Gst.Pad, headers: Gst.Structure) -> Gst.PadProbeReturn:
        """A response whose body follows (souphttpsrc pushes no headers of one that failed)."""
        status = headers.get_value("http-status-code")
        if not 200 <= status < 300:
            return Gst.PadProbeReturn.OK  # a server error it is about to ask again after
        if not self._started:
            self._started = True
            self._status = status
            response = headers.get_value("response-headers")
            length = header_value(response, "content-length")
            self._length = int(length) if length is not None and length.isdigit() else None
            self._chunked = "chunked" in (header_value(response, "transfer-encoding") or "").lower()
            self._ranges = (header_value(response, "accept-ranges") or "").lower() == "bytes"
            content_type = (header_value(response, "content-type") or "").lower()
            self._camera = content_type.startswith("multipart/")
            if self._camera:
                # A camera's stream asked for again is a new stream, not the rest of the old one.
                # souphttpsrc asks once whatever its retries (each byte read restarts its count);
                # 0 stops it there when that answer too breaks off before its first byte, where
                # the default would ask the camera 3 more times, at once.
                self._source.set_property("retries", 0)
                if not self._watching_bytes:
                    self._watching_bytes = True
                    self._bytes.watch(pad)
            return Gst.PadProbeReturn.OK
        if not self._camera:
            return Gst.PadProbeReturn.OK  # the rest of a body, from where it broke off
        # The camera answered the request for the rest: its bytes would be spliced into the part
        # that broke off. The stream ends here, and whatever comes from that answer is dropped.
        self._report()
        self._ended = True
        self._bytes.drop()
        pad.push_event(Gst.Event.new_eos())
        return Gst.PadProbeReturn.DROP

    def _on_element_added(self, _decoder: Gst.Element, _bin: Gst.Bin, element: Gst.Element) -> None:
        factory = element.get_factory()
        pipeline = self._pipeline()
        if pipeline is not None and factory is not None and factory.get_name() == "multipartdemux":
            pipeline.connect_signal_handler(element, "pad-added", self._on_part_pad)

    def _on_part_pad(self, _demuxer: Gst.Element, pad: Gst.Pad) -> None:
        # The demuxer pushes each part whole, on the source's thread: by the source's EOS, this
        # counts every frame the camera sent in full.
        self._parts.watch(pad)

    def _closing_boundary(self) -> Optional[bytes]:
        """The line that closes the camera's stream: its boundary as the demuxer takes it (the
        body's first line, whatever the Content-Type says), with "--" after it."""
        line, newline, _ = self._bytes.head.lstrip().partition(b"\n")
        return line.rstrip() + b"--" if newline and line.startswith(b"--") else None

    def _on_end(self) -> None:
        """The source sends EOS, with no error before it."""
        closing = self._closing_boundary() if self._camera else None
        if not self._camera or (closing is not None and closing in self._bytes.tail):
            # A body short of its length never gets here: souphttpsrc asks for the rest, and
            # fails if it cannot have it. Other bodies show no end to check.
            return
        self._report()

    def _on_error(self, _bus: Gst.Bus, message: Gst.Message) -> None:
        """A synchronous bus handler: runs as an element posts an error, before it is queued."""
        if message.src != self._source or self._seeking:
            with self._lock:
                # Another element failed first, and the source's end is the consequence; or the
                # source could not seek, and says so itself.
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
                f"The camera's stream ended without its closing boundary after {self._parts.count} "
                f"frames ({received} bytes)"
            )
            details.set_value("frames", self._parts.count)
        elif self._length is not None:
            text = f"The connection closed after {received} bytes of {self._length}"
            details.set_value("length", self._length)
        elif self._chunked:
            text = f"The connection closed after {received} bytes, before the body's last chunk"
        else:
            text = f"The connection closed after {received} bytes, before the end of the body"
        post_error(pipeline, self._source, text, Gst.ResourceError.READ, details)


def header_value(headers: Gst.Structure, name: str) -> Optional[str]:
    """The value of the HTTP header `name` (lower case) in souphttpsrc's headers (the
    "response-headers" of its "http-headers"), or None; None too for a header that came more
    than once."""
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
    limit = check_max_frame_pixels(max_pixels)
    if limit is None:
        raise TypeError("max_pixels must be a number of pixels (an int), not None")
    frame_limit = FrameLimit(pipeline, limit)
    pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, frame_limit.restart)
    frame_limit.watch(pad)


class FrameLimit:
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
        post_error(pipeline, element, text, Gst.StreamError.FORMAT, details)


def _frame_size(caps: Optional[Gst.Caps]) -> Optional[Tuple[int, int]]:
    """(width, height) of video caps, or None."""
    if caps is None or caps.get_size() == 0:
        return None
    structure = caps.get_structure(0)
    has_width, width = structure.get_int("width")
    has_height, height = structure.get_int("height")
    return (width, height) if has_width and has_height else None
