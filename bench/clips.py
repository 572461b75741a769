"""The benchmarks' natural clips: "Big Buck Bunny" (shared/media/bigbuckbunny.mp4, 132 frames of
1280x720 at 25 fps) looped to the length asked for, optionally scaled, without its sound, and
encoded again with ffmpeg's libx264 as a camera would send it: veryfast, a key frame every 50
frames (2 s), no B-frames, yuv420p, no colour tags (as the source), in Matroska.

Each clip is made once and kept in bench/.cache/ (git-ignored), under a name that carries every
setting that shapes it. OthersWatch measures how much of the machine other work took meanwhile.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
CACHE = BENCH / ".cache"
# shared/ sits beside the repository's work tree (and beside CI's clone of it).
SOURCE_CANDIDATES = [
    Path(os.environ["PLUMO_MEDIA"]) / "bigbuckbunny.mp4" if "PLUMO_MEDIA" in os.environ else None,
    BENCH.parent.parent / "shared" / "media" / "bigbuckbunny.mp4",
    Path("/work/shared/media/bigbuckbunny.mp4"),
]
FPS = 25
ENCODING = ["-c:v", "libx264", "-preset", "veryfast", "-g", "50", "-bf", "0", "-pix_fmt", "yuv420p"]
ENCODING_NOTE = "libx264 veryfast, GOP 50, no B-frames, yuv420p, Matroska"


def source() -> Path:
    for path in SOURCE_CANDIDATES:
        if path is not None and path.is_file():
            return path
    raise FileNotFoundError(
        "bigbuckbunny.mp4 not found (set PLUMO_MEDIA to the folder that holds it); looked at "
        + ", ".join(str(p) for p in SOURCE_CANDIDATES if p is not None)
    )


def natural_clip(frames: int, width: int = 1280, height: int = 720) -> Path:
    """The clip of `frames` frames at `width`x`height`, made the first time it is asked for."""
    path = CACHE / f"bbb-{width}x{height}-{frames}-x264-veryfast-g50-bf0.mkv"
    if path.exists():
        return path
    CACHE.mkdir(exist_ok=True)
    partial = path.with_suffix(".part")
    print(f"making {path.name} (once) ...", file=sys.stderr, flush=True)
    scale = [] if (width, height) == (1280, 720) else ["-vf", f"scale={width}:{height}"]
    command = [
        "ffmpeg", "-v", "error", "-y", "-stream_loop", "-1", "-i", str(source()),
        "-an", "-frames:v", str(frames), *scale, *ENCODING, "-f", "matroska", str(partial),
    ]  # fmt: skip
    subprocess.run(command, check=True)
    partial.rename(path)
    return path


# --- what else the machine is doing -------------------------------------------------------------


def machine_busy_seconds() -> float:
    """CPU time the whole machine has spent busy since boot (every process, and the time the
    hypervisor took: steal), from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:9]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


class OthersWatch:
    """The share of the machine's CPUs that others (other processes, steal) took while timed:
    busy time of the whole machine less this process's own, over wall time times CPUs. A
    benchmark on a machine shared with other work says so with it, and can take a timing again
    when others took more than `limit` (see `quietly`)."""

    def __init__(self, limit: float = 0.15, tries: int = 3):
        self.limit = limit
        self.tries = tries
        self.shares = []  # of the timings kept
        self.retaken = 0
        self._last = 0.0

    def start(self):
        self._busy, self._own, self._wall = (
            machine_busy_seconds(), time.process_time(), time.perf_counter()
        )

    def stop(self) -> float:
        busy = machine_busy_seconds() - self._busy
        own = time.process_time() - self._own
        wall = time.perf_counter() - self._wall
        self._last = max(0.0, busy - own) / (wall * (os.cpu_count() or 1))
        return self._last

    def quietly(self, timed):
        """Calls `timed` (which starts and stops this watch around what it times) until others
        took at most `limit` of the CPUs meanwhile, `tries` times at most; returns its last
        result."""
        for attempt in range(self.tries):
            result = timed()
            if self._last <= self.limit or attempt == self.tries - 1:
                break
            self.retaken += 1
        self.shares.append(self._last)
        return result

    def summary(self) -> str:
        if not self.shares:
            return "others' share of the CPUs: not measured"
        shares = sorted(self.shares)
        over = sum(share > self.limit for share in shares)
        return (
            f"others' share of the CPUs while timed (other processes, steal): median"
            f" {shares[len(shares) // 2]:.0%}, at most {shares[-1]:.0%} over {len(shares)}"
            f" timings; {self.retaken} timings taken again for others above {self.limit:.0%},"
            f" {over} kept above it after {self.tries} tries"
        )


def send_jpeg_part(wfile, jpeg: bytes, boundary: str) -> bool:
    """Writes one picture of a camera's multipart/x-mixed-replace stream; False when the client
    has hung up."""
    head = f"--{boundary}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n\r\n"
    try:
        wfile.write(head.encode() + jpeg + b"\r\n")
        wfile.flush()
    except (BrokenPipeError, ConnectionResetError):
        return False
    return True


def rotated(items: list, round_: int) -> list:
    """`items` in the order of round `round_`: each round starts one further along, so that no
    reader always runs first (or right after the same other one)."""
    if not items:
        return []
    k = round_ % len(items)
    return items[k:] + items[:k]


def rounds_asked(args, parser, full: int, quick: int) -> int:
    """The rounds a benchmark runs: --rounds, else `quick` with --quick, else `full`."""
    rounds = args.rounds if args.rounds is not None else (quick if args.quick else full)
    if rounds < 1:
        parser.error("--rounds must be at least 1")
    return rounds
