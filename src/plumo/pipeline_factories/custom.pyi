from typing import Optional

from plumo.pipeline_factories.base import _ON_COMPLETE_CALLBACK, _PIPELINE_WATCHER, PipelineFactory
from plumo.utils.gstreamer import Pipeline

class CustomPipelineFactory(PipelineFactory):
    def __init__(
        self,
        pipeline_str: str,
        *,
        url: Optional[str],
        pipeline_watcher: _PIPELINE_WATCHER,
        on_complete: _ON_COMPLETE_CALLBACK,
    ) -> None: ...
    def build(self) -> Pipeline: ...
