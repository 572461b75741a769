"""Reads streams through the HTTP factory in a process of its own, with libsoup 2.4 or 3, and
prints as JSON what each came to: a frame, a build that refused to start, or the cause that
`FailureEvidence` gives when fed as a reader feeds it. Used by test_causes.py:

    python causes_runner.py 2|3 '[{"url": "http://...", "ca_file": null}, ...]'

souphttpsrc takes the libsoup already loaded in the process, else libsoup 3: loading libsoup 2.4
first, before anything runs souphttpsrc, makes it use 2.4 for the life of the process (which is
why this runs in a process of its own).
"""

import ctypes
import json
import sys
import threading
import time

if sys.argv[1] == "2":
    ctypes.CDLL("libsoup-2.4.so.1", mode=ctypes.RTLD_GLOBAL)

from plumo import sysboot  # noqa: E402
from plumo.errors import StreamSetupError  # noqa: E402
from plumo.pipeline_factories.http import HTTPPipelineFactory  # noqa: E402
from plumo.stream_reader.causes import FailureEvidence  # noqa: E402
from plumo.utils.gstreamer import Gst  # noqa: E402

TIMEOUT = 10.0


def read(url: str, ca_file) -> dict:
    evidence = FailureEvidence(url, ca_file=ca_file)
    started, failed = threading.Event(), threading.Event()

    def watch(_bus, message, pipeline):
        if message.type == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
            started.set()
        elif started.is_set():
            evidence.note(message)
            if message.type == Gst.MessageType.ERROR:
                failed.set()
        return True

    factory = HTTPPipelineFactory(url=url, pipeline_watcher=watch, on_complete=lambda p: None)
    factory.ca_file = ca_file
    try:
        pipeline = factory.build()
    except StreamSetupError as e:
        return {"refused": str(e)}
    try:
        deadline = time.monotonic() + TIMEOUT
        while not failed.is_set() and time.monotonic() < deadline:
            if pipeline.appsink.try_pull_sample(Gst.SECOND // 10) is not None:
                return {"frames": 1}
        return {"cause": evidence.cause(diagnose_within=5.0)}
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()


def loaded_libsoup() -> list:
    with open("/proc/self/maps") as f:
        return sorted({line.rsplit("/", 1)[-1].strip() for line in f if "/libsoup-" in line})


if __name__ == "__main__":
    sysboot.start()
    results = [read(case["url"], case.get("ca_file")) for case in json.loads(sys.argv[2])]
    print(json.dumps({"libsoup": loaded_libsoup(), "results": results}))
