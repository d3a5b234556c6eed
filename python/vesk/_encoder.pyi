from typing import Any, Callable, Optional

def dumps(
    obj: Any,
    /,
    *,
    columnar: bool = True,
    anchors: bool = False,
    default: Optional[Callable[[Any], Any]] = None,
) -> bytes:
    """Encodes obj (None, bool, int, float, str, list, tuple, dict with str keys)
    as a VESK binary document."""
