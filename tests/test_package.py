"""The package's own Python parts: exceptions, logger, and the command line's entry point."""

import logging
import subprocess
import sys

import pytest

import plumo
from plumo import errors


@pytest.mark.parametrize(
    "name", ["StreamSetupError", "NotLinkedError", "InvalidCustomPipelineError", "InvalidRuntimeOptionError"]
)
def test_exceptions_take_one_message_and_share_a_base(name):
    cls = getattr(errors, name)
    assert issubclass(cls, errors.PlumoError) and issubclass(cls, Exception)
    with pytest.raises(cls) as excinfo:
        raise cls("the message")
    assert str(excinfo.value) == "the message"
    with pytest.raises(errors.PlumoError):
        raise cls("caught by the base")


def test_logger_reachable_both_ways():
    from plumo.logger import logger as from_module

    assert plumo.logger is from_module
    assert isinstance(from_module, logging.Logger) and from_module.name == "plumo"


def test_command_line_demo_runs():
    done = subprocess.run(
        [sys.executable, "-m", "plumo"], capture_output=True, text=True, timeout=60, check=False
    )
    assert done.returncode == 0, done.stderr
    assert "Unknown option" in done.stdout and "TimeoutError" in done.stdout
    assert "pulled 30 frames, end of stream seen on thread 'SysbootThread'" in done.stdout

