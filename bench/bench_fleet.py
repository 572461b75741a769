"""A fleet of cameras that die and come back: does a StreamGroup with reconnect=True lose any for
good, does each come back within its back-off, and do its threads, open files and memory stay
flat?

Set-up: bench/setup.sh (ffmpeg makes the clip once, bench/clips.py)
Run:    .venv/bin/python bench/bench_fleet.py [--cameras 32] [--minutes 2] [--every 4]
                                              [--every-frame] [--quick] [--seed S]

Cameras: one process of this script (--serve) runs GStreamer's RTSP server on N ports, one camera
on each (rtsp://127.0.0.1:PORT/stream), all sending the same clip in a loop, paced in real time:
"Big Buck Bunny" 1280x720 H.264 (libx264 veryfast, a key frame every 2 s, no B-frames), 250
frames, its access units pushed at 25 a second by one thread, each camera starting its stream at
a key frame, as an encoder does when it starts. A camera dies as with a power cut: its listening
socket goes and its clients' connections are closed, so that connecting is refused; it comes back
on the same port when told.

Reader: one StreamGroup of the N cameras (reconnect=True, latest=True, rtsp_transport="tcp", and
keyframes_only=True unless --every-frame: 32 cameras at 25 frames a second of 720p would take
more than the 2 cores of the development machine to decode). The main thread iterates it; every
--every seconds (4), a camera chosen at random among those up dies for an outage drawn between 1
and 6 s, and comes back. For each outage: the time from its return (it listens again) to the
first frame of it handed out, against the bound its back-off allows: the longest wait that could
be pending when it returned (0.5 s doubling to 30 s, a quarter either way, after the failed
attempts an outage that long allows) plus 3 s for the connection and the first key frame. At the
end, every camera must be streaming again within 40 s. Threads, open file descriptors and
resident memory of this process are sampled every 10 s: the first sample after a 20 s warm-up
against the last.
"""

import argparse
import os
import random
import queue
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH.parent / "tests"))  # the tests' helpers: streams.py

import clips  # noqa: E402  (bench/, this script's folder)

FPS = 25
CLIP_FRAMES = 250
SETUP_ALLOWANCE = 3.0  # connecting, the RTSP handshake, and the first key frame
GONE_FOR_GOOD = 40.0  # the end's wait for every camera to stream again


# --- the cameras (this script with --serve) --------------------------------------------------------


def serve(count: int, clip: str) -> int:
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstApp, GstRtspServer  # noqa: F401 - appsink's methods

    Gst.init(None)
    units = _access_units(Gst, clip)
    caps = "video/x-h264,stream-format=byte-stream,alignment=au"
    feeding: Dict[int, list] = {}  # camera -> [appsrc, next unit]
    lock = threading.Lock()
    servers, sources = [], {}

    def configure(_factory, media, camera):
        appsrc = media.get_element().get_by_name("src")
        with lock:
            feeding[camera] = [appsrc, 0]  # from a key frame, as an encoder starts

    for camera in range(count):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(f"( appsrc name=src is-live=true format=time do-timestamp=true "
                           f"caps={caps} ! h264parse ! rtph264pay name=pay0 pt=96 "
                           "config-interval=1 )")  # fmt: skip
        factory.set_shared(True)
        factory.connect("media-configure", configure, camera)
        server = GstRtspServer.RTSPServer()
        server.set_address("127.0.0.1")
        server.set_service("0")
        server.get_mount_points().add_factory("/stream", factory)
        servers.append(server)
        sources[camera] = server.create_source(None)
        sources[camera].attach(None)

    def feed() -> None:
        start, tick = time.monotonic(), 0
        while True:
            tick += 1
            time.sleep(max(0.0, start + tick / FPS - time.monotonic()))
            with lock:
                fed = list(feeding.items())
            for camera, state in fed:
                appsrc, index = state
                buffer = Gst.Buffer.new_wrapped(units[index % len(units)])
                if appsrc.emit("push-buffer", buffer) != Gst.FlowReturn.OK:
                    with lock:  # flushing: its last client left
                        if feeding.get(camera) is state:
                            del feeding[camera]
                    continue
                state[1] = index + 1

    def control(channel, _condition) -> bool:
        line = channel.readline()
        if not line:
            loop.quit()
            return False
        command, camera = line.split()
        camera = int(camera)
        if command == "down":
            sources.pop(camera).destroy()  # no more listening: connections are refused
            servers[camera].client_filter(lambda *_: GstRtspServer.RTSPFilterResult.REMOVE)
        elif command == "up":
            sources[camera] = servers[camera].create_source(None)
            sources[camera].attach(None)
        print(f"{command} {camera} {time.time():.6f}", flush=True)
        return True

    threading.Thread(target=feed, daemon=True).start()
    loop = GLib.MainLoop()
    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT,
                      GLib.IOCondition.IN | GLib.IOCondition.HUP, control)  # fmt: skip
    print("ready " + " ".join(str(s.get_bound_port()) for s in servers), flush=True)
    loop.run()
    return 0


def _access_units(Gst, clip: str) -> List[bytes]:
    """The clip's H.264 access units, in byte-stream form with the parameter sets before each
    key frame."""
    pipeline = Gst.parse_launch(
        f'filesrc location="{clip}" ! matroskademux ! h264parse config-interval=-1 '
        "! video/x-h264,stream-format=byte-stream,alignment=au ! appsink name=out sync=false"
    )
    sink = pipeline.get_by_name("out")
    pipeline.set_state(Gst.State.PLAYING)
    units = []
    try:
        while True:
            sample = sink.try_pull_sample(10 * Gst.SECOND)
            if sample is None:
                break
            buffer = sample.get_buffer()
            units.append(buffer.extract_dup(0, buffer.get_size()))
    finally:
        pipeline.set_state(Gst.State.NULL)
    if not units:
        raise RuntimeError(f"no access units in {clip}")
    return units


class Cameras:
    """The camera process, told what to do over its stdin, one command at a time (from any
    thread), each answered on its stdout."""

    def __init__(self, count: int, clip: Path):
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--serve", str(count), "--clip", str(clip)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1,
        )  # fmt: skip
        self._answers: "queue.Queue[str]" = queue.Queue()
        self._lock = threading.Lock()
        threading.Thread(target=self._listen, daemon=True).start()
        words = self._answer(60).split()
        assert words and words[0] == "ready", words
        self.urls = [f"rtsp://127.0.0.1:{port}/stream" for port in words[1:]]

    def _listen(self) -> None:
        for line in self.process.stdout:
            self._answers.put(line)

    def _answer(self, timeout: float) -> str:
        try:
            return self._answers.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("the camera process did not answer") from None

    def tell(self, command: str, camera: int) -> float:
        """Sends `command` ("down" or "up") for a camera; when it was done (time.time())."""
        with self._lock:
            self.process.stdin.write(f"{command} {camera}\n")
            return float(self._answer(30).split()[2])

    def close(self) -> None:
        self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)


# --- the reader ----------------------------------------------------------------------------------


@dataclass
class Outage:
    camera: int
    down: float
    up: float = 0.0
    first_frame: Optional[float] = None

    @property
    def length(self) -> float:
        return self.up - self.down

    def bound(self) -> float:
        """The longest the return may take: the back-off wait that may be pending at the
        return, plus the connection's own set-up."""
        from plumo.stream_reader.connection import BACKOFF

        low, high = 1 - BACKOFF.jitter, 1 + BACKOFF.jitter
        waited, pending, failures = 0.0, 0.0, 0
        while waited <= self.length:  # an attempt came before the return: the next wait is longer
            wait = min(BACKOFF.longest, BACKOFF.first * 2**failures)
            pending = wait * high
            waited += wait * low
            failures += 1
        return pending + SETUP_ALLOWANCE


def usage() -> tuple:
    import streams

    return streams.process_usage()


def run(args) -> int:
    from plumo import sysboot
    from plumo.stream_reader import StreamGroup

    clip = clips.natural_clip(CLIP_FRAMES)
    rng = random.Random(args.seed)
    cameras = Cameras(args.cameras, clip)
    sysboot.start()
    load_before = os.getloadavg()
    watch = clips.OthersWatch()
    outages: List[Outage] = []
    open_outage: Dict[str, Outage] = {}
    last_frame: Dict[str, float] = {}
    samples: List[tuple] = []
    lock = threading.Lock()
    stop = threading.Event()
    options = dict(reconnect=True, latest=True, rtsp_transport="tcp", read_timeout=None,
                   keyframes_only=not args.every_frame)  # fmt: skip
    try:
        with StreamGroup(cameras.urls, **options) as group:
            started = time.monotonic()
            watch.start()
            own_before, camera_before = time.process_time(), cpu_seconds(cameras.process.pid)

            def kill_at_random() -> None:
                while not stop.wait(args.every):
                    with lock:
                        away = {o.camera for o in open_outage.values()}
                    up = [c for c in range(args.cameras) if c not in away]
                    camera = rng.choice(up)
                    outage = Outage(camera, cameras.tell("down", camera))
                    with lock:
                        open_outage[cameras.urls[camera]] = outage
                        outages.append(outage)
                    threading.Timer(rng.uniform(1.0, 6.0), lambda o=outage: setattr(
                        o, "up", cameras.tell("up", o.camera))).start()  # fmt: skip

            def sample() -> None:
                while not stop.wait(10.0):
                    samples.append((time.monotonic() - started, *usage()))

            killer = threading.Thread(target=kill_at_random, daemon=True)
            sampler = threading.Thread(target=sample, daemon=True)
            killer.start()
            sampler.start()
            deadline = started + args.minutes * 60
            frames = 0
            for source, frame in group:
                frames += 1
                now = frame.arrival
                last_frame[source] = now
                with lock:
                    outage = open_outage.get(source)
                    if outage is not None and outage.up and now > outage.up:
                        outage.first_frame = now
                        del open_outage[source]
                if time.monotonic() >= deadline:
                    break
            stop.set()
            killer.join(15)
            time.sleep(6.5)  # the last outage ends
            # Every camera streams again, or is lost.
            end = time.monotonic() + GONE_FOR_GOOD
            for source, frame in group:
                last_frame[source] = frame.arrival
                with lock:
                    outage = open_outage.get(source)
                    if outage is not None and outage.up and frame.arrival > outage.up:
                        outage.first_frame = frame.arrival
                        del open_outage[source]
                states = [s.state for s in group.status().values()]
                if (all(s == "streaming" for s in states) and not open_outage) \
                        or time.monotonic() > end:  # fmt: skip
                    break
            others = watch.stop()
            wall = time.monotonic() - started
            own = time.process_time() - own_before
            camera_cpu = cpu_seconds(cameras.process.pid) - camera_before
            # The cameras are another process: what the watch counts as others' less theirs.
            others = max(0.0, others - camera_cpu / (wall * (os.cpu_count() or 1)))
            status = group.status()
            errors = dict(group.errors)
    finally:
        stop.set()
        cameras.close()
        sysboot.close()
    machine = (load_before, own / wall, camera_cpu / wall, others)
    report(args, outages, status, errors, samples, frames, machine)
    return 0


def cpu_seconds(pid: int) -> float:
    """CPU time a process has used (user and system), from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def report(args, outages, status, errors, samples, frames, machine) -> None:
    load_before, own, camera_cpu, others = machine
    done = [o for o in outages if o.first_frame is not None]
    back = sorted(o.first_frame - o.up for o in done)
    late = [o for o in done if o.first_frame - o.up > o.bound()]
    lost = [s for s, st in status.items() if st.state != "streaming"]
    print(f"fleet: {args.cameras} cameras, {args.minutes:g} min, a camera killed every "
          f"{args.every:g} s (outages 1-6 s), {'every frame' if args.every_frame else 'keyframes only'}"
          f", seed {args.seed}")  # fmt: skip
    print(f"frames handed out: {frames}; outages: {len(outages)}, back with a frame: {len(done)}")
    if back:
        p95 = back[min(len(back) - 1, int(0.95 * len(back)))]
        print(f"return to first frame (s): median {statistics.median(back):.2f}, p95 {p95:.2f}, "
              f"max {back[-1]:.2f}; beyond the back-off bound: {len(late)}")  # fmt: skip
        for o in late:
            print(f"  camera {o.camera}: outage {o.length:.1f} s, back after "
                  f"{o.first_frame - o.up:.2f} s, bound {o.bound():.2f} s")  # fmt: skip
    print(f"lost for good: {len(lost)} {lost if lost else ''}; errors: {errors or 'none'}")
    reconnects = sum(st.reconnects for st in status.values())
    drops = sum(st.drops for st in status.values())
    print(f"drops {drops}, reconnections {reconnects} (by status)")
    if samples:
        first = next((s for s in samples if s[0] >= 20), samples[0])
        last = samples[-1]
        print(f"threads {first[1]} -> {last[1]}, open fds {first[2]} -> {last[2]}, RSS "
              f"{first[3] / 1024:.0f} -> {last[3] / 1024:.0f} MiB (t={first[0]:.0f} s -> "
              f"{last[0]:.0f} s)")  # fmt: skip
        print("samples (t s, threads, fds, RSS MiB): " + ", ".join(
            f"({t:.0f}, {th}, {fd}, {rss / 1024:.0f})" for t, th, fd, rss in samples))
    print(f"CPU: the reader {own * 100:.0f}% of a core, the cameras {camera_cpu * 100:.0f}%; "
          f"others took {others * 100:.0f}% of the machine's {os.cpu_count()} CPUs; load average "
          f"{load_before[0]:.1f} before, {os.getloadavg()[0]:.1f} after")  # fmt: skip


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cameras", type=int, default=32)
    parser.add_argument("--minutes", type=float, default=2.0)
    parser.add_argument("--every", type=float, default=4.0, help="seconds between kills")
    parser.add_argument("--every-frame", action="store_true",
                        help="decode every frame (default: keyframes only)")
    parser.add_argument("--quick", action="store_true", help="8 cameras for 30 s")
    parser.add_argument("--seed", type=int, default=26)
    parser.add_argument("--serve", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--clip", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve is not None:
        return serve(args.serve, args.clip)
    if args.quick:
        args.cameras, args.minutes = 8, 0.5
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
