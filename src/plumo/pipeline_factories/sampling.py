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
  of pictures is needed to decode it, but those after it, up to the next keyframe, are not. The
  frames the limit will not keep are held back until it is known which: a frame kept needs
  those before it, the next keyframe frees the rest (`_DecoderInput`). Where the coding
  reorders frames (B-frames), or frames come without timestamps, every frame is decoded.
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

# The most of a group of pictures held back before the decoder, in bytes of coded frames: a
# group longer than that is decoded as it comes.
_MOST_HELD_BYTES = 32 * 1024 * 1024


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
    """What reaches one decoder: a probe on its sink pad, on its streaming thread.

    Under a limit, in coding that refers to earlier frames, a frame the limit will not keep may
    still be needed by a later one it keeps, and which frames come next is not known. So such a
    frame is held back, not dropped: when a frame the limit keeps comes, the frames held are
    decoded first, in order; when the next keyframe comes, those still held were needed by none,
    and go. The decoder always gets each group of pictures from its keyframe up to the last
    frame kept in it, whatever the frames' timing. Where the order of decoding is not the order
    of the pictures (reordered frames), or a frame has no timestamp, the limit cannot be told
    before the decoder: from then on every frame is decoded, and the limit applied after it.
    """

    def __init__(self, sampling: Sampling):
        self._sampling = sampling
        self._video = False
        self._limit_here = False
        self._may_hold = False
        self._limiter: Optional[RateLimiter] = None
        self._mpeg_pictures = False  # MPEG-1 or 2 video: its keyframes are told by its pictures
        self._held: List[Gst.Buffer] = []
        self._held_bytes = 0
        self._resending = False  # the frames held are on their way to the decoder
        self._reset()

    def _reset(self) -> None:
        rate = self._sampling.max_framerate
        # Where the limit is applied after the decoder, this one decides as that one will,
        # frame by frame: both see the same frames with the same timestamps, and a frame either
        # refuses leaves both as they were.
        self._limiter = None if rate is None else RateLimiter(rate)
        self._previous: Optional[int] = None
        self._decode_all = False
        self._forget_held()

    def on_data(self, pad: Gst.Pad, info: Gst.PadProbeInfo) -> Gst.PadProbeReturn:
        if self._resending:
            return Gst.PadProbeReturn.OK
        if info.type & Gst.PadProbeType.BUFFER:
            return self._on_buffer(pad, info.get_buffer())
        event = info.get_event()
        if event.type in (Gst.EventType.FLUSH_STOP, Gst.EventType.EOS):
            self._reset()  # what was held was needed by nothing, or flushed
        elif event.type != Gst.EventType.TAG and (
            Gst.EventType.get_flags(event.type) & Gst.EventTypeFlags.SERIALIZED
        ):
            # Frames held go before what follows them (new caps, a new segment); tags, which
            # parsers send along the way (the bitrate so far), may go ahead of them.
            self._send_held(pad)
            if event.type == Gst.EventType.CAPS:
                self.on_caps(pad, event.parse_caps())
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
        found, version = structure.get_int("mpegversion")
        self._mpeg_pictures = media == "video/mpeg" and found and version in (1, 2)
        sampling = self._sampling
        self._limit_here = sampling.max_framerate is not None and (
            sampling.keyframes_only or media in _INTRA_ONLY
        )
        sampling.limited_before_decoding = self._limit_here
        # Decoding starts again at a keyframe after a group's rest is left out. One that is not
        # an IDR picture may leave later frames referring to what was left out: only a decoder
        # that refuses frames it could not decode whole (libav's) may have it left out.
        decoder = pad.get_parent_element()
        self._may_hold = (
            sampling.max_framerate is not None
            and not self._limit_here
            and decoder is not None
            and decoder.find_property("output-corrupt") is not None
        )
        if self._may_hold:
            decoder.set_property("output-corrupt", False)

    def _on_buffer(self, pad: Gst.Pad, buffer: Gst.Buffer) -> Gst.PadProbeReturn:
        if not self._video:
            return Gst.PadProbeReturn.OK
        key = not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT)
        if self._mpeg_pictures and key:
            # mpegvideoparse leaves the delta mark off the last frame of a stream, whatever it is.
            key = _mpeg_picture_type(buffer) in (None, _MPEG_I_PICTURE)
        if key and buffer.pts == Gst.CLOCK_TIME_NONE and buffer.dts != Gst.CLOCK_TIME_NONE:
            # A demuxer that has no index to read (AVI over HTTP) stamps its frames with their
            # decoding time alone. A keyframe is shown when it is decoded, as demuxers stamp the
            # keyframes they know of; without it the decoder would make the time up from the
            # frame before, which is not there when frames are left out.
            buffer.pts = buffer.dts
        if self._sampling.keyframes_only and not key:
            return Gst.PadProbeReturn.DROP
        if self._limiter is None:
            return Gst.PadProbeReturn.OK
        if self._limit_here:
            kept = self._limiter.admits(buffer.pts)
            return Gst.PadProbeReturn.OK if kept else Gst.PadProbeReturn.DROP
        return self._hold_until_needed(pad, buffer, key)

    def _hold_until_needed(
        self, pad: Gst.Pad, buffer: Gst.Buffer, key: bool
    ) -> Gst.PadProbeReturn:
        """Holds back a frame the limit will not keep, until a frame it keeps needs it."""
        if self._decode_all or not self._may_hold:
            return Gst.PadProbeReturn.OK
        pts = buffer.pts
        previous, self._previous = self._previous, pts
        reordered = previous is not None and pts < previous and not key
        if pts == Gst.CLOCK_TIME_NONE or reordered:
            # From here on the limit is applied after the decoder alone.
            self._decode_all = True
            self._send_held(pad)
            return Gst.PadProbeReturn.OK
        if key:
            self._forget_held()  # the rest of the last group: no frame kept needed it
        if self._limiter is not None and self._limiter.admits(pts):
            self._send_held(pad)
            return Gst.PadProbeReturn.OK
        self._held.append(buffer)
        self._held_bytes += buffer.get_size()
        if self._held_bytes > _MOST_HELD_BYTES:
            self._send_held(pad)  # a group too long to hold: decoded as it comes
        return Gst.PadProbeReturn.DROP

    def _send_held(self, pad: Gst.Pad) -> None:
        """Sends the frames held, in order, into the decoder, on this streaming thread."""
        held = self._held
        self._forget_held()
        self._resending = True
        try:
            for buffer in held:
                if pad.chain(buffer) != Gst.FlowReturn.OK:
                    break  # flushing, or the decoder failed (and says so on the bus)
        finally:
            self._resending = False

    def _forget_held(self) -> None:
        self._held = []
        self._held_bytes = 0


_MPEG_PICTURE_START = b"\x00\x00\x01\x00"
_MPEG_I_PICTURE = 1
# A picture's header comes after the sequence's headers at most, which take a few hundred bytes.
_MPEG_HEADERS_BYTES = 1024


def _mpeg_picture_type(buffer: Gst.Buffer) -> Optional[int]:
    """The coding type of the MPEG-1 or 2 picture in `buffer` (1: I, 2: P, 3: B), or None when
    no picture header is found."""
    ok, info = buffer.map(Gst.MapFlags.READ)
    if not ok:
        return None
    try:
        data = bytes(info.data[:_MPEG_HEADERS_BYTES])
    finally:
        buffer.unmap(info)
    start = data.find(_MPEG_PICTURE_START)
    if start < 0 or start + 6 > len(data):
        return None
    # 10 bits of temporal reference, then 3 of the coding type.
    return (data[start + 5] >> 3) & 7
