"""Choosing frames: the rate limit's count at every rate, by timestamps and by the clock; what is
dropped before the decoder (a camera's MJPEG, the rest of an H.264 group of pictures), whatever
the frames' timing; keyframes only. Frames chosen are checked against a full decoding of the
same clip: skipping must never hand out a frame decoded from missing references."""

import contextlib
import subprocess
import sys
import time

import numpy as np
import pytest

import streams
from plumo.demo import ClipServer
from plumo.errors import InvalidRuntimeOptionError
from plumo.pipeline_factories import sampling
from plumo.pipeline_factories.sampling import RateLimiter
from plumo.stream_reader import StreamReader
from plumo.stream_reader import reader as reader_module
from plumo.utils.gstreamer import Gst

SECOND, MS = Gst.SECOND, Gst.MSECOND


def kept(limit, timestamps):
    limiter = RateLimiter(limit)
    return [t for t in timestamps if limiter.admits(t)]


def frames_at(fps, seconds, rounding=MS):
    """Timestamps of `fps` frames a second for `seconds`, rounded as Matroska rounds them."""
    return [round(i * SECOND / fps / rounding) * rounding for i in range(round(fps * seconds))]


@pytest.mark.parametrize("fps", [25, 30, 29.97])
@pytest.mark.parametrize("limit", [0.1, 0.3, 0.5, 1, 2, 3, 5, 7.5, 12.5, 15, 24])
def test_the_limit_keeps_duration_times_rate_frames(fps, limit):
    seconds = 20
    count = len(kept(limit, frames_at(fps, seconds)))
    expected = min(limit, fps) * seconds
    assert abs(count - expected) <= 1, (count, expected)


@pytest.mark.parametrize("fps, limit, step", [(25, 12.5, 2), (30, 15, 2), (30, 10, 3), (25, 25, 1)])
def test_a_limit_that_divides_the_rate_keeps_every_so_many_frames(fps, limit, step):
    timestamps = frames_at(fps, 4)
    assert kept(limit, timestamps) == timestamps[::step]


def test_a_jump_back_starts_afresh_and_a_gap_starts_a_new_grid():
    part = frames_at(25, 5)
    chosen = kept(1, part + part + [t + 60 * SECOND for t in part])
    # Each part kept from its start: 0, 1, 2 ... seconds in.
    starts = [i * SECOND for i in range(5)]
    assert chosen == starts + starts + [t + 60 * SECOND for t in starts]


@pytest.mark.parametrize("limit", [0.5, 1, 2, 10])
def test_without_timestamps_the_clock_decides(monkeypatch, limit):
    # A camera at 30 frames a second, whose frames arrive a few milliseconds early or late.
    rng = np.random.default_rng(7)
    arrivals = [round(i * SECOND / 30 + rng.uniform(-4, 4) * MS) for i in range(30 * 20)]
    clock = iter(arrivals)
    # The limit reads the monotonic clock through time.monotonic_ns, as the probes' clock reads it.
    monkeypatch.setattr(time, "monotonic_ns", lambda: next(clock))
    count = len(kept(limit, [Gst.CLOCK_TIME_NONE] * len(arrivals)))
    assert abs(count - limit * 20) <= 1


class ReferenceLimiter:
    """The limit as plumo first wrote it, in Python: the compiled one must decide alike."""

    def __init__(self, limit):
        self.interval = round(SECOND / limit)
        self.clock_slack = self.interval // 10
        self.timestamp_slack = min(self.clock_slack, 2 * MS)
        self.by_clock = self.due = None
        self.last = 0

    def admits(self, pts, clock_now):
        by_clock = pts == Gst.CLOCK_TIME_NONE
        now = clock_now if by_clock else pts
        if by_clock != self.by_clock:
            self.by_clock, self.due = by_clock, None
        slack = self.clock_slack if by_clock else self.timestamp_slack
        if self.due is not None and self.last <= now < self.due - slack:
            return False
        on_grid = self.due is not None and -slack <= now - self.due < self.interval
        self.due = (self.due if on_grid else now) + self.interval
        self.last = now
        return True


def wandering_timestamps(rng, count):
    """Frames at a wavering rate, with gaps, jumps back, repeats, and runs without timestamps."""
    t, out, stamped = 0, [], True
    for _ in range(count):
        if rng.random() < 0.02:
            stamped = not stamped
        roll = rng.random()
        if roll < 0.02:
            t += int(rng.integers(1, 30)) * SECOND  # a gap
        elif roll < 0.03:
            t = max(0, t - int(rng.integers(0, 5 * SECOND)))  # a jump back
        elif roll < 0.04:
            pass  # the same time again
        else:
            t += int(rng.choice([33, 40, 41, 200, 1000])) * MS + int(rng.integers(-3, 4)) * MS
        out.append(max(0, t) if stamped else Gst.CLOCK_TIME_NONE)
    return out


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("limit", [0.25, 1, 7.5, 24, 1000])
def test_the_compiled_limit_decides_as_the_python_one_did(monkeypatch, seed, limit):
    rng = np.random.default_rng(seed)
    timestamps = wandering_timestamps(rng, 2000)
    clock = [int(c) for c in np.cumsum(rng.integers(0, 90 * MS, len(timestamps)))]
    ticks, reference_ticks = iter(clock), iter(clock)
    # The clock is read for the frames without a timestamp alone.
    monkeypatch.setattr(time, "monotonic_ns", lambda: next(ticks))
    limiter, reference = RateLimiter(limit), ReferenceLimiter(limit)
    decisions = [limiter.admits(t) for t in timestamps]
    none = Gst.CLOCK_TIME_NONE
    expected = [reference.admits(t, next(reference_ticks) if t == none else 0) for t in timestamps]
    assert decisions == expected


# --- end to end, over HTTP -----------------------------------------------------------------------

FPS = 25
SECONDS = 10
GROUP = 50  # frames from one keyframe to the next


def moving(frames):
    # A moving ball: each frame differs from the others, so a frame decoded wrongly shows.
    return (
        f"videotestsrc num-buffers={frames} pattern=ball"
        f" ! video/x-raw,width=160,height=120,framerate={FPS}/1"
    )


@pytest.fixture(scope="module")
def clips():
    frames = FPS * SECONDS
    made = {
        "/mjpeg.mkv": f"{moving(frames)} ! jpegenc ! matroskamux",
        "/h264.mkv": f"{moving(frames)} ! openh264enc gop-size={GROUP} ! h264parse"
        " ! matroskamux",
        # Reordered frames: two B-frames, which no other frame refers to, between references.
        "/bframes.mkv": f"{moving(frames)} ! x264enc bframes=2 b-pyramid=false"
        f" key-int-max={GROUP} option-string=scenecut=0 ! h264parse ! matroskamux",
    }
    with contextlib.ExitStack() as stack:
        yield Clips({
            path: stack.enter_context(ClipServer(b"".join(streams.encode(launch)))).url
            for path, launch in made.items()
        })  # fmt: skip


class Clips(dict):
    def url(self, path):
        return self[path]


def read_all(url, **options):
    with StreamReader(url, read_timeout=10, **options) as reader:
        return list(iter(reader.read_frame, None))


@pytest.fixture(autouse=True)
def sysboot_starts(monkeypatch, main_loop):
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))


_WHOLE = {}


@pytest.fixture
def whole(clips):
    """Each clip decoded whole, once: its frames by timestamp."""
    for path, url in clips.items():
        if path not in _WHOLE:
            _WHOLE[path] = {frame.pts: frame.image for frame in read_all(url)}
    return _WHOLE


@pytest.fixture
def decoder_inputs(monkeypatch):
    """Counts the buffers that reach each decoder the reader's pipelines plug in."""
    counts = {}
    real_watch = sampling.Sampling._watch

    def watch(self, element):
        real_watch(self, element)
        factory = element.get_factory()
        if factory is not None and factory.list_is_type(Gst.ELEMENT_FACTORY_TYPE_DECODER):
            name = factory.get_name()
            counts.setdefault(name, 0)

            def count(_pad, _info):
                counts[name] += 1
                return Gst.PadProbeReturn.OK

            # Added after the sampling's own probe: it sees only what that one let through.
            element.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, count)

    monkeypatch.setattr(sampling.Sampling, "_watch", watch)
    return counts


def assert_decoded_right(frames, whole):
    for frame in frames:
        assert frame.pts in whole, frame.pts
        assert np.array_equal(frame.image, whole[frame.pts]), f"frame at {frame.pts} differs"
    timestamps = [frame.pts for frame in frames]
    assert timestamps == sorted(set(timestamps))


@pytest.mark.parametrize("path", ["/mjpeg.mkv", "/h264.mkv", "/bframes.mkv"])
@pytest.mark.parametrize("limit", [0.1, 0.5, 1, 3, 12.5, 25])
def test_a_limited_clip_gives_duration_times_rate_frames_decoded_right(
    clips, whole, path, limit
):
    frames = read_all(clips.url(path), max_framerate=limit)
    assert abs(len(frames) - min(limit, FPS) * SECONDS) <= 1, len(frames)
    assert_decoded_right(frames, whole[path])
    if limit == 12.5:
        assert len(frames) == FPS * SECONDS // 2


@pytest.mark.parametrize(
    "path, decoder, most",
    [
        # Each frame stands alone: only those kept are decoded.
        ("/mjpeg.mkv", "jpegdec", SECONDS + 1),
        # The slot one second into each two-second group needs the group's first 26 frames,
        # and nothing needs the rest.
        ("/h264.mkv", "avdec_h264", SECONDS // 2 * (GROUP // 2 + 1)),
    ],
)  # fmt: skip
def test_frames_the_limit_would_not_keep_are_not_decoded(
    clips, decoder_inputs, path, decoder, most
):
    frames = read_all(clips.url(path), max_framerate=1)
    assert len(frames) == SECONDS
    assert 0 < decoder_inputs[decoder] <= most, decoder_inputs


def test_with_reordered_frames_the_limit_keeps_the_frames_on_its_grid(clips, whole):
    # In the order of decoding, a frame the limit keeps cannot be told from one it does not
    # when pictures are reordered: B-frames fall on the slots too, and are decoded.
    frames = read_all(clips.url("/bframes.mkv"), max_framerate=1)
    assert [frame.pts for frame in frames] == [float(second) for second in range(SECONDS)]
    assert_decoded_right(frames, whole["/bframes.mkv"])


def slot_grid(timestamps, limit):
    """The timestamps the limit keeps, as its documentation says: the first frame at or after
    each slot of 1/limit seconds, the grid starting again after a gap (2 ms of slack)."""
    interval, chosen, due = 1 / limit, [], None
    for t in timestamps:
        if due is not None and t < due - 0.002:
            continue
        on_grid = due is not None and t - due < interval
        due = (due if on_grid else t) + interval
        chosen.append(t)
    return chosen


@pytest.fixture(scope="module")
def variable_rate_clip(tmp_path_factory):
    """25 frames of H.264 (a keyframe every 12): 40 ms apart up to 0.36 s, then 80-120 ms
    apart up to 1.84 s, served over HTTP."""
    path = tmp_path_factory.mktemp("vfr") / "vfr.mkv"
    subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25",
         "-frames:v", "25", "-vf", "setpts='(N*0.04+if(gte(N,10),(N-9)*0.06,0))/TB'",
         "-fps_mode", "passthrough", "-c:v", "libx264", "-preset", "ultrafast", "-g", "12",
         "-bf", "0", str(path)],
        check=True, timeout=60,
    )  # fmt: skip
    with ClipServer(path.read_bytes()) as server:
        yield server.url


@pytest.mark.parametrize("limit", [2, 5, 10, 11])
def test_a_variable_frame_rate_loses_no_frame_the_limit_keeps(variable_rate_clip, limit):
    every = read_all(variable_rate_clip)
    assert len(every) == 25
    whole = {frame.pts: frame.image for frame in every}
    frames = read_all(variable_rate_clip, max_framerate=limit)
    assert [frame.pts for frame in frames] == slot_grid([frame.pts for frame in every], limit)
    assert_decoded_right(frames, whole)


def keyframe_times(url):
    """The timestamps of the clip's keyframes, in seconds, as its container marks them."""
    pipeline = Gst.parse_launch(
        f"souphttpsrc location={url} ! matroskademux ! fakesink name=sink sync=false"
    )
    times = []

    def note(_pad, info):
        buffer = info.get_buffer()
        if not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT):
            times.append(buffer.pts / Gst.SECOND)
        return Gst.PadProbeReturn.OK

    pipeline.get_by_name("sink").get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, note)
    pipeline.set_state(Gst.State.PLAYING)
    message = pipeline.get_bus().timed_pop_filtered(
        10 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR
    )
    pipeline.set_state(Gst.State.NULL)
    assert message is not None and message.type == Gst.MessageType.EOS
    return times


@pytest.mark.parametrize("path", ["/h264.mkv", "/bframes.mkv"])
def test_keyframes_only_gives_the_keyframes_with_their_timestamps(
    clips, whole, decoder_inputs, path
):
    keys = keyframe_times(clips.url(path))
    assert len(keys) == SECONDS * FPS // GROUP
    frames = read_all(clips.url(path), keyframes_only=True)
    assert [frame.pts for frame in frames] == keys
    assert_decoded_right(frames, whole[path])
    assert sum(decoder_inputs.values()) == len(keys)
    # With a limit, at most so many of them: one every four seconds of a keyframe every two.
    frames = read_all(clips.url(path), keyframes_only=True, max_framerate=0.25)
    assert [frame.pts for frame in frames] == keys[::2]


def test_video_without_keyframe_marks_is_all_keyframes(clips, whole):
    frames = read_all(clips.url("/mjpeg.mkv"), keyframes_only=True)
    assert len(frames) == FPS * SECONDS
    assert_decoded_right(frames, whole["/mjpeg.mkv"])


def test_keyframes_only_applies_to_a_template_too(clips, decoder_inputs):
    template = (
        "souphttpsrc location={url} ! matroskademux ! h264parse ! avdec_h264 ! videoconvert"
        " ! video/x-raw,format=BGR ! appsink name=main_sink"
    )
    keys = keyframe_times(clips.url("/h264.mkv"))
    with StreamReader(clips.url("/h264.mkv"), template=template, keyframes_only=True) as reader:
        frames = list(iter(reader.read_frame, None))
    assert [frame.pts for frame in frames] == keys


@pytest.mark.parametrize("value", [1, 0, "yes", None, 1.0])
def test_keyframes_only_takes_a_bool(value):
    with pytest.raises(InvalidRuntimeOptionError, match="keyframes_only"):
        StreamReader("http://127.0.0.1:9/", keyframes_only=value)


def test_the_command_line_reads_keyframes_only(clips):
    url = clips.url("/h264.mkv")
    done = subprocess.run([sys.executable, "-m", "plumo", "read", url, "--keyframes-only"],
                          capture_output=True, text=True, timeout=60)  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert ": 5 frames of 160x120 BGR in " in done.stdout, done.stdout


def test_a_decoder_watched_after_it_started_is_sampled_from_then_on(clips, pipelines):
    # A template's pipeline runs before the reader watches it: its decoder has had its caps.
    pipeline = pipelines(
        f"souphttpsrc location={clips.url('/h264.mkv')} ! matroskademux ! h264parse"
        " ! avdec_h264 ! appsink name=sink sync=false max-buffers=1"
    )
    sink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    assert sink.try_pull_sample(10 * Gst.SECOND) is not None
    sampling.Sampling(None, keyframes_only=True).watch_decoders(pipeline, pipeline)
    pulled = []
    while (sample := sink.try_pull_sample(10 * Gst.SECOND)) is not None:
        pulled.append(sample.get_buffer().pts / Gst.SECOND)
    # Past the few frames already on their way, keyframes alone.
    keys = keyframe_times(clips.url("/h264.mkv"))
    assert pulled[-3:] == keys[-3:] and len(pulled) <= len(keys) + 3, pulled
