#!/usr/bin/env bash
# Sets up what the benchmarks need on top of plumo's own set-up (scripts/setup.sh): OpenCV and
# PyAV from Debian (the venv sees them), and x264enc to make the H.264 clip. The test suite does
# not need them. Safe to run again: it only installs what is missing.
#
#   bench/setup.sh && .venv/bin/python bench/bench_read.py
#
# All output goes to stderr, as scripts/setup.sh does.
set -euo pipefail
exec 1>&2

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"

APT_PACKAGES=(python3-opencv python3-av gstreamer1.0-plugins-ugly)

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    status="$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)"
    [[ "$status" == "installed" ]] || missing+=("$pkg")
done
if ((${#missing[@]})); then
    printf 'bench setup: installing Debian packages: %s\n' "${missing[*]}"
    SUDO=()
    if [[ "$(id -u)" != 0 ]]; then
        command -v sudo >/dev/null || { printf 'bench setup: need root (or sudo)\n'; exit 1; }
        SUDO=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update
    "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
else
    printf 'bench setup: the benchmark packages are installed\n'
fi

"$ROOT/.venv/bin/python" -c 'import av, cv2' \
    || { printf 'bench setup: .venv cannot import av and cv2\n'; exit 1; }
gst-inspect-1.0 x264enc >/dev/null \
    || { printf 'bench setup: GStreamer has no x264enc\n'; exit 1; }
