"""A stream to try plumo on, with nothing but GStreamer's own plugins: a short generated clip
(a moving test pattern, MJPEG in Matroska) served over HTTP on 127.0.0.1."""

import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import Gst  # isort: skip

from gi.repository import GLib  # noqa: E402

CLIP_PATH = "/demo.mkv"


def make_clip(
    frames: int = 150, width: int = 640, height: int = 360, timeout: float = 30.0
) -> bytes:
    """Encodes `frames` frames of a moving test pattern at 30 frames a second into MJPEG in
    Matroska, in memory.

    :raises RuntimeError: The encoding failed or did not finish within `timeout` seconds
    """
    for name, value in (("frames", frames), ("width", width), ("height", height)):
        if type(value) is not int or value <= 0:
            raise ValueError(f"{name} must be a positive int, not {value!r}")
    try:
        pipeline = Gst.parse_launch(
            f"videotestsrc num-buffers={frames} pattern=ball motion=sweep"
            f" ! video/x-raw,width={width},height={height},framerate=30/1"
            " ! jpegenc ! matroskamux streamable=true ! appsink name=out sync=false"
        )
    except GLib.Error as e:  # a plug-in is missing
        raise RuntimeError(f"Could not make the demo clip: {e.message}") from e
    sink = pipeline.get_by_name("out")
    chunks = []
    pipeline.set_state(Gst.State.PLAYING)
    deadline = time.monotonic() + timeout
    try:
        while True:
            sample = sink.try_pull_sample(Gst.SECOND // 10)
            if sample is not None:
                buffer = sample.get_buffer()
                chunks.append(buffer.extract_dup(0, buffer.get_size()))
            elif sink.is_eos():
                break
            error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
            if error is not None:
                message = error.parse_error()[0].message
                raise RuntimeError(f"Could not make the demo clip: {message}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"Could not make the demo clip within {timeout} s")
    finally:
        pipeline.set_state(Gst.State.NULL)
    return b"".join(chunks)


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A reader that has what it wants hangs up, and may do so between requests.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class ClipServer:
    """Serves one clip at `CLIP_PATH` over HTTP on 127.0.0.1, on a free port, from a thread.

    Use it as a context manager; `url` is the clip's address while it runs.
    """

    def __init__(self, clip: bytes, content_type: str = "video/x-matroska"):
        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                if self.path.partition("?")[0] != CLIP_PATH:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(clip)))
                self.end_headers()
                try:
                    self.wfile.write(clip)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the reader stopped early

            def log_message(self, *args):
                pass

        self._httpd = _Server(("127.0.0.1", 0), Handler)
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, name="ClipServer", daemon=True
        )

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._httpd.server_address[1]}{CLIP_PATH}"

    def __enter__(self) -> "ClipServer":
        self._thread.start()
        return self

    def __exit__(self, *exc_info) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)
