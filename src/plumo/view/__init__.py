"""A page that shows a group's streams live (`plumo view`), served with Flask.

Each stream is a tile: its newest frame, refreshed as the browser takes it, its state, frame rate
and frame age, the last failure's cause, and a plot of its frame rate over the last minutes.
Besides the page: `/status.json` (the group's status, by source), `/history.json` (each
stream's frame rate, a sample a second, by source) and `/streams/N/frame.jpg` (the newest frame
of the N-th source, 0-based). Sources are shown with their credentials masked, everywhere.
"""

import collections
import os
import socket
import threading
import time
from importlib import resources
from typing import TYPE_CHECKING, Deque, Dict, List, Optional, Tuple

from flask import Flask, Response, abort, jsonify
from werkzeug.serving import WSGIRequestHandler, make_server

from plumo.logger import logger
from plumo.metrics import address_error, statuses, url_host
from plumo.utils.urls import redact_url

if TYPE_CHECKING:
    from plumo.stream_reader.frame import Frame
    from plumo.stream_reader.group import StreamGroup

# The frame rate plot's samples: one a second, for the last five minutes.
_SAMPLE_EVERY = 1.0
_SAMPLES = 300


class _QuietHandler(WSGIRequestHandler):
    """Werkzeug's request handler without a log line for each request."""

    def log_request(self, *args, **kwargs) -> None:
        pass


class ViewServer:
    """The page of a group's streams, served on a thread of its own; it opens the group if need
    be and reads it on another (nobody else may iterate it). `url` is the page's address;
    `close()` stops serving and closes the group."""

    def __init__(self, group: "StreamGroup", host: str, port: int):
        self._group = group
        self._sources = group.sources
        self._pixel_formats = {s: r.pixel_format for s, r in group.readers.items()}
        self._lock = threading.Lock()  # over the newest frames and their JPEGs
        self._newest: Dict[object, "Frame"] = {}
        self._jpegs: Dict[object, Tuple[int, bytes]] = {}
        self._history: Dict[str, Deque[Tuple[float, float]]] = collections.defaultdict(
            lambda: collections.deque(maxlen=_SAMPLES)
        )
        self._stopping = threading.Event()
        listener = _listen(host, port)
        try:
            self._server = make_server(host, port, self._app(), threaded=True,
                                       request_handler=_QuietHandler, fd=listener.fileno())
        finally:
            listener.close()  # the server holds a duplicate of it
        self.url = f"http://{url_host(host)}:{self._server.server_address[1]}/"
        self._threads = [
            threading.Thread(target=self._server.serve_forever, name="plumo-view", daemon=True),
            threading.Thread(target=self._read, name="plumo-view-read", daemon=True),
            threading.Thread(target=self._sample, name="plumo-view-sample", daemon=True),
        ]
        for thread in self._threads:
            thread.start()

    def _read(self) -> None:
        if not self._group.is_open:
            self._group.open()
        for source, frame in self._group:
            with self._lock:
                self._newest[source] = frame

    def _sample(self) -> None:
        while not self._stopping.wait(_SAMPLE_EVERY):
            now = time.time()
            for source, status in statuses(self._group).items():
                self._history[source].append((now, round(status.fps, 2)))

    def _jpeg(self, index: int) -> Optional[bytes]:
        """The N-th source's newest frame as a JPEG (encoded once for each frame), or None
        before its first frame."""
        from plumo.snapshot import encode_image

        source = self._sources[index]
        with self._lock:
            frame = self._newest.get(source)
            cached = self._jpegs.get(source)
        if frame is None:
            return None
        if cached is not None and cached[0] == frame.index:
            return cached[1]
        jpeg = encode_image(frame.image, ".jpg", self._pixel_formats[source])
        with self._lock:
            self._jpegs[source] = (frame.index, jpeg)
        return jpeg

    def _app(self) -> Flask:
        app = Flask(__name__)
        page = resources.files(__package__).joinpath("page.html").read_text(encoding="utf-8")
        shown: List[str] = [redact_url(os.fspath(source)) for source in self._sources]

        @app.get("/")
        def index() -> Response:
            return Response(page, mimetype="text/html")

        @app.get("/status.json")
        def status() -> Response:
            return jsonify({source: s.to_dict() for source, s in statuses(self._group).items()})

        @app.get("/history.json")
        def history() -> Response:
            return jsonify({source: list(self._history.get(source, ())) for source in shown})

        @app.get("/streams/<int:index>/frame.jpg")
        def frame(index: int) -> Response:
            if index >= len(self._sources):
                abort(404)
            jpeg = self._jpeg(index)
            if jpeg is None:
                abort(503)  # no frame yet
            response = Response(jpeg, mimetype="image/jpeg")
            response.headers["Cache-Control"] = "no-store"
            return response

        app.json.sort_keys = False  # type: ignore[attr-defined]  # the sources' own order
        return app

    def close(self) -> None:
        """Stops serving, and closes the group. Closing again does nothing."""
        if self._stopping.is_set():
            return
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._group.close()
        for thread in self._threads:
            thread.join(5)

    def __enter__(self) -> "ViewServer":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def serve(group: "StreamGroup", port: int = 0, host: str = "127.0.0.1") -> ViewServer:
    """Serves the page of `group`, which it opens if need be (the page shows the streams while
    they start) and reads from now on (iterate it nowhere else), at `http://host:port/`, until
    `close()`.

    :param port: The port, or 0 for any free one (see `url`)
    :param host: The address to listen on; 127.0.0.1 (default) keeps the cameras to this
        machine, any other lets anyone who reaches it see them
    :raises OSError: The address cannot be listened on (the port is in use), in one line
    """
    if host not in ("127.0.0.1", "localhost", "::1"):
        logger.warning(f"Serving the view on {host}: anyone who can reach it sees the cameras")
    return ViewServer(group, host, port)


def _listen(host: str, port: int) -> socket.socket:
    """A socket bound to host:port, so that a failure is an exception of ours (werkzeug prints
    its own and exits)."""
    try:
        family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
        listener = socket.socket(family, socket.SOCK_STREAM)
    except OSError as e:
        raise address_error(host, port, e) from None
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((host, port))
        listener.listen(64)
    except OSError as e:
        listener.close()
        raise address_error(host, port, e) from None
    return listener
