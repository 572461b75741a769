"""Fixtures shared by the test modules."""

import pytest


@pytest.fixture
def pipelines():
    """Makes Pipelines, from a launch description or empty, and stops and releases every one of
    them at the end of the test."""
    from plumo.utils.gstreamer import Gst, Pipeline

    made = []

    def make(launch=None, name=None):
        p = Pipeline(name) if launch is None else Pipeline.from_launch_string(launch, name)
        made.append(p)
        return p

    yield make
    for p in made:
        p.set_state(Gst.State.NULL)
        p.release_resources()
