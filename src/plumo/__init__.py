"""plumo: video streams to numpy BGR frames through GStreamer, with a compiled C++ core."""

from plumo.logger import logger

__version__ = "0.1.0"

__all__ = ["logger", "__version__"]
