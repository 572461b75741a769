#!/usr/bin/env bash
# Sets up what the benchmarks need on top of plumo's own set-up (scripts/setup.sh): OpenCV and
# PyAV from Debian (the venv sees them), ffmpeg with libx264 to derive the natural clips from
# shared/media/bigbuckbunny.mp4 (bench/clips.py), and libyuv, which bench_decoder_threads.py
# converts frames with. The test suite does not need them. Safe to run again: it only installs
# what is missing.
#
#   bench/setup.sh && .venv/bin/python bench/bench_read.py
#
# All output goes to stderr, as scripts/setup.sh does.
set -euo pipefail
exec 1>&2

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PLUMO_EXTRA_PACKAGES="python3-opencv python3-av ffmpeg libyuv0 linux-perf" \
    bash "$ROOT/scripts/setup.sh"

"$ROOT/.venv/bin/python" -c 'import av, cv2' \
    || { printf 'bench setup: .venv cannot import av and cv2\n'; exit 1; }
ffmpeg -hide_banner -encoders 2>/dev/null | grep libx264 >/dev/null \
    || { printf 'bench setup: no ffmpeg with libx264\n'; exit 1; }
"$ROOT/.venv/bin/python" -c 'import ctypes; ctypes.CDLL("libyuv.so.0")' \
    || { printf 'bench setup: libyuv.so.0 does not load\n'; exit 1; }
