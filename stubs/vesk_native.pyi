from typing import Any, Iterable

__all__ = ["loads_binary", "VeskError"]

class VeskError(ValueError):
    """Invalid VESK input."""

    message: str
    offset: int

def loads_binary(data: bytes | bytearray | memoryview | Iterable[int]) -> Any:
    """Decodes VESK binary into dict/list/str/int/float/bool/None."""
