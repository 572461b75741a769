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


@pytest.fixture
def reader_loop(monkeypatch, main_loop):
    """Readers opened in the test hear their streams on the main_loop fixture's loop: the library
    start-up would leave its own running in this process for good."""
    from plumo.stream_reader import reader

    monkeypatch.setattr(reader, "sysboot", type("Boot", (), {"start": lambda: None}))


@pytest.fixture(scope="session")
def clip_files(tmp_path_factory):
    """The clips of media.CLIPS, each made with ffmpeg when first asked for, in one folder."""
    import media

    return media.ClipFiles(str(tmp_path_factory.mktemp("clips")))


@pytest.fixture(scope="session")
def file_servers(clip_files):
    """The clips' folder served over HTTP by a server that honours Range requests ("http"), by
    one that ignores them, as Python's http.server does ("http-no-range"), and by one that says
    it takes them and does not ("http-false-range")."""
    import streams

    with streams.FileServer(clip_files.folder, "honoured") as honoured, \
            streams.FileServer(clip_files.folder, "ignored") as ignored, \
            streams.FileServer(clip_files.folder, "claimed") as claimed:  # fmt: skip
        yield {"http": honoured, "http-no-range": ignored, "http-false-range": claimed}
