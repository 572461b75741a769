"""One frame of a stream, with where it sits in the stream and when it arrived."""

from dataclasses import dataclass
from typing import Optional

import numpy as np


@dataclass(frozen=True, eq=False)
class Frame:
    """A frame as `StreamReader.read_frame()` hands it out. Immutable, like its image."""

    image: np.ndarray
    """The picture: a read-only `(height, width, 3)` uint8 array in the reader's pixel format
    (BGR or RGB), or `(height, width)` in gray."""

    pts: Optional[float]
    """Its presentation time in seconds, as the stream gives it (a file's or a container's own
    timestamps, variable frame rates included); None where the stream gives none."""

    index: int
    """How many frames the reader handed out before this one: 0 for the first."""

    arrival: float
    """When the reader received it, in seconds since the epoch (`time.time()`)."""

    def __repr__(self) -> str:
        shape = "x".join(str(n) for n in self.image.shape)
        pts = "None" if self.pts is None else f"{self.pts:.3f}"
        return f"<Frame {self.index} pts={pts} {shape}>"
