"""The command line, run as users run it (`python -m plumo`, the `plumo` script), against the demo
clip and the test server; and the PNG snapshots it writes."""

import json
import os
import pty
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import streams
from plumo.snapshot import encode_image, save_snapshot
from plumo.utils.gstreamer import Gst, sample_to_ndarray

ABOVE_0 = "must be finite and above 0:"
PLUMO_SCRIPT = os.path.join(os.path.dirname(sys.executable), "plumo")


def plumo(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "plumo", *args], capture_output=True, text=True,
                          timeout=timeout)  # fmt: skip


def test_without_arguments_it_reads_the_demo_clip_to_its_end():
    done = plumo()
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("http://127.0.0.1:")
    assert "/demo.mkv: 150 frames of 640x360 BGR in " in done.stdout
    assert done.stdout.rstrip().endswith("frames/s); end of stream")
    assert "Serving a generated demo clip at http://127.0.0.1:" in done.stderr


def test_the_script_reads_a_stream_and_saves_a_snapshot(server, tmp_path):
    snapshot = tmp_path / "frame.png"
    url = server.url("/clip.mkv")
    done = subprocess.run([PLUMO_SCRIPT, "read", url, "--frames", "7", "--snapshot", str(snapshot)],
                          capture_output=True, text=True, timeout=60)  # fmt: skip
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"{url}: 7 frames of 320x240 BGR in ")
    assert lines[0].endswith("stopped after 7 frames")
    assert lines[1] == f"Saved frame 7 to {snapshot}"
    streams.assert_red_frames([decode_image(snapshot.read_bytes(), "image/png", "pngdec")], 1)


@pytest.mark.parametrize("pixel_format", ["rgb", "gray"])
def test_other_pixel_formats_are_read_and_saved_as_what_they_are(server, tmp_path, pixel_format):
    snapshot = tmp_path / "frame.png"
    url = server.url("/clip.mkv")
    done = plumo("read", url, "--frames", "3", "--format", pixel_format, "--size", "161X121",
                 "--snapshot", str(snapshot))  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert f" 3 frames of 161x121 {pixel_format.upper()} in " in done.stdout
    saved = decode_image(snapshot.read_bytes(), "image/png", "pngdec")
    assert saved.shape == (121, 161, 3)
    if pixel_format == "rgb":  # the picture is red, not blue: the snapshot knows its order
        blue, green, red = saved.reshape(-1, 3).mean(axis=0)
        assert blue < 40 and green < 40 and red > 200
    else:  # red's luma, in every channel
        assert np.abs(saved.astype(int) - 76).max() < 8


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["read", "/nothing-here"], 1, "plumo: error: Cannot open '{url}': Not Found"),
        (["read", "refused"], 1, "Could not establish connection to server."),
        (["read", "/truncated.mkv"], 1, "Error reading '{url}': The connection closed after"),
        (["read", "/camera.mjpg?frames=5&end=reset"], 1, "without its closing boundary after 5"),
        (["read", "ftp://camera.local/x"], 2, "'ftp://camera.local/x' is not a source plumo reads"),
        (["read", "/clip.mkv", "--pipeline", "videotestsrc ! appsink"], 2, "Invalid pipeline"),
        (["read", "--pipeline", "x {url}"], 2, "--pipeline needs a URL"),
        (["read", "/clip.mkv", "--frames", "0"], 2, f"argument --frames: {ABOVE_0} '0'"),
        (["read", "/clip.mkv", "--format", "yuv"], 2, "argument --format: invalid choice: 'yuv'"),
        (["read", "/clip.mkv", "--size", "640"], 2, "--size: expected WIDTHxHEIGHT in pixels"),
        (["read", "/clip.mkv", "--size", "0x360"], 2, "--size: expected WIDTHxHEIGHT"),
        (["read", "/clip.mkv", "--size", "9000x9000"], 2, "exceed max_frame_pixels"),
        (["read", "/clip.mkv", "--frames", "many"], 2, "argument --frames: not a whole number"),
        (["read", "/clip.mkv", "--timeout", "-1"], 2, f"argument --timeout: {ABOVE_0} '-1'"),
        (["read", "/clip.mkv", "--max-framerate", "nan"], 2, f"--max-framerate: {ABOVE_0} 'nan'"),
        (["read", "/clip.mkv", "--snapshot", "/no/such/dir/x.png"], 2, "no such folder"),
        (["read", "/clip.mkv", "--snapshot", "x.bmp"], 2, "name it .jpeg, .jpg, .png"),
        (["read", "/clip.mkv", "--snapshot", "/"], 2, "--snapshot: cannot tell the image format"),
        (["read", "/clip.mkv", "--snapshot", "/tmp/.png"], 2, "cannot tell the image format"),
        (["read", "/clip.mkv", "--snapshot", "/tmp"], 2, "cannot tell the image format"),
        (["read", "/clip.mkv", "--snapshot", "/dev/null/x.png"], 2, "no such folder"),
        (["read", "/clip.mkv", "--pipeline", "souphttpsrc location={url} ! nosuchelement"
          " ! appsink name=main_sink"], 2, 'Invalid pipeline template: no element "nosuchelement"'),
        (["read", "/clip.mkv", "--pipeline", "souphttpsrc location={url} ! ! appsink"], 2,
         "Invalid pipeline template: syntax error"),
        (["read", "/clip.mkv", "--pipeline", "souphttpsrc location={url} ! fakesink"], 2,
         "it has no element named 'main_sink'"),
        (["read", "/clip.mkv", "--pipeline", "souphttpsrc location={url} ! fakesink name=main_sink"],
         2, "the element named 'main_sink' is a fakesink, not an appsink"),
        (["read", "/clip.mkv", "--pipeline", "souphttpsrc location={url} ! video/x-raw,format={I420,"
          "NV12} ! appsink name=main_sink"], 2, "braces other than {{url}} must be doubled"),
        (["read", "/clip.mkv", "--ca-file", "/no/such.pem"], 2, "'/no/such.pem' cannot be read"),
        (["write"], 2, "invalid choice: 'write'"),
        (["read", "/clip.mkv", "--header", "no colon"], 2, "--header: not NAME:VALUE"),
        (["read", "/clip.mkv", "--header", "A:1\n2"], 2, "Option 'headers': the value of header"),
        (["read", "/clip.mkv", "--rtsp-transport", "sctp"], 2, "invalid choice: 'sctp'"),
        (["read", "file:///no/such/clip.mkv"], 1, "No such file: '/no/such/clip.mkv'"),
        (["probe", "/nothing-here"], 1, "Cannot open '{url}': Not Found"),
        (["probe", "udp://0.0.0.0:5000"], 2, "is not a source plumo reads"),
    ],
)
def test_failures_are_one_line_and_a_non_zero_status(server, args, status, message):
    url = ""
    for i, arg in enumerate(args):
        if arg.startswith("/") and i == 1:
            url = args[i] = server.url(arg)
        elif arg == "refused":
            url = args[i] = f"http://127.0.0.1:{streams.closed_port()}/x"
    done = plumo(*args)
    assert done.returncode == status, (done.stdout, done.stderr)
    errors = [line for line in done.stderr.splitlines() if "error:" in line]
    assert len(errors) == 1 and message.format(url=url) in errors[0], done.stderr
    assert "Traceback" not in done.stderr


def test_a_broken_stream_reports_the_frames_it_gave(server):
    done = plumo("read", server.url("/truncated.mkv"))
    assert done.returncode == 1
    assert " frames of 320x240 BGR in " in done.stdout and done.stdout.rstrip().endswith("failed")


def read_to_end(fd: int) -> bytes:
    data = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # EIO: the other side has closed
            return data
        if not chunk:
            return data
        data += chunk


def test_a_terminal_sees_live_progress_and_ctrl_c_stops_with_a_summary(server):
    # A camera never ends: it runs until interrupted. Progress goes to the terminal (stderr).
    controller, terminal = pty.openpty()
    # Should it not stop, the stacks of its threads are in what the terminal saw.
    process = subprocess.Popen([sys.executable, "-X", "faulthandler", "-m", "plumo", "read",
                                server.url("/live.mjpg")],
                               stdout=subprocess.PIPE, stderr=terminal, text=True)  # fmt: skip
    os.close(terminal)
    seen = b""
    deadline = time.monotonic() + 30
    while seen.count(b"frames/s") < 3 and time.monotonic() < deadline:
        seen += os.read(controller, 4096)
    process.send_signal(signal.SIGINT)
    # A terminal is read all along: one that is not would, once full, hold the writer up.
    terminal_rest = []
    drain = threading.Thread(target=lambda: terminal_rest.append(read_to_end(controller)))
    drain.start()
    try:
        stdout, _ = process.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        process.send_signal(signal.SIGABRT)
        process.communicate(timeout=10)
        drain.join(10)
        raise AssertionError(b"".join([seen, *terminal_rest]).decode(errors="replace")) from None
    drain.join(10)
    os.close(controller)
    assert process.returncode == 130
    assert seen.count(b"\r") >= 3 and b"320x240" in seen, seen
    assert stdout.rstrip().endswith("interrupted") and " frames of 320x240 BGR" in stdout


def test_help_and_version():
    done = plumo("read", "--help")
    assert done.returncode == 0 and "--snapshot FILE.png" in done.stdout
    done = plumo("--version")
    assert done.returncode == 0 and done.stdout.startswith("plumo ")


# --- snapshots ---------------------------------------------------------------------------------


def decode_image(data: bytes, caps: str, decoder: str) -> np.ndarray:
    """Decodes with GStreamer's own decoder, into BGR."""
    pipeline = Gst.parse_launch(f"appsrc name=src ! {decoder} ! videoconvert"
                                " ! video/x-raw,format=BGR ! appsink name=sink sync=false")
    source = pipeline.get_by_name("src")
    source.set_property("caps", Gst.Caps.from_string(f"{caps},framerate=0/1"))
    pipeline.set_state(Gst.State.PLAYING)
    try:
        source.emit("push-buffer", Gst.Buffer.new_wrapped(data))
        source.emit("end-of-stream")
        sample = pipeline.get_by_name("sink").try_pull_sample(5 * Gst.SECOND)
        assert sample is not None, f"{decoder} gave no frame"
        return sample_to_ndarray(sample)
    finally:
        pipeline.set_state(Gst.State.NULL)


@pytest.mark.parametrize("height, width", [(1, 1), (5, 3), (240, 320), (7, 1001)])
def test_a_png_snapshot_holds_the_frame_exactly(tmp_path, height, width):
    frame = np.random.default_rng(height * width).integers(0, 256, (height, width, 3), np.uint8)
    if width > 1:
        frame = frame[:, ::-1]  # not contiguous: the writer must not care
    path = tmp_path / "frame.png"
    save_snapshot(str(path), frame)
    decoded = decode_image(path.read_bytes(), "image/png", "pngdec")
    np.testing.assert_array_equal(decoded, frame)
    assert os.listdir(tmp_path) == ["frame.png"]  # nothing left beside it


@pytest.mark.parametrize("name", ["frame.jpg", "FRAME.JPEG"])
def test_a_jpeg_snapshot_is_close_to_the_frame(tmp_path, name):
    # Smooth gradients, as pictures are: JPEG keeps them within a few values.
    y, x = np.mgrid[0:120, 0:160]
    frame = np.dstack([x * 255 // 159, y * 255 // 119, (x + y) * 255 // 278]).astype(np.uint8)
    path = tmp_path / name
    save_snapshot(str(path), frame)
    data = path.read_bytes()
    assert data[:2] == b"\xff\xd8"
    decoded = decode_image(data, "image/jpeg", "jpegdec")
    assert np.abs(decoded.astype(int) - frame).mean() < 3


@pytest.mark.parametrize(
    "frame",
    [
        np.zeros((4, 4), np.uint8),
        np.zeros((4, 4, 4), np.uint8),
        np.zeros((4, 4, 3), np.float32),
        np.zeros((0, 4, 3), np.uint8),
        [[[0, 0, 0]]],
    ],
    ids=["grey", "four-channels", "float", "empty", "list"],
)
def test_only_bgr_frames_make_snapshots(frame):
    with pytest.raises(ValueError, match=r"Expected a \(height, width, 3\) uint8 array"):
        encode_image(frame, ".png")


def test_credentials_never_reach_the_output(server, tmp_path):
    secret = "pa55w0rd"
    for path in ("/clip.mkv", "/nothing-here"):
        url = server.url(path).replace("http://", f"http://viewer:{secret}@")
        done = plumo("read", url, "--frames", "2", "--snapshot", str(tmp_path / "x.png"))
        assert done.returncode == (0 if path == "/clip.mkv" else 1), done.stderr
        assert secret not in done.stdout + done.stderr
        assert "viewer:***@127.0.0.1" in done.stdout + done.stderr


def test_ctrl_c_while_the_stream_starts_ends_at_once(silent_server):
    process = subprocess.Popen([sys.executable, "-m", "plumo", "read", silent_server, "--timeout",
                                "60"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)  # well into the start wait
    process.send_signal(signal.SIGINT)
    try:
        stdout, stderr = process.communicate(timeout=6)  # not the time the start may take
    finally:
        process.kill()
    assert process.returncode == 130, stderr
    assert "Traceback" not in stderr and stdout.rstrip().endswith("interrupted")


def test_a_demo_clip_that_cannot_be_made_is_a_one_line_error(tmp_path):
    # GStreamer without its JPEG encoder: the clip cannot be encoded.
    env = dict(os.environ, GST_REGISTRY=str(tmp_path / "registry"))
    code = ("import sys; from plumo.utils.gstreamer import Gst;"
            "Gst.Registry.get().remove_feature(Gst.ElementFactory.find('jpegenc'));"
            "from plumo.cli import main; sys.exit(main([]))")  # fmt: skip
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60, env=env)  # fmt: skip
    assert done.returncode == 1, done.stderr
    assert done.stderr.strip() == 'plumo: error: Could not make the demo clip: no element "jpegenc"'


def test_probe_prints_what_the_stream_is(server, tmp_path):
    path = tmp_path / "clip.mkv"
    path.write_bytes(server.clips["/clip.mkv"])
    for source, live in [(str(path), False), (server.url("/live.mjpg"), True)]:
        done = plumo("probe", source)
        assert done.returncode == 0, done.stderr
        info = json.loads(done.stdout)
        assert (info["width"], info["height"], info["codec"], info["live"]) == (
            320, 240, "JPEG", live)  # fmt: skip
    assert info["fps"] is None  # a camera's multipart stream declares no frame rate


def test_read_takes_files_and_reconnects(server, tmp_path):
    path = tmp_path / "clip.mkv"
    path.write_bytes(server.clips["/clip.mkv"])
    done = plumo("read", str(path))
    assert done.returncode == 0 and ": 60 frames of 320x240 BGR" in done.stdout, done.stderr
    done = plumo("read", server.url("/live.mjpg?frames=8"), "--reconnect", "--frames", "20")
    assert done.returncode == 0 and "stopped after 20 frames" in done.stdout, done.stderr
