#!/usr/bin/env bash
# Sets up (scripts/setup.sh) and runs plumo's command line. Arguments go to it,
# e.g. scripts/run.sh --help
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/setup.sh"
cd "$ROOT"
exec "$ROOT/.venv/bin/python" -m plumo "$@"
