"""The streams' health in Prometheus' text format, served with `prometheus_client`::

    with StreamGroup(cameras, reconnect=True) as group:
        server = plumo.metrics.serve(group, port=9100)
        for source, frame in group:
            ...

Per stream, labelled with its source (credentials masked): `plumo_stream_up` (1 while it
streams), `plumo_stream_state` (one series per state, 1 for the one it is in),
`plumo_frames_total`, `plumo_reconnects_total`, `plumo_frames_dropped_total`,
`plumo_frames_per_second` and `plumo_frame_age_seconds` (the last frame's age; absent before the
first). Each scrape reads the streams' `status`, nothing else.
"""

import errno
import os
import socket
from typing import TYPE_CHECKING, Dict, Iterator, Union

from prometheus_client import CollectorRegistry, start_http_server
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

from plumo.utils.urls import redact_url

if TYPE_CHECKING:
    from plumo.stream_reader.connection import StreamStatus
    from plumo.stream_reader.group import StreamGroup
    from plumo.stream_reader.reader import StreamReader

Target = Union["StreamReader", "StreamGroup"]


def statuses(target: Target) -> Dict[str, "StreamStatus"]:
    """The status of each stream of `target` (a reader or a group), by masked source."""
    by_source = target.status() if callable(target.status) else {target.url: target.status}
    return {redact_url(os.fspath(source)): status for source, status in by_source.items()}


class _StreamCollector(Collector):
    """Reads the streams' status at each scrape."""

    def __init__(self, target: Target):
        self._target = target

    def collect(self) -> Iterator[Metric]:
        from plumo.stream_reader.connection import STATES

        labels = ["source"]
        up = GaugeMetricFamily("plumo_stream_up", "1 while the stream streams, else 0", labels=labels)
        state = GaugeMetricFamily("plumo_stream_state", "1 for the state the stream is in",
                                  labels=["source", "state"])  # fmt: skip
        frames = CounterMetricFamily("plumo_frames", "Frames handed out", labels=labels)
        reconnects = CounterMetricFamily("plumo_reconnects", "New connections after drops",
                                         labels=labels)  # fmt: skip
        dropped = CounterMetricFamily(
            "plumo_frames_dropped", "Decoded frames replaced by newer ones before they were read",
            labels=labels,
        )
        fps = GaugeMetricFamily("plumo_frames_per_second",
                                "Frames handed out a second, over the last 5 s", labels=labels)
        age = GaugeMetricFamily("plumo_frame_age_seconds", "Seconds since the last frame",
                                labels=labels)  # fmt: skip
        for source, status in statuses(self._target).items():
            up.add_metric([source], 1 if status.state == "streaming" else 0)
            for name in STATES:
                state.add_metric([source, name], 1 if status.state == name else 0)
            frames.add_metric([source], status.frames)
            reconnects.add_metric([source], status.reconnects)
            dropped.add_metric([source], status.frames_dropped)
            fps.add_metric([source], status.fps)
            if status.last_frame_age is not None:
                age.add_metric([source], status.last_frame_age)
        yield from (up, state, frames, reconnects, dropped, fps, age)


class MetricsServer:
    """A running metrics endpoint: `url` is its `/metrics`; `close()` stops it."""

    def __init__(self, server, thread, host: str):
        self._server = server
        self._thread = thread
        port = server.server_address[1]
        self.url = f"http://{url_host(host)}:{port}/metrics"

    def close(self) -> None:
        """Stops serving and frees the port. Closing again does nothing."""
        if self._server is None:
            return
        server, self._server = self._server, None
        server.shutdown()
        server.server_close()
        self._thread.join(5)

    def __enter__(self) -> "MetricsServer":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()


def serve(target: Target, port: int = 0, host: str = "127.0.0.1") -> MetricsServer:
    """Serves the metrics of `target` (a `StreamReader` or a `StreamGroup`) at
    `http://host:port/metrics`, on a thread of its own, until `close()`.

    :param port: The port, or 0 for any free one (see `url`)
    :param host: The address to listen on; 127.0.0.1 (default) keeps it to this machine
    :raises OSError: The address cannot be listened on (the port is in use), in one line
    """
    registry = CollectorRegistry(auto_describe=True)
    registry.register(_StreamCollector(target))
    try:
        server, thread = start_http_server(port, addr=host, registry=registry)
    except OSError as e:
        raise address_error(host, port, e) from None
    return MetricsServer(server, thread, host)


def address_error(host: str, port: int, error: OSError) -> OSError:
    """The one-line error of a server that cannot listen on host:port."""
    if error.errno == errno.EADDRINUSE:
        why = "the port is in use"
    elif isinstance(error, socket.gaierror):
        why = "no such address"
    else:
        why = error.strerror or str(error)
    failure = OSError(f"Cannot listen on {url_host(host)}:{port}: {why}")
    failure.errno = error.errno  # kept, out of the text: "[Errno 98]" says nothing to people
    return failure


def url_host(host: str) -> str:
    """`host` as a URL shows it (an IPv6 address in brackets)."""
    return f"[{host}]" if ":" in host else host
