"""The benchmarks' natural clips: "Big Buck Bunny" (shared/media/bigbuckbunny.mp4, 132 frames of
1280x720 at 25 fps) looped to the length asked for, optionally scaled, without its sound, and
encoded again with ffmpeg's libx264 as a camera would send it: veryfast, a key frame every 50
frames (2 s), no B-frames, yuv420p, no colour tags (as the source), in Matroska.

Each clip is made once and kept in bench/.cache/ (git-ignored), under a name that carries every
setting that shapes it.
"""

import os
import subprocess
import sys
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
