#!/usr/bin/env bash
# Builds plumo with AddressSanitizer and UndefinedBehaviorSanitizer, into a venv and build tree of
# their own (.venv-asan, build/sanitize-*), and runs the test suite (the frame path's fuzz test
# among it) against that build. Run it before submitting a change to csrc/.
#
#   scripts/sanitize.sh                                     # the whole suite
#   scripts/sanitize.sh tests/test_frame_path_safety.py -x  # pytest's arguments
#
# The interpreter is not built with the sanitizers, so their runtime is preloaded into it (and
# into every process the tests start). libstdc++ comes right after it: libraries that throw C++
# exceptions of their own (libproxy, under souphttpsrc) otherwise trip ASan's check of
# __cxa_throw. scripts/asan-suppressions.txt lists errors found in other projects' code. Leak
# checking is off: CPython leaves objects behind at exit by design. Any error ends the process
# that hit it, and so fails its test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv-asan"
PLUMO_VENV="$VENV" PLUMO_SANITIZE=address,undefined bash "$ROOT/scripts/setup.sh"

runtime() { # the shared library a runtime name resolves to, as the compiler links it
    local path
    path="$(g++ -print-file-name="$1")"
    [[ "$path" == /* && -e "$path" ]] || { echo "sanitize: cannot find $1" >&2; exit 1; }
    realpath "$path"
}
export LD_PRELOAD="$(runtime libasan.so) $(runtime libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0:suppressions=$ROOT/scripts/asan-suppressions.txt:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
# Python objects in plain malloc'ed memory, where ASan sees their bounds.
export PYTHONMALLOC=malloc
cd "$ROOT"
exec "$VENV/bin/python" -m pytest -p no:cacheprovider "$@"
