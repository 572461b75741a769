class Timeout:
    start: float
    time_seconds: float
    raise_error: bool
    print_timeout: bool
    def __init__(
        self, time_seconds: float, raise_error: bool = True, print_timeout: bool = False
    ) -> None: ...
    def reset(self) -> None: ...
    # Raises TimeoutError, rather than returning False, once expired with raise_error set.
    def __bool__(self) -> bool: ...
