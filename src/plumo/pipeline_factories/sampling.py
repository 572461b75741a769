"""Which frames a pipeline decodes and delivers: at most so many a second (`RateLimiter`), or
keyframes only, with as much as possible of what is not delivered dropped before the decoder
(`Sampling`).

Analytics often wants one frame a second of a 25 fps camera. Converting only those saves a
little; not decoding the others saves most of the work, and what can be left undecoded depends
on the coding (intra-only video, keyframes only, the rest of an H.264 group of pictures after
the last frame kept: see `FrameSampling`). The choice is made for each frame on the streaming
threads, by probes in compiled code (`plumo.utils.gstreamer.FrameSampling`); this module finds
the decoders to put them on.
"""

import weakref
from typing import List, Optional

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import FrameSampling, RateLimiter  # isort: skip

from gi.repository import Gst  # noqa: E402

__all__ = ["RateLimiter", "Sampling"]


class Sampling:
    """One pipeline's choice of frames: a rate limit, keyframes only, or both.

    `watch_decoders` puts a gate before each decoder plugged into a bin, which drops what need
    not be decoded; `limit_after_decoding` applies the limit where decoded frames enter the
    conversion, when it was not applied before the decoder.
    """

    def __init__(self, max_framerate: Optional[float], keyframes_only: bool):
        self.max_framerate = max_framerate
        self.keyframes_only = keyframes_only
        self._choice = FrameSampling(max_framerate, keyframes_only)
        self._pipeline = lambda: None

    @property
    def limited_before_decoding(self) -> bool:
        """Whether a decoder's gate applies the limit (known once its input is)."""
        return self._choice.limited_before_decoding

    @property
    def active(self) -> bool:
        return self.max_framerate is not None or self.keyframes_only

    def watch_decoders(self, pipeline, bin_: Gst.Bin) -> None:
        """Watches the decoders in `bin_`, and those added to it or to any bin within, from now
        on. `pipeline` owns the signal handler; each gate lives as long as its decoder's pad."""
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
        sink = element.get_static_pad("sink")
        if sink is not None and self._pipeline() is not None:
            self._choice.gate_decoder(sink)

    def limit_after_decoding(self, pad: Gst.Pad) -> None:
        """Applies the limit to the decoded frames that pass `pad`, where a decoder's gate did
        not apply it."""
        self._choice.limit_decoded(pad)
