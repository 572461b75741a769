"""A factory for every stream plumo reads by URL or path: HTTP(S), RTSP cameras and files, each
source started with its pipeline."""

import os
from typing import Optional

# First: it pins the bindings' versions before anything here imports from gi.repository.
from plumo.utils.gstreamer import Gst, Pipeline  # isort: skip

from plumo.errors import StreamSetupError  # noqa: E402
from plumo.pipeline_factories.base import (  # noqa: E402
    _APPSINK_PROPERTIES,
    _ON_COMPLETE_CALLBACK,
    _PIPELINE_WATCHER,
    BUFFER_SRC_NAME,
    PipelineFactory,
)
from plumo.pipeline_factories.sources import (  # noqa: E402
    Source,
    find_source,
    make_rtsp_source,
    missing_scheme_hint,
    on_rtsp_pad_added,
    select_video_streams,
)
from plumo.utils.urls import redact_url  # noqa: E402


class URLPipelineFactory(PipelineFactory):
    """Creates a pipeline for an RTSP URL (`rtsp://`, `rtsps://`), a file's path or a `file://`
    URL; and for HTTP URLs as `HTTPPipelineFactory` does, except that the source is not started
    before the pipeline. The source comes from the table in `plumo.pipeline_factories.sources`;
    decoding and the appsink are the base class's."""

    def __init__(
        self,
        *,
        url,
        pipeline_watcher: _PIPELINE_WATCHER,
        on_complete: _ON_COMPLETE_CALLBACK,
        max_framerate: Optional[float] = None,
    ):
        """
        :param url: The URL, or a file's path (str or path-like)
        :param pipeline_watcher: Function to connect to the pipeline's bus
        :param on_complete: Called when the source is decoded into the appsink
        :param max_framerate: The most frames per second to deliver, or None for every frame
        :raises ValueError: The URL's scheme is not one plumo reads
        """
        self._source: Source = find_source(url)
        shown = url if isinstance(url, str) else self._source.location
        super().__init__(url=shown, max_framerate=max_framerate, on_complete=on_complete)
        self._pipeline_watcher = pipeline_watcher

    @property
    def source(self) -> Source:
        """Where the pipelines read from."""
        return self._source

    def build(self) -> Pipeline:
        """Builds a pipeline for the source and asks it to play.

        :raises StreamSetupError: The file does not exist or cannot be read, or the source does
            not link to the decoder
        """
        source = self._source
        if source.is_file:
            _check_readable(source.location, self._url or source.location)
        pipeline = Pipeline(redact_url(self._url or ""))
        try:
            pipeline.add_bus_watch(self._pipeline_watcher, pipeline)
            pipeline.appsink = pipeline.new_element("appsink", properties=_APPSINK_PROPERTIES)
            if source.element == "rtspsrc":
                element = self._add_rtsp_source(pipeline)
            else:
                element = pipeline.new_element(
                    source.element,
                    properties={"location": source.location},
                    name=BUFFER_SRC_NAME,
                    auto_play=False,
                )
            self._set_up_decoder(element, element.get_static_pad("src"), pipeline)
            pipeline.set_state(Gst.State.PLAYING)
        except BaseException:
            pipeline.set_state(Gst.State.NULL)
            pipeline.release_resources()
            raise
        return pipeline

    def _add_rtsp_source(self, pipeline: Pipeline) -> Gst.Element:
        container, rtspsrc = make_rtsp_source(
            BUFFER_SRC_NAME, self._source.location, self._source_settings, self._ca
        )
        pipeline.add(container)
        pipeline.connect_signal_handler(rtspsrc, "select-stream", select_video_streams)
        pipeline.connect_signal_handler(rtspsrc, "pad-added", on_rtsp_pad_added, container)
        return container


def _check_readable(path: str, given: str) -> None:
    if not os.path.exists(path):
        raise StreamSetupError(f"No such file: '{path}'{missing_scheme_hint(given)}")
    if os.path.isdir(path):
        raise StreamSetupError(f"'{path}' is a folder, not a video file")
    if not os.access(path, os.R_OK):
        raise StreamSetupError(f"'{path}' cannot be read (permission denied)")

