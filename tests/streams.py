"""Streams for the end-to-end tests: clips made with GStreamer, served over HTTP on 127.0.0.1, and
cameras (RTSP, in processes of their own) that can be killed and brought back."""

import contextlib
import functools
import os
import selectors
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import List, Optional, Sequence

import gi
import numpy as np

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
from gi.repository import Gst, GstApp  # noqa: E402,F401 - GstApp gives appsink its methods

WIDTH, HEIGHT = 320, 240
# A solid colour survives JPEG almost unchanged: red in BGR order is about (0, 0, 255).
RED_ARGB = 0xFFFF0000
BOUNDARY = "plumoframe"


def encode(description: str, timeout: float = 30.0) -> List[bytes]:
    """Runs `description ! appsink` to its end and returns the buffers the sink received."""
    Gst.init(None)
    pipeline = Gst.parse_launch(f"{description} ! appsink name=out sync=false")
    sink = pipeline.get_by_name("out")
    chunks = []
    pipeline.set_state(Gst.State.PLAYING)
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            sample = sink.try_pull_sample(Gst.SECOND)
            if sample is None:
                error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
                if error is not None:  # a missing file, say: no end of stream will come
                    raise RuntimeError(error.parse_error()[0].message)
                if sink.is_eos():
                    break
                continue
            buffer = sample.get_buffer()
            chunks.append(buffer.extract_dup(0, buffer.get_size()))
        else:
            raise TimeoutError(f"encoding did not finish: {description}")
        error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
        if error is not None:
            raise RuntimeError(error.parse_error()[0].message)
    finally:
        pipeline.set_state(Gst.State.NULL)
    return chunks


def encode_file(description: str, path, timeout: float = 30.0) -> None:
    """Runs `description ! filesink` to its end, writing `path`."""
    Gst.init(None)
    pipeline = Gst.parse_launch(f"{description} ! filesink location=\"{path}\"")
    pipeline.set_state(Gst.State.PLAYING)
    try:
        message = pipeline.get_bus().timed_pop_filtered(
            int(timeout * Gst.SECOND), Gst.MessageType.EOS | Gst.MessageType.ERROR)
        assert message is not None and message.type == Gst.MessageType.EOS, message
    finally:
        pipeline.set_state(Gst.State.NULL)


def video(frames: int, extra: str = "") -> str:
    return (
        f"videotestsrc num-buffers={frames} pattern=solid-color foreground-color={RED_ARGB} {extra}"
        f" ! video/x-raw,width={WIDTH},height={HEIGHT},framerate=30/1"
    )


def make_clips(frames: int = 60) -> dict:
    """The served paths and their bodies (or, for the live stream, its JPEG frames)."""
    return {
        "/clip.mkv": b"".join(encode(f"{video(frames)} ! jpegenc ! matroskamux")),
        "/jpegs": encode(f"{video(10)} ! jpegenc"),
        # A decoder with threads of its own (avdec_mpeg4).
        "/mpeg4.mkv": b"".join(encode(f"{video(frames)} ! avenc_mpeg4 ! matroskamux")),
        "/audio.wav": b"".join(encode("audiotestsrc num-buffers=20 ! wavenc")),
        # Sound and pictures: the sound must be left alone, not stop the pictures.
        "/av.mkv": b"".join(encode(
            f"{video(frames)} ! jpegenc ! m. audiotestsrc num-buffers=100 ! audioconvert"
            " ! vorbisenc ! m. matroskamux name=m"
        )),
        "/huge.jpg": huge_jpeg(16000, 16000),
    }


def huge_jpeg(width: int, height: int) -> bytes:
    """A JPEG of a few hundred bytes whose header claims `width` x `height` pixels: a decoder
    makes a frame that size of it (grey where the data runs out)."""
    [jpeg] = encode(f"{video(1)} ! jpegenc")
    sof = jpeg.index(b"\xff\xc0")  # baseline frame header: marker, length, precision, height, width
    return jpeg[: sof + 5] + struct.pack(">HH", height, width) + jpeg[sof + 9 :]


def camera_part(jpeg: bytes) -> bytes:
    """One part of a camera's multipart stream: delimiter, headers, the JPEG."""
    head = f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n\r\n"
    return head.encode() + jpeg + b"\r\n"


CLOSING_DELIMITER = f"--{BOUNDARY}--\r\n".encode()
"""What ends a multipart stream that is complete."""


def _reset(handler) -> None:
    """Ends the handler's connection with a reset (RST), as a server that crashes does."""
    handler.wfile.flush()
    handler.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    handler.close_connection = True
    handler.connection.close()


def _close(handler) -> None:
    """Ends the handler's connection in an orderly way (FIN), whatever the response said."""
    handler.wfile.flush()
    handler.close_connection = True
    handler.connection.shutdown(socket.SHUT_RDWR)


def _send_camera(handler, server, query: str) -> None:
    """`/camera.mjpg?frames=N&end=E`: N frames at 30 a second, then the end E: "closing" (the
    closing delimiter: a complete stream), "close" (an orderly close after the last whole part),
    "reset" (a reset there), "resume" (a reset there, and a request for the rest, which comes
    with a Range header, answered 206 with a new stream: a camera that takes it for a new
    client), "flaky" (a reset there, and each request for the rest answered, then reset before
    its first byte: souphttpsrc asks again after each, as often as its retries let it)."""
    params = dict(item.partition("=")[::2] for item in query.split("&") if item)
    frames, end = int(params.get("frames", 12)), params.get("end", "closing")
    jpegs = server.clips["/jpegs"]
    # A camera takes a request for the rest for a new client (200), or answers it with a new
    # stream as if it were the rest (206).
    resumed = handler.headers.get("Range") is not None and end in ("resume", "flaky")
    handler.send_response(206 if resumed else 200)
    handler.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={BOUNDARY}")
    handler.end_headers()
    handler.close_connection = True
    if resumed and end == "flaky":
        _reset(handler)
        return
    for i in range(frames):
        handler.wfile.write(camera_part(jpegs[i % len(jpegs)]))
        handler.wfile.flush()
        time.sleep(1 / 30)
    if end == "closing":
        handler.wfile.write(CLOSING_DELIMITER)
    elif end == "close":
        _close(handler)
    elif end in ("reset", "flaky") or (end == "resume" and not resumed):
        _reset(handler)


def _send_huge_camera(handler, server, query: str) -> None:
    """`/huge.mjpg?frames=N`: a camera whose N frames claim 16000x16000 pixels, then the closing
    delimiter."""
    frames = int(query.partition("frames=")[2] or 3)
    handler.send_response(200)
    handler.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={BOUNDARY}")
    handler.end_headers()
    handler.close_connection = True
    for _ in range(frames):
        handler.wfile.write(camera_part(server.clips["/huge.jpg"]))
        handler.wfile.flush()
    handler.wfile.write(CLOSING_DELIMITER)


def _send_chunked(handler, server, query: str) -> None:
    """`/chunked.mkv`: the clip in chunks of 8 KiB, with its last chunk. `?cut=mid-chunk`: half
    of it, then a chunk that promises 8 KiB and brings 100 bytes, and an orderly close;
    `?cut=between-chunks`: half of it in whole chunks, and an orderly close."""
    body = server.clips["/clip.mkv"]
    cut = query.partition("cut=")[2]
    handler.send_response(200)
    handler.send_header("Content-Type", "video/x-matroska")
    handler.send_header("Transfer-Encoding", "chunked")
    handler.end_headers()
    sent = body[: len(body) // 2] if cut else body
    for i in range(0, len(sent), 8192):
        chunk = sent[i : i + 8192]
        handler.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
    if not cut:
        handler.wfile.write(b"0\r\n\r\n")
        return
    if cut == "mid-chunk":
        handler.wfile.write(b"2000\r\n" + body[len(sent) : len(sent) + 100])
    _close(handler)


def _send_file(handler, server, query: str) -> None:
    """`/file.mkv`: the clip with its length, answering Range requests with 206. `?cut=reset`:
    the length announced, half of it sent, then a reset; `?cut=resumable`: the same, but the
    request for the rest gets it."""
    body = server.clips["/clip.mkv"]
    cut = query.partition("cut=")[2]
    start = 0
    requested = handler.headers.get("Range", "")
    if requested.startswith("bytes=") and cut != "reset":
        start = int(requested[len("bytes=") :].partition("-")[0])
        handler.send_response(206)
        handler.send_header("Content-Range", f"bytes {start}-{len(body) - 1}/{len(body)}")
    else:
        handler.send_response(200)
    handler.send_header("Content-Type", "video/x-matroska")
    handler.send_header("Content-Length", str(len(body) - start))
    handler.end_headers()
    if cut and start == 0:
        handler.wfile.write(body[: len(body) // 2])
        _reset(handler)
    else:
        handler.wfile.write(body[start:])


_CUT_SHORT_ROUTES = {
    "/camera.mjpg": _send_camera,
    "/huge.mjpg": _send_huge_camera,
    "/chunked.mkv": _send_chunked,
    "/file.mkv": _send_file,
}


class _QuietHandler(BaseHTTPRequestHandler):
    """A request handler of HTTP/1.1 that keeps its log to itself."""

    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


class StreamServer:
    """A threaded HTTP server for the clips, with paths that fail in the ways real servers do.

    - `/clip.mkv`: MJPEG in Matroska, whole, with its length.
    - `/av.mkv`: the same pictures with sound (Vorbis).
    - `/mpeg4.mkv`: the same pictures in MPEG-4 video (avenc_mpeg4).
    - `/live.mjpg`: multipart MJPEG as cameras send it, about 30 frames a second for as long as
      the client reads (`?frames=N` closes the connection after N frames, in the middle of the
      next one).
    - `/truncated.mkv`: the clip's length announced, half of it sent, then the connection closed.
    - `/camera.mjpg`, `/chunked.mkv`, `/file.mkv`: streams that end in full or are cut short, in
      the ways their functions below say; `/huge.mjpg`: a camera with 16000x16000 frames.
    - `/audio.wav`: a stream without video.
    - `/page.html`, `/notes.txt`, `/status.json`: a web page, text and JSON, not media.
    - anything else: 404.
    """

    def __init__(self, clips: dict):
        self.clips = clips
        self.requests = []
        self.request_headers = []  # (path, headers) of each request
        self._stopping = threading.Event()
        server = self

        class Handler(_QuietHandler):
            def do_GET(self):
                server.requests.append(self.path)
                server.request_headers.append((self.path, dict(self.headers)))
                path, _, query = self.path.partition("?")
                try:
                    route = {
                        "/clip.mkv": self.send_clip,
                        "/av.mkv": self.send_av,
                        "/mpeg4.mkv": self.send_mpeg4,
                        "/live.mjpg": self.send_live,
                        "/truncated.mkv": self.send_truncated,
                        "/audio.wav": self.send_audio,
                        "/page.html": self.send_page,
                        "/notes.txt": self.send_notes,
                        "/status.json": self.send_status,
                    }.get(path)
                    if route is None and path in _CUT_SHORT_ROUTES:
                        route = functools.partial(_CUT_SHORT_ROUTES[path], self, server)
                    if route is None:
                        self.send_error(404)
                    else:
                        route(query)
                except (BrokenPipeError, ConnectionResetError):
                    pass

            def send_body(self, body, content_type, length=None):
                self.send_response(200)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body) if length is None else length))
                self.end_headers()
                self.wfile.write(body)

            def send_clip(self, _query):
                self.send_body(server.clips["/clip.mkv"], "video/x-matroska")

            def send_av(self, _query):
                self.send_body(server.clips["/av.mkv"], "video/x-matroska")

            def send_mpeg4(self, _query):
                self.send_body(server.clips["/mpeg4.mkv"], "video/x-matroska")

            def send_truncated(self, _query):
                body = server.clips["/clip.mkv"]
                self.send_body(body[: len(body) // 2], "video/x-matroska", length=len(body))
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)

            def send_audio(self, _query):
                self.send_body(server.clips["/audio.wav"], "audio/x-wav")

            def send_page(self, _query):
                self.send_body(b"<html><body>" + b"not a video " * 400 + b"</body></html>",
                               "text/html")  # fmt: skip

            def send_notes(self, _query):
                self.send_body(b"Not a video, but notes about one. " * 60, "text/plain")

            def send_status(self, _query):
                self.send_body(b'{"status": "ok", "cameras": [1, 2, 3], "video": null}',
                               "application/json")  # fmt: skip

            def send_live(self, query):
                limit = int(query.partition("frames=")[2] or 0) or None
                self.send_response(200)
                self.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={BOUNDARY}")
                self.end_headers()
                self.close_connection = True
                jpegs = server.clips["/jpegs"]
                sent = 0
                while not server._stopping.is_set():
                    jpeg = jpegs[sent % len(jpegs)]
                    part = (
                        f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\n"
                        f"Content-Length: {len(jpeg)}\r\n\r\n"
                    ).encode() + jpeg + b"\r\n"
                    if limit is not None and sent == limit:
                        self.wfile.write(part[: len(part) // 2])
                        self.wfile.flush()
                        self.connection.shutdown(socket.SHUT_RDWR)
                        return
                    self.wfile.write(part)
                    self.wfile.flush()
                    sent += 1
                    time.sleep(1 / 30)

        class Server(ThreadingHTTPServer):
            def handle_error(self, request, client_address):
                pass  # clients hang up on purpose (a pipeline stopped mid-stream)

        self._httpd = Server(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, name="StreamServer",
                                        daemon=True)  # fmt: skip

    @property
    def port(self) -> int:
        return self._httpd.server_address[1]

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(5)


class FileServer(ThreadingHTTPServer):
    """The files of a folder over HTTP on 127.0.0.1, as three kinds of server serve them:

    - `ranges="honoured"`: Range requests answered 206 with the bytes asked for, and said so
      (Accept-Ranges: bytes), as web servers do;
    - `ranges="ignored"`: Python's own `http.server`, which answers every request with the whole
      file and says nothing about ranges (a common way to serve a folder);
    - `ranges="claimed"`: says it takes Range requests, and answers them with the whole file.
    """

    daemon_threads = True

    def __init__(self, folder: str, ranges: str = "honoured"):
        if ranges == "ignored":
            handler = functools.partial(_QuietFolderHandler, directory=folder)
        else:
            honoured = ranges == "honoured"

            class Handler(_QuietHandler):
                def do_GET(self):
                    path = os.path.join(folder, self.path.partition("?")[0].lstrip("/"))
                    if not os.path.isfile(path):
                        self.send_error(404)
                        return
                    with open(path, "rb") as f:
                        body = f.read()
                    start, end = 0, len(body) - 1
                    asked = self.headers.get("Range", "")
                    if honoured and asked.startswith("bytes="):
                        first, _, last = asked[len("bytes="):].partition("-")
                        start, end = int(first or 0), min(int(last or end), end)
                        self.send_response(206)
                        self.send_header("Content-Range", f"bytes {start}-{end}/{len(body)}")
                    else:
                        self.send_response(200)
                    self.send_header("Accept-Ranges", "bytes")
                    self.send_header("Content-Type", "application/octet-stream")
                    self.send_header("Content-Length", str(end + 1 - start))
                    self.end_headers()
                    self.wfile.write(body[start : end + 1])

            handler = Handler
        super().__init__(("127.0.0.1", 0), handler)

    def handle_error(self, request, client_address):
        pass  # clients hang up on purpose

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/{name}"

    def __enter__(self):
        threading.Thread(target=self.serve_forever, name="FileServer", daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.shutdown()
        self.server_close()


class _QuietFolderHandler(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class SilentServer:
    """A local port that takes connections (the kernel completes them) and never answers: a
    stream that never starts."""

    def __enter__(self):
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(16)
        return f"http://127.0.0.1:{self._socket.getsockname()[1]}/stalls"

    def __exit__(self, *exc):
        self._socket.close()


def closed_port() -> int:
    """A local port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_usage() -> tuple:
    """(threads, open file descriptors, resident memory in KiB) of this process."""
    fds = len(os.listdir("/proc/self/fd"))
    status = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            status[key] = value.split()
    return int(status["Threads"][0]), fds, int(status["VmRSS"][0])


def settled_usage(timeout: float = 10.0) -> tuple:
    """`process_usage()` once threads and open files have held still for a second (the sockets of
    connections that just ended close a moment later, and GLib lets its idle threads go), or
    after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    samples = [process_usage()]
    while time.monotonic() < deadline:
        time.sleep(0.2)
        samples = samples[-4:] + [process_usage()]
        if len(samples) == 5 and len({usage[:2] for usage in samples}) == 1:
            break
    return samples[-1]


# Under AddressSanitizer (scripts/sanitize.sh) freed memory waits in a quarantine before it is
# used again, so resident memory grows with every allocation whatever the code does.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def native_usage() -> tuple:
    """Threads, open files and resident KiB, without Python's own threads (such as the test
    server's, one per request)."""
    threads, fds, rss = process_usage()
    return threads - threading.active_count(), fds, rss


def wait_for(condition, timeout: float) -> bool:
    """Whether `condition()` comes true within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        threading.Event().wait(0.01)
    return True


def assert_red_frames(frames, count: int) -> None:
    """`count` frames of the clips' size, BGR, each a solid red (as JPEG leaves it)."""
    assert len(frames) == count
    for frame in frames:
        assert frame.shape == (HEIGHT, WIDTH, 3) and frame.dtype == np.uint8
        blue, green, red = (int(c) for c in frame.reshape(-1, 3).mean(axis=0))
        assert blue < 40 and green < 40 and red > 200, (blue, green, red)


# --- servers for streams that cannot start ------------------------------------------------------


def self_signed_certificate(directory) -> tuple:
    """(certificate, key): PEM files for 127.0.0.1, signed by the key itself, made with openssl."""
    certificate, key = os.path.join(directory, "server.pem"), os.path.join(directory, "server.key")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key, "-out", certificate, "-days", "2", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1"],
        check=True, capture_output=True, timeout=60,
    )  # fmt: skip
    return certificate, key


def make_hls(directory, frames: int = 60) -> dict:
    """An HLS stream of H.264 in MPEG-TS segments of about a second (GStreamer's hlssink2):
    {"/hls/playlist.m3u8": ..., "/hls/segment00000.ts": ...}."""
    folder = Path(directory)
    Gst.init(None)
    pipeline = Gst.parse_launch(
        f"{video(frames, 'pattern=ball')} ! x264enc key-int-max=15 speed-preset=ultrafast"
        f" ! h264parse ! hlssink2 location={folder}/segment%05d.ts"
        f" playlist-location={folder}/playlist.m3u8 target-duration=1 max-files=0"
        " playlist-length=0"
    )
    pipeline.set_state(Gst.State.PLAYING)
    try:
        end = pipeline.get_bus().timed_pop_filtered(
            30 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR
        )
    finally:
        pipeline.set_state(Gst.State.NULL)
    if end is None or end.type != Gst.MessageType.EOS:
        raise RuntimeError(f"could not make the HLS stream: {end and end.parse_error()[0].message}")
    return {f"/hls/{path.name}": path.read_bytes() for path in sorted(folder.iterdir())}


def make_ts_clip(frames: int = 30) -> bytes:
    """MPEG-4 video in an MPEG transport stream, as many cameras and HLS serve."""
    return b"".join(encode(f"{video(frames)} ! avenc_mpeg4 ! mpegtsmux"))


class TroubleServer(ThreadingHTTPServer):
    """A threaded HTTP server, or HTTPS with a `certificate` (certificate and key files), for the
    ways a stream fails to start; `requests` notes each request's path and Authorization.

    - `/clip.mkv`, `/clip.ts`: the clips given under those names.
    - `/loop`: redirects to itself, for ever.
    - `/moved?to=URL`: redirects to URL.
    - `/private`: 401, with a Basic challenge, whatever the credentials.
    - anything else: 404.
    """

    daemon_threads = True

    def __init__(self, clips: dict, certificate=None):
        self.requests = []
        server = self

        class Handler(_QuietHandler):
            def do_GET(self):
                server.requests.append((self.path, self.headers.get("Authorization")))
                path, _, query = self.path.partition("?")
                status, headers, body = {
                    "/loop": (302, [("Location", "/loop")], b""),
                    "/moved": (302, [("Location", query.partition("to=")[2])], b""),
                    "/private": (401, [("WWW-Authenticate", 'Basic realm="camera"')], b""),
                }.get(path, (200, [], clips[path]) if path in clips else (404, [], b""))
                self.send_response(status)
                for name, value in headers + [("Content-Length", str(len(body)))]:
                    self.send_header(name, value)
                self.end_headers()
                self.wfile.write(body)

        super().__init__(("127.0.0.1", 0), Handler)
        self.scheme = "http"
        if certificate is not None:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*certificate)
            self.socket = context.wrap_socket(self.socket, server_side=True)
            self.scheme = "https"

    def handle_error(self, request, client_address):
        pass  # clients hang up, or give up on the certificate

    def url(self, path: str) -> str:
        return f"{self.scheme}://127.0.0.1:{self.server_address[1]}{path}"

    def __enter__(self):
        threading.Thread(target=self.serve_forever, name="TroubleServer", daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.shutdown()
        self.server_close()


@contextlib.contextmanager
def black_hole():
    """A local port where connections get no answer at all, as at an unreachable address (its
    listening socket's queue is kept full, so the kernel drops them). Yields the port."""
    with contextlib.ExitStack() as stack:
        listener = stack.enter_context(socket.socket())
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        for _ in range(2):
            filler = stack.enter_context(socket.socket())
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", port))
        yield port


# --- cameras in processes of their own -----------------------------------------------------------

RTSP_CAMERA = Path(__file__).resolve().parent / "rtsp_camera.py"


class CameraProcess:
    """A camera in a process of its own that prints `ready` once it listens: `start()` launches
    it and waits for that line, `stop()` cuts its power (SIGKILL, no goodbye to its clients), and
    `start()` again brings it back with the same command line, on the same port. `ready_at` is
    the time.time() at which it last said `ready`. Used as a context manager, it is started on
    entry and killed on exit, whatever happened."""

    def __init__(self, command: Sequence[str], start_timeout: float = 20.0):
        self.command = list(command)
        self.start_timeout = start_timeout
        self.ready_at: Optional[float] = None
        self._process: Optional[subprocess.Popen] = None
        self._stderr = None

    @property
    def pid(self) -> Optional[int]:
        return None if self._process is None else self._process.pid

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def start(self) -> "CameraProcess":
        if self.running:
            raise RuntimeError("the camera is already running")
        self._discard()
        # A file, not a pipe, for its stderr: nothing reads it while it runs, and a full pipe
        # would stall it.
        self._stderr = tempfile.TemporaryFile()
        self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=self._stderr)  # fmt: skip
        failure = self._wait_ready()
        if failure is not None:
            self.stop()
            self._stderr.seek(0)
            stderr = self._stderr.read().decode(errors="replace").strip()
            self._discard()
            raise RuntimeError(f"{' '.join(self.command)}: {failure}; its stderr:\n{stderr}")
        self.ready_at = time.time()
        return self

    def _wait_ready(self) -> Optional[str]:
        """None once the camera said `ready`; what went wrong otherwise."""
        deadline = time.monotonic() + self.start_timeout
        out = b""
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while b"\n" not in out:
                left = deadline - time.monotonic()
                if left <= 0:
                    return f"not ready after {self.start_timeout:g} s"
                if not selector.select(left):
                    continue
                chunk = os.read(self._process.stdout.fileno(), 4096)
                if not chunk:
                    self._process.wait(5)
                    return f"exited with status {self._process.returncode} before it was ready"
                out += chunk
        line = out.partition(b"\n")[0].strip()
        return None if line == b"ready" else f"said {line!r} instead of ready"

    def stop(self) -> None:
        """Kills the camera at once and waits for it to be gone (a no-op when it is not running)."""
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGKILL)
        self._process.wait(10)
        self._process.stdout.close()

    def freeze(self) -> None:
        """Stops the camera where it is (SIGSTOP): its connections stay open, and nothing comes
        through them, as from a camera that hangs or a link that went dead."""
        self._process.send_signal(signal.SIGSTOP)

    def thaw(self) -> None:
        self._process.send_signal(signal.SIGCONT)

    def _discard(self) -> None:
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        self._discard()


class RtspCamera(CameraProcess):
    """The RTSP camera of `rtsp_camera.py` (see there), at `url`: rtsp://127.0.0.1:PORT/stream,
    with `user:password@` when it asks for credentials. Without a port, it takes a free one, and
    keeps it across restarts."""

    def __init__(self, codec: str = "mjpeg", port: Optional[int] = None, tcp_only: bool = False,
                 user: Optional[str] = None, password: Optional[str] = None, *,
                 width: int = 320, height: int = 240, fps: int = 25, lose_udp: bool = False,
                 stamp: bool = False, tls: Optional[tuple] = None,
                 start_timeout: float = 20.0):  # fmt: skip
        self.port = closed_port() if port is None else port
        self.user, self.password = user, password
        command = [sys.executable, str(RTSP_CAMERA), "--port", str(self.port), "--codec", codec,
                   "--width", str(width), "--height", str(height), "--fps", str(fps)]  # fmt: skip
        if tcp_only:
            command.append("--tcp-only")
        if lose_udp:
            command.append("--lose-udp")
        if stamp:
            command.append("--stamp")
        if tls is not None:  # (certificate file, key file)
            command += ["--tls", *tls]
        self.scheme = "rtsp" if tls is None else "rtsps"
        if user is not None:
            command += ["--user", user, "--password", password or ""]
        super().__init__(command, start_timeout)

    @property
    def url(self) -> str:
        credentials = "" if self.user is None else f"{self.user}:{self.password}@"
        return f"{self.scheme}://{credentials}127.0.0.1:{self.port}/stream"
