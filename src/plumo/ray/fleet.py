"""Live cameras on Ray actors: each actor reads a group of cameras and runs a function on every
frame where it was decoded, so that only the function's results cross the network."""

import collections
import math
import os
import threading
import uuid
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, Optional,
                    Tuple)  # fmt: skip

import ray

from plumo.logger import logger
from plumo.ray.sources import Source, check_count, check_sources, split_evenly
from plumo.utils.urls import redact_text, redact_url

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from plumo.stream_reader.options import ReaderOptions

# How long a poll waits in the actor for a result before it answers with none.
_POLL_WAIT = 0.5
# How many of an actor's failures of `fn` a poll describes (the others are counted).
_FAILURES_DESCRIBED = 5
# How long closing lets the actors stop their streams before they are killed.
_STOP_WAIT = 5.0


class _CameraWorker:
    """The actor: a `StreamGroup` iterated on a thread of its own, `fn` called on each frame, the
    results held (the newest `max_buffered`) until the fleet polls them.

    Ray runs the constructor again when it restarts the actor, which opens the group anew."""

    def __init__(self, sources: List[str], fn: Callable, options: dict, max_buffered: int):
        from plumo.stream_reader.group import StreamGroup

        self._fn = fn
        self._max_buffered = max_buffered
        self._changed = threading.Condition()
        self._results: collections.deque = collections.deque()
        self._dropped = 0
        self._fn_failures: Dict[str, int] = collections.Counter()
        self._failures_told: List[Tuple[str, str]] = []  # not yet polled
        self._failures_untold = 0
        self._errors: Dict[str, BaseException] = {}
        self._done = False
        # Tells the fleet that a poll was answered by a new actor (a restart).
        self._instance = uuid.uuid4().hex
        self._group = StreamGroup(sources, **options)
        self._thread = threading.Thread(target=self._run, name="plumo-camera-fleet", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        group = self._group
        try:
            with group:
                for source, frame in group:
                    try:
                        result = self._fn(source, frame)
                    except Exception as e:  # noqa: BLE001 - counted and told; the camera goes on
                        self._failed(os.fspath(source), e)
                        continue
                    with self._changed:
                        if len(self._results) >= self._max_buffered:
                            self._results.popleft()
                            self._dropped += 1
                        self._results.append((source, result))
                        self._changed.notify()
        except Exception as e:  # noqa: BLE001 - the group itself failed: every camera with it
            for source in group.sources:
                group.errors.setdefault(source, e)
        finally:
            with self._changed:
                self._errors = {
                    os.fspath(source): _sendable(error) for source, error in group.errors.items()
                }
                self._done = True
                self._changed.notify_all()

    def _failed(self, source: str, error: Exception) -> None:
        message = redact_text(f"{type(error).__name__}: {error}", source)
        with self._changed:
            self._fn_failures[source] += 1
            if len(self._failures_told) < _FAILURES_DESCRIBED:
                self._failures_told.append((source, message))
            else:
                self._failures_untold += 1

    def poll(self, max_results: int, wait: float) -> Dict[str, Any]:
        """At most `max_results` of the oldest results held, waiting up to `wait` seconds for
        one when there is none, with the actor's counts."""
        with self._changed:
            if not self._results and not self._done:
                self._changed.wait(wait)
            results = [self._results.popleft() for _ in range(min(max_results, len(self._results)))]
            told, self._failures_told = self._failures_told, []
            untold, self._failures_untold = self._failures_untold, 0
            return {
                "instance": self._instance,
                "results": results,
                "dropped": self._dropped,
                "fn_failures": dict(self._fn_failures),
                "failures": told,
                "failures_untold": untold,
                "errors": dict(self._errors),
                "done": self._done and not self._results,
            }

    def stop(self) -> None:
        """Closes the group and waits for its thread."""
        self._group.close()
        self._thread.join(_STOP_WAIT)


def _sendable(error: BaseException) -> BaseException:
    """`error`, or a RuntimeError with its message where it would not pickle."""
    import pickle

    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:  # noqa: BLE001 - anything that stops it crossing to the caller
        return RuntimeError(f"{type(error).__name__}: {error}")


class _ActorState:
    """What the fleet knows of one actor."""

    def __init__(self, handle, sources: List[str]):
        self.handle = handle
        self.sources = sources
        self.instance: Optional[str] = None
        self.restarts = 0
        # The counts of the actor's earlier lives (each restart starts from zero).
        self.dropped_before = 0
        self.dropped = 0
        self.fn_failures_before: Dict[str, int] = collections.Counter()
        self.fn_failures: Dict[str, int] = {}
        self.done = False


class CameraFleet:
    """Reads live cameras on Ray actors, a group of cameras per actor, and hands out what `fn`
    made of each frame::

        def count_people(source, frame):      # runs in the actor, next to the decoder
            return detector(frame.image).count("person")

        with CameraFleet(urls, count_people, cameras_per_actor=4, max_framerate=2,
                         reconnect=True) as fleet:
            for source, people in fleet:
                ...

    Each actor runs a `StreamGroup` of its cameras (the options are `StreamReader`'s) on a thread
    and calls `fn(source, frame)` on every frame as it arrives; the results are picked up by the
    caller, who polls each actor for a bounded batch at a time while iterating. An actor holds
    at most `max_buffered` results: when the caller falls behind, the oldest are dropped and
    counted (`dropped`). An `fn` that raises is logged here, with the camera (credentials
    masked), and counted (`fn_failures`); the camera and the fleet go on.

    The actors are created with `max_restarts=-1` and `max_task_retries=-1`: an actor that dies
    (its process killed, its node lost) is restarted by Ray, its constructor opens its cameras
    again, and the poll in flight is answered by the new actor. Results the dead actor held and
    the caller had not polled yet are lost. A camera that fails (or ends) leaves its group, its
    error in `errors`; with `reconnect=True` a dropped camera is connected again instead. The
    iteration ends when every actor's cameras have ended or failed, or when the fleet is closed
    (from any thread); `close()` (or leaving the `with` block) stops and kills the actors.
    """

    def __init__(
        self,
        sources: Iterable[Source],
        fn: Callable[[str, Any], Any],
        *,
        cameras_per_actor: int = 4,
        max_buffered: int = 1000,
        poll_batch: int = 256,
        actor_options: Optional[Dict[str, Any]] = None,
        **options: "Unpack[ReaderOptions]",
    ):
        """
        :param sources: The cameras' URLs (or any stream `StreamReader` reads); one given twice
            is read once
        :param fn: Called as `fn(source, frame)` in the actors on every frame (a
            `plumo.stream_reader.Frame`); what it returns is handed out. It and its results
            must pickle
        :param cameras_per_actor: The most cameras an actor reads
        :param max_buffered: The most results an actor holds for the caller
        :param poll_batch: The most results one poll brings back from an actor
        :param actor_options: More options for the actors, as `ray.remote` takes them (such as
            `num_cpus`, or `resources` to place them)
        :param options: `StreamReader`'s options, for every camera
        :raises TypeError: `fn` is not callable
        :raises ValueError: No sources, a source plumo does not read, or a count below 1
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        """
        if not callable(fn):
            raise TypeError(f"fn must be callable, not {type(fn).__name__}")
        for name, value in (("cameras_per_actor", cameras_per_actor),
                            ("max_buffered", max_buffered), ("poll_batch", poll_batch)):  # fmt: skip
            check_count(name, value)
        self.sources = check_sources(sources, options, "CameraFleet")
        self._poll_batch = poll_batch
        self._closed = False
        self._lock = threading.Lock()
        groups = split_evenly(self.sources, math.ceil(len(self.sources) / cameras_per_actor))
        remote = ray.remote(_CameraWorker).options(
            # Two threads: a close is not held up behind a poll that waits.
            **{"max_restarts": -1, "max_task_retries": -1, "max_concurrency": 2,
               **(actor_options or {})},
        )  # fmt: skip
        self._actors = [
            _ActorState(remote.remote(group, fn, options, max_buffered), group) for group in groups
        ]
        self.errors: Dict[str, BaseException] = {}
        """The error each camera that failed left its group with, by source."""

    @property
    def actors(self) -> List[Any]:
        """The actors' handles, in the order of `groups`."""
        return [actor.handle for actor in self._actors]

    @property
    def groups(self) -> List[List[str]]:
        """The cameras of each actor."""
        return [list(actor.sources) for actor in self._actors]

    @property
    def dropped(self) -> int:
        """How many results the actors dropped, the oldest first, as the caller fell behind (as
        far as the polls have told)."""
        return sum(actor.dropped_before + actor.dropped for actor in self._actors)

    @property
    def fn_failures(self) -> Dict[str, int]:
        """How many times `fn` raised, by camera (as far as the polls have told)."""
        total: Dict[str, int] = collections.Counter()
        for actor in self._actors:
            total.update(actor.fn_failures_before)
            total.update(actor.fn_failures)
        return dict(total)

    @property
    def restarts(self) -> int:
        """How many times the polls found an actor restarted by Ray."""
        return sum(actor.restarts for actor in self._actors)

    def __iter__(self) -> Iterator[Tuple[str, Any]]:
        """`(source, result)` pairs as the polls bring them, until every actor's cameras have
        ended or failed, or the fleet is closed. Iterate from one thread."""
        pending: Dict[Any, _ActorState] = {}
        for actor in self._actors:
            if not actor.done:
                pending[self._poll(actor)] = actor
        while pending and not self._closed:
            ready, _ = ray.wait(list(pending), num_returns=1, timeout=_POLL_WAIT)
            for ref in ready:
                actor = pending.pop(ref)
                try:
                    reply = ray.get(ref)
                except ray.exceptions.RayActorError:
                    if self._closed:
                        return
                    raise
                self._heard(actor, reply)
                if reply["done"]:
                    actor.done = True
                elif not self._closed:
                    pending[self._poll(actor)] = actor
                yield from reply["results"]

    def _poll(self, actor: _ActorState):
        return actor.handle.poll.remote(self._poll_batch, _POLL_WAIT)

    def _heard(self, actor: _ActorState, reply: Dict[str, Any]) -> None:
        if actor.instance is not None and reply["instance"] != actor.instance:
            actor.restarts += 1
            actor.dropped_before += actor.dropped
            actor.fn_failures_before.update(actor.fn_failures)
            logger.warning(f"A fleet actor was restarted; its cameras "
                           f"{', '.join(map(repr, map(redact_url, actor.sources)))} started again")  # fmt: skip
        actor.instance = reply["instance"]
        actor.dropped = reply["dropped"]
        actor.fn_failures = reply["fn_failures"]
        for source, message in reply["failures"]:
            logger.warning(f"fn raised on a frame of '{redact_url(source)}': {message}")
        if reply["failures_untold"]:
            logger.warning(f"fn raised on {reply['failures_untold']} more frames of the cameras "
                           f"of a fleet actor")  # fmt: skip
        for source, error in reply["errors"].items():
            if source not in self.errors:
                self.errors[source] = error
                logger.warning(f"'{redact_url(source)}' left the fleet: {error}")

    def close(self) -> None:
        """Ends the iteration (from any thread), stops the cameras and kills the actors. Closing
        again does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
        stopping = []
        for actor in self._actors:
            try:
                stopping.append(actor.handle.stop.remote())
            except Exception:  # noqa: BLE001 - a dead actor is killed all the same
                pass
        if stopping:
            ray.wait(stopping, num_returns=len(stopping), timeout=_STOP_WAIT)
        for actor in self._actors:
            try:
                ray.kill(actor.handle, no_restart=True)
            except Exception:  # noqa: BLE001 - gone already
                pass

    def __enter__(self) -> "CameraFleet":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return (f"<CameraFleet {len(self.sources)} cameras on {len(self._actors)} actors {state}, "
                f"{len(self.errors)} failed>")  # fmt: skip
