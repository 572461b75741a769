"""The package's own Python parts: exceptions and logger."""

import logging

import pytest

import plumo
from plumo import errors


@pytest.mark.parametrize(
    "name",
    ["StreamSetupError", "StreamReadError", "NotLinkedError", "InvalidCustomPipelineError",
     "InvalidRuntimeOptionError", "FrameTooLargeError"],  # fmt: skip
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


def test_the_installed_package_carries_its_licence():
    from importlib import metadata

    assert metadata.metadata("plumo")["License"] == "Apache-2.0"
    [licence] = [f for f in metadata.files("plumo") if f.name == "LICENSE"]
    assert "Apache License" in licence.read_text() and "Version 2.0" in licence.read_text()
