"""What a stream is, as its reader knows it once it has opened: size, frame rate, codec, and
whether it is live."""

import json
import re
from dataclasses import asdict, dataclass
from typing import Optional

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import Gst  # isort: skip

import gi  # noqa: E402

gi.require_version("GstPbutils", "1.0")
from gi.repository import GstPbutils  # noqa: E402

# Video decoders, and the image decoders a camera's JPEG frames go through.
_DECODERS = (
    Gst.ELEMENT_FACTORY_TYPE_DECODER | Gst.ELEMENT_FACTORY_TYPE_MEDIA_VIDEO,
    Gst.ELEMENT_FACTORY_TYPE_DECODER | Gst.ELEMENT_FACTORY_TYPE_MEDIA_IMAGE,
)
# GStreamer's codec descriptions add the profile: "H.264 (High Profile)".
_PROFILE = re.compile(r"\s*\(.*\)$")


@dataclass(frozen=True)
class StreamInfo:
    """A stream's properties, known from `StreamReader.open()` on, before the first frame is
    read."""

    width: int
    """The frames' width in pixels."""
    height: int
    """The frames' height in pixels."""
    fps: Optional[float]
    """The frame rate the stream declares, or None when it declares none (a camera's MJPEG,
    variable frame rates)."""
    codec: str
    """The video codec, as people name it: "H.264", "H.265", "JPEG", "VP8", ... ("Raw video"
    when the stream is not compressed)."""
    live: bool
    """Whether the stream is live (a camera, a live source: it has no end and no duration),
    rather than a recording read at its own pace."""
    duration: Optional[float] = None
    """A recording's length in seconds, as its container gives it; None for live streams and
    where the container does not say. A Matroska file written as a stream (without going back
    to its header) has no duration, and GStreamer's demuxer guesses one from its first clusters."""
    frames: Optional[int] = None
    """How many frames a recording holds, as its container declares it (AVI; Matroska, from
    its duration); None for live streams and where the container does not say (MP4 and Ogg
    give their duration alone)."""

    def to_json(self) -> str:
        return json.dumps(asdict(self))


def describe_stream(pipeline: Gst.Pipeline, caps: Gst.Caps) -> StreamInfo:
    """The properties of the stream a playing `pipeline` reads, whose decoded frames reach its
    appsink with `caps`."""
    structure = caps.get_structure(0)
    _, width = structure.get_int("width")
    _, height = structure.get_int("height")
    fps = None
    found, numerator, denominator = structure.get_fraction("framerate")
    if found and numerator > 0 and denominator > 0:
        fps = numerator / denominator
    live = _is_live(pipeline)
    duration = frames = None
    if not live:
        known, nanoseconds = pipeline.query_duration(Gst.Format.TIME)
        duration = nanoseconds / Gst.SECOND if known and nanoseconds > 0 else None
        frames = _declared_frames(pipeline)
    return StreamInfo(width, height, fps, _codec(pipeline), live, duration, frames)


def _declared_frames(pipeline: Gst.Pipeline) -> Optional[int]:
    """The frame count upstream of the appsink, where a demuxer declares one: a duration in
    video's default format, frames."""
    appsink = getattr(pipeline, "appsink", None)
    pad = appsink.get_static_pad("sink") if appsink is not None else None
    if pad is None:
        return None
    known, count = pad.peer_query_duration(Gst.Format.DEFAULT)
    return count if known and count > 0 else None


def _codec(pipeline: Gst.Pipeline) -> str:
    """The readable name of what the pipeline's video decoder takes in."""
    for element in _elements(pipeline):
        factory = element.get_factory()
        if factory is None or not any(factory.list_is_type(kind) for kind in _DECODERS):
            continue
        pad = element.get_static_pad("sink")
        caps = pad.get_current_caps() if pad is not None else None
        if caps is not None and caps.get_size():
            return _PROFILE.sub("", GstPbutils.pb_utils_get_codec_description(caps))
    return "Raw video"


def _is_live(pipeline: Gst.Pipeline) -> bool:
    """Live sources say so when asked for their latency; a camera over HTTP does not, but
    neither has it a duration, which every recording has."""
    query = Gst.Query.new_latency()
    if pipeline.query(query) and query.parse_latency()[0]:
        return True
    known, duration = pipeline.query_duration(Gst.Format.TIME)
    return not known or duration <= 0


def _elements(pipeline: Gst.Pipeline):
    iterator = pipeline.iterate_recurse()
    while True:
        result, element = iterator.next()
        if result == Gst.IteratorResult.OK:
            yield element
        elif result == Gst.IteratorResult.RESYNC:
            iterator.resync()
        else:
            return
