"""Conformance: every codec and container the set-up decodes (media.CLIPS, made with ffmpeg) read
from a path, over HTTP from a server that honours Range requests and from one that ignores them,
and from an RTSP camera for the codecs cameras send; each with every frame, a frame-rate limit,
and keyframes only. Each cell opens its stream several times, and holds what it reads against
ffmpeg's own reading of the clip: the frames' count and timestamps (every frame, the keyframes,
or the limit's slot grid) and the pictures of a few of them, within the README's tolerance."""

import numpy as np
import pytest

import media
from plumo.stream_reader import StreamReader

OPENS = 3  # one failure in so many opens fails the cell
LIMIT = 7  # frames a second: a limit that divides no rate here, so the grid shows
MODES = {"every frame": {}, "max_framerate": {"max_framerate": LIMIT},
         "keyframes_only": {"keyframes_only": True}}  # fmt: skip
SOURCES = ("path", "http", "http-no-range")
# Matroska rounds timestamps to the millisecond.
TIME_SLACK = 0.0015


def read_all(location, **options):
    with StreamReader(location, start_timeout=10, read_timeout=10, **options) as reader:
        return list(iter(reader.read_frame, None))


def expected_times(stream, mode):
    if mode == "keyframes_only":
        return stream.keyframes
    if mode == "max_framerate":
        return media.slot_grid(stream.timestamps, LIMIT)
    return stream.timestamps


def from_first(times):
    return [t - times[0] for t in times]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("clip", [clip.name for clip in media.CLIPS])
def test_a_clip_reads_whole_and_right(clip_files, file_servers, reader_loop, clip, source, mode):
    stream = clip_files.stream(clip)
    location = clip_files.path(clip) if source == "path" else file_servers[source].url(clip)
    wanted = expected_times(stream, mode)
    for _ in range(OPENS):
        frames = read_all(location, **MODES[mode])
        times = [frame.pts for frame in frames]
        assert None not in times and len(times) == len(wanted), (times, wanted)
        assert from_first(times) == pytest.approx(from_first(wanted), abs=TIME_SLACK)
    # The first, a middle and the last frame's pictures, found by their time in the clip.
    made = media.CLIPS_BY_NAME[clip]  # how it was encoded, and the colour tolerance that allows
    pictures = clip_files.pictures(clip)
    assert len(pictures) == len(stream.timestamps)
    for frame in {0: frames[0], 1: frames[len(frames) // 2], 2: frames[-1]}.values():
        at = wanted[0] + frame.pts - times[0]
        index = min(range(len(stream.timestamps)), key=lambda i: abs(stream.timestamps[i] - at))
        assert frame.image.shape == (stream.height, stream.width, 3)
        mean, worst, overshoot = media.compare(frame.image, pictures[index])
        assert mean <= made.mean and worst <= made.worst, (frame.pts, mean, worst)
        assert overshoot <= max(made.worst, media.OVERSHOOT_WORST), (frame.pts, overshoot)


def test_an_ogg_stream_over_http_opens_every_time(clip_files, file_servers, reader_loop):
    # oggdemux, reading a stream, seeks near its end for the duration and back, and flushed
    # theoradec in the middle of its headers in about one open in four ("Could not decode
    # stream."), bare GStreamer alike.
    url = file_servers["http"].url("theora.ogg")
    for _ in range(20):
        assert len(read_all(url)) == len(clip_files.stream("theora.ogg").timestamps)


# --- RTSP cameras: H.264, H.265 and MJPEG ---------------------------------------------------------
#
# A live stream holds no list of its frames. Each picture the camera makes carries the time it
# was made (rtsp_camera.py --stamp), and ffmpeg, reading the same camera beside plumo, says which
# pictures the stream held and what they look like.

# Small and slow, so that the cameras keep their pace on a busy machine: just room for the stamp.
CAMERA_FPS = 10  # a keyframe every CAMERA_FPS pictures
CAMERA_SIZE = (288, 96)
# Seconds each open reads: a keyframe comes once a second.
CAMERA_READS = {"every frame": 1.0, "max_framerate": 1.5, "keyframes_only": 3.2}
# ffmpeg's decoding is libav's, as plumo's is for H.264 and H.265; the JPEG decoders' IDCTs differ.
CAMERA_MEAN = {"h264": 0.5, "h265": 0.5, "mjpeg": 1.0}
CAMERA_WORST = {"h264": media.OVERSHOOT_WORST, "h265": media.OVERSHOOT_WORST, "mjpeg": 8}
# How far the frames' timestamps may stray from the times their pictures were made, in seconds.
CAMERA_JITTER = 0.04


@pytest.fixture(scope="module", params=["h264", "h265", "mjpeg"])
def camera(request):
    import streams

    width, height = CAMERA_SIZE
    with streams.RtspCamera(request.param, stamp=True, fps=CAMERA_FPS, width=width,
                            height=height) as running:  # fmt: skip
        running.codec = request.param
        yield running


class CameraRecording:
    """ffmpeg's reading of the camera, beside the reader's: each picture by its stamp."""

    def __init__(self, url, pix_fmt):
        import subprocess
        import threading

        self._process = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", url, "-f", "rawvideo",
             "-pix_fmt", pix_fmt, "-"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        )  # fmt: skip
        self._chunks = []
        self._reading = threading.Thread(target=self._read, daemon=True)
        self._reading.start()

    def _read(self):
        while chunk := self._process.stdout.read(1 << 16):
            self._chunks.append(chunk)

    def stop(self, width, height):
        """Ends the recording; the pictures it holds, by their stamps."""
        import signal
        import subprocess

        from rtsp_camera import read_stamp

        # As a viewer leaves: ffmpeg tears its session down, and the camera serves the rest.
        self._process.send_signal(signal.SIGINT)
        try:
            self._process.wait(10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait(10)
        self._reading.join(10)
        out = b"".join(self._chunks)
        size = width * height * 3 // 2
        found = {}
        for start in range(0, len(out) - size + 1, size):
            planes = np.frombuffer(out[start : start + size], np.uint8)
            stamp = read_stamp(planes[: width * height].reshape(height, width))
            if stamp is not None:
                found[round(stamp, 3)] = planes
        return found


def camera_picture(planes, width, height, full):
    u = planes[width * height : width * height * 5 // 4].reshape(height // 2, width // 2)
    v = planes[width * height * 5 // 4 :].reshape(height // 2, width // 2)
    u, v = (plane.repeat(2, axis=0).repeat(2, axis=1) for plane in (u, v))
    y = planes[: width * height].reshape(height, width)
    return media.Picture(media.exact_bgr(y, u, v, "bt601", full), np.ones((height, width), bool))


@pytest.mark.parametrize("mode", MODES)
def test_a_camera_reads_whole_and_right(camera, reader_loop, mode):
    import time

    from rtsp_camera import read_stamp

    seconds = CAMERA_READS[mode]
    full = camera.codec == "mjpeg"  # JPEG's values take the full range
    recording = CameraRecording(camera.url, "yuvj420p" if full else "yuv420p")
    time.sleep(1.5)  # ffmpeg is reading
    reads = []
    for _ in range(OPENS):
        # Over TCP: what UDP loses on a busy machine is not the reader's to find.
        with StreamReader(camera.url, start_timeout=30, read_timeout=30, rtsp_transport="tcp",
                          **MODES[mode]) as reader:  # fmt: skip
            began = time.monotonic()
            frames = []
            while time.monotonic() - began < seconds:
                frames.append(reader.read_frame())
        reads.append(frames)
    time.sleep(1.0)  # ffmpeg has the last of them too
    width, height = CAMERA_SIZE
    recorded = recording.stop(width, height)
    made = sorted(recorded)
    assert len(made) > CAMERA_FPS, len(made)
    for frames in reads:
        stamps = [read_stamp(frame.image) for frame in frames]
        assert None not in stamps, "a picture without its stamp: not the camera's, or damaged"
        stamps = [round(stamp, 3) for stamp in stamps]
        times = [frame.pts for frame in frames]
        strays = [s for s in stamps if s not in recorded]
        assert not strays, (strays, made[0], made[-1], stamps)
        # The timestamps keep the pictures' pace, once rtspsrc's jitter buffer has settled on
        # its first packets (the first frame's time may lag the others' by a second). They come
        # from the packets' arrival, smoothed: on a busy machine one may stray by tens of ms.
        assert times == sorted(times), times
        if len(times) > 2:
            drift = (times[-1] - times[1]) - (stamps[-1] - stamps[1])
            assert abs(drift) <= 2 * CAMERA_JITTER, (times, stamps)
        inside = [s for s in made if stamps[0] <= s <= stamps[-1]]
        if mode == "every frame":
            assert stamps == inside, "pictures lost or repeated"
        elif mode == "max_framerate":
            # One frame a slot, the first one at or after it. A live stream's timestamps are
            # its packets' arrival, smoothed, and stray from the pictures' pace by some
            # milliseconds, so a picture near a slot's edge may fall either side: never two
            # frames a slot, never a slot passed by, and the rate asked for over the read.
            interval, frame_time = 1 / LIMIT, 1 / CAMERA_FPS
            gaps = [t1 - t0 for t0, t1 in zip(times, times[1:])]
            assert min(gaps) >= interval - frame_time - CAMERA_JITTER, gaps
            assert max(gaps) < 2 * interval, gaps
            assert abs(len(times) - 1 - (times[-1] - times[0]) * LIMIT) <= 1, times
        elif camera.codec == "mjpeg":
            assert stamps == inside  # every JPEG is a keyframe
        else:
            # The camera's keyframes: one every CAMERA_FPS pictures it made.
            between = [len([s for s in made if s0 <= s < s1]) for s0, s1 in zip(stamps, stamps[1:])]
            assert len(stamps) >= 2 and set(between) == {CAMERA_FPS}, between
        for frame, stamp in list(zip(frames, stamps))[:: max(1, len(frames) // 3)]:
            reference = camera_picture(recorded[stamp], width, height, full)
            mean, worst, _ = media.compare(frame.image, reference)
            assert mean <= CAMERA_MEAN[camera.codec] and worst <= CAMERA_WORST[camera.codec], (
                stamp, mean, worst)  # fmt: skip
