"""Recordings and other finite streams read into a Ray Dataset, one read task per source (or per
group of sources), each task running a `StreamReader` on a Ray worker."""

import functools
from typing import TYPE_CHECKING, Any, Iterable, Iterator, List, Mapping, Optional

import numpy as np
import pyarrow as pa
import ray.data
from ray.data.block import BlockMetadata
from ray.data.datasource import Datasource, ReadTask
from ray.data.extensions import ArrowTensorArray

from plumo.errors import StreamReadError
from plumo.ray.sources import Source, check_count, check_sources, split_evenly
from plumo.utils.urls import redact_url

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from plumo.stream_reader.options import ReaderOptions

BLOCK_BYTES = 32 * 1024 * 1024
"""About how many bytes of frames a block holds (at least one frame)."""


class StreamDatasource(Datasource):
    """A Ray Data datasource of the frames of streams: one row per frame, with the columns

    - `source` (string): the source as given (a path made a str),
    - `index` (int64): the frame's index in its stream, 0 for the first,
    - `pts` (float64, null where the stream gives no timestamp): its presentation time in seconds,
    - `image` (a tensor column): the frame, `(height, width, 3)` or `(height, width)` uint8.

    Each read task reads its sources one after the other, each with a `StreamReader` given the
    options, to the end of the stream. Blocks hold up to about `BLOCK_BYTES` of frames of one
    source and one size; the frames are copied once, into the block's own array, which pyarrow
    then wraps as it is.
    """

    def __init__(self, sources: Iterable[Source], **options: "Unpack[ReaderOptions]"):
        """
        :raises ValueError: No sources, or a source plumo does not read
        :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
        """
        self.sources = check_sources(sources, options, "read_streams")
        self.options = options

    def get_name(self) -> str:
        return "PlumoStreams"

    def estimate_inmemory_data_size(self) -> Optional[int]:
        return None  # not known before the streams are read

    def get_read_tasks(
        self, parallelism: int, per_task_row_limit: Optional[int] = None, data_context=None
    ) -> List[ReadTask]:
        tasks = []
        for group in split_evenly(self.sources, parallelism):
            metadata = BlockMetadata(
                num_rows=None, size_bytes=None, input_files=None, exec_stats=None
            )
            read = functools.partial(_read_sources, group, self.options)
            tasks.append(ReadTask(read, metadata, per_task_row_limit=per_task_row_limit))
        return tasks


def read_streams(sources: Iterable[Source], *, parallelism: Optional[int] = None,
                 **options: "Unpack[ReaderOptions]") -> "ray.data.Dataset":  # fmt: skip
    """The frames of `sources` (recordings: files, clips over HTTP, finite streams) as a Ray
    Dataset, read by Ray workers; see `StreamDatasource` for its columns::

        ds = plumo.ray.read_streams(["/data/a.mp4", "/data/b.mp4"], max_framerate=1)
        ds.map_batches(detect, batch_size=16)

    The sources and options are checked here, before anything runs. The read is lazy, as
    Ray Data's are: the streams are read as the dataset is consumed. A stream that fails raises
    in its read task, with the source named; Ray does not retry a task for an error of its own
    (only for a worker lost), so the dataset's execution fails with it when consumed (unless
    `DataContext.max_errored_blocks` lets it drop that task's blocks). On a cluster, a path must
    name a file on every node that may run the task.

    :param sources: URLs or paths, as `StreamReader` takes them; one given twice is read once
    :param parallelism: The most read tasks: one per source by default; with fewer tasks than
        sources, each task reads a group of them in turn
    :param options: `StreamReader`'s options, for every stream
    :raises ValueError: No sources, a source plumo does not read, or a parallelism below 1
    :raises InvalidRuntimeOptionError: An option is unknown, of the wrong type or out of range
    """
    if parallelism is not None:
        check_count("parallelism", parallelism)
    datasource = StreamDatasource(sources, **options)
    tasks = min(parallelism or len(datasource.sources), len(datasource.sources))
    return ray.data.read_datasource(datasource, override_num_blocks=tasks)


def _read_sources(sources: List[str], options: Mapping[str, Any]) -> Iterator[pa.Table]:
    """A read task: the blocks of each source in turn."""
    from plumo.stream_reader.reader import StreamReader

    for source in sources:
        shown = redact_url(source)
        try:
            with StreamReader(source, **options) as reader:
                yield from _blocks(source, reader)
        except Exception as e:
            if shown in str(e):
                raise
            raise StreamReadError(f"Error reading '{shown}': {e}") from e


def _blocks(source: str, reader) -> Iterator[pa.Table]:
    """The reader's frames in blocks of about `BLOCK_BYTES` each, a new block whenever the frames'
    shape changes."""
    images: Optional[np.ndarray] = None
    indexes: List[int] = []
    pts: List[Optional[float]] = []
    while True:
        frame = reader.read_frame()
        if frame is None or (images is not None and (
                frame.image.shape != images.shape[1:] or len(indexes) == len(images))):  # fmt: skip
            if indexes:
                assert images is not None  # indexes are only kept with the frames' array
                yield _table(source, images[: len(indexes)], indexes, pts)
            if frame is None:
                return
            images, indexes, pts = None, [], []
        if images is None:
            rows = max(1, BLOCK_BYTES // max(1, frame.image.nbytes))
            images = np.empty((rows, *frame.image.shape), dtype=frame.image.dtype)
        images[len(indexes)] = frame.image
        indexes.append(frame.index)
        pts.append(frame.pts)


def _table(source: str, images: np.ndarray, indexes: List[int], pts: List[Optional[float]]
           ) -> pa.Table:  # fmt: skip
    """A block: the images, a contiguous slice of the block's array, are wrapped, not copied."""
    return pa.Table.from_arrays(
        [
            pa.array([source] * len(indexes), type=pa.string()),
            pa.array(indexes, type=pa.int64()),
            pa.array(pts, type=pa.float64()),
            ArrowTensorArray.from_numpy(images),
        ],
        names=["source", "index", "pts", "image"],
    )
