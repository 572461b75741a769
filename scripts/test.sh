#!/usr/bin/env bash
# Sets up (scripts/setup.sh) and runs the test suite against the installed package.
# Extra arguments go to pytest, e.g. scripts/test.sh -k timing -x
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
# From the repo root the sources are under src/, so `import plumo` finds the
# installed package (with its compiled modules), not the source tree. Without a
# path among the arguments pytest runs its testpaths (tests/); with one, only that.
cd "$ROOT"
exec "$ROOT/.venv/bin/python" -m pytest "$@"
