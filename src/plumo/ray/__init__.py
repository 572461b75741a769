"""Reading streams on a Ray cluster: `read_streams` turns recordings into a Ray Dataset of frames,
`CameraFleet` runs live cameras on Ray actors and brings back what a function made of each frame.

Ray is an optional dependency: `pip install 'plumo[ray]'` (or `scripts/setup.sh`, which installs
the versions plumo is tested with).
"""

try:
    import ray  # noqa: F401
    import ray.data  # noqa: F401
except ImportError as e:  # pragma: no cover - depends on what is installed
    raise ImportError(
        f"plumo.ray needs Ray with Ray Data ({e}): install the extra with "
        "pip install 'plumo[ray]'"
    ) from e

from plumo.ray.datasource import StreamDatasource, read_streams  # noqa: E402
from plumo.ray.fleet import CameraFleet  # noqa: E402

__all__ = ["read_streams", "StreamDatasource", "CameraFleet"]
