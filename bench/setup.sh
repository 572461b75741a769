#!/usr/bin/env bash
# Sets up what the benchmarks need on top of plumo's own set-up (scripts/setup.sh): OpenCV and
# PyAV from Debian (the venv sees them), x264enc for the generated H.264 clips, and ffmpeg to
# derive the natural clips from shared/media/bigbuckbunny.mp4. The test suite does not need them.
# Safe to run again: it only installs what is missing.
#
#   bench/setup.sh && .venv/bin/python bench/bench_read.py
#
# All output goes to stderr, as scripts/setup.sh does.
set -euo pipefail
exec 1>&2

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PLUMO_EXTRA_PACKAGES="python3-opencv python3-av gstreamer1.0-plugins-ugly ffmpeg" \
    bash "$ROOT/scripts/setup.sh"

"$ROOT/.venv/bin/python" -c 'import av, cv2' \
    || { printf 'bench setup: .venv cannot import av and cv2\n'; exit 1; }
gst-inspect-1.0 x264enc >/dev/null \
    || { printf 'bench setup: GStreamer has no x264enc\n'; exit 1; }
command -v ffmpeg >/dev/null && ffmpeg -hide_banner -encoders 2>/dev/null | grep libx264 >/dev/null \
    || { printf 'bench setup: no ffmpeg with libx264\n'; exit 1; }
