"""Which frames a pipeline decodes and delivers: at most so many a second (`RateLimiter`), or
keyframes only, with as much as possible of what is not delivered dropped before the decoder
(`Sampling`).

Analytics often wants one frame a second of a 25 fps camera. Converting only those saves a
little; not decoding the others saves most of the work, and what can be left undecoded depends
on the coding:

- intra-only video (a camera's MJPEG, images): each frame stands alone, so the limit itself is
  applied before the decoder;
- keyframes only: the delta units never reach the decoder, and the limit, if any, picks among
  the keyframes there too;
- inter-coded video (H.264, ...) under a limit: every frame up to the last one kept in a group
  of pictures is needed to decode it, but those after it, up to the next keyframe, are not when
  the next kept frame comes at or after that keyframe. The keyframe spacing the stream has shown
  so far says when the next one comes. Where the coding reorders frames (B-frames), the H.264
  pictures no other refers to are dropped instead, when the limit is a quarter of the stream's
  rate or less.
"""

import time
import weakref
from typing import List, Optional

from gi.repository import Gst

# Containers round timestamps (Matroska to the millisecond), so a frame may come a little before
# the slot it falls on. Live frames without timestamps go by their arrival, which wavers more.
_TIMESTAMP_SLACK = 2 * Gst.MSECOND
_CLOCK_SLACK_SHARE = 10

# Each frame stands alone in these: there is nothing to keep for the frames after it.
_INTRA_ONLY = frozenset(["image/jpeg", "image/png", "image/jp2", "image/x-j2c", "image/x-jpc"])

# With reordered frames, the pictures no other refers to are dropped when a kept frame is needed
# at most once in this many frames of the stream: coders put up to three of them in a row.
_SKIP_NON_REFERENCE_RATIO = 4
_H264_SLICES = (1, 5)  # NAL unit types of coded slices: non-IDR and IDR


class RateLimiter:
    """Lets at most `max_framerate` frames a second through, on a grid of slots.

    Time is the frames' own timestamps, so a clip read faster than real time keeps one frame in
    so many of its own; frames without timestamps (a camera's MJPEG, say) go by the clock. The
    first frame at or after a slot fills it, so the frames kept average the limit rather than the
    next slower rate the input's spacing allows (12.5 a second of 25 is every second frame). A
    gap starts a new grid at the next frame; a timestamp that goes back (a restart, a new
    segment) starts afresh.
    """

    def __init__(self, max_framerate: float):
        self.interval = round(Gst.SECOND / max_framerate)
        self._clock_slack = self.interval // _CLOCK_SLACK_SHARE
        self._timestamp_slack = min(self._clock_slack, _TIMESTAMP_SLACK)
        self._by_clock: Optional[bool] = None
        self.next_slot: Optional[int] = None  # where the next frame kept falls, on its time base
        self._last = 0  # the time of the last frame kept, once there is a next slot

    def slack(self) -> int:
        """How early a frame may be for the next slot, on the time base in use."""
        return self._clock_slack if self._by_clock else self._timestamp_slack

    def admits(self, pts: int) -> bool:
        """Whether the frame with this timestamp (or `Gst.CLOCK_TIME_NONE`) is kept."""
        by_clock = pts == Gst.CLOCK_TIME_NONE
        now = time.monotonic_ns() if by_clock else pts
        if by_clock != self._by_clock:
            self._by_clock, self.next_slot = by_clock, None
        slack, due = self.slack(), self.next_slot
        if due is not None and self._last <= now < due - slack:
            return False
        # Anything before the last frame kept is a jump back; it is off the grid, as a gap is.
        on_grid = due is not None and -slack <= now - due < self.interval
        self.next_slot = (due if on_grid else now) + self.interval
        self._last = now
        return True

    def on_buffer(self, _pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        """The limit as a buffer probe."""
        if self.admits(info.get_buffer().pts):
            return Gst.PadProbeReturn.OK
        return Gst.PadProbeReturn.DROP


class Sampling:
    """One pipeline's choice of frames: a rate limit, keyframes only, or both.

    `watch_decoders` puts a `_DecoderInput` before each decoder plugged into a bin, which drops
    what need not be decoded; `after_decoding` is the probe, where decoded frames enter the
    conversion, that applies the limit when it was not applied before the decoder.
    """

    def __init__(self, max_framerate: Optional[float], keyframes_only: bool):
        self.max_framerate = max_framerate
        self.keyframes_only = keyframes_only
        self._after = None if max_framerate is None else RateLimiter(max_framerate)
        # Set as a decoder's input is known: whether the limit is applied before it.
        self.limited_before_decoding = False
        self._pipeline = lambda: None

    @property
    def active(self) -> bool:
        return self.max_framerate is not None or self.keyframes_only

    def watch_decoders(self, pipeline, bin_: Gst.Bin) -> None:
        """Watches the decoders in `bin_`, and those added to it or to any bin within, from now
        on. `pipeline` owns the signal handler and the probes."""
        # Weakly: the handler is held by the pipeline's own elements.
        self._pipeline = weakref.ref(pipeline)
        pipeline.connect_signal_handler(bin_, "deep-element-added", self._on_element_added)
        elements = bin_.iterate_recurse()
        found: List[Gst.Element] = []
        while True:
            result, element = elements.next()
            if result == Gst.IteratorResult.RESYNC:  # the bin changed meanwhile: from the start
                elements.resync()
                found.clear()
            elif result != Gst.IteratorResult.OK:
                break
            else:
                found.append(element)
        for element in found:
            self._watch(element)

    def _on_element_added(self, _bin: Gst.Bin, _sub_bin: Gst.Bin, element: Gst.Element) -> None:
        self._watch(element)

    def _watch(self, element: Gst.Element) -> None:
        factory = element.get_factory()
        if factory is None or not factory.list_is_type(Gst.ELEMENT_FACTORY_TYPE_DECODER):
            return
        sink, pipeline = element.get_static_pad("sink"), self._pipeline()
        if sink is not None and pipeline is not None:
            gate = _DecoderInput(self)
            probes = Gst.PadProbeType.BUFFER | Gst.PadProbeType.EVENT_DOWNSTREAM
            pipeline.add_pad_probe(sink, probes, gate.on_data)
            # A decoder already running (in a template started before it is watched) has had
            # its caps.
            caps = sink.get_current_caps()
            if caps is not None:
                gate.on_caps(sink, caps)

    def after_decoding(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        """The buffer probe for decoded frames."""
        if self._after is None or self.limited_before_decoding:
            return Gst.PadProbeReturn.OK
        return self._after.on_buffer(pad, info)


class _DecoderInput:
    """What reaches one decoder: a probe on its sink pad, on its streaming thread."""

    def __init__(self, sampling: Sampling):
        self._sampling = sampling
        self._video = False
        self._limit_here = False
        self._may_skip = False
        # H.264's NAL units: the size of their length prefix (0: start codes), None: not H.264
        self._h264_lengths: Optional[int] = None
        self._limiter: Optional[RateLimiter] = None
        self._framerate = 0.0
        self._reset()

    def _reset(self) -> None:
        rate = self._sampling.max_framerate
        # Where the limit is applied after the decoder, this one decides as that one will,
        # frame by frame: both see the same frames with the same timestamps.
        self._limiter = None if rate is None else RateLimiter(rate)
        self._previous: Optional[int] = None
        self._last_key: Optional[int] = None
        self._longest_group = 0  # the most time between two keyframes so far
        self._spacing = Gst.SECOND  # the least time between two frames so far (within reason)
        self._reordered = False
        self._skipping = False

    def on_data(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        if info.type & Gst.PadProbeType.BUFFER:
            return self._on_buffer(pad, info.get_buffer())
        event = info.get_event()
        if event.type == Gst.EventType.CAPS:
            self.on_caps(pad, event.parse_caps())
        elif event.type == Gst.EventType.FLUSH_STOP:
            self._reset()
        return Gst.PadProbeReturn.OK

    def on_caps(self, pad: Gst.Pad, caps: Gst.Caps) -> None:
        """Learns what the decoder takes, and how its input is to be sampled."""
        if caps is None or caps.get_size() == 0:
            return
        structure = caps.get_structure(0)
        media = structure.get_name()
        self._video = media.startswith(("video/", "image/"))
        if not self._video:
            return
        ok, numerator, denominator = structure.get_fraction("framerate")
        self._framerate = numerator / denominator if ok and denominator else 0.0
        self._h264_lengths = _h264_length_size(structure) if media == "video/x-h264" else None
        sampling = self._sampling
        self._limit_here = sampling.max_framerate is not None and (
            sampling.keyframes_only or media in _INTRA_ONLY
        )
        sampling.limited_before_decoding = self._limit_here
        # Decoding starts again at a keyframe after a group's rest is skipped. One that is not
        # an IDR picture may leave later frames referring to what was skipped: only a decoder
        # that refuses frames it could not decode whole (libav's) may skip.
        decoder = pad.get_parent_element()
        self._may_skip = (
            sampling.max_framerate is not None
            and not self._limit_here
            and decoder is not None
            and decoder.find_property("output-corrupt") is not None
        )
        if self._may_skip:
            decoder.set_property("output-corrupt", False)

    def _on_buffer(self, pad: Gst.Pad, buffer: Gst.Buffer) -> Gst.PadProbeReturn:
        if not self._video:
            return Gst.PadProbeReturn.OK
        key = not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT)
        if self._sampling.keyframes_only and not key:
            return Gst.PadProbeReturn.DROP
        if self._limiter is None:
            return Gst.PadProbeReturn.OK
        if self._limit_here:
            kept = self._limiter.admits(buffer.pts)
            return Gst.PadProbeReturn.OK if kept else Gst.PadProbeReturn.DROP
        if self._reordered and self._drops_non_reference and not _h264_is_reference(
            buffer, self._h264_lengths
        ):
            return Gst.PadProbeReturn.DROP
        return self._skip_rest_of_group(self._limiter, buffer.pts, key)

    @property
    def _drops_non_reference(self) -> bool:
        rate = self._sampling.max_framerate
        return (
            self._h264_lengths is not None
            and rate is not None
            and self._framerate >= _SKIP_NON_REFERENCE_RATIO * rate
        )

    def _skip_rest_of_group(
        self, limiter: RateLimiter, pts: int, key: bool
    ) -> Gst.PadProbeReturn:
        """Drops the frames of a group of pictures after the last one the limit keeps."""
        if pts == Gst.CLOCK_TIME_NONE:
            return Gst.PadProbeReturn.OK  # nothing to tell when the next keyframe comes
        previous, self._previous = self._previous, pts
        if previous is not None and pts < previous:
            if key:  # a restart: what was learnt of the groups may no longer hold
                self._last_key, self._longest_group, self._skipping = None, 0, False
            else:
                self._reordered = True
        elif previous is not None and pts > previous:
            self._spacing = min(self._spacing, pts - previous)
        if key:
            if self._last_key is not None and pts > self._last_key:
                self._longest_group = max(self._longest_group, pts - self._last_key)
            self._last_key, self._skipping = pts, False
        elif self._skipping:
            return Gst.PadProbeReturn.DROP
        kept = limiter.admits(pts)
        if not kept or self._reordered or not (self._may_skip and self._longest_group):
            return Gst.PadProbeReturn.OK
        assert self._last_key is not None and limiter.next_slot is not None
        # Kept. Nothing between it and the next keyframe will be, when the frame just before
        # that keyframe still comes before the next slot opens.
        next_key = self._last_key + self._longest_group
        self._skipping = next_key - self._spacing < limiter.next_slot - limiter.slack()
        return Gst.PadProbeReturn.OK


def _h264_length_size(structure: Gst.Structure) -> Optional[int]:
    """The size of the length prefix of an H.264 stream's NAL units, 0 for start codes, None
    when its caps do not say."""
    form = structure.get_string("stream-format")
    if form == "byte-stream":
        return 0
    if form in ("avc", "avc3") and structure.has_field("codec_data"):
        codec_data = structure.get_value("codec_data")
        ok, info = codec_data.map(Gst.MapFlags.READ)
        if ok:
            try:
                if len(info.data) > 4:
                    return (info.data[4] & 3) + 1
            finally:
                codec_data.unmap(info)
    return None


def _h264_is_reference(buffer: Gst.Buffer, length_size: Optional[int]) -> bool:
    """Whether an H.264 access unit holds a picture that others may refer to: one of its slices
    has a nal_ref_idc other than 0. When in doubt, it does."""
    ok, info = buffer.map(Gst.MapFlags.READ)
    if not ok:
        return True
    try:
        headers = list(_nal_headers(info.data, length_size))
    finally:
        buffer.unmap(info)
    slices = [header for header in headers if header & 0x1F in _H264_SLICES]
    return not slices or any(header & 0x60 for header in slices)


def _nal_headers(data: memoryview, length_size: Optional[int]):
    """The first byte of each NAL unit in `data`."""
    if length_size is None:
        return
    size = len(data)
    if length_size:
        offset = 0
        while offset + length_size < size:
            length = int.from_bytes(data[offset : offset + length_size], "big")
            yield data[offset + length_size]
            offset += length_size + length
        return
    raw = bytes(data)
    start = raw.find(b"\x00\x00\x01")
    while 0 <= start < size - 3:
        yield raw[start + 3]
        start = raw.find(b"\x00\x00\x01", start + 3)
