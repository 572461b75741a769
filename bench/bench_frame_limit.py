"""Peak memory of reading a hostile camera: frames that claim 16000x16000 pixels, with and without
the factory's frame size limit.

Run: .venv/bin/python bench/bench_frame_limit.py [--frames N] [--size WxH]

The camera's frames are one JPEG of a few hundred bytes (a 16x16 picture whose header claims the
size; a decoder makes a frame that size of it, grey where the data runs out), sent N times (3 by
default) as a multipart/x-mixed-replace stream with its closing boundary, by a local HTTP server
(plumo.demo.ClipServer, on 127.0.0.1, in a thread). Each reading runs in a process of its own:
the HTTP factory's pipeline, its appsink pulled to the end of the stream, every sample turned
into an array; the process then reports its peak resident memory (getrusage's ru_maxrss, which
is what `/usr/bin/time -v` prints as "Maximum resident set size"), the frames it got and the
first error on the bus.
"""

import argparse
import json
import struct
import subprocess
import sys
import time

# First: it pins the bindings' versions and initialises GStreamer.
from plumo.utils.gstreamer import Gst  # isort: skip
from plumo.demo import CLIP_PATH, ClipServer  # noqa: E402
from plumo.pipeline_factories.guards import DEFAULT_MAX_FRAME_PIXELS  # noqa: E402

BOUNDARY = "benchframe"

READER = """
import json, resource, sys
from plumo.pipeline_factories.http import HTTPPipelineFactory
from plumo.utils.gstreamer import Gst, sample_to_ndarray

factory = HTTPPipelineFactory(url=sys.argv[1], pipeline_watcher=lambda *_: True,
                              on_complete=lambda _: None)
factory.max_frame_pixels = json.loads(sys.argv[2])
pipeline = factory.build()
frames = 0
while (sample := pipeline.appsink.try_pull_sample(60 * Gst.SECOND)) is not None:
    sample_to_ndarray(sample)
    frames += 1
error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
pipeline.set_state(Gst.State.NULL)
pipeline.release_resources()
print(json.dumps({
    "frames": frames,
    "error": error.parse_error()[0].message if error is not None else None,
    "max_rss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
}))
"""


def claiming_jpeg(width: int, height: int) -> bytes:
    """A 16x16 JPEG whose frame header claims `width` x `height` pixels."""
    pipeline = Gst.parse_launch(
        "videotestsrc num-buffers=1 ! video/x-raw,width=16,height=16 ! jpegenc"
        " ! appsink name=out sync=false"
    )
    pipeline.set_state(Gst.State.PLAYING)
    sample = pipeline.get_by_name("out").try_pull_sample(10 * Gst.SECOND)
    pipeline.set_state(Gst.State.NULL)
    if sample is None:
        raise RuntimeError("Could not encode the JPEG")
    buffer = sample.get_buffer()
    jpeg = buffer.extract_dup(0, buffer.get_size())
    sof = jpeg.index(b"\xff\xc0")  # baseline frame header: marker, length, precision, height, width
    return jpeg[: sof + 5] + struct.pack(">HH", height, width) + jpeg[sof + 9 :]


def camera_stream(jpeg: bytes, frames: int) -> bytes:
    head = f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n\r\n"
    part = head.encode() + jpeg + b"\r\n"
    return part * frames + f"--{BOUNDARY}--\r\n".encode()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--frames", type=int, default=3, help="frames the camera sends")
    parser.add_argument("--size", default="16000x16000", help="the size the frames claim")
    args = parser.parse_args()
    width, height = (int(n) for n in args.size.split("x"))
    body = camera_stream(claiming_jpeg(width, height), args.frames)
    content_type = f"multipart/x-mixed-replace; boundary={BOUNDARY}"
    print(f"A camera of {args.frames} frames that claim {width}x{height} pixels "
          f"({len(body)} bytes in all)")  # fmt: skip
    with ClipServer(body, content_type=content_type) as server:
        url = server.url
        assert url.endswith(CLIP_PATH)
        for label, limit in (("no limit", None), ("limit 8192x8192", DEFAULT_MAX_FRAME_PIXELS)):
            start = time.monotonic()
            done = subprocess.run([sys.executable, "-c", READER, url, json.dumps(limit)],
                                  capture_output=True, text=True, timeout=600)  # fmt: skip
            elapsed = time.monotonic() - start
            if done.returncode != 0:
                print(f"{label:>16}: the reader failed:\n{done.stderr}")
                continue
            result = json.loads(done.stdout)
            print(f"{label:>16}: peak {result['max_rss_mib']:7.0f} MiB, {result['frames']} frames,"
                  f" {elapsed:5.1f} s; error: {result['error']}")  # fmt: skip


if __name__ == "__main__":
    main()
