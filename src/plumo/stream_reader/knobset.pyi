from typing import Mapping, Tuple, Union

def check_knobset(
    supplied: Mapping[str, object], supported: Mapping[str, Union[type, Tuple[type, ...]]]
) -> None: ...
