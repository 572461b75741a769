"""The one place that turns what a failed pipeline said into the user's cause, in one line.

GStreamer's first words are often not the cause. An element that fails posts its error, then the
streaming thread it stopped posts the generic "Internal data stream error.", and a typefind that
was waiting for data its own "Stream doesn't contain enough data.". With libsoup 3, souphttpsrc
posts only the generic error for a refused connection, an unknown host or an untrusted
certificate: the cause is in its debug log alone ("Sending message failed: Could not connect to
127.0.0.1: Connection refused"). Reading that log would take a log function, which GStreamer calls
for every line of every category that passes its threshold, and a raised threshold, which its
default handler then prints to stderr: a library must not change its user's logging. So when the
source said nothing useful, the cause is diagnosed after the failure instead: the host resolved,
connected to, shaken hands with and asked, as souphttpsrc would, within a time limit, and without
credentials.
"""

import re
import socket
import ssl
import threading
import time
from typing import Dict, List, NamedTuple, Optional, Tuple
from urllib.parse import SplitResult, urljoin, urlsplit
from urllib.request import getproxies, proxy_bypass

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import Gst  # isort: skip

import gi  # noqa: E402
from gi.repository import GLib  # noqa: E402

gi.require_version("GstPbutils", "1.0")
from gi.repository import GstPbutils  # noqa: E402

from plumo.pipeline_factories.guards import header_value  # noqa: E402
from plumo.pipeline_factories.sources import RTSP_OFFER  # noqa: E402
from plumo.utils import tls  # noqa: E402
from plumo.utils.urls import redact_text  # noqa: E402

CONNECTION_FAILED = "Could not establish connection to server."
TOO_MANY_REDIRECTS = "Too many redirects"
MISSING_PLUGIN = "Your GStreamer installation is missing a plug-in"
NO_ANSWER = "The server closed the connection without an answer"
NOT_HTTP = "The server's answer is not HTTP"
UNRESOLVED = "Could not resolve server name '{host}'"
UNRESOLVED_FOR_NOW = "Could not resolve server name '{host}' for now (no name server answered)"
REFUSED = "Could not establish connection to server: {host}:{port} refused the connection"
NO_VIDEO = "The stream has no video"
NOT_A_STREAM = "The URL served {what} ({media}), not a video stream"
UNAUTHORIZED = "Unauthorized (401): "
WRONG_CREDENTIALS = UNAUTHORIZED + "the camera refused the user name and password in the URL"
NO_CREDENTIALS = UNAUTHORIZED + "the camera asks for a user name and password, and the URL has none"
NO_SUCH_PATH = "Not Found (404): the camera has no stream at '{path}'"

# libsoup 2 reports its own failures in place of an HTTP status; libsoup 3 reports 0.
_SOUP2_CANT_RESOLVE = 2
_SOUP2_CANT_CONNECT = 4
_SOUP2_SSL_FAILED = 6
_SOUP2_TOO_MANY_REDIRECTS = 10
# What libsoup 2's debug text quotes as the name it could not resolve.
_SOUP2_UNRESOLVED = re.compile(r"Error resolving \u201c([^\u201d]+)\u201d")

_SOURCE = "souphttpsrc"
_RESOURCE_DOMAIN = GLib.quark_to_string(Gst.ResourceError.quark())
_RTSP_SOURCE = "rtspsrc"
_MAX_ERRORS = 16  # a failing pipeline says a few; the first ones tell
_MAX_REDIRECTS = 20  # as many as libsoup follows
_MAX_HEADERS = 16384
_DEFAULT_PORTS = {"http": 80, "https": 443}
_RTSP_PORTS = {"rtsp": 554, "rtsps": 322}  # RTSP over TLS: checked as an HTTPS server is
# What a server sends instead of a stream: a page, text, data. By media type; text/* is text.
_NOT_STREAMS = {
    "text/html": "a web page",
    "application/xhtml+xml": "a web page",
    "application/json": "JSON",
    "application/xml": "XML",
    "text/xml": "XML",
}


class _Error(NamedTuple):
    """An error message, as plain data."""

    element: str  # the factory name of the element that posted it ("" if none)
    text: str
    debug: str
    status: Optional[int]  # "http-status-code" (or for rtspsrc "rtsp-status-code") of its details
    flow: Optional[int]  # "flow-return" of its details: the error stopped a streaming thread
    redirected: bool  # a redirect souphttpsrc would have followed but did not
    missing_plugin: bool  # the decoder found nothing to plug in
    typefind_starved: bool  # typefind ran out of data before it could tell the type
    resource: Optional[int]  # its code, for an error about the source's files or connections


class FailureEvidence:
    """What a pipeline's bus said that explains its failure.

    The reader's bus watcher gives it every message after the pipeline's own first state change
    (`note`); when the stream fails, the reader asks for the cause (`cause`), or, when the start
    timed out, what the source was doing (`stalled`).
    """

    def __init__(self, url: str, *, ca_file: Optional[str] = None, verify: bool = True) -> None:
        """
        :param url: The stream's URL, as given (its secrets are masked in every cause)
        :param ca_file: The CA file the stream's source trusts, if any (a diagnosis trusts the
            same)
        :param verify: Whether the source checks certificates at all
        """
        self._url = url
        self._verify = verify
        self._ca = tls.load_ca_file(ca_file) if ca_file is not None else None
        self._lock = threading.Lock()
        self._errors: List[_Error] = []
        self._missing: List[str] = []
        self._status: Optional[int] = None
        self._content_type: Optional[str] = None
        self._offers: List[str] = []  # what an RTSP camera offered: "audio (OPUS)", ...

    @property
    def http_status(self) -> Optional[int]:
        """The status of the source's last HTTP answer (libsoup 2: or its own failure code below
        100; libsoup 3: 0 when there was no answer), or None before any."""
        return self._status

    def note(self, message: Gst.Message) -> None:
        """Keeps what `message` tells of a failure. Called by the reader's bus watcher (on the
        GLib main-loop thread) with every message after the pipeline's own first state change.
        Cheap, never blocks, thread-safe."""
        kind = message.type
        if kind == Gst.MessageType.ERROR:
            error = _read_error(message)
            with self._lock:
                if len(self._errors) < _MAX_ERRORS:
                    self._errors.append(error)
        elif kind == Gst.MessageType.ELEMENT:
            if GstPbutils.is_missing_plugin_message(message):
                missing = _describe_missing(message)
                with self._lock:
                    if missing not in self._missing and len(self._missing) < _MAX_ERRORS:
                        self._missing.append(missing)
            else:
                structure = message.get_structure()
                if structure is not None and structure.has_name("http-headers"):
                    found, status = structure.get_uint("http-status-code")
                    content_type = _content_type(structure)
                    with self._lock:
                        if found:
                            self._status = status
                        if content_type:
                            self._content_type = content_type
                elif structure is not None and structure.has_name(RTSP_OFFER):
                    offer = (f"{structure.get_string('media')} "
                             f"({structure.get_string('encoding-name')})")  # fmt: skip
                    with self._lock:
                        if offer not in self._offers and len(self._offers) < _MAX_ERRORS:
                            self._offers.append(offer)

    def cause(self, *, diagnose_within: float) -> Optional[str]:
        """The one-line cause of the failure, secrets masked, or None when no error was heard.

        Called on the reader's own thread (never the main loop's). When the source failed
        without saying why, this diagnoses the network for up to `diagnose_within` seconds;
        when that finds nothing wrong, the cause is what GStreamer said first.
        """
        with self._lock:
            errors, missing, status = list(self._errors), list(self._missing), self._status
        if not errors:
            return None
        probe = _Probe(self._ca, time.monotonic() + diagnose_within)
        said = self._rtsp_cause(errors, probe)
        said = said or self._not_a_stream(errors, missing)
        said = said or self._told(errors, missing, status, probe)
        if said is None and not status and _source_failed(errors):
            # souphttpsrc stopped without an HTTP answer or a word of its own, as it does with
            # libsoup 3 for a failed connection.
            said = probe.diagnose(self._url)
        said = said if said is not None else errors[0].text
        return redact_text(" ".join(said.split()), self._url)  # one line

    def stalled(self, *, diagnose_within: float = 0.0) -> Optional[str]:
        """What the source was doing when the start ran out of time ("no answer from host:port
        yet"), for an HTTP URL, or for an RTSP URL whose camera does not answer within
        `diagnose_within` seconds; None when that is not known."""
        camera = _rtsp_target(self._url)
        if camera is not None:
            probe = _Probe(self._ca, time.monotonic() + diagnose_within)
            return probe.answers(camera)
        target = _target(self._url)
        if target is None:
            return None
        with self._lock:
            status = self._status
        if status is None:
            return "no answer from {}:{} yet".format(*target[1:])
        if 200 <= status < 300:
            return f"the server answered ({status}), but no frame was decoded yet"
        return None

    def _rtsp_cause(self, errors: List[_Error], probe: "_Probe") -> Optional[str]:
        """The cause of an RTSP source's failure, or None when it did not fail. rtspsrc says
        "Could not open resource for reading and writing." for a refused connection, an unknown
        host and an untrusted certificate alike: those are diagnosed."""
        failed = [error for error in errors if error.element == _RTSP_SOURCE]
        if not failed:
            return None
        if self._verify:
            problem = probe.certificate(self._url)
            if problem is not None:
                return tls.untrusted_cause(problem, self._ca)
        error = failed[0]
        parts = urlsplit(self._url)
        if error.status == 401:
            return _unauthorized(parts)
        if error.status == 404:
            return NO_SUCH_PATH.format(path=parts.path or "/")
        if error.missing_plugin and self._offers and not any(
            offer.startswith("video") for offer in self._offers
        ):
            return f"{NO_VIDEO}: the camera offers {', '.join(self._offers)}"
        camera = _rtsp_target(self._url)
        if error.status is None and camera is not None:
            return probe.connection(camera)
        return None

    def _not_a_stream(self, errors: List[_Error], missing: List[str]) -> Optional[str]:
        """"The URL served a web page (text/html), ..." when the server answered with something
        that is no stream at all, and typefinding or decoding it failed."""
        typefound = any(
            error.missing_plugin or error.element in ("typefind", "decodebin") for error in errors
        )
        media = self._content_type
        answered = self._status is not None and 200 <= self._status < 300
        if not (typefound and answered) or media is None:
            return None  # an error page comes with an error status, which says more
        what = _NOT_STREAMS.get(media) or ("text" if media.startswith("text/") else None)
        if what is None and media.endswith("+json"):
            what = "JSON"
        return None if what is None else NOT_A_STREAM.format(what=what, media=media)

    def _told(
        self, errors: List[_Error], missing: List[str], status: Optional[int], probe: "_Probe"
    ) -> Optional[str]:
        """The cause the messages themselves give (the probe only says why a certificate was
        not trusted), or None."""
        if status == _SOUP2_TOO_MANY_REDIRECTS:  # libsoup 2 posts no error of its own for it
            return TOO_MANY_REDIRECTS
        for error in errors:
            if error.element == _SOURCE and error.status:
                return self._from_status(error, probe)
        source_failed = _source_failed(errors)
        for error in errors:
            if error.missing_plugin and missing:
                return f"{MISSING_PLUGIN}: {', '.join(missing)}"
            consequence = error.flow is not None or (error.typefind_starved and source_failed)
            if not consequence:
                return error.text
        if missing:
            return f"{MISSING_PLUGIN}: {', '.join(missing)}"
        return None

    def _from_status(self, error: _Error, probe: "_Probe") -> str:
        status = error.status or 0
        if status == _SOUP2_CANT_RESOLVE:
            quoted = _SOUP2_UNRESOLVED.search(error.debug)
            host = quoted.group(1) if quoted else urlsplit(self._url).hostname
            return UNRESOLVED.format(host=host)
        if status == _SOUP2_CANT_CONNECT:
            return CONNECTION_FAILED
        if status == _SOUP2_SSL_FAILED and "certificate" in error.debug.lower():
            return tls.untrusted_cause(probe.certificate(self._url), self._ca)
        if status == _SOUP2_TOO_MANY_REDIRECTS or (300 <= status < 400 and error.redirected):
            return TOO_MANY_REDIRECTS
        if status == 401:
            return _unauthorized(urlsplit(self._url))
        return error.text


def _unauthorized(parts: SplitResult) -> str:
    """The cause of a 401: the credentials in the URL were refused, or how to give them."""
    if parts.username is not None or parts.password is not None:
        return WRONG_CREDENTIALS
    example = f"{parts.scheme}://USER:PASSWORD@{parts.netloc}{parts.path}"
    return f"{NO_CREDENTIALS}; give them in it: {example}"


def _source_failed(errors: List[_Error]) -> bool:
    """Whether souphttpsrc stopped its streaming with an error."""
    return any(e.element == _SOURCE and e.flow == Gst.FlowReturn.ERROR for e in errors)


def _read_error(message: Gst.Message) -> _Error:
    error, debug = message.parse_error()
    details = message.parse_error_details()
    status = flow = None
    redirect = None
    if details is not None:
        found, value = details.get_uint("http-status-code")
        if not found:
            found, value = details.get_uint("rtsp-status-code")
        status = value if found else None
        found, value = details.get_int("flow-return")
        flow = value if found else None
        redirect = details.get_string("http-redirect-uri")
    source = message.src
    factory = source.get_factory() if isinstance(source, Gst.Element) else None
    element = factory.get_name() if factory is not None else ""
    follows = element == _SOURCE and bool(source.get_property("automatic-redirect"))
    debug = debug or ""
    if flow is None and error.matches(Gst.StreamError.quark(), Gst.StreamError.FAILED):
        # Some elements say it in the debug text only.
        flow = Gst.FlowReturn.ERROR if "streaming stopped, reason" in debug else None
    return _Error(
        element=element,
        text=error.message or "",
        debug=debug,
        status=status,
        flow=flow,
        redirected=follows and redirect not in (None, "", "(NULL)"),
        missing_plugin=error.matches(Gst.CoreError.quark(), Gst.CoreError.MISSING_PLUGIN)
        or error.matches(Gst.StreamError.quark(), Gst.StreamError.CODEC_NOT_FOUND),
        typefind_starved=element == "typefind"
        and error.matches(Gst.StreamError.quark(), Gst.StreamError.TYPE_NOT_FOUND),
        resource=error.code if error.domain == _RESOURCE_DOMAIN else None,
    )


def _content_type(headers: Gst.Structure) -> Optional[str]:
    """The media type of souphttpsrc's "http-headers" answer ("text/html"), or None."""
    if not headers.has_field("response-headers"):
        return None
    response = headers.get_value("response-headers")
    value = header_value(response, "content-type") if isinstance(response, Gst.Structure) else None
    media = (value or "").partition(";")[0].strip().lower()
    return media or None


def _describe_missing(message: Gst.Message) -> str:
    """'MPEG-2 Transport Stream demuxer (video/mpegts)': what was missing, and for what."""
    description = GstPbutils.missing_plugin_message_get_description(message)
    detail = message.get_structure().get_value("detail")
    media = detail.get_structure(0).get_name() if isinstance(detail, Gst.Caps) else None
    if media and media not in description:
        return f"{description} ({media})"
    return description


def _rtsp_target(url: str) -> Optional[Tuple[str, str, int]]:
    """(scheme, host, port) of an RTSP URL, or None."""
    return _target(url, _RTSP_PORTS)


def _target(url: str, ports: Dict[str, int] = _DEFAULT_PORTS) -> Optional[Tuple[str, str, int]]:
    """(scheme, host, port) of a URL of one of the schemes in `ports` (default: HTTP's), or
    None."""
    try:
        parts = urlsplit(url)
        scheme = parts.scheme.lower()
        if scheme not in ports or not parts.hostname:
            return None
        return scheme, parts.hostname, parts.port or ports[scheme]
    except ValueError:
        return None


class _Found(Exception):
    """A definite finding of a diagnosis: the cause."""


class _OutOfTime(Exception):
    """The diagnosis ran out of time before it could tell."""


class _Probe:
    """Looks at the network the way souphttpsrc did, by a deadline, for a definite cause.

    It sends no credentials at all, and goes only where souphttpsrc went: the URL's own host,
    port and scheme, and the redirects they answer with. What cannot be told in time (a host that
    does not answer, say) is no finding: the cause is then what GStreamer said.
    """

    def __init__(self, ca: Optional[tls.CaFile], deadline: float):
        self._ca = ca
        self._deadline = deadline

    def diagnose(self, url: str) -> Optional[str]:
        try:
            for _ in range(_MAX_REDIRECTS + 1):
                parts, target = urlsplit(url), _target(url)
                if target is None or self._proxied(target):
                    return None
                with self._connect(target) as sock:
                    status, location = self._ask(sock, parts, target)
                if not (300 <= status < 400 and location):
                    return None  # the server answers: nothing wrong found
                url = urljoin(url, location)
            return TOO_MANY_REDIRECTS
        except _Found as found:
            return str(found)
        except (_OutOfTime, OSError):
            return None

    def connection(self, target: Tuple[str, str, int]) -> Optional[str]:
        """Why no connection could be made to the target, if that can be told in time."""
        try:
            self._connect(target, check=False).close()
        except _Found as found:
            return str(found)
        except (_OutOfTime, OSError):
            pass
        return None

    def answers(self, target: Tuple[str, str, int]) -> Optional[str]:
        """"no answer from host:port yet" when the target takes no connection in time; the
        cause when it refuses one; None when it takes it."""
        try:
            self._connect(target, check=False).close()
        except _Found as found:
            return str(found)
        except _OutOfTime:
            return "no answer from {}:{} yet".format(*target[1:])
        except OSError:
            pass
        return None

    def certificate(self, url: str) -> Optional[str]:
        """Why the URL's server certificate is not trusted, if that can be told in time."""
        target = _target(url)
        camera = _rtsp_target(url)
        if camera is not None:
            target = camera
        try:
            if target is not None and target[0] in ("https", "rtsps") and not self._proxied(target):
                with self._connect(target, check=False) as sock:
                    tls.secure(sock, target[1], self._ca).close()
        except tls.UntrustedCertificate as e:
            return str(e)
        except (_Found, _OutOfTime, OSError):
            pass
        return None

    def _left(self) -> float:
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise _OutOfTime
        return left

    @staticmethod
    def _proxied(target: Tuple[str, str, int]) -> bool:
        # Through a proxy, what a direct look finds says nothing of souphttpsrc's way there.
        scheme, host, _ = target
        return bool(getproxies().get(scheme)) and not proxy_bypass(host)

    def _connect(self, target: Tuple[str, str, int], check: bool = True) -> socket.socket:
        """A connection to the target, over TLS for https (its certificate checked if `check`)."""
        scheme, host, port = target
        addresses = self._resolve(host, port)
        failure: Optional[OSError] = None
        for family, kind, proto, _, address in addresses:
            sock = socket.socket(family, kind, proto)
            try:
                sock.settimeout(self._left())
                sock.connect(address)
            except (OSError, _OutOfTime) as e:
                sock.close()
                if isinstance(e, (socket.timeout, _OutOfTime)):
                    raise _OutOfTime from None
                failure = e
                continue
            if scheme == "https" and check:
                return self._secure(sock, host)
            return sock
        if isinstance(failure, ConnectionRefusedError) and scheme in _RTSP_PORTS:
            raise _Found(REFUSED.format(host=host, port=port))
        if isinstance(failure, ConnectionRefusedError) or failure is None:
            raise _Found(CONNECTION_FAILED)
        raise _Found(f"{CONNECTION_FAILED[:-1]}: {failure.strerror or failure}")

    def _resolve(self, host: str, port: int) -> list:
        """getaddrinfo, which takes no timeout, on a thread of its own."""
        result: list = []

        def resolve() -> None:
            try:
                result.append(socket.getaddrinfo(host, port, type=socket.SOCK_STREAM))
            except OSError as e:
                result.append(e)

        thread = threading.Thread(target=resolve, name="plumo-resolve", daemon=True)
        thread.start()
        thread.join(self._left())
        if not result:
            raise _OutOfTime
        if isinstance(result[0], socket.gaierror):
            if result[0].errno == socket.EAI_AGAIN:
                raise _Found(UNRESOLVED_FOR_NOW.format(host=host))
            raise _Found(UNRESOLVED.format(host=host))
        if isinstance(result[0], OSError):
            raise _OutOfTime  # no verdict on the name
        return result[0]

    def _secure(self, sock: socket.socket, host: str) -> socket.socket:
        try:
            sock.settimeout(self._left())
            return tls.secure(sock, host, self._ca)
        except BaseException as e:
            sock.close()  # nothing to do once a failed handshake has closed it
            if isinstance(e, tls.UntrustedCertificate):
                raise _Found(tls.untrusted_cause(str(e), self._ca)) from None
            if isinstance(e, ssl.SSLError):
                raise _Found(f"Secure connection setup failed: {e.reason or e}") from None
            if isinstance(e, socket.timeout):
                raise _OutOfTime from None
            raise

    def _ask(
        self, sock: socket.socket, parts: SplitResult, target: Tuple[str, str, int]
    ) -> Tuple[int, Optional[str]]:
        """Asks for the URL's path; the status of the answer and its Location header."""
        scheme, host, port = target
        path = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        host = f"[{host}]" if ":" in host else host  # an IPv6 address
        if port != _DEFAULT_PORTS[scheme]:
            host = f"{host}:{port}"
        request = f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n"
        try:
            sock.settimeout(self._left())
            sock.sendall(request.encode("latin-1", "replace"))
            head = b""
            while b"\r\n\r\n" not in head and len(head) < _MAX_HEADERS:
                sock.settimeout(self._left())
                chunk = sock.recv(4096)
                if not chunk:
                    break
                head += chunk
        except socket.timeout:
            raise _OutOfTime from None
        except ConnectionResetError:
            raise _Found(NO_ANSWER) from None
        if not head:
            raise _Found(NO_ANSWER)
        lines = head.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
        match = re.match(r"HTTP/\d(?:\.\d)? (\d{3})", lines[0])
        if match is None:
            raise _Found(NOT_HTTP)
        location = None
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "location":
                location = value.strip()
        return int(match.group(1)), location


# --- whether a failure may pass ------------------------------------------------------------------

# Answers that say the server cannot serve now, not that it never will: besides any server error
# (5xx, a camera starting up or busy), a request that timed out (408), too many requests (429),
# and RTSP's "not enough bandwidth" (453).
_PASSING_STATUSES = (408, 429, 453)
# What rtspsrc says of an answer it did not expect (it has no field for the status).
_RTSP_STATUS = re.compile(r"Error \((\d{3})\)|Got error response: (\d{3})")
# The causes that a diagnosis finds of a server that is not there yet: nothing listens, no route,
# no answer, no name server.
_PASSING_CAUSES = (CONNECTION_FAILED[:-1], NO_ANSWER)
_FOR_NOW = UNRESOLVED_FOR_NOW.rpartition("'")[2]
_UNRESOLVED_START = UNRESOLVED.partition("'")[0]
# The codes of a source that could not reach its server, or lost it, before any answer.
_CONNECTION_CODES = (int(Gst.ResourceError.OPEN_READ), int(Gst.ResourceError.OPEN_READ_WRITE),
                     int(Gst.ResourceError.READ), int(Gst.ResourceError.WRITE))  # fmt: skip


def may_pass(evidence: FailureEvidence, cause: str) -> bool:
    """Whether a stream that could not start, for `cause` (what `evidence.cause()` gave), may
    start when tried again: its server is not there yet (refused, unreachable, no answer, no name
    server), cannot serve now (a 5xx, a busy RTSP camera's 503, 408, 429, 453), or stopped
    answering. Not when the server answered what no retry changes (404, 401, 403, another 4xx),
    the name is unknown, the certificate is not trusted, or the stream is not one plumo decodes.
    Looks at nothing but what was heard: the cause has looked at the network where it had to.
    """
    if cause.startswith(_PASSING_CAUSES) or cause.endswith(_FOR_NOW):
        return True
    if cause.startswith((_UNRESOLVED_START, tls.UNTRUSTED)):
        return False
    with evidence._lock:
        errors = list(evidence._errors)
    for error in errors:
        status = error.status if error.status and error.status >= 100 else _rtsp_status(error)
        if status is not None:
            return status >= 500 or status in _PASSING_STATUSES
    # rtspsrc could not reach its camera, or lost it, before any answer (the cause above has
    # already told an unknown name or an untrusted certificate from a refusal).
    return any(error.element == _RTSP_SOURCE and error.resource in _CONNECTION_CODES
               for error in errors)  # fmt: skip


def _rtsp_status(error: _Error) -> Optional[int]:
    if error.element != _RTSP_SOURCE:
        return None
    found = _RTSP_STATUS.search(error.debug)
    return int(found.group(1) or found.group(2)) if found else None
