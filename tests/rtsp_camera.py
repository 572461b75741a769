"""An RTSP camera for the tests: a live, moving test picture served by GStreamer's RTSP server
library at rtsp://127.0.0.1:PORT/stream, in a process of its own, so that a test can cut its
power (SIGKILL) and bring it back on the same port.

    .venv/bin/python tests/rtsp_camera.py --port P --codec mjpeg|h264|h265|audio
        [--width 320 --height 240 --fps 25] [--tcp-only] [--lose-udp] [--user U --password W]
        [--stamp] [--tls CERT.pem KEY.pem]

It prints one line, `ready`, once it listens, and serves until SIGTERM or SIGINT. One media is
shared by all clients, as a camera's encoder is. `--tcp-only` offers RTP over the RTSP connection
alone: a client that asks for UDP is refused at SETUP (461), and one that offers TCP as well gets it
at once. `--lose-udp` accepts UDP but drops every RTP and RTCP packet it would send that way, as a
firewall between camera and client does: the client hears nothing until it gives up on UDP (the
time-out after which rtspsrc tries TCP). `--user` and `--password` ask every client
for those credentials (Basic). `--tls` serves rtsps:// with that certificate (over TCP). `--stamp` makes the pictures here instead of videotestsrc, with the
wall-clock time each was made drawn into its top left corner (`draw_stamp`, `read_stamp`), so that
a reader can tell how old a frame it hands out is, and that it comes from a camera that came back.
"""

import argparse
import signal
import sys
import threading
import time
from typing import Optional

import gi
import numpy as np

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gio, GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

PATH = "/stream"
ROLE = "viewer"

# The stamp: the time in milliseconds, modulo 2**32 (49 days), as 32 blocks of 16x16 pixels, then
# its complement as 32 more, so that a block misread is found rather than read as another time.
# 16x16 blocks on a 16-pixel grid are whole macroblocks of H.264 and whole MCUs of 4:2:0 JPEG, so
# a block's inside stays clearly black or white through either.
BLOCK = 16
BITS = 32
COLUMNS = 16
STAMP_ORIGIN = (BLOCK, BLOCK)  # (x, y)
STAMP_WIDTH = COLUMNS * BLOCK
STAMP_HEIGHT = 2 * BITS // COLUMNS * BLOCK
BLACK, WHITE = 16, 235  # limited-range luma


def _stamp_bits(value: int) -> np.ndarray:
    bits = [(value >> (BITS - 1 - i)) & 1 for i in range(BITS)]
    return np.array(bits + [1 - b for b in bits], dtype=np.uint8)


def draw_stamp(luma: np.ndarray, when: float) -> None:
    """Draws `when` (seconds since the epoch) into a picture's luma plane, in place."""
    x0, y0 = STAMP_ORIGIN
    bits = _stamp_bits(int(round(when * 1000)) % (1 << BITS))
    blocks = np.where(bits.reshape(-1, COLUMNS), WHITE, BLACK).astype(np.uint8)
    luma[y0 : y0 + STAMP_HEIGHT, x0 : x0 + STAMP_WIDTH] = np.kron(
        blocks, np.ones((BLOCK, BLOCK), np.uint8)
    )


def read_stamp(image: np.ndarray, now: Optional[float] = None) -> Optional[float]:
    """The time drawn by `draw_stamp` into a decoded picture (BGR, RGB or gray), as seconds since
    the epoch close to `now` (default: the time now), or None when the picture has no readable
    stamp."""
    x0, y0 = STAMP_ORIGIN
    area = image[y0 : y0 + STAMP_HEIGHT, x0 : x0 + STAMP_WIDTH].astype(np.float32)
    if area.shape[:2] != (STAMP_HEIGHT, STAMP_WIDTH):
        return None
    if area.ndim == 3:
        area = area.mean(axis=2)
    rows, columns = STAMP_HEIGHT // BLOCK, COLUMNS
    # The inner half of each block: its edges take ringing from the neighbours.
    quarter = BLOCK // 4
    blocks = area.reshape(rows, BLOCK, columns, BLOCK)[:, quarter:-quarter, :, quarter:-quarter]
    bits = (blocks.mean(axis=(1, 3)) > (BLACK + WHITE) / 2).astype(np.uint8).ravel()
    if not np.array_equal(bits[:BITS], 1 - bits[BITS:]):
        return None
    value = int("".join(map(str, bits[:BITS])), 2)
    now = time.time() if now is None else now
    # The stamp closest to `now` among those with the same value modulo 2**32 ms.
    now_ms = int(round(now * 1000))
    period = 1 << BITS
    stamp_ms = now_ms - ((now_ms - value) % period)
    if now_ms - stamp_ms > period // 2:
        stamp_ms += period
    return stamp_ms / 1000


class Pictures:
    """I420 pictures of a moving scene: a diagonal gradient with a bright square that crosses it,
    one position per frame, each with the time it was made drawn in (`draw_stamp`)."""

    def __init__(self, width: int, height: int):
        if width < STAMP_ORIGIN[0] + STAMP_WIDTH or height < STAMP_ORIGIN[1] + STAMP_HEIGHT:
            raise ValueError(f"{width}x{height} is too small for the stamp")
        self.width, self.height = width, height
        ys, xs = np.mgrid[0:height, 0:width]
        self._luma = (48 + (xs + ys) * 160 // (width + height)).astype(np.uint8)
        cys, cxs = np.mgrid[0 : height // 2, 0 : width // 2]
        self._chroma = (
            (64 + cxs * 128 // (width // 2)).astype(np.uint8),
            (64 + cys * 128 // (height // 2)).astype(np.uint8),
        )
        self.size = width * height * 3 // 2

    def make(self, index: int, when: float) -> bytes:
        luma = self._luma.copy()
        side = self.height // 4
        x = index * 6 % (self.width - side)
        room = max(1, self.height - STAMP_HEIGHT - 2 * BLOCK - side)  # below the stamp
        y = self.height - side - index * 3 % room
        luma[y : y + side, x : x + side] = WHITE
        draw_stamp(luma, when)
        u, v = (plane.copy() for plane in self._chroma)
        x0, y0 = STAMP_ORIGIN  # neutral chroma under the stamp: grey blocks in any colour space
        for plane in (u, v):
            plane[y0 // 2 : (y0 + STAMP_HEIGHT) // 2, x0 // 2 : (x0 + STAMP_WIDTH) // 2] = 128
        return luma.tobytes() + u.tobytes() + v.tobytes()


def _encoder(codec: str, fps: int) -> str:
    if codec == "mjpeg":
        return "jpegenc quality=85 ! rtpjpegpay name=pay0 pt=26"
    if codec == "h265":
        return (f"x265enc tune=zerolatency speed-preset=ultrafast key-int-max={fps}"
                " ! rtph265pay name=pay0 pt=96 config-interval=1")  # fmt: skip
    if Gst.ElementFactory.find("x264enc") is not None:
        encoder = f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={fps}"
    else:
        encoder = f"openh264enc gop-size={fps}"
    # config-interval=1: the parameter sets before every key frame, for clients that join late.
    return f"{encoder} ! rtph264pay name=pay0 pt=96 config-interval=1"


class _Feed:
    """The camera's one source of pictures: a thread that makes a picture every 1/fps s and
    pushes it into the appsrc of the media that plays now (a media made again after its last
    viewer left gets a new appsrc), dropping it while none plays."""

    def __init__(self, fps: int, pictures: Pictures):
        self._fps, self._pictures = fps, pictures
        self._appsrc = None
        self._lock = threading.Lock()
        threading.Thread(target=self._run, daemon=True).start()

    def into(self, appsrc) -> None:
        with self._lock:
            self._appsrc = appsrc

    def _run(self) -> None:
        start = time.monotonic()
        index = 0
        while True:
            # The picture due now: one that a busy machine made late is not followed by a burst.
            index = max(index, int((time.monotonic() - start) * self._fps))
            time.sleep(max(0.0, start + index / self._fps - time.monotonic()))
            with self._lock:
                appsrc = self._appsrc
            if appsrc is not None:
                buffer = Gst.Buffer.new_wrapped(self._pictures.make(index, time.time()))
                appsrc.emit("push-buffer", buffer)  # flushing while its media is not playing
            index += 1


def _drop(_pad, _info):
    return Gst.PadProbeReturn.DROP


def _lose_udp(_pipeline, _bin, element) -> None:
    factory = element.get_factory()
    if factory is not None and factory.get_name() in ("multiudpsink", "udpsink"):
        element.get_static_pad("sink").add_probe(
            Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST, _drop
        )


def serve(args) -> int:
    Gst.init(None)
    caps = f"video/x-raw,format=I420,width={args.width},height={args.height},framerate={args.fps}/1"
    if args.stamp:
        pictures = Pictures(args.width, args.height)
        # Two pictures at most wait in the source while the media is not playing; older ones go.
        source = (
            f"appsrc name=src is-live=true format=time do-timestamp=true max-buffers=2"
            f" leaky-type=downstream caps={caps}"
        )
    else:
        source = f"videotestsrc is-live=true pattern=ball ! {caps}"
    launch = f"{source} ! {_encoder(args.codec, args.fps)}"
    if args.codec == "audio":  # a camera that sends its microphone alone
        launch = "audiotestsrc is-live=true ! audioconvert ! opusenc ! rtpopuspay name=pay0 pt=97"
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(f"( {launch} )")
    factory.set_shared(True)
    if args.tcp_only:
        factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)

    feed = _Feed(args.fps, pictures) if args.stamp else None

    def configure(_factory, media):
        if feed is not None:
            feed.into(media.get_element().get_by_name("src"))
        if args.lose_udp:
            # The media's UDP senders are made when a client first sets up UDP, in the media's
            # pipeline (the parent of the factory's bin).
            media.get_element().get_parent().connect("deep-element-added", _lose_udp)

    if args.stamp or args.lose_udp:
        factory.connect("media-configure", configure)

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    server.get_mount_points().add_factory(PATH, factory)
    if args.user is not None or args.tls is not None:
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, ROLE)
        auth = GstRtspServer.RTSPAuth()
        if args.user is not None:
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
        else:
            auth.set_default_token(token)
        if args.tls is not None:
            auth.set_tls_certificate(Gio.TlsCertificate.new_from_files(*args.tls))
            factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
        server.set_auth(auth)
        permissions = GstRtspServer.RTSPPermissions()
        for permission in (GstRtspServer.RTSP_PERM_MEDIA_FACTORY_ACCESS,
                           GstRtspServer.RTSP_PERM_MEDIA_FACTORY_CONSTRUCT):  # fmt: skip
            permissions.add_permission_for_role(ROLE, permission, True)
        factory.set_permissions(permissions)

    try:
        # Binds and listens now (with SO_REUSEADDR: a camera killed with clients connected leaves
        # its port in TIME_WAIT, and its successor must have it at once).
        source_id = server.create_source(None).attach(None)
    except GLib.Error as error:
        print(f"rtsp_camera: cannot listen on 127.0.0.1:{args.port}: {error.message}",
              file=sys.stderr)  # fmt: skip
        return 1
    loop = GLib.MainLoop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
    print("ready", flush=True)
    loop.run()
    GLib.source_remove(source_id)
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--codec", choices=("mjpeg", "h264", "h265", "audio"), required=True)
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--tcp-only", action="store_true")
    parser.add_argument("--lose-udp", action="store_true")
    parser.add_argument("--user")
    parser.add_argument("--password")
    parser.add_argument("--stamp", action="store_true")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = parser.parse_args(argv)
    if (args.user is None) != (args.password is None):
        parser.error("--user and --password go together")
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
