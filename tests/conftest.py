"""Fixtures shared by the test modules."""

import threading

import pytest


@pytest.fixture
def stopped_at_end():
    """A list for the pipelines a test makes: each is stopped and released at the end."""
    from plumo.utils.gstreamer import Gst

    made = []
    yield made
    for p in made:
        p.set_state(Gst.State.NULL)
        p.release_resources()


@pytest.fixture
def pipelines(stopped_at_end):
    """Makes Pipelines, from a launch description or empty, and stops and releases every one of
    them at the end of the test."""
    from plumo.utils.gstreamer import Pipeline

    def make(launch=None, name=None):
        p = Pipeline(name) if launch is None else Pipeline.from_launch_string(launch, name)
        stopped_at_end.append(p)
        return p

    return make


@pytest.fixture
def main_loop():
    """A GLib main loop on the default context, as the library start-up runs it, so that bus
    watches are dispatched. Without it the waits see every message themselves."""
    from plumo.utils.gstreamer import GLib

    loop = GLib.MainLoop.new(None, False)
    thread = threading.Thread(target=loop.run, daemon=True)
    thread.start()
    while not loop.is_running():
        threading.Event().wait(0.001)
    yield loop
    loop.quit()
    thread.join(5)
    assert not thread.is_alive()


@pytest.fixture(scope="session")
def server():
    """The test streams (see streams.StreamServer), served on 127.0.0.1 for the whole session."""
    import streams

    with streams.StreamServer(streams.make_clips()) as s:
        yield s


@pytest.fixture
def silent_server():
    """The URL of a local server that takes requests and never answers them."""
    import streams

    with streams.SilentServer() as url:
        yield url
