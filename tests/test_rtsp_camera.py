"""The tests' RTSP camera (rtsp_camera.py, streams.RtspCamera), read with GStreamer's own rtspsrc
and decoders, without plumo: that it serves live pictures over both transports, refuses or loses
UDP as asked, asks for credentials, comes back on its port after a kill, and stamps its pictures
with times that survive both codecs."""

import socket
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import List, Optional

import numpy as np
import pytest

import rtsp_camera
from streams import Gst, RtspCamera

@dataclass
class Pulled:
    frames: List[np.ndarray] = field(default_factory=list)
    error: Optional[str] = None  # the first error on the bus, with its details
    first_after: Optional[float] = None  # seconds from PLAYING to the first frame
    arrivals: List[float] = field(default_factory=list)  # time.time() of each frame


def pull(url: str, count: int = 3, protocols: Optional[str] = None, extra: str = "",
         timeout: float = 10.0) -> Pulled:  # fmt: skip
    """Reads up to `count` BGR frames of `url` with rtspsrc, for `timeout` seconds at most."""
    Gst.init(None)
    chosen = f"protocols={protocols}" if protocols else ""
    pipeline = Gst.parse_launch(
        f"rtspsrc location={url} latency=100 {chosen} {extra} ! decodebin ! videoconvert"
        " ! video/x-raw,format=BGR ! appsink name=sink sync=false"
    )
    sink, bus = pipeline.get_by_name("sink"), pipeline.get_bus()
    pulled = Pulled()
    started = time.monotonic()
    pipeline.set_state(Gst.State.PLAYING)
    try:
        while len(pulled.frames) < count and time.monotonic() - started < timeout:
            sample = sink.try_pull_sample(Gst.SECOND // 10)
            if sample is None:
                message = bus.pop_filtered(Gst.MessageType.ERROR)
                if message is not None:
                    error, debug = message.parse_error()
                    pulled.error = f"{error.message} ({debug})"
                    break
                continue
            if pulled.first_after is None:
                pulled.first_after = time.monotonic() - started
            pulled.arrivals.append(time.time())
            structure = sample.get_caps().get_structure(0)
            width, height = structure.get_value("width"), structure.get_value("height")
            buffer = sample.get_buffer()
            data = buffer.extract_dup(0, buffer.get_size())
            assert len(data) == width * height * 3  # no row padding at these widths
            pulled.frames.append(np.frombuffer(data, np.uint8).reshape(height, width, 3))
    finally:
        pipeline.set_state(Gst.State.NULL)
    return pulled


def assert_live(pulled: Pulled, count: int = 3) -> None:
    assert pulled.error is None
    assert len(pulled.frames) == count
    assert all(frame.shape == (240, 320, 3) for frame in pulled.frames)
    # A moving picture, not one frame over and over.
    assert not np.array_equal(pulled.frames[0], pulled.frames[-1])


@pytest.fixture(scope="module", params=["mjpeg", "h264"])
def camera(request):
    with RtspCamera(request.param) as cam:
        yield cam


@pytest.mark.parametrize("protocols", ["tcp", "udp"])
def test_live_pictures_over_either_transport(camera, protocols):
    assert_live(pull(camera.url, protocols=protocols))


@pytest.mark.parametrize(
    "protocols, delivers",
    [("udp", False), ("tcp", True), (None, True)],
    ids=["udp-refused", "tcp", "any-takes-tcp"],
)
def test_tcp_only(protocols, delivers):
    with RtspCamera("h264", tcp_only=True) as cam:
        pulled = pull(cam.url, protocols=protocols)
    if delivers:
        assert_live(pulled)
        # Refused at SETUP, rtspsrc asks for TCP at once: no UDP time-out (5 s) is waited out.
        assert pulled.first_after < 3.0
    else:
        assert pulled.frames == [] and "No supported stream was found" in pulled.error


@pytest.mark.parametrize("protocols", ["udp", None], ids=["udp-only", "any"])
def test_lost_udp_is_waited_out(protocols):
    with RtspCamera("mjpeg", lose_udp=True) as cam:
        pulled = pull(cam.url, protocols=protocols, extra="timeout=1000000")
    if protocols == "udp":
        assert pulled.frames == [] and "Could not receive any UDP packets" in pulled.error
    else:
        assert_live(pulled)
        # The pictures came over TCP after a second of silence on UDP.
        assert pulled.first_after >= 0.9


@pytest.mark.parametrize(
    "credentials, delivers",
    [("viewer:s3cr:t@", True), ("viewer:wrong@", False), ("", False)],
    ids=["right", "wrong", "none"],
)
def test_credentials(credentials, delivers):
    with RtspCamera("mjpeg", user="viewer", password="s3cr:t") as cam:
        assert cam.url == f"rtsp://viewer:s3cr:t@127.0.0.1:{cam.port}/stream"
        pulled = pull(cam.url.replace("viewer:s3cr:t@", credentials))
    if delivers:
        assert_live(pulled)
    else:
        assert pulled.frames == [] and "Unauthorized" in pulled.error


@pytest.mark.parametrize("codec", ["mjpeg", "h264"])
def test_comes_back_on_the_same_port(codec):
    with RtspCamera(codec) as cam:
        url, port = cam.url, cam.port
        Gst.init(None)
        client = Gst.parse_launch(
            f"rtspsrc location={url} protocols=tcp ! decodebin ! fakesink sync=false"
        )
        client.set_state(Gst.State.PLAYING)
        try:
            assert client.get_state(10 * Gst.SECOND)[0] == Gst.StateChangeReturn.SUCCESS
            cam.stop()
            # Killed, it closes the client's connection (rtspsrc takes that for the end of the
            # stream), and leaves the port with connections in TIME_WAIT.
            ended = client.get_bus().timed_pop_filtered(
                5 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR
            )
            assert ended is not None
            assert not cam.running
            cam.start()
        finally:
            client.set_state(Gst.State.NULL)
        assert (cam.url, cam.port) == (url, port)
        assert_live(pull(cam.url, protocols="tcp"))


def test_a_frozen_camera_sends_nothing_until_thawed():
    with RtspCamera("mjpeg") as cam:
        Gst.init(None)
        client = Gst.parse_launch(
            f"rtspsrc location={cam.url} protocols=tcp ! decodebin ! videoconvert"
            " ! appsink name=sink sync=false max-buffers=1 drop=true"
        )
        sink = client.get_by_name("sink")
        client.set_state(Gst.State.PLAYING)
        try:
            assert sink.try_pull_sample(10 * Gst.SECOND) is not None
            cam.freeze()
            sink.try_pull_sample(Gst.SECOND // 2)  # what was under way when it froze
            assert sink.try_pull_sample(Gst.SECOND) is None
            cam.thaw()
            assert sink.try_pull_sample(5 * Gst.SECOND) is not None
        finally:
            client.set_state(Gst.State.NULL)


def test_a_failed_start_says_why():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        cam = RtspCamera("mjpeg", port=taken.getsockname()[1])
        with pytest.raises(RuntimeError, match="(?s)before it was ready.*Address already in use"):
            cam.start()
        assert not cam.running


# --- the stamp: the time each picture was made, drawn into it ---------------------------------


# The last: 10 ms before the counter wraps.
@pytest.mark.parametrize("when", [1_700_000_000.123, 1_700_000_000.999, 396 * 2**32 / 1000 - 0.01])
def test_stamp_reads_back(when):
    luma = np.full((240, 320), 128, np.uint8)
    rtsp_camera.draw_stamp(luma, when)
    # Read within a minute either side, across a wrap of the 2**32 ms counter too.
    for now in (when - 60, when, when + 60):
        assert rtsp_camera.read_stamp(luma, now=now) == pytest.approx(when, abs=0.0006)


def test_a_damaged_stamp_is_not_read():
    luma = np.full((240, 320), 128, np.uint8)
    rtsp_camera.draw_stamp(luma, 1_700_000_000.5)
    x, y = rtsp_camera.STAMP_ORIGIN
    luma[y : y + 16, x : x + 16] = 255 - luma[y : y + 16, x : x + 16]  # one bit flipped
    assert rtsp_camera.read_stamp(luma) is None
    assert rtsp_camera.read_stamp(np.zeros((40, 40, 3), np.uint8)) is None


@pytest.mark.parametrize("codec", ["mjpeg", "h264"])
def test_stamped_pictures_tell_their_age(codec):
    with RtspCamera(codec, stamp=True) as cam:
        pulled = pull(cam.url, count=10, protocols="tcp")
    assert pulled.error is None and len(pulled.frames) == 10
    stamps = [rtsp_camera.read_stamp(frame) for frame in pulled.frames]
    assert None not in stamps
    assert stamps == sorted(stamps) and stamps[-1] - stamps[0] >= 8 / 25 - 0.01
    ages = [arrival - stamp for arrival, stamp in zip(pulled.arrivals, stamps)]
    assert all(0 <= age < 1.0 for age in ages), ages


def test_clients_share_one_media():
    """Two clients at once get the same pictures (the same stamps), not a media each."""
    with RtspCamera("mjpeg", stamp=True) as cam:
        with ThreadPoolExecutor(2) as pool:
            first = pool.submit(pull, cam.url, 15, "tcp")
            time.sleep(0.2)
            second = pool.submit(pull, cam.url, 5, "udp")
            first, second = first.result(), second.result()
    stamps = [{rtsp_camera.read_stamp(f) for f in pulled.frames} for pulled in (first, second)]
    assert len(stamps[0]) == 15 and len(stamps[1]) == 5
    assert stamps[1] <= stamps[0]
