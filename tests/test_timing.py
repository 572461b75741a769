"""Timeout: a wall-clock deadline for polling loops. The module's `time` is replaced by a fake
clock (it is looked up at every call), so every elapsed time below is exact."""

import inspect
import logging
import time

import pytest

import plumo.utils.timing as timing
from plumo.utils.timing import Timeout


class FakeClock:
    def __init__(self, now=1000.0):
        self.now = now
        self.reads = 0

    def __call__(self):
        self.reads += 1
        return self.now


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(timing, "time", fake)
    return fake


class Recorder:
    def __init__(self):
        self.warnings = []

    def warning(self, text):
        self.warnings.append(text)


@pytest.fixture
def log(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(timing, "logger", recorder)
    return recorder


def test_module_namespace_and_class_shape():
    names = [n for n in vars(timing) if not n.startswith("__")]
    assert names == ["time", "logger", "Timeout"]
    assert timing.__doc__ is None
    assert timing.time is time.time
    from plumo import logger

    assert timing.logger is logger
    assert Timeout.__bases__ == (object,) and type(Timeout) is type
    members = [n for n in vars(Timeout) if n in ("__init__", "reset", "__bool__")]
    assert members == ["__init__", "reset", "__bool__"]
    assert Timeout.__doc__.startswith("This module is intended to be used as such:")
    assert ">>> timeout = Timeout(300)" in Timeout.__doc__
    assert Timeout.reset.__doc__ == "Resets the timeout counter, making the new start time the current\n        time."
    assert Timeout.__init__.__doc__.count(":param ") == 3
    assert str(inspect.signature(Timeout)) == "(time_seconds, raise_error=True, print_timeout=False)"
    assert Timeout.__bool__.__qualname__ == "Timeout.__bool__"


def test_attributes_in_instance_dict_in_order(clock):
    t = Timeout(5)
    assert list(t.__dict__.items()) == [
        ("start", 1000.0),
        ("time_seconds", 5),
        ("raise_error", True),
        ("print_timeout", False),
    ]
    marker = object()
    t = Timeout(time_seconds=marker, print_timeout=1, raise_error=0)
    assert (t.time_seconds, t.raise_error, t.print_timeout) == (marker, 0, 1)


@pytest.mark.parametrize(
    "period, elapsed, expected",
    [(5, 4.999, True), (5, 5, False), (0.5, 0.25, True), (0, 0, False), (-1, 0, False)],
)
def test_strict_deadline(clock, period, elapsed, expected):
    t = Timeout(period, raise_error=False)
    clock.now += elapsed
    assert bool(t) is expected


def test_zero_period_raises_at_first_test(clock, log):
    t = Timeout(0)
    clock.now += 0.25
    with pytest.raises(TimeoutError) as excinfo:
        bool(t)
    assert excinfo.value.args == ("Timer of 0 seconds timed out at 0.25 seconds!",)
    assert log.warnings == []


def test_warning_at_every_false_test_then_error(clock, log):
    t = Timeout(0.5, raise_error=False, print_timeout=True)
    clock.now += 1.5
    assert not t and not t
    assert log.warnings == ["Timer timed out! Time: 1.5", "Timer timed out! Time: 1.5"]
    t.raise_error = True
    with pytest.raises(TimeoutError, match=r"^Timer of 0.5 seconds timed out at 1.5 seconds!$"):
        bool(t)
    assert len(log.warnings) == 3  # logged first, then raised


def test_each_message_reads_the_clock_again(clock, log):
    readings = iter([100.0, 200.0, 201.0, 202.5])
    timing.time = lambda: next(readings)
    t = Timeout(50, print_timeout=True)
    with pytest.raises(TimeoutError, match="timed out at 102.5 seconds!"):
        bool(t)
    assert log.warnings == ["Timer timed out! Time: 101.0"]


def test_reset_and_live_changes(clock):
    t = Timeout(5, raise_error=False)
    clock.now += 10
    assert not t
    t.reset()
    assert t.start == clock.now and t and (t.time_seconds, t.raise_error) == (5, False)
    t.time_seconds = 0
    assert not t
    t.raise_error = True
    with pytest.raises(TimeoutError):
        bool(t)
    t.start = clock.now + 100  # attributes are read afresh at every test
    assert t


def test_uncomparable_period_raises_the_comparison_error(clock):
    t = Timeout("soon")
    with pytest.raises(TypeError, match="'<' not supported"):
        bool(t)


def test_warning_goes_to_package_logger(caplog):
    t = Timeout(0, raise_error=False, print_timeout=True)
    with caplog.at_level(logging.WARNING, logger="plumo"):
        assert not t
    assert caplog.records[0].getMessage().startswith("Timer timed out! Time: ")


def test_real_clock_polling_loop():
    passes = 0
    t = Timeout(0.05, raise_error=False)
    while t:
        passes += 1
        time.sleep(0.001)
    assert passes > 0 and time.time() - t.start >= 0.05
