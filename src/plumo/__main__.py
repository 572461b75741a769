"""python -m plumo: the command line (see plumo.cli)."""

import sys

from plumo.cli import main

if __name__ == "__main__":
    sys.exit(main())
