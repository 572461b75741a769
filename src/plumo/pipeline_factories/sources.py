"""Where streams come from: the URLs and paths plumo reads without a template, the GStreamer
source element for each, and the settings cameras need on it (trust, user agent, headers, the
RTSP transport).

One table decides it all: `http(s)://` (MJPEG cameras, files, HLS playlists) is souphttpsrc's,
`rtsp(s)://` rtspsrc's, and a path or a `file://` URL filesrc's. Whatever the source, the pipeline
after it is the same: the decoder, and the frames at the appsink.
"""

import os
import re
import time
from dataclasses import dataclass, field
from typing import Dict, Optional, Tuple
from urllib.parse import unquote, urlsplit, urlunsplit

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import BufferWatch, Gst  # isort: skip

import gi  # noqa: E402

gi.require_version("GstRtsp", "1.0")
from gi.repository import Gio, GstRtsp  # noqa: E402

from plumo.logger import logger  # noqa: E402
from plumo.utils import tls  # noqa: E402
from plumo.utils.urls import redact_url  # noqa: E402

# GLib registers GIO's socket types when they are first used, and a first use in two threads at
# once can deadlock it: rtspsrc making its first connection (GSocketClient's class set-up, which
# holds GLib's class lock and waits for GSocketAddress's registration) while another stream's
# start loads souphttpsrc's plugin (which registers GSocketAddress, and waits for that lock). A
# group of RTSP and HTTP cameras hung so at its start about once in 100. Done here once, on one
# thread, before any stream starts, there is nothing left to race.
Gio.SocketClient()
Gio.Socket.__gtype__  # noqa: B018

# The source element for each scheme plumo reads by URL; paths are filesrc's.
SOURCE_ELEMENTS = {
    "http": "souphttpsrc",
    "https": "souphttpsrc",
    "rtsp": "rtspsrc",
    "rtsps": "rtspsrc",
    "file": "filesrc",
}

RTSP_OFFER = "plumo-rtsp-offer"
"""The element message an RTSP source posts for each stream its camera offers ("media": "video",
"audio", ...; "encoding-name": "H264", "OPUS", ...)."""

RTSP_TRANSPORTS = ("auto", "tcp", "udp")
"""How an RTSP stream's packets travel: "auto" (UDP, then TCP when UDP brings nothing), "tcp"
(interleaved in the RTSP connection: through firewalls and NAT), or "udp"."""

_RTSP_PROTOCOLS = {
    "auto": GstRtsp.RTSPLowerTrans.UDP | GstRtsp.RTSPLowerTrans.UDP_MCAST
    | GstRtsp.RTSPLowerTrans.TCP,
    "tcp": GstRtsp.RTSPLowerTrans.TCP,
    "udp": GstRtsp.RTSPLowerTrans.UDP | GstRtsp.RTSPLowerTrans.UDP_MCAST,
}
# rtspsrc's jitter buffer holds packets this long to put them back in order (its own default is
# 2 s, which a camera on a local network does not need and a live view should not show).
_RTSP_LATENCY_MS = 200
# How long a source started before its pipeline may take over the answer to its first request
# before it is stopped all the same (see stop_when_answered).
_ANSWER_WAIT = 1.0
# How often the wait looks whether the source's streaming thread has given up.
_ANSWER_POLL = 0.005
# With "auto", how long UDP may bring nothing before rtspsrc sets the stream up again over TCP
# (its own default waits 5 s).
_RTSP_UDP_TIMEOUT_US = 2_000_000


@dataclass(frozen=True)
class Source:
    """A stream's source, as the table gives it."""

    scheme: str  # "http", "https", "rtsp", "rtsps" or "file"
    location: str  # the URL, or for a file its absolute path
    element: str  # the GStreamer source element's factory name

    @property
    def is_file(self) -> bool:
        return self.scheme == "file"


@dataclass(frozen=True)
class SourceSettings:
    """What the source of a stream is told besides its location."""

    user_agent: Optional[str] = None  # HTTP and RTSP
    headers: Dict[str, str] = field(default_factory=dict)  # extra HTTP request headers
    tls_verify: bool = True  # False: any server certificate is accepted (HTTPS, RTSPS)
    rtsp_transport: str = "auto"


def find_source(url) -> Source:
    """The source of `url`: an http(s), rtsp(s) or file URL, or a file's path (a str or a
    path-like object).

    :raises ValueError: Another scheme, or a URL without its host
    """
    if isinstance(url, os.PathLike):
        return Source("file", os.path.abspath(os.fspath(url)), "filesrc")
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    if not scheme or (scheme not in SOURCE_ELEMENTS and os.path.exists(url)):
        return Source("file", os.path.abspath(url), "filesrc")
    if scheme == "file":
        if parts.netloc not in ("", "localhost"):
            raise ValueError(f"'{redact_url(url)}' names a file on another host ({parts.netloc})")
        return Source("file", os.path.abspath(unquote(parts.path)), "filesrc")
    element = SOURCE_ELEMENTS.get(scheme)
    if element is None:
        raise ValueError(
            f"'{redact_url(url)}' is not a source plumo reads: give an http://, https://, "
            "rtsp://, rtsps:// or file:// URL or a file's path, or a pipeline template for "
            f"other sources{missing_scheme_hint(url)}"
        )
    if not parts.hostname:
        raise ValueError(f"'{redact_url(url)}' has no host")
    return Source(scheme, url, element)


def check_headers(headers) -> Dict[str, str]:
    """Extra HTTP request headers as a source takes them.

    :raises TypeError: Not a dict of str to str
    :raises ValueError: A name that is not a header's name, or a value that spans lines (which
        would smuggle in headers of its own)
    """
    if not isinstance(headers, dict):
        raise TypeError(f"headers must be a dict, not {type(headers).__name__}")
    for name, value in headers.items():
        if not isinstance(name, str) or not isinstance(value, str):
            raise TypeError("headers must map header names (str) to values (str)")
        if not name or not all(c.isascii() and c.isalnum() or c in "!#$%&'*+-.^_`|~" for c in name):
            raise ValueError(f"{name!r} is not an HTTP header's name")
        if any(c in value for c in "\r\n\0"):
            raise ValueError(f"the value of header {name!r} holds a line break")
    return dict(headers)


def configure_http_source(
    source: Gst.Element, settings: SourceSettings, ca: Optional[tls.CaFile]
) -> None:
    """Tells a souphttpsrc whom to trust and how to ask, before it starts.

    :raises StreamSetupError: See `plumo.utils.tls.apply_trust`
    """
    if settings.user_agent is not None:
        source.set_property("user-agent", settings.user_agent)
    if settings.headers:
        extra = Gst.Structure.new_empty("extra-headers")
        for name, value in settings.headers.items():
            extra.set_value(name, value)
        source.set_property("extra-headers", extra)
    if not settings.tls_verify:
        _warn_unverified(source.get_property("location") or "")
        source.set_property("ssl-strict", False)
    tls.apply_trust(source, ca, verify=settings.tls_verify)


def make_rtsp_source(
    name: str, url: str, settings: SourceSettings, ca: Optional[tls.CaFile]
) -> Tuple[Gst.Bin, Gst.Element]:
    """An rtspsrc for `url` inside a bin whose "src" pad gives the stream's first video stream
    (rtspsrc's pads come only once the server has described the stream).

    The other streams a camera offers (sound, metadata) are not set up at all. The credentials
    in the URL go to rtspsrc apart from it, so that the location it logs holds none.

    :return: The bin (named `name`) and the rtspsrc in it, whose "pad-added" and
        "select-stream" signals the caller connects to `on_rtsp_pad_added` and
        `select_video_streams`
    """
    source = Gst.ElementFactory.make("rtspsrc", None)
    if source is None:
        raise RuntimeError("GStreamer's rtspsrc (gstreamer1.0-plugins-good) is not installed")
    parts = urlsplit(url)
    if parts.username is not None or parts.password is not None:
        source.set_property("user-id", unquote(parts.username or ""))
        source.set_property("user-pw", unquote(parts.password or ""))
        host = parts.hostname or ""
        if ":" in host:
            host = f"[{host}]"
        netloc = host if parts.port is None else f"{host}:{parts.port}"
        url = urlunsplit((parts.scheme, netloc, parts.path, parts.query, ""))
    source.set_property("location", url)
    source.set_property("latency", _RTSP_LATENCY_MS)
    source.set_property("protocols", _RTSP_PROTOCOLS[settings.rtsp_transport])
    if settings.rtsp_transport == "auto":
        source.set_property("timeout", _RTSP_UDP_TIMEOUT_US)
    if settings.user_agent is not None:
        source.set_property("user-agent", settings.user_agent)
    if ca is not None:
        source.set_property("tls-database", ca.database)
    if not settings.tls_verify:
        _warn_unverified(url)
        source.set_property("tls-validation-flags", Gio.TlsCertificateFlags(0))
    container = Gst.Bin.new(name)
    container.add(source)
    container.add_pad(Gst.GhostPad.new_no_target("src", Gst.PadDirection.SRC))
    return container, source


def select_video_streams(source: Gst.Element, _index: int, caps: Gst.Caps) -> bool:
    """rtspsrc's "select-stream": set up the video streams only. Each stream offered is told on
    the bus (an element message named `RTSP_OFFER`), so that a camera without video can say
    what it has instead."""
    structure = caps.get_structure(0) if caps is not None and caps.get_size() else None
    if structure is None:
        return False
    media = structure.get_string("media") or "unknown"
    offer = Gst.Structure.new_empty(RTSP_OFFER)
    offer.set_value("media", media)
    offer.set_value("encoding-name", structure.get_string("encoding-name") or "unknown")
    source.post_message(Gst.Message.new_element(source, offer))
    return media == "video"


def on_rtsp_pad_added(_source: Gst.Element, pad: Gst.Pad, container: Gst.Bin) -> None:
    """rtspsrc's "pad-added": the first video stream becomes the bin's "src" pad."""
    ghost = container.get_static_pad("src")
    if ghost is not None and ghost.get_target() is None:
        ghost.set_target(pad)


def stop_when_answered(source: Gst.Element, pad: Gst.Pad) -> None:
    """Stops (NULL) a source that was started on its own, unlinked, once the request it may have
    under way has been answered or has failed, or after a second at most.

    souphttpsrc with libsoup 3 must not be stopped while the answer to its request is being
    handed to it: the stop cancels the request, libsoup then drops the response body's stream
    that it had made and nobody took, and closing that stream touches the message's finished
    I/O, which kills the process (SIGSEGV in g_input_stream_close on the source's session
    thread). An answer that has come out of the source as data, or a streaming thread that has
    stopped (an error, a refusal), leaves nothing in flight. The data is dropped here, so that
    the unlinked source reports no "not-linked" error meanwhile.
    """
    probe = None
    if pad.get_task_state() == Gst.TaskState.STARTED:
        answer = BufferWatch()
        answer.drop()
        probe = answer.watch(pad)
        deadline = time.monotonic() + _ANSWER_WAIT
        while answer.count == 0:
            if pad.get_task_state() != Gst.TaskState.STARTED or time.monotonic() >= deadline:
                break
            time.sleep(_ANSWER_POLL)
    try:
        source.set_state(Gst.State.NULL)
    finally:
        if probe is not None:
            pad.remove_probe(probe)


def _warn_unverified(url: str) -> None:
    logger.warning(
        f"{redact_url(url)}: {tls.UNVERIFIED}: the stream may come from anyone on the way to the "
        "camera"
    )


# A host with a port, or a dotted name or an address, before the first slash: a URL whose scheme
# was left out ("127.0.0.1:8000/a.mp4", "camera.local:554/stream").
_LOOKS_LIKE_HOST = re.compile(r"^(?:[\w-]+(?:\.[\w-]+)*:\d{1,5}(?:/|$)|[\w-]+(?:\.[\w-]+)+/)")


def missing_scheme_hint(path: str) -> str:
    """"; did you mean 'http://...'?" for a path or URL that looks like a URL whose scheme was
    left out; empty otherwise."""
    if not _LOOKS_LIKE_HOST.match(path) or path.startswith((".", "/")):
        return ""
    scheme = "rtsp" if re.match(r"^[^/]*:554(?:/|$)", path) else "http"
    return f"; did you mean '{scheme}://{path}'?"
