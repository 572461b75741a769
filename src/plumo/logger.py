"""The "plumo" logger; the application decides where its records go."""

import logging

logger = logging.getLogger("plumo")
logger.addHandler(logging.NullHandler())
