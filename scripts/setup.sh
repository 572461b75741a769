#!/usr/bin/env bash
# Sets up everything plumo needs on a Debian 12 machine, and builds and installs it
# into .venv. Safe to run again: each step only does work when something is missing
# or the sources changed.
#
#   PLUMO_REBUILD=1 scripts/setup.sh   # rebuild and reinstall even if nothing changed
#   PLUMO_WERROR=ON scripts/setup.sh   # build with compiler warnings as errors
#   PLUMO_EXTRA_PACKAGES="pkg ..." scripts/setup.sh   # Debian packages to install as well
#   PLUMO_VENV=.venv-asan PLUMO_SANITIZE=address,undefined scripts/setup.sh
#                                      # a build with sanitizers, in a venv and build tree of its own
#
# All output goes to stderr, so that callers' stdout stays their own.
set -euo pipefail
exec 1>&2

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

SYSTEM_PYTHON=/usr/bin/python3
VENV="$(realpath -m "${PLUMO_VENV:-$ROOT/.venv}")"
VPY="$VENV/bin/python"

say() { printf 'setup: %s\n' "$*"; }

# --- 1. Debian packages ----------------------------------------------------------
APT_PACKAGES=(
    ca-certificates build-essential git clang-format
    python3 python3-dev python3-venv python3-numpy
    python3-gi python3-gst-1.0
    gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0
    # The native frame path's build: GStreamer's C headers and libraries (app, video), the
    # bindings' C header, and libyuv for the colour conversion.
    pkg-config libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev python-gi-dev libyuv-dev
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    # MPEG-TS (cameras, HLS), h264parse for raw H.264, AV1 and the HLS demuxers. It brings
    # libsoup 3, which souphttpsrc then prefers to 2.4.
    gstreamer1.0-plugins-bad
    # x264enc: the tests' H.264 with B-frames.
    gstreamer1.0-plugins-ugly
    # The tests' certificates for their HTTPS servers.
    openssl
    # The tests' RTSP cameras.
    gir1.2-gst-rtsp-server-1.0
    # The browser the tests open `plumo view` in (driven by Selenium, below).
    chromium chromium-driver
    # The conformance tests' clips that GStreamer cannot make (variable frame rate), and the
    # independent decode their pictures are checked against.
    ffmpeg
)
# More packages for a caller's own needs (bench/setup.sh: the benchmark's rivals).
read -r -a EXTRA_PACKAGES <<<"${PLUMO_EXTRA_PACKAGES:-}"
APT_PACKAGES+=("${EXTRA_PACKAGES[@]}")

missing=()
for pkg in "${APT_PACKAGES[@]}"; do
    status="$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)"
    [[ "$status" == "installed" ]] || missing+=("$pkg")
done
if ((${#missing[@]})); then
    say "installing Debian packages: ${missing[*]}"
    SUDO=()
    if [[ "$(id -u)" != 0 ]]; then
        command -v sudo >/dev/null || { say "need root (or sudo) to install: ${missing[*]}"; exit 1; }
        SUDO=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update
    "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# --- 2. Virtual environment (Debian's interpreter, sees Debian's numpy and gi) ---
venv_ok() {
    [[ -x "$VPY" ]] || return 1
    "$VPY" - <<'PY' >/dev/null 2>&1
import sys
assert sys.prefix != sys.base_prefix          # a venv
assert sys.base_prefix == "/usr"              # made from Debian's /usr/bin/python3
import numpy, gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
PY
}
if ! venv_ok; then
    if [[ -e "$VENV" ]]; then
        say "re-creating broken or foreign $VENV"
        rm -rf "$VENV"
    else
        say "creating $VENV"
    fi
    "$SYSTEM_PYTHON" -m venv --system-site-packages "$VENV"
    venv_ok || { say ".venv cannot import numpy and gi.repository.Gst"; exit 1; }
fi

# The venv's cmake and ninja come first for the build.
export PATH="$VENV/bin:$PATH"

# --- 3. Build and test tools (never numpy: it must stay Debian's) ------------------
# mypy checks the compiled modules' type stubs (tests/test_stubs.py); 1.16 is the first that reads
# a property setter's own type.
TOOLS=("scikit-build-core>=0.8" "pybind11>=2.12" "cmake>=3.18" "ninja>=1.10" "pytest>=7" "mypy>=1.16")
tools_ok() {
    "$VPY" - "${TOOLS[@]}" <<'PY' >/dev/null 2>&1
import re, sys
from importlib import metadata
def key(v):
    return tuple(int(x) for x in re.findall(r"\d+", v)[:3])
for req in sys.argv[1:]:
    name, floor = req.split(">=")
    assert key(metadata.version(name)) >= key(floor), req
PY
}
if ! tools_ok; then
    say "installing build and test tools into .venv"
    "$VPY" -m pip install --quiet "${TOOLS[@]}"
    tools_ok || { say "build/test tools still missing after pip install"; exit 1; }
fi

# --- 4. What plumo needs from PyPI, and its tests' browser driver -----------------------------
# prometheus_client serves the metrics (plumo.metrics), Flask the view page (plumo view); both are
# plumo's declared dependencies. Selenium drives the tests' browser (Debian's chromium, above).
PYPI_PACKAGES=("prometheus_client==0.26.0" "Flask==3.1.3" "selenium==4.51.0")
pypi_ok() {
    "$VPY" - "${PYPI_PACKAGES[@]}" <<'PY' >/dev/null 2>&1
import sys
from importlib import metadata
for req in sys.argv[1:]:
    name, version = req.split("==")
    assert metadata.version(name) == version, req
PY
}
if ! pypi_ok; then
    say "installing into .venv: ${PYPI_PACKAGES[*]}"
    "$VPY" -m pip install --quiet "${PYPI_PACKAGES[@]}"
    pypi_ok || { say "${PYPI_PACKAGES[*]} still missing after pip install"; exit 1; }
fi

# --- 5. Build and install plumo ----------------------------------------------------
# --no-build-isolation: the build uses the tools installed above. This keeps the
# persistent CMake tree in build/ valid between runs (an isolated build env lives in
# a temporary directory that is gone by the next build, and the cache would point at
# it), so re-installs are incremental, and it needs no network once .venv is set up.
# PLUMO_WERROR is always passed, as the CMake cache in build/ would otherwise keep
# whatever value an earlier build was given.
WERROR="${PLUMO_WERROR:-OFF}"
SANITIZE="${PLUMO_SANITIZE:-}"
BUILD_DIR="build/${SANITIZE:+sanitize-}{wheel_tag}"
STAMP="$VENV/.plumo-build-stamp"
source_hash() {
    {
        find pyproject.toml CMakeLists.txt csrc src -type f \
            ! -path '*/__pycache__/*' ! -name '*.pyc' -print0 2>/dev/null \
            | LC_ALL=C sort -z | xargs -0 -r sha256sum || true
        "$VPY" -c 'import sys; print(sys.version)'
        echo "PLUMO_WERROR=$WERROR PLUMO_SANITIZE=$SANITIZE"
    } | sha256sum | cut -d' ' -f1
}
hash_now="$(source_hash)"
if [[ "${PLUMO_REBUILD:-0}" != 0 ]] \
    || [[ "$(cat "$STAMP" 2>/dev/null || true)" != "$hash_now" ]] \
    || ! (cd "$VENV" && "$VPY" -c 'import plumo') >/dev/null 2>&1; then
    say "building and installing plumo into $VENV"
    rm -f "$STAMP"
    "$VPY" -m pip install --quiet --no-build-isolation \
        --config-settings="cmake.define.PLUMO_WERROR=$WERROR" \
        --config-settings="cmake.define.PLUMO_SANITIZE=$SANITIZE" \
        --config-settings="build-dir=$BUILD_DIR" "$ROOT"
    echo "$hash_now" >"$STAMP"
else
    say "plumo is up to date in $VENV"
fi

# --- 6. Ray (plumo.ray; its tests need it) ---------------------------------------------------
# ray[data] from PyPI would bring numpy 2 with current pandas and pyarrow, and shadow Debian's
# numpy 1.24 that plumo's build and Debian's OpenCV are made against. These pins work with it
# (pyarrow 26 needs numpy 2, pandas 3 numpy 1.26 or newer), and the constraint holds numpy to the
# version Debian's reports, so pip never installs one of its own.
RAY_PACKAGES=("ray[data]==2.60.0" "pyarrow==25.0.1" "pandas==2.3.3")
ray_ok() {
    "$VPY" - "${RAY_PACKAGES[@]}" <<'PY' >/dev/null 2>&1
import sys
from importlib import metadata
for req in sys.argv[1:]:
    name, version = req.split("==")
    assert metadata.version(name.split("[")[0]) == version, req
import ray.data, pyarrow, pandas
PY
}
debian_numpy() {
    "$VPY" -c 'import numpy, sys; sys.exit(not numpy.__file__.startswith("/usr/lib/python3/dist-packages/"))'
}
if ! ray_ok; then
    say "installing Ray into .venv: ${RAY_PACKAGES[*]}"
    CONSTRAINTS="$(mktemp)"
    trap 'rm -f "$CONSTRAINTS"' EXIT
    "$SYSTEM_PYTHON" -c 'import numpy; print(f"numpy=={numpy.__version__}")' >"$CONSTRAINTS"
    "$VPY" -m pip install --quiet -c "$CONSTRAINTS" "${RAY_PACKAGES[@]}"
    ray_ok || { say "Ray, pyarrow or pandas still missing after pip install"; exit 1; }
fi
if ! debian_numpy; then
    say "numpy in .venv is not Debian's any more: $("$VPY" -c 'import numpy; print(numpy.__version__, numpy.__file__)')"
    say "remove it (.venv/bin/python -m pip uninstall numpy) and run this again"
    exit 1
fi
