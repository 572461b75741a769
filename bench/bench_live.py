"""Live streams: how soon plumo's StreamReader hands out frames again once a camera that went away
comes back (reconnect=True), and how old the frames it hands out are when its consumer is slower
than the camera (latest=True against every frame in turn).

Set-up: scripts/setup.sh (the benchmark needs no rivals and no clips)
Run:    .venv/bin/python bench/bench_live.py [--rounds N] [--quick]

Cameras, each a process of its own on 127.0.0.1 (so that it can lose power: SIGKILL, and come back
on the same port), 640x360 at 25 frames a second, every picture made as it is sent, with the
wall-clock time it was made drawn into it (tests/rtsp_camera.py: the time in milliseconds and its
complement as 64 black or white blocks of 16x16 pixels, which survive JPEG and H.264 whole; a
picture whose blocks do not agree with their complement is counted as unreadable, not guessed):

- RTSP, H.264 and MJPEG: tests/rtsp_camera.py --stamp (GStreamer's RTSP server; x264enc
  zerolatency ultrafast with a key frame every second, or jpegenc quality 85), read as
  rtsp://127.0.0.1:PORT/stream with the reader's default transport.
- HTTP MJPEG: this script with --serve-http, multipart/x-mixed-replace, the same pictures as JPEGs
  (jpegenc quality 85), 25 a second by the clock; each client is sent the newest picture whenever
  its connection takes one, so a client that falls behind misses pictures, as with a camera.

Reconnection (reconnect=True): a thread reads frames as fast as they come. Once they flow, the
camera is killed, stays away for a fixed outage (2 s), and is started again on its port; the time
from its `ready` (it listens again) to the first frame handed out that was made after the kill
(its stamp tells) is the time back; the gap is from the last frame handed out before the kill to
that one. Several outages in one reader's life (a round), a second of steady frames between them;
then reader.reconnects (new connections, against the outages) and the frames whose stamp did not
read. This is mostly the reader's back-off schedule (0.5 s doubling, with jitter) against the
outage, plus the camera's and the pipeline's start.

Newest frame (latest=True, against the reader's default): a consumer that takes 200 ms for each
frame (a sleep) reads a camera for 10 s (4 with --quick). For each frame handed out, its age: the
time it is handed out (time.time() when read_frame() returns) less the time its picture was made
(the stamp: every queue on the way counts, the camera's socket, the kernel's, the pipeline's, the
reader's), and, less telling, less Frame.arrival (the reader's own holding alone); median, 95th
percentile and largest, the median over the read's last quarter (where a backlog has built up),
frames handed out and reader.frames_dropped. A read during which other processes took more than
15% of the CPUs is taken again (3 tries at most).

Rounds in rotating order (3; --quick: 1 round with 2 outages a camera). Options or URLs this plumo
does not take are reported as "not supported by this plumo".
"""

import argparse
import math
import os
import statistics
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH.parent / "tests"))  # the cameras: rtsp_camera.py, streams.py

import clips  # noqa: E402  (bench/, this script's folder)
import rtsp_camera  # noqa: E402

WIDTH, HEIGHT, FPS = 640, 360, 25
JPEG_QUALITY = 85
BOUNDARY = "plumoframe"
OUTAGE = 2.0  # seconds a camera stays away
SETTLE = 1.0  # seconds of steady frames before each outage
BACK_TIMEOUT = 60.0  # for the first new frame after a camera's return
START_TIMEOUT = 30.0
READ_TIMEOUT = 5.0  # each read_frame(); the reader goes on reconnecting after it
CONSUMER_DELAY = 0.2  # the slow consumer's work per frame
UNSUPPORTED = "not supported by this plumo"


def cameras_cpu_seconds(camera) -> float:
    """CPU time of the camera processes this one started: those gone (killed and reaped) and
    `camera`'s, while it runs."""
    times = os.times()
    total = times.children_user + times.children_system
    if camera is not None and camera.running:
        with open(f"/proc/{camera.pid}/stat") as f:
            fields = f.read().rpartition(")")[2].split()
        total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


class OthersButCamera(clips.OthersWatch):
    """The share of the CPUs others took, the cameras not counted among them: their work (making
    and encoding pictures, 0.04-0.06 of a CPU here) is part of the set-up."""

    camera = None  # the one running now

    def start(self):
        self._camera_cpu, self._started = cameras_cpu_seconds(self.camera), time.perf_counter()
        super().start()

    def stop(self) -> float:
        others = super().stop()
        camera = cameras_cpu_seconds(self.camera) - self._camera_cpu
        wall = time.perf_counter() - self._started
        self._last = max(0.0, others - camera / (wall * (os.cpu_count() or 1)))
        return self._last


OTHERS = OthersButCamera()


# --- the HTTP camera, in a process of its own ----------------------------------------------------


def serve_http(port: int, width: int, height: int, fps: int) -> None:
    """An MJPEG camera on 127.0.0.1:`port`: stamped pictures (rtsp_camera.Pictures), made and
    encoded 25 times a second whether anyone watches or not; each GET gets the newest one whenever
    its connection takes another, as parts of a multipart stream, until it hangs up."""
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    from gi.repository import Gst, GstApp  # noqa: F401 - GstApp gives appsink its methods

    Gst.init(None)
    caps = f"video/x-raw,format=I420,width={width},height={height},framerate={fps}/1"
    encoder = Gst.parse_launch(
        f"appsrc name=src format=time caps={caps} ! jpegenc quality={JPEG_QUALITY}"
        " ! appsink name=sink sync=false"
    )
    source, sink = encoder.get_by_name("src"), encoder.get_by_name("sink")
    encoder.set_state(Gst.State.PLAYING)
    pictures = rtsp_camera.Pictures(width, height)
    newest: List[Tuple[int, bytes]] = []  # [(index, jpeg)]
    changed = threading.Condition()

    def produce():
        start, index = time.monotonic(), 0
        while True:
            index = max(index, int((time.monotonic() - start) * fps))
            time.sleep(max(0.0, start + index / fps - time.monotonic()))
            buffer = Gst.Buffer.new_wrapped(pictures.make(index, time.time()))
            buffer.pts = index * Gst.SECOND // fps
            source.emit("push-buffer", buffer)
            sample = sink.emit("pull-sample")
            jpeg = sample.get_buffer().extract_dup(0, sample.get_buffer().get_size())
            with changed:
                newest[:] = [(index, jpeg)]
                changed.notify_all()
            index += 1

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", f"multipart/x-mixed-replace; boundary={BOUNDARY}")
            self.send_header("Cache-Control", "no-cache")
            self.end_headers()
            self.close_connection = True
            sent = -1
            while True:
                with changed:
                    changed.wait_for(lambda: newest and newest[0][0] > sent, timeout=5)
                    if not newest or newest[0][0] <= sent:
                        return
                    sent, jpeg = newest[0]
                if not clips.send_jpeg_part(self.wfile, jpeg, BOUNDARY):
                    return

        def log_message(self, *args):
            pass

    threading.Thread(target=produce, name="camera", daemon=True).start()
    # allow_reuse_address (HTTPServer's default): the port may hold connections in TIME_WAIT
    # from the camera this one replaces.
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    print("ready", flush=True)
    server.serve_forever()


# --- the cameras ---------------------------------------------------------------------------------


@dataclass
class Camera:
    name: str
    make: Callable[[], object]  # a streams.CameraProcess with a `url`


def cameras() -> List[Camera]:
    from streams import CameraProcess, RtspCamera, closed_port

    def http():
        port = closed_port()
        command = [sys.executable, __file__, "--serve-http", str(port)]
        camera = CameraProcess(command, START_TIMEOUT)
        camera.url = f"http://127.0.0.1:{port}/camera.mjpg"
        return camera

    def rtsp(codec):
        return lambda: RtspCamera(codec, width=WIDTH, height=HEIGHT, fps=FPS, stamp=True,
                                  start_timeout=START_TIMEOUT)  # fmt: skip

    return [Camera("HTTP MJPEG", http), Camera("RTSP H.264", rtsp("h264")),
            Camera("RTSP MJPEG", rtsp("mjpeg"))]  # fmt: skip


def supported(url: str, **options) -> Optional[str]:
    """None when this plumo's reader takes `url` with `options` (checked without opening it);
    why not otherwise."""
    from plumo.errors import InvalidRuntimeOptionError
    from plumo.stream_reader import StreamReader

    try:
        StreamReader(url, **options)
    except (InvalidRuntimeOptionError, ValueError) as e:
        return str(e)
    return None


# --- reconnection --------------------------------------------------------------------------------


@dataclass
class Handed:
    at: float  # time.time() when read_frame() returned it
    stamp: Optional[float]  # when its picture was made; None: unreadable


class Consumer(threading.Thread):
    """Reads frames as fast as they come until the reader is closed, noting each one."""

    def __init__(self, reader):
        super().__init__(name="consumer", daemon=True)
        self.reader = reader
        self.handed: List[Handed] = []
        self.changed = threading.Condition()
        self.timeouts = 0
        self.closing = False  # set before the reader is closed: the end that follows is ours
        self.end: Optional[str] = None  # why it stopped before that: an exception, or the end
        self.stopped = False

    def run(self):
        while True:
            try:
                frame = self.reader.read_frame()
            except TimeoutError:
                self.timeouts += 1  # the reader goes on reconnecting
                continue
            except Exception as e:  # the reader gave up: reported, not hidden
                if not self.closing:
                    self.end = f"{type(e).__name__}: {e}"
                break
            if frame is None:
                if not self.closing:
                    self.end = "the reader ended the stream"
                break
            now = time.time()
            with self.changed:
                self.handed.append(Handed(now, rtsp_camera.read_stamp(frame.image, now)))
                self.changed.notify_all()
        with self.changed:
            self.stopped = True
            self.changed.notify_all()

    def wait_for(self, condition: Callable[[Handed], bool], timeout: float) -> Optional[Handed]:
        """The first frame noted that meets `condition`, waiting up to `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = next((h for h in self.handed if condition(h)), None)
                left = deadline - time.monotonic()
                if found is not None or self.stopped or left <= 0:
                    return found
                self.changed.wait(left)


@dataclass
class Session:
    back: List[float] = field(default_factory=list)  # camera ready -> first new frame
    gaps: List[float] = field(default_factory=list)  # last old frame -> first new frame
    outages: int = 0
    missed: int = 0  # outages after which no new frame came within BACK_TIMEOUT
    reconnects: int = 0
    frames: int = 0
    unreadable: int = 0
    timeouts: int = 0
    end: Optional[str] = None
    others: float = 0.0


def reconnection_session(camera: Camera, outages: int) -> Session:
    from plumo.stream_reader import StreamReader

    session = Session()
    watch = OthersButCamera()
    with camera.make() as cam:
        watch.camera = cam
        reader = StreamReader(cam.url, reconnect=True, start_timeout=START_TIMEOUT,
                              read_timeout=READ_TIMEOUT)  # fmt: skip
        with reader:
            consumer = Consumer(reader)
            watch.start()
            consumer.start()
            try:
                first = consumer.wait_for(lambda h: True, START_TIMEOUT)
                if first is None:
                    raise RuntimeError(f"{camera.name}: no frame ({consumer.end})")
                for _ in range(outages):
                    time.sleep(SETTLE)
                    killed_at = time.time()
                    cam.stop()
                    time.sleep(OUTAGE)
                    cam.start()
                    session.outages += 1
                    # Stamps come from the pictures: one made after the kill is the new camera's.
                    new = consumer.wait_for(lambda h: h.stamp is not None and h.stamp >= killed_at,
                                            BACK_TIMEOUT)  # fmt: skip
                    if new is None:
                        session.missed += 1
                        if consumer.stopped:
                            break
                        continue
                    with consumer.changed:
                        old = [h.at for h in consumer.handed
                               if h.stamp is not None and h.stamp < killed_at]  # fmt: skip
                    session.back.append(new.at - cam.ready_at)
                    if old:
                        session.gaps.append(new.at - max(old))
                session.reconnects = reader.reconnects
            finally:
                consumer.closing = True
                reader.close()  # ends the consumer's read
                consumer.join(10)
                session.others = watch.stop()
    session.frames = len(consumer.handed)
    session.unreadable = sum(h.stamp is None for h in consumer.handed)
    session.timeouts = consumer.timeouts
    session.end = consumer.end
    return session


# --- newest frame --------------------------------------------------------------------------------


@dataclass
class SlowRead:
    ages: List[float]  # hand-out less the picture's making, per frame
    held: List[float]  # hand-out less Frame.arrival, per frame
    unreadable: int
    dropped: Optional[int]
    others: float


def slow_read(url: str, latest: bool, seconds: float) -> SlowRead:
    """A consumer that takes CONSUMER_DELAY for each frame reads `url` for `seconds`."""
    from plumo.stream_reader import StreamReader

    options = {"latest": True} if latest else {}  # the default, as a plumo without it has it
    ages, held, unreadable = [], [], 0
    with StreamReader(url, start_timeout=START_TIMEOUT, read_timeout=READ_TIMEOUT,
                      **options) as reader:  # fmt: skip
        reader.read_frame()  # started: the read is timed from here
        OTHERS.start()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            frame = reader.read_frame()
            now = time.time()
            if frame is None:
                raise RuntimeError(f"{url}: the stream ended")
            stamp = rtsp_camera.read_stamp(frame.image, now)
            if stamp is None:
                unreadable += 1
            else:
                ages.append(now - stamp)
            held.append(now - frame.arrival)
            time.sleep(CONSUMER_DELAY)
        others = OTHERS.stop()
        dropped = getattr(reader, "frames_dropped", None)
    return SlowRead(ages, held, unreadable, dropped, others)


def quietly(read: Callable[[], SlowRead]) -> SlowRead:
    for attempt in range(OTHERS.tries):
        run = read()
        if run.others <= OTHERS.limit or attempt == OTHERS.tries - 1:
            break
        OTHERS.retaken += 1
    OTHERS.shares.append(run.others)
    return run


# --- reporting -----------------------------------------------------------------------------------


def spread(values: List[float], fmt: str) -> str:
    if not values:
        return "-"
    return f"{statistics.median(values):{fmt}} ({min(values):{fmt}}-{max(values):{fmt}})"


def percentile(values: List[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, math.ceil(q * len(ordered)) - 1)]


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.0f}"


def reconnection_table(results: Dict[str, List[Session]], skipped: Dict[str, str]) -> str:
    lines = [
        "| camera | outages | back after ready, s | gap in frames handed out, s | reconnects |"
        " frames (unreadable) | read timeouts | others' share |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for name, sessions in results.items():
        if name in skipped:
            lines.append(f"| {name} | {UNSUPPORTED}: {skipped[name]} | | | | | | |")
            continue
        back = [b for s in sessions for b in s.back]
        gaps = [g for s in sessions for g in s.gaps]
        outages = sum(s.outages for s in sessions)
        missed = sum(s.missed for s in sessions)
        note = f" ({missed} without a new frame in {BACK_TIMEOUT:.0f} s)" if missed else ""
        lines.append(
            f"| {name} | {outages}{note} | {spread(back, '.2f')} | {spread(gaps, '.2f')}"
            f" | {sum(s.reconnects for s in sessions)}"
            f" | {sum(s.frames for s in sessions)} ({sum(s.unreadable for s in sessions)})"
            f" | {sum(s.timeouts for s in sessions)}"
            f" | {max(s.others for s in sessions):.0%} at most |"
        )
    ends = [f"{name}: {s.end}" for name, sessions in results.items() for s in sessions if s.end]
    if ends:
        lines.append("\nThe reader stopped: " + "; ".join(ends))
    return "\n".join(lines)


def newest_table(results: Dict[Tuple[str, bool], List[SlowRead]], skipped: Dict) -> str:
    lines = [
        "| camera | reader | frames handed out | age ms: median | p95 | max | median, last quarter"
        " | held since arrival ms: median | p95 | unreadable | frames_dropped |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for (name, latest), runs in results.items():
        mode = "latest=True" if latest else "every frame (default)"
        if (name, latest) in skipped:
            lines.append(f"| {name} | {mode} | {UNSUPPORTED}: {skipped[name, latest]}"
                         " | | | | | | | | |")  # fmt: skip
            continue
        ages = [a for r in runs for a in r.ages]
        held = [h for r in runs for h in r.held]
        tails = [a for r in runs for a in r.ages[len(r.ages) * 3 // 4 :]]
        dropped = [r.dropped for r in runs if r.dropped is not None]
        lines.append(
            f"| {name} | {mode} | {spread([len(r.held) for r in runs], '.0f')}"
            f" | {ms(statistics.median(ages))} | {ms(percentile(ages, 0.95))} | {ms(max(ages))}"
            f" | {ms(statistics.median(tails))}"
            f" | {ms(statistics.median(held))} | {ms(percentile(held, 0.95))}"
            f" | {sum(r.unreadable for r in runs)}"
            f" | {spread(dropped, '.0f') if dropped else 'n/a'} |"
        )
    return "\n".join(lines)


# --- the run -------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=None, help="rounds (default 3; --quick: 1)")
    parser.add_argument(
        "--quick", action="store_true", help="a smoke run: 1 round, 2 outages a camera, 4 s reads"
    )
    parser.add_argument("--serve-http", metavar="PORT", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve_http is not None:
        serve_http(args.serve_http, WIDTH, HEIGHT, FPS)
        return
    rounds = clips.rounds_asked(args, parser, full=3, quick=1)
    outages = 2 if args.quick else 4
    seconds = 4.0 if args.quick else 10.0

    # First: it pins the bindings' versions and initialises GStreamer.
    from plumo.utils.gstreamer import Gst
    import plumo

    gst = ".".join(map(str, Gst.version()[:3]))
    print(f"{os.cpu_count()} CPUs, load average before: {os.getloadavg()[0]:.2f}; GStreamer {gst},"
          f" plumo {plumo.__version__}")  # fmt: skip
    print(f"cameras: HTTP MJPEG (jpegenc quality {JPEG_QUALITY}), RTSP H.264 (x264enc zerolatency"
          f" ultrafast, key frame every {FPS} frames) and RTSP MJPEG (quality 85), {WIDTH}x{HEIGHT}"
          f" at {FPS} fps, pictures stamped with the time they were made; rounds: {rounds};"
          f" reconnection: {outages} outages of {OUTAGE:.0f} s a round, {SETTLE:.0f} s apart;"
          f" newest frame: {seconds:.0f} s reads, {CONSUMER_DELAY * 1000:.0f} ms a frame")

    kinds = cameras()
    sample_urls = {"HTTP MJPEG": "http://127.0.0.1:9/camera.mjpg",
                   "RTSP H.264": "rtsp://127.0.0.1:9/stream",
                   "RTSP MJPEG": "rtsp://127.0.0.1:9/stream"}  # fmt: skip
    skipped_back: Dict[str, str] = {}
    skipped_slow: Dict[Tuple[str, bool], str] = {}
    for camera in kinds:
        why = supported(sample_urls[camera.name], reconnect=True)
        if why is not None:
            skipped_back[camera.name] = why
        for latest in (False, True):
            why = supported(sample_urls[camera.name], **({"latest": True} if latest else {}))
            if why is not None:
                skipped_slow[camera.name, latest] = why

    back: Dict[str, List[Session]] = {camera.name: [] for camera in kinds}
    slow: Dict[Tuple[str, bool], List[SlowRead]] = {
        (camera.name, latest): [] for camera in kinds for latest in (False, True)
    }
    for round_ in range(rounds):
        started = time.perf_counter()
        for camera in clips.rotated(kinds, round_):
            if camera.name not in skipped_back:
                back[camera.name].append(reconnection_session(camera, outages))
        jobs = [(camera, latest) for camera in kinds for latest in (False, True)]
        for camera, latest in clips.rotated(jobs, round_):
            if (camera.name, latest) in skipped_slow:
                continue
            with camera.make() as cam:
                OTHERS.camera = cam
                run = quietly(lambda: slow_read(cam.url, latest, seconds))
            slow[camera.name, latest].append(run)
        print(f"round {round_ + 1}/{rounds}: {time.perf_counter() - started:.0f} s",
              file=sys.stderr, flush=True)  # fmt: skip
    print(f"load average after: {os.getloadavg()[0]:.2f}; newest-frame reads: {OTHERS.summary()}")

    print(f"\n### Reconnection: outages of {OUTAGE:.0f} s, reconnect=True; medians (range) over"
          " every outage\n")  # fmt: skip
    print(reconnection_table(back, skipped_back))
    print("\nBack after ready: from the camera's `ready` (listening again) to the first frame"
          " handed out that was made after the kill. Gap: from the last frame handed out before"
          " the kill to that one (the outage as the consumer saw it). Reconnects: the readers'"
          " count, against the outages. Unreadable: frames whose stamp did not read.")
    print(f"\n### Newest frame: a consumer taking {CONSUMER_DELAY * 1000:.0f} ms a frame, {FPS} fps"
          f" cameras, {seconds:.0f} s reads; every frame of every round pooled\n")  # fmt: skip
    print(newest_table(slow, skipped_slow))
    print("\nAge: time handed out less the time the picture was made (its stamp). Held since"
          " arrival: time handed out less Frame.arrival. Frames handed out: median (range) of"
          " the rounds; frames_dropped likewise.")


if __name__ == "__main__":
    main()
