"""What every pipeline factory shares: the names of the contract with a pipeline, and the decoding
of a source into BGR frames (or, when asked, the decoder's own pictures) at the pipeline's
application sink."""

import functools
import os
import threading
import weakref
from abc import ABC, abstractmethod
from numbers import Real
from typing import Callable, Optional

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import (  # isort: skip
    Pipeline,
    drop_before_keyframe,
    offer_video_meta,
)

from gi.repository import Gst  # noqa: E402

from plumo.errors import NotLinkedError, StreamSetupError  # noqa: E402
from plumo.logger import logger  # noqa: E402
from plumo.pipeline_factories.guards import (  # noqa: E402
    FrameLimit,
    StreamEnd,
    check_max_frame_pixels,
    post_error,
)
from plumo.pipeline_factories.sampling import Sampling  # noqa: E402
from plumo.pipeline_factories.sources import (  # noqa: E402
    SourceSettings,
    configure_http_source,
    stop_when_answered,
)
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
    # A sink keeps the last frame it took otherwise, for nobody: a decoded picture a stream.
    "enable-last-sample": False,
}

# In newest-frame mode the appsink keeps the newest decoded frame alone, dropping the one before
# it when the reader has not taken it yet.
_NEWEST_FRAME_PROPERTIES = {"max-buffers": 1, "drop": True}

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

_PIPELINE_WATCHER = Callable[[Gst.Bus, Gst.Message, Pipeline], bool]
"""A bus watch: called with the bus, the message and the pipeline; returns whether to stay.

What comes before the pipeline's own first state change is not about the stream: the HTTP factory
starts its source before the decoder set-up links it (and then restarts it), and a source quick
enough to push meanwhile reports a "not-linked" error. A watcher should take no notice of it."""

_ON_COMPLETE_CALLBACK = Callable[[Pipeline], None]
"""Called with a pipeline once its source is decoded into the application sink."""

_BGR_CAPS = "video/x-raw,format=BGR"
# The decoder's own pictures where the native frame path converts them, BGR otherwise. The
# converter passes them through untouched, and converts only what the first structure refuses:
# 10-bit, interlaced, RGB and other layouts.
_NATIVE_CAPS = (
    "video/x-raw,format={ I420, YV12, NV12, NV21, Y42B, Y444 },interlace-mode=progressive; "
    + _BGR_CAPS
)

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
    rate = float(max_framerate)
    if not rate > 0 or rate == float("inf"):
        raise ValueError(f"max_framerate must be a positive, finite number, not {max_framerate}")
    return rate


def _check_flag(name: str, value) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return value


class PipelineFactory(ABC):
    """Builds pipelines that read one source URL into BGR frames at their application sink."""

    _ca: Optional[tls.CaFile] = None
    # Off unless the owner asks, so that a factory built by users behaves as it always has.
    _detect_truncation = False
    _max_frame_pixels: Optional[int] = None
    _native_frames = False
    _keyframes_only = False
    _newest_frame_only = False
    _source_settings = SourceSettings()

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
        self._detect_truncation = _check_flag("detect_truncation", value)

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
        self._max_frame_pixels = check_max_frame_pixels(value)

    @property
    def native_frames(self) -> bool:
        """Whether pipelines built from now on deliver the decoder's own pictures, where
        `plumo.utils.gstreamer.pull_frame` converts them: 8-bit progressive I420, YV12, NV12,
        NV21, Y42B or Y444, with their caps' colorimetry. Other video is converted into the
        nearest of those (10-bit into 8-bit, packed 4:2:2 into planar), or into BGR (RGB,
        interlaced video). False (the default): BGR only, as `sample_to_ndarray` takes it.
        """
        return self._native_frames

    @native_frames.setter
    def native_frames(self, value: bool) -> None:
        self._native_frames = _check_flag("native_frames", value)

    @property
    def keyframes_only(self) -> bool:
        """Whether pipelines built from now on decode and deliver keyframes only (with
        `max_framerate`, at most that many of them a second). The other frames are dropped
        before the decoder. Video whose frames carry no keyframe marks (raw video, images, a
        camera's MJPEG) is all keyframes. False (the default): every frame.
        """
        return self._keyframes_only

    @keyframes_only.setter
    def keyframes_only(self, value: bool) -> None:
        self._keyframes_only = _check_flag("keyframes_only", value)

    @property
    def newest_frame_only(self) -> bool:
        """Whether pipelines built from now on keep only the newest decoded frame for the reader,
        dropping one it has not taken when the next arrives, so that it never reads a picture
        older than the newest; nothing else between the decoder and the appsink keeps decoded
        frames then. False (the default): the appsink keeps a few, and holds the stream back
        when they are not taken.
        """
        return self._newest_frame_only

    @newest_frame_only.setter
    def newest_frame_only(self, value: bool) -> None:
        self._newest_frame_only = _check_flag("newest_frame_only", value)

    @property
    def source_settings(self) -> SourceSettings:
        """What the sources of the pipelines built from now on are told besides their location:
        user agent, extra HTTP headers, whether to check certificates, the RTSP transport."""
        return self._source_settings

    @source_settings.setter
    def source_settings(self, value: SourceSettings) -> None:
        if not isinstance(value, SourceSettings):
            raise TypeError(f"source_settings must be a SourceSettings, not {type(value).__name__}")
        self._source_settings = value

    @abstractmethod
    def build(self) -> Pipeline:
        """Builds a new pipeline for the URL and asks it to play."""

    def _set_up_decoder(self, source: Gst.Element, pad: Optional[Gst.Pad], pipeline: Pipeline):
        """Decodes what the source pad produces into frames at the pipeline's appsink: BGR, or the
        decoder's own pictures where `native_frames` asks for them.

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
        if self._newest_frame_only:
            for name, value in _NEWEST_FRAME_PROPERTIES.items():
                appsink.set_property(name, value)
        # The source may have been started already, and its request be under way. Stop it, so
        # that it starts afresh with the rest of the pipeline: a request interrupted by the
        # pipeline's own start-up can leave it waiting for ever, without an error. Not in the
        # middle of the answer, though, which libsoup 3 does not survive.
        stop_when_answered(source, pad)
        kind = source.get_factory()
        if kind is not None and kind.get_name() == "souphttpsrc":
            configure_http_source(source, self._source_settings, self._ca)
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
        # and a 720p H.264 clip is read about a fifth slower on two CPUs. The decoder's own
        # pictures are converted by their reader, on its thread, and the appsink's few frames
        # let the two overlap; a queue would only add a hand-over between threads (without it,
        # 9-17% more frames a second at 720p, and 15% less CPU time per frame, in six rounds).
        # In newest-frame mode the queue would be a backlog of old pictures: none either.
        queue = None
        if not self._native_frames and not self._newest_frame_only:
            queue = pipeline.new_element(
                "queue", properties=_CONVERT_QUEUE_PROPERTIES, auto_play=False
            )
        convert = pipeline.new_element(
            "videoconvert",
            link_to=queue,
            properties={"n-threads": _converter_threads()},
            auto_play=False,
        )
        caps = _NATIVE_CAPS if self._native_frames else _BGR_CAPS
        frames, _ = pipeline.filter_caps(convert, [caps], auto_play=False)
        if not frames.link(appsink):
            raise NotLinkedError(f"Failed to link {frames.get_name()} to the appsink")
        if self._native_frames:
            # The native frame path finds the planes through the video meta, so a decoder may
            # hand out its own padded pictures instead of copying each one (a libav decoder
            # copies every frame otherwise).
            offer_video_meta(appsink.get_static_pad("sink"))
        chain_sink = (queue or convert).get_static_pad("sink")
        sampling = Sampling(self._max_framerate, self._keyframes_only)
        if sampling.active:
            # What can be is dropped before the decoder; the rest before it is queued and
            # converted.
            sampling.watch_decoders(pipeline, decoder)
            sampling.limit_after_decoding(chain_sink)

        if self._detect_truncation:
            StreamEnd(source, pipeline).attach(pipeline, decoder)
        if self._max_frame_pixels is not None:
            # Checked as each decoder announces its output, before anything after it holds a
            # frame; raw video, which has no decoder, where it enters the chain.
            frame_limit = FrameLimit(pipeline, self._max_frame_pixels)
            pipeline.add_pad_probe(pad, Gst.PadProbeType.EVENT_DOWNSTREAM, frame_limit.restart)
            pipeline.connect_signal_handler(
                decoder, "deep-element-added", frame_limit.on_decoder_added
            )
            frame_limit.watch(chain_sink)

        link = _DecodedPadLink(chain_sink, pipeline, self._on_complete)
        _OPEN_STREAMS.add(pipeline)
        pipeline.connect_signal_handler(
            decoder,
            "deep-element-added",
            _tune_decoder_element,
            weakref.ref(pipeline),
            self._newest_frame_only,
        )
        pipeline.connect_signal_handler(decoder, "pad-added", link.on_pad_added)
        pipeline.connect_signal_handler(decoder, "no-more-pads", link.on_no_more_pads)


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
            post_error(
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
                post_error(pipeline, decoder, f"on_complete failed: {e!r}", Gst.StreamError.FAILED)

    def on_no_more_pads(self, decoder: Gst.Element) -> None:
        # Every pad of this round is out. Without a video one the stream can never deliver a
        # frame, so say so rather than leave the owner waiting for one.
        if self._chain_sink.is_linked():
            return
        pipeline = self._pipeline()
        if pipeline is not None:
            post_error(
                pipeline,
                decoder,
                f"The stream has no video: {_describe_pads(decoder)}",
                Gst.StreamError.WRONG_TYPE,
            )


# How many threads a libav decoder and the converter may each use. Threads beyond the CPUs only
# take turns, and a decoder's frame threads cost CPU time of their own (a tenth to a third more
# than decoding on one thread, for H.264), which a machine kept busy pays in frames. With the
# reader converting the decoder's own pictures (bench/bench_decoder_threads.py, natural 720p and
# 1080p clips, 2 CPUs, 8 rounds): two frame threads make one stream 10-24% faster for 2-14% more
# CPU time per frame, and four streams at once 5-6% slower for 5-7% more; one thread a stream gives
# the most frames per CPU second when the CPUs are all busy. So the CPUs are shared among the
# streams open in this process when a decoder is set up: a lone stream gets a thread per CPU, and
# from as many streams as CPUs on, each gets one. The count is taken at each decoder's start and
# not revisited: libav reads it when it opens the codec, and a running decoder told anew would have
# to be opened again, losing its reference pictures up to the next keyframe. What kind of threads
# is left to the libav elements, which take frame and slice threads for a stream that is not
# live, and slice threads alone for a live one (frame threads hold each picture back by a frame
# per thread); a reader that wants the newest picture (`latest`) gets slice threads alone too.
# The converter (only where frames are converted to BGR in the pipeline), the lighter stage (0.7
# of the decoding time on one thread), gets half of the CPUs.


class _StreamCount:
    """The pipelines whose decoders are set up and not yet released, in this process."""

    def __init__(self):
        self._open: "weakref.WeakSet[Pipeline]" = weakref.WeakSet()
        self._lock = threading.Lock()

    def add(self, pipeline: Pipeline) -> None:
        """Counts `pipeline` until its resources are released (or it is collected)."""
        with self._lock:
            self._open.add(pipeline)
        # A weak reference: the pipeline's own undo list must not keep it alive.
        pipeline.destructors.append(functools.partial(self._discard, weakref.ref(pipeline)))

    def _discard(self, released: "weakref.ref[Pipeline]") -> None:
        pipeline = released()
        with self._lock:
            if pipeline is not None:
                self._open.discard(pipeline)

    def __len__(self) -> int:
        with self._lock:
            return len(self._open)


_OPEN_STREAMS = _StreamCount()


def _decoder_threads() -> int:
    return max(1, _cpu_count() // max(1, len(_OPEN_STREAMS)))


def _converter_threads() -> int:
    return max(1, _cpu_count() // 2)


def _cpu_count() -> int:
    """The number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


_SLICE_THREADS = 2  # libav's FF_THREAD_SLICE, in the decoders' "thread-type" flags


def _tune_decoder_element(
    _decoder: Gst.Element,
    _bin: Gst.Bin,
    element: Gst.Element,
    pipeline: "weakref.ref[Pipeline]",
    low_latency: bool = False,
) -> None:
    """Adjusts the elements the decoder plugs in, as it plugs them in, before data reaches them;
    with `low_latency`, a libav decoder takes no frame threads."""
    factory = element.get_factory()
    if factory is None:
        return
    name = factory.get_name()
    if name == "multipartdemux":
        # A camera's multipart MJPEG stream never ends its list of parts, so the demuxer never
        # says it has all its pads, and the decoder would wait for that for ever before exposing
        # any. Such a stream carries one kind of part: say so, and the pad comes at once.
        element.set_property("single-stream", True)
    elif name in _SEEKS_FOR_DURATION:
        owner = pipeline()
        sink = element.get_static_pad("sink")
        if owner is not None and sink is not None:
            owner.connect_signal_handler(sink, "linked", _hide_byte_length, pipeline)
    elif factory.list_is_type(_VIDEO_DECODER):
        if element.find_property("max-threads") is not None:
            # The libav video decoders (avdec_h264, ...): left to themselves, they take a thread
            # per CPU whatever else the process decodes.
            element.set_property("max-threads", _decoder_threads())
            if low_latency:
                element.set_property("thread-type", _SLICE_THREADS)
        if element.find_property("output-corrupt") is not None:
            # Nor do they hand on only what they could decode whole.
            element.set_property("output-corrupt", False)
        sink = element.get_static_pad("sink")
        if sink is not None:
            # A camera's stream is joined anywhere between two keyframes: what comes before the
            # first refers to frames that never came, and a decoder makes grey pictures of it
            # (avdec_h265 even hands them on as sound).
            drop_before_keyframe(sink)


# Demuxers that, reading a stream rather than a file, seek their source on their own once their
# decoders have the stream's headers: oggdemux seeks near the end to learn the duration, then
# back to the start. A decoder flushed in the middle of its headers, or of the negotiation they
# lead to, refuses them when they come again (theoradec: "Failed to negotiate", then "couldn't
# read header packet": "Could not decode stream." in about one open in four, bare GStreamer
# alike), and a server that ignores Range requests fails the seek outright. Told that the length
# is unknown, as for a live stream, it reads from start to end without seeking, which is all a
# reader does; only its duration stays unknown.
_SEEKS_FOR_DURATION = frozenset(["oggdemux"])


def _hide_byte_length(_sink: Gst.Pad, peer: Gst.Pad, pipeline: "weakref.ref[Pipeline]") -> None:
    """The demuxer's sink pad was linked: its length queries go to `peer`, and find nothing."""
    owner = pipeline()
    if owner is not None:
        owner.add_pad_probe(peer, Gst.PadProbeType.QUERY_UPSTREAM, _unknown_byte_length)


def _unknown_byte_length(pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
    # Pulling from a file, the demuxer reads what it needs where it needs it before any decoder
    # is there, and cannot do without the length.
    if pad.mode != Gst.PadMode.PUSH:
        return Gst.PadProbeReturn.OK
    query = info.get_query()
    if query.type == Gst.QueryType.DURATION and query.parse_duration()[0] == Gst.Format.BYTES:
        return Gst.PadProbeReturn.DROP  # unanswered: a length of -1
    return Gst.PadProbeReturn.OK


def _media_type(pad: Gst.Pad) -> str:
    """The media type the pad carries ("video/x-raw", ...), or "unknown"."""
    caps = pad.get_current_caps() or pad.query_caps(None)
    return caps.get_structure(0).get_name() if caps and caps.get_size() else "unknown"


def _is_video(pad: Gst.Pad) -> bool:
    return _media_type(pad).startswith("video/")


def _describe_pads(decoder: Gst.Element) -> str:
    return ", ".join(_media_type(pad) for pad in decoder.srcpads) or "no decoded streams"
