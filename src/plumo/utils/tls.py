"""Trust in HTTPS servers: a CA file for souphttpsrc, the certificate check a stream makes, and
keeping the trust given to one stream from reaching another.

That last part is needed because of glib-networking, souphttpsrc's TLS (with libsoup 2.4 and 3
alike): it keeps the TLS 1.3 sessions of the whole process in one cache, keyed by the server's
address, name and port only, not by what the connection trusted, and a resumed session skips the
certificate check. So once a stream given a CA has read a server, a later stream to the same
host and port given none resumes that session and reads a certificate nobody vouched for (and a
stream given a CA resumes a session another trust accepted). Nothing on souphttpsrc or libsoup
turns the cache off (glib-networking 2.74 has no per-connection switch; its priority variable
would change every TLS connection of the process). So a stream whose host and port were read
with another trust in this process first checks the server's certificate itself, against its own
trust, with a fresh handshake that resumes nothing.
"""

import hashlib
import os
import socket
import ssl
import threading
from typing import Dict, NamedTuple, Optional, Set, Tuple
from urllib.parse import urlsplit

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import Gst  # isort: skip

import gi  # noqa: E402

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from plumo.errors import StreamSetupError  # noqa: E402

# How long the check of a server's certificate before a stream may take.
_CHECK_TIMEOUT = 5.0


class CaFile(NamedTuple):
    """A CA file, read: the certificates a stream trusts instead of the system's."""

    path: str  # absolute
    database: Gio.TlsDatabase  # for souphttpsrc's "tls-database"
    digest: str  # of the file's bytes, to tell one trust from another


def load_ca_file(path) -> CaFile:
    """Reads a PEM file of CA certificates.

    :raises TypeError: `path` is not a str or path-like
    :raises ValueError: The file cannot be read, or holds no PEM certificate
    """
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"ca_file must be a path or None, not {type(path).__name__}")
    # glib-networking wants an absolute path, and only warns when it is not.
    path = os.path.abspath(os.fspath(path))
    try:
        with open(path, "rb") as f:
            data = f.read()
        if not Gio.TlsCertificate.list_new_from_file(path):
            raise ValueError(f"ca_file '{path}' holds no PEM certificate")
        database = Gio.TlsFileDatabase.new(path)
    except OSError as e:
        raise ValueError(f"ca_file '{path}' cannot be read: {e.strerror}") from None
    except GLib.Error as e:
        raise ValueError(f"ca_file '{path}' cannot be read: {e.message}") from None
    return CaFile(path, database, hashlib.sha256(data).hexdigest())


UNTRUSTED = "The server's certificate is not trusted"
"""How every cause of a certificate not trusted begins."""

# The words of the causes below that name the reader's options; the command line names its flags
# instead (plumo.cli).
TRUST_ADVICE = (
    "give the certificate of the CA that signed it as ca_file, or tls_verify=False to accept "
    "any certificate"
)
NOT_TRUSTED_BY = f"{UNTRUSTED} by ca_file "
UNVERIFIED = "tls_verify is off, so any certificate is accepted"


def untrusted_cause(reason: Optional[str], ca: Optional[CaFile]) -> str:
    """The cause of a failure to trust a server's certificate, with what to do about it."""
    why = f" ({reason})" if reason else ""
    if ca is not None:
        return f"{NOT_TRUSTED_BY}'{ca.path}'{why}"
    return f"{UNTRUSTED}{why}: {TRUST_ADVICE}"


class UntrustedCertificate(Exception):
    """The server's certificate is not trusted; the reason is the exception's text."""


def secure(sock: socket.socket, host: str, ca: Optional[CaFile]) -> ssl.SSLSocket:
    """Shakes hands over the connected `sock` as a client of `host` that trusts `ca` only (None:
    the system's CAs), in a session of its own.

    :raises UntrustedCertificate: The server's certificate is not trusted
    :raises OSError: The handshake failed for another reason (`ssl.SSLError`), or timed out
    """
    context = ssl.create_default_context(cafile=ca.path if ca is not None else None)
    try:
        return context.wrap_socket(sock, server_hostname=host)
    except ssl.SSLCertVerificationError as e:
        raise UntrustedCertificate(e.verify_message or str(e.reason)) from None


def check_certificate(host: str, port: int, ca: Optional[CaFile], timeout: float) -> Optional[str]:
    """Connects to host:port and says why its certificate is not trusted, or None if it is.

    :raises OSError: The server cannot be reached, or the handshake failed for another reason
    """
    with socket.create_connection((host, port), timeout=timeout) as sock:
        try:
            secure(sock, host, ca).close()
        except UntrustedCertificate as e:
            return str(e)
    return None


_endpoints_lock = threading.Lock()
# The trust of a stream that checks no certificate.
_UNVERIFIED = "unverified"
# The trusts (CA file digests, None for the system's CAs) each HTTPS host and port was read with.
_trusts_by_endpoint: Dict[Tuple[str, int], Set[Optional[str]]] = {}


def apply_trust(source: Gst.Element, ca: Optional[CaFile], verify: bool = True) -> None:
    """Makes the souphttpsrc `source` trust `ca` only (None: the system's CAs), before it starts.
    With `verify` False the source accepts any certificate, and its sessions count as another
    trust's, which later streams to the same server do not resume unchecked.

    :raises StreamSetupError: The server was read with another trust in this process, which its
        sessions would carry over, and its certificate is not trusted by this one
    """
    if ca is not None:
        # "ssl-ca-file" is not honoured with libsoup 3; a database is, with either libsoup.
        source.set_property("tls-database", ca.database)
    parts = urlsplit(source.get_property("location") or "")
    try:
        endpoint = ((parts.hostname or "").lower(), parts.port or 443)
    except ValueError:  # a port out of range: the source fails on its own
        return
    if parts.scheme.lower() != "https" or not endpoint[0]:
        return
    key = _UNVERIFIED if not verify else ca.digest if ca is not None else None
    with _endpoints_lock:
        trusts = _trusts_by_endpoint.setdefault(endpoint, set())
        shared = bool(trusts - {key})
        trusts.add(key)
    if not shared or not verify:
        return
    try:
        problem = check_certificate(*endpoint, ca, _CHECK_TIMEOUT)
    except OSError:
        # Not reachable now (or not TLS): the source finds that out and fails on its own.
        return
    if problem is not None:
        raise StreamSetupError(untrusted_cause(problem, ca))
