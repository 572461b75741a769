"""Reads streams through the HTTP factory in a process of its own, with libsoup 2.4 or 3, and
prints as JSON what each came to: a frame, a build that refused to start, or the cause that
`FailureEvidence` gives when fed as a reader feeds it. Used by test_causes.py:

    python causes_runner.py 2|3 '[{"url": "http://...", "ca_file": null}, ...]'

souphttpsrc takes the libsoup already loaded in the process, else libsoup 3: loading libsoup 2.4
before anything runs souphttpsrc makes it use 2.4 for the life of the process (which is why this
runs in a process of its own).
"""

import ctypes
import json
import sys
import threading
import time

from plumo import sysboot
from plumo.errors import StreamSetupError
from plumo.pipeline_factories.http import HTTPPipelineFactory
from plumo.stream_reader.causes import FailureEvidence
from plumo.utils.gstreamer import Gst

TIMEOUT = 10.0


class EvidenceWatch:
    """A pipeline watcher that feeds `evidence` as a reader's own watcher does: every message
    after the pipeline's own first state change. `failed` is set at the first error."""

    def __init__(self, evidence: FailureEvidence):
        self.evidence = evidence
        self.started, self.failed = threading.Event(), threading.Event()

    def __call__(self, _bus, message, pipeline) -> bool:
        if message.type == Gst.MessageType.STATE_CHANGED and message.src is pipeline:
            self.started.set()
        elif self.started.is_set():
            self.evidence.note(message)
            if message.type == Gst.MessageType.ERROR:
                self.failed.set()
        return True


def use_libsoup(version: str) -> None:
    """Makes souphttpsrc use libsoup `version` ("2" or "3"), if called before it first runs."""
    if version == "2":
        ctypes.CDLL("libsoup-2.4.so.1", mode=ctypes.RTLD_GLOBAL)


def loaded_libsoup() -> list:
    with open("/proc/self/maps") as f:
        return sorted({line.rsplit("/", 1)[-1].strip() for line in f if "/libsoup-" in line})


def read(url: str, ca_file) -> dict:
    watch = EvidenceWatch(FailureEvidence(url, ca_file=ca_file))
    factory = HTTPPipelineFactory(url=url, pipeline_watcher=watch, on_complete=lambda p: None)
    factory.ca_file = ca_file
    try:
        pipeline = factory.build()
    except StreamSetupError as e:
        return {"refused": str(e)}
    try:
        deadline = time.monotonic() + TIMEOUT
        while not watch.failed.is_set() and time.monotonic() < deadline:
            if pipeline.appsink.try_pull_sample(Gst.SECOND // 10) is not None:
                return {"frames": 1}
        return {"cause": watch.evidence.cause(diagnose_within=5.0)}
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.release_resources()


if __name__ == "__main__":
    use_libsoup(sys.argv[1])
    sysboot.start()
    results = [read(case["url"], case.get("ca_file")) for case in json.loads(sys.argv[2])]
    print(json.dumps({"libsoup": loaded_libsoup(), "results": results}))
