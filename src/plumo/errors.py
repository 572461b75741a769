"""Exceptions raised by plumo."""


class PlumoError(Exception):
    """Base class of every exception that plumo raises on purpose."""


class StreamSetupError(PlumoError):
    """Raised when a stream or pipeline could not be set up or started, or reported an error."""


class NotLinkedError(PlumoError):
    """Raised when two pipeline elements could not be linked."""


class InvalidCustomPipelineError(PlumoError):
    """Raised when a user-supplied pipeline description is unusable."""


class InvalidRuntimeOptionError(PlumoError):
    """Raised when an option given to a stream reader is unknown or of the wrong type."""


class StreamReadError(PlumoError):
    """Raised when a stream that has started reports an error."""


class FrameTooLargeError(StreamReadError, StreamSetupError):
    """Raised when a stream's frames are larger than the reader's `max_frame_pixels`: a read
    error, and, when the first frame is already too large, the reason the stream cannot start."""
