"""What the C probes note and decide on the streaming threads: `BufferWatch` (buffers counted, the
time of the last one on Python's monotonic clock, a stream's first and last bytes, dropping) and
`drop_before_keyframe`; that pipelines torn down while their C probes run leave nothing unsound;
and that reading a stream, whatever the options, runs no Python for each buffer."""

import time

import pytest

import streams
from plumo.stream_reader import StreamReader
from plumo.stream_reader import reader as reader_module
from plumo.utils.gstreamer import BufferWatch, FrameSampling, Gst, drop_before_keyframe

DELTA = Gst.BufferFlags.DELTA_UNIT


def feed(pipelines):
    """A pad of our own, linked to a playing fakesink: what is pushed into it passes its probes
    and the fakesink's on this thread, before the push returns. The pad and the fakesink's."""
    pipeline = pipelines("fakesink name=out sync=false async=false")
    pipeline.set_state(Gst.State.PLAYING)
    sink_pad = pipeline.get_by_name("out").get_static_pad("sink")
    pad = Gst.Pad.new("src", Gst.PadDirection.SRC)
    assert pad.link(sink_pad) == Gst.PadLinkReturn.OK
    pad.set_active(True)
    segment = Gst.Segment()
    segment.init(Gst.Format.BYTES)
    assert pad.push_event(Gst.Event.new_stream_start("watched"))
    assert pad.push_event(Gst.Event.new_segment(segment))
    return pad, sink_pad


def push(pad, data: bytes, flags=Gst.BufferFlags(0)) -> None:
    buffer = Gst.Buffer.new_wrapped(data)
    buffer.set_flags(flags)
    assert pad.push(buffer) == Gst.FlowReturn.OK


def push_list(pad, chunks) -> None:
    buffers = Gst.BufferList.new()
    for chunk in chunks:
        buffers.insert(-1, Gst.Buffer.new_wrapped(chunk))
    assert pad.push_list(buffers) == Gst.FlowReturn.OK


STREAM = bytes(range(256)) * 9  # 2304 bytes, no two runs of 256 alike at a distance under 256


@pytest.mark.parametrize("sizes", [[2304], [1] * 40 + [2264], [700, 1, 1, 1600, 2], [3, 2301]])
@pytest.mark.parametrize("as_list", [False, True])
@pytest.mark.parametrize("head, tail", [(0, 0), (5, 7), (1024, 1024), (3000, 3000)])
def test_a_watch_counts_buffers_and_keeps_the_first_and_last_bytes(pipelines, sizes, as_list,
                                                                   head, tail):  # fmt: skip
    source, pad = feed(pipelines)
    watch = BufferWatch(head=head, tail=tail)
    watch.watch(pad)
    chunks, at = [], 0
    for size in sizes:
        chunks.append(STREAM[at : at + size])
        at += size
    if as_list:
        push_list(source, chunks)
    else:
        for chunk in chunks:
            push(source, chunk)
    assert watch.count == len(sizes)
    assert watch.head == STREAM[:head]
    assert watch.tail == (STREAM[-tail:] if tail else b"")


def test_the_silence_is_timed_on_pythons_monotonic_clock(pipelines):
    source, pad = feed(pipelines)
    made_before = time.monotonic()
    watch = BufferWatch()
    made_after = time.monotonic()
    watch.watch(pad)
    time.sleep(0.01)
    # Nothing yet: the silence counts from the watch's making.
    asked_before = time.monotonic()
    quiet = watch.quiet_for()
    assert asked_before - made_after <= quiet <= time.monotonic() - made_before
    pushed_before = time.monotonic()
    push(source, b"x")
    pushed_after = time.monotonic()
    time.sleep(0.01)
    asked_before = time.monotonic()
    quiet = watch.quiet_for()
    assert asked_before - pushed_after <= quiet <= time.monotonic() - pushed_before


def test_a_watch_counts_several_pads_together_and_forgets_at_reset(pipelines):
    first, first_pad = feed(pipelines)
    second, second_pad = feed(pipelines)
    watch = BufferWatch(head=4, tail=4)
    watch.watch(first_pad)
    watch.watch(second_pad)
    push(first, b"abcdef")
    push(second, b"ghijkl")
    assert (watch.count, watch.head, watch.tail) == (2, b"abcd", b"ijkl")
    watch.reset()
    assert (watch.count, watch.head, watch.tail) == (0, b"", b"")
    push(second, b"mnopqr")
    assert (watch.count, watch.head, watch.tail) == (1, b"mnop", b"opqr")


def test_a_dropping_watch_counts_what_it_drops_until_it_is_reset(pipelines):
    source, pad = feed(pipelines)
    dropping, after = BufferWatch(), BufferWatch()
    dropping.watch(source)
    after.watch(pad)
    push(source, b"kept")
    dropping.drop()
    push(source, b"dropped")
    push_list(source, [b"a", b"b"])
    assert (dropping.count, after.count) == (4, 1)
    # A restarted stream (its guard resets the watch) is let through again.
    dropping.reset()
    push(source, b"kept again")
    assert (dropping.count, after.count) == (1, 2)


def test_a_removed_watch_sees_no_more(pipelines):
    source, pad = feed(pipelines)
    watch = BufferWatch()
    probe = watch.watch(pad)
    push(source, b"seen")
    pad.remove_probe(probe)
    push(source, b"unseen")
    assert watch.count == 1


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: BufferWatch(head=-1), ValueError, "head must be from 0 to 1048576, not -1"),
        (lambda: BufferWatch(tail=1 << 21), ValueError, "tail must be from 0 to 1048576"),
        (lambda: BufferWatch(head="1"), TypeError, "cannot be interpreted as an integer"),
        (lambda: BufferWatch().watch("pad"), TypeError, "pad must be a Gst.Pad, not str"),
        (lambda: BufferWatch.__new__(BufferWatch).count, TypeError,
         "The BufferWatch has no state: its __init__ did not run, or its _watch was replaced"),
        (lambda: drop_before_keyframe(None), TypeError, "pad must be a Gst.Pad, not NoneType"),
    ],
)  # fmt: skip
def test_bad_arguments_are_refused_clearly(call, error, message):
    with pytest.raises(error, match=message):
        call()


# --- drop_before_keyframe ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "flags, passed",
    [
        # Deltas before the first keyframe go; from it on, everything passes.
        ("ddkdkd", "kdkd"),
        ("kdd", "kdd"),
        # No keyframe marks at all: 300 are dropped, then the stream passes.
        ("d" * 303, "ddd"),
        ("d" * 300 + "k", "k"),
    ],
)
def test_what_reaches_a_decoder_before_its_first_keyframe_is_dropped(pipelines, flags, passed):
    source, pad = feed(pipelines)
    drop_before_keyframe(pad)
    seen = BufferWatch(head=1 << 10)
    seen.watch(pad)  # after the first probe: it sees what that one let through
    for flag in flags:
        push(source, flag.encode(), DELTA if flag == "d" else Gst.BufferFlags(0))
    assert seen.head.decode() == passed


# --- pipelines torn down while the probes run ----------------------------------------------------


@pytest.fixture(scope="module")
def h264_clip(tmp_path_factory):
    """6 s at 100 frames a second, a keyframe every 50: played in real time, torn down mid-way."""
    path = tmp_path_factory.mktemp("clips") / "ball.mkv"
    streams.encode_file(
        "videotestsrc num-buffers=600 pattern=ball"
        " ! video/x-raw,width=160,height=120,framerate=100/1"
        " ! openh264enc gop-size=50 ! h264parse ! matroskamux",
        path,
    )
    return path


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.002)


# Each way a pipeline goes while buffers pass its C probes: stopped with the Python objects held,
# the Python objects let go first (the probes keep their state), or the probes removed first; at
# a different frame each time, with frames held back before the decoder or not.
@pytest.mark.parametrize("order", ["stop first", "objects first", "probes first"])
@pytest.mark.parametrize("limit, keyframes_only", [(1, False), (3, True)])
def test_a_pipeline_torn_down_while_streaming_leaves_its_probes_sound(h264_clip, order, limit,
                                                                      keyframes_only):  # fmt: skip
    for frame in range(2, 40, 5):
        pipeline = Gst.parse_launch(
            f'filesrc location="{h264_clip}" ! matroskademux ! h264parse name=parse'
            " ! avdec_h264 name=dec ! fakesink name=out sync=true"
        )
        parsed = pipeline.get_by_name("parse").get_static_pad("src")
        decoder = pipeline.get_by_name("dec").get_static_pad("sink")
        out = pipeline.get_by_name("out").get_static_pad("sink")
        data, frames = BufferWatch(head=64, tail=64), BufferWatch()
        chooser = FrameSampling(limit, keyframes_only)
        probes = [
            (parsed, data.watch(parsed)),
            (decoder, drop_before_keyframe(decoder)),
            (decoder, chooser.gate_decoder(decoder)),
            (out, chooser.limit_decoded(out)),
            (out, frames.watch(out)),
        ]
        pipeline.set_state(Gst.State.PLAYING)
        try:
            wait_for(lambda: data.count >= frame and frames.count >= 1)
            if order == "objects first":
                del data, frames, chooser
            elif order == "probes first":
                for pad, probe in probes:
                    pad.remove_probe(probe)
        finally:
            pipeline.set_state(Gst.State.NULL)
        if order != "objects first":
            # The state outlives the pipeline: what was seen is still there to read.
            assert frame <= data.count < 600 and len(data.head) == len(data.tail) == 64
            assert 1 <= frames.count <= data.count
        del pipeline, probes, parsed, decoder, out


# --- no Python on the streaming threads ----------------------------------------------------------

PER_BUFFER = Gst.PadProbeType.BUFFER | Gst.PadProbeType.BUFFER_LIST


@pytest.fixture
def python_probes(monkeypatch):
    """The masks of the Python pad probes added from now on."""
    masks = []
    real = Gst.Pad.add_probe

    def add_probe(pad, mask, *args):
        masks.append(mask)
        return real(pad, mask, *args)

    monkeypatch.setattr(Gst.Pad, "add_probe", add_probe)
    return masks


@pytest.fixture(scope="module")
def rtsp_camera():
    with streams.RtspCamera("h264", tcp_only=True) as camera:
        yield camera


OPTIONS = [
    dict(reconnect=True, latest=True),
    dict(reconnect=True, max_framerate=1),
    dict(latest=True, keyframes_only=True),
    dict(max_framerate=5, keyframes_only=True),
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("source", ["rtsp", "camera", "clip"])
def test_reading_runs_no_python_for_each_buffer(monkeypatch, main_loop, server, rtsp_camera,
                                                python_probes, source, options):  # fmt: skip
    monkeypatch.setattr(reader_module, "sysboot", type("Boot", (), {"start": lambda: None}))
    url = {
        "rtsp": rtsp_camera.url,
        # A camera's multipart stream, whose cut the reader watches for.
        "camera": server.url("/camera.mjpg?frames=40&end=reset"),
        "clip": server.url("/clip.mkv"),
    }[source]
    options = dict(options, rtsp_transport="tcp") if source == "rtsp" else options
    with StreamReader(url, read_timeout=20, **options) as reader:
        frames = [reader.read_frame(), reader.read_frame()]
    # A short clip read for its newest frame may have ended by the first read.
    assert frames[0] is not None and (frames[1] is not None or source == "clip")
    assert python_probes and not [mask for mask in python_probes if mask & PER_BUFFER]
