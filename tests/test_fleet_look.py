"""Looking at a fleet: the metrics (read with prometheus_client's own parser), `plumo view` (its
JSON, its frames, and its page in a real browser: Debian's chromium driven by Selenium), and what
the command line says of connections and drops."""

import os
import pty
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest
from prometheus_client.parser import text_string_to_metric_families

import streams
from plumo import metrics
from plumo.stream_reader import StreamGroup, StreamReader
from plumo.stream_reader import reader as reader_module
from test_cli import decode_image, read_to_end

WAIT = 30.0
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"


@pytest.fixture(autouse=True)
def sysboot_starts(monkeypatch, main_loop):
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))


def fetch(url: str) -> bytes:
    with urllib.request.urlopen(url, timeout=WAIT) as answer:
        return answer.read()


def samples(url: str) -> dict:
    """{(name, source, state): value} of what /metrics serves."""
    found = {}
    for family in text_string_to_metric_families(fetch(url).decode()):
        for sample in family.samples:
            found[sample.name, sample.labels["source"], sample.labels.get("state")] = sample.value
    return found


# --- metrics -------------------------------------------------------------------------------------


def test_metrics_tell_each_streams_state_and_counts(server):
    with streams.RtspCamera("mjpeg", user="viewer", password="secret") as camera:
        live = server.url("/live.mjpg?look=metrics")
        shown = camera.url.replace("viewer:secret@", "viewer:***@")
        with StreamGroup([camera.url, live, server.url("/nothing")], reconnect=True) as group:
            read = {camera.url: 0, live: 0}
            for source, _frame in group:
                read[source] += 1
                if min(read.values()) >= 10:
                    break
            with metrics.serve(group) as served:
                assert served.url.startswith("http://127.0.0.1:") and served.url.endswith("/metrics")
                text = fetch(served.url).decode()
                found = samples(served.url)
                port = int(served.url.split(":")[2].split("/")[0])
                with pytest.raises(OSError, match=f"^Cannot listen on 127.0.0.1:{port}: the port is "
                                   "in use$"):  # fmt: skip
                    metrics.serve(group, port=port)
    assert "secret" not in text
    for source, state in [(shown, "streaming"), (live, "streaming"),
                          (server.url("/nothing"), "failed")]:  # fmt: skip
        one_hot = {s: found["plumo_stream_state", source, s] for s in
                   ("connecting", "streaming", "reconnecting", "ended", "failed", "closed")}
        assert [s for s, value in one_hot.items() if value == 1] == [state], one_hot
        assert sum(one_hot.values()) == 1
        assert found["plumo_stream_up", source, None] == (state == "streaming")
    assert found["plumo_frames_total", shown, None] >= 10
    assert found["plumo_reconnects_total", shown, None] == 0
    assert found["plumo_frames_dropped_total", live, None] == 0
    assert found["plumo_frame_age_seconds", live, None] >= 0
    assert ("plumo_frame_age_seconds", server.url("/nothing"), None) not in found
    # Closed, nothing listens there (its closed connections may wait a while, hence the reuse).
    with socket.socket() as again:
        again.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        again.bind(("127.0.0.1", port))
        again.listen(1)


def test_metrics_of_one_reader(server):
    url = server.url("/live.mjpg?look=reader")
    with StreamReader(url) as reader:
        for _ in range(3):
            reader.read()
        with metrics.serve(reader) as served:
            found = samples(served.url)
    assert found["plumo_frames_total", url, None] == 3
    assert found["plumo_stream_up", url, None] == 1


# --- plumo view ----------------------------------------------------------------------------------


class View:
    """`plumo view` in a process of its own, its first line read."""

    def __init__(self, *args):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "plumo", "view", "--port", "0", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        self.first_line = self.process.stdout.readline()
        self.url = self.first_line.split()[1] if self.first_line.startswith("Serving ") else None

    def status(self) -> dict:
        import json

        return json.loads(fetch(self.url + "status.json"))

    def stop(self) -> str:
        """Stops it as Ctrl-C does; its stderr."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        _, stderr = self.process.communicate(timeout=WAIT)
        return stderr

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
        self.process.communicate(timeout=WAIT)


def newest_frame(url: str) -> bytes:
    """The JPEG at `url`, once there is one: a stream can be streaming before the page has
    taken its first frame (503 meanwhile)."""
    deadline = time.monotonic() + WAIT
    while True:
        try:
            return fetch(url)
        except urllib.error.HTTPError as e:
            if e.code != 503 or time.monotonic() > deadline:
                raise
        time.sleep(0.05)


def test_view_serves_the_status_and_the_newest_frames(server):
    with streams.RtspCamera("mjpeg", user="viewer", password="secret") as camera:
        live = server.url("/live.mjpg?look=view")
        shown = camera.url.replace("viewer:secret@", "viewer:***@")
        with View(camera.url, live) as view:
            assert view.first_line == f"{view.first_line.split()[0]} {view.url}\n"
            assert view.url.startswith("http://127.0.0.1:") and view.url.endswith("/")
            assert streams.wait_for(lambda: all(s["state"] == "streaming"
                                                for s in view.status().values()), WAIT)
            status = view.status()
            assert list(status) == [shown, live]
            for index in range(2):
                jpeg = newest_frame(f"{view.url}streams/{index}/frame.jpg")
                image = decode_image(jpeg, "image/jpeg", "jpegdec")
                assert image.shape == (240, 320, 3)
            with pytest.raises(urllib.error.HTTPError, match="404"):
                fetch(f"{view.url}streams/2/frame.jpg")
            page = fetch(view.url).decode() + fetch(view.url + "history.json").decode()
            assert view.process.poll() is None
            stderr = view.stop()
    assert view.process.returncode == 130
    assert "secret" not in page + str(status) + stderr


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "error: give at least one SOURCE to view"),
        (["ftp://camera.local/x"], "is not a source plumo reads"),
        (["/live.mjpg", "--port", "70000"], "argument --port: must be from 0 to 65535"),
        (["/live.mjpg", "--log-level", "LOUD"], "argument --log-level: invalid choice"),
    ],
)
def test_view_refuses_bad_arguments(server, args, message):
    args = [server.url(a) if a.startswith("/") else a for a in args]
    done = subprocess.run([sys.executable, "-m", "plumo", "view", *args], capture_output=True,
                          text=True, timeout=WAIT)  # fmt: skip
    assert done.returncode == 2 and message in done.stderr and done.stdout == ""


def test_view_on_a_port_in_use_is_one_line_and_exit_2(server):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        done = subprocess.run(
            [sys.executable, "-m", "plumo", "view", server.url("/live.mjpg"), "--port", str(port)],
            capture_output=True, text=True, timeout=WAIT,
        )  # fmt: skip
    assert done.returncode == 2, done.stderr
    assert done.stderr == (f"plumo: error: Cannot listen on 127.0.0.1:{port}: the port is in "
                           "use\n")  # fmt: skip


def test_view_beyond_this_machine_warns(server):
    with View(server.url("/live.mjpg?look=wide"), "--host", "0.0.0.0") as view:
        assert view.url is not None and view.url.startswith("http://0.0.0.0:")
        stderr = view.stop()
    assert "anyone who can reach it sees the cameras" in stderr


def test_the_page_shows_each_camera_live_through_a_drop(tmp_path):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1100,700"):  # fmt: skip
        options.add_argument(argument)
    with streams.RtspCamera("h264", user="viewer", password="secret") as first, \
            streams.RtspCamera("mjpeg") as second, View(first.url, second.url) as view:  # fmt: skip
        # The browser is not ours to check: no sanitizer runtime in it (scripts/sanitize.sh).
        browser_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER, env=browser_env))
        try:
            driver.set_page_load_timeout(WAIT)
            driver.get(view.url)

            def tile(index):
                return driver.find_element(By.ID, f"tile-{index}")

            def streaming(index):
                found = driver.find_elements(By.CSS_SELECTOR, f"#tile-{index} .state")
                if not found or found[0].text.lower() != "streaming":
                    return False
                image = tile(index).find_element(By.TAG_NAME, "img")
                return driver.execute_script("return arguments[0].naturalWidth", image) == 320

            def state(index):
                return tile(index).find_element(By.CSS_SELECTOR, ".state").text.lower()

            assert streams.wait_for(lambda: streaming(0) and streaming(1), WAIT)
            second.stop()
            assert streams.wait_for(lambda: state(1) == "reconnecting", WAIT)
            assert state(0) == "streaming"
            second.start()
            assert streams.wait_for(lambda: streaming(1), WAIT)
            assert "secret" not in driver.page_source

            def plotted(index):  # the frame rate plot's points
                line = tile(index).find_element(By.TAG_NAME, "polyline")
                return len((line.get_attribute("points") or "").split())

            assert streams.wait_for(lambda: plotted(0) >= 5 and plotted(1) >= 5, WAIT)
            shot = tmp_path / "view.png"
            driver.save_screenshot(str(shot))
        finally:
            driver.quit()
        view.stop()
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if os.environ.get("PLUMO_VIEW_SCREENSHOT"):  # where to keep it (docs/)
        shutil.copy(shot, os.environ["PLUMO_VIEW_SCREENSHOT"])


# --- what the command line says ------------------------------------------------------------------


def test_a_terminal_sees_connecting_until_the_first_frame(server):
    controller, terminal = pty.openpty()
    url = server.url("/live.mjpg?look=terminal").replace("http://", "http://viewer:secret@")
    process = subprocess.Popen([sys.executable, "-m", "plumo", "read", url, "--frames", "5"],
                               stdout=subprocess.PIPE, stderr=terminal, text=True)  # fmt: skip
    os.close(terminal)
    seen = []
    reading = threading.Thread(target=lambda: seen.append(read_to_end(controller)))
    reading.start()
    stdout, _ = process.communicate(timeout=WAIT)
    reading.join(WAIT)
    os.close(controller)
    shown = url.replace("viewer:secret@", "viewer:***@")
    assert process.returncode == 0
    assert f"connecting to {shown} ...".encode() in seen[0] and b"secret" not in seen[0]
    assert stdout.rstrip().endswith("stopped after 5 frames")  # no drop to count


def test_the_summary_counts_drops_and_reconnections():
    with streams.RtspCamera("mjpeg") as camera:
        process = subprocess.Popen(
            [sys.executable, "-m", "plumo", "read", camera.url, "--reconnect", "--frames", "150",
             "--timeout", str(WAIT), "-v"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        try:
            time.sleep(1.5)  # some frames first (150 frames take 6 s)
            camera.stop()
            time.sleep(1.0)
            camera.start()
            stdout, stderr = process.communicate(timeout=2 * WAIT)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
    assert process.returncode == 0, stderr
    assert stdout.rstrip().endswith("stopped after 150 frames; 1 drop, 1 reconnection"), stdout
    assert "plumo: WARNING: " in stderr and "dropped: " in stderr
    assert "plumo: INFO: " in stderr and "reconnected after" in stderr


@pytest.mark.parametrize("args, shown, hidden", [
    ([], [], ["INFO", "DEBUG"]),
    (["-v"], ["INFO: Reading"], ["DEBUG"]),
    (["--log-level", "debug"], ["INFO: Reading", "DEBUG: "], []),
    (["--log-level", "ERROR", "-v"], [], ["INFO", "DEBUG"]),
])  # fmt: skip
def test_log_levels(server, args, shown, hidden):
    done = subprocess.run([sys.executable, "-m", "plumo", "read", server.url("/clip.mkv"),
                           "--frames", "2", *args], capture_output=True, text=True,
                          timeout=WAIT)  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert all(text in done.stderr for text in shown), done.stderr
    assert not any(f"plumo: {level}" in done.stderr for level in hidden), done.stderr
