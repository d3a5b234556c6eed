"""Decoding under limits tighter than the format's own."""

from __future__ import annotations

import copyreg

from vesk_native import _Decoder

TYPE_CHECKING = False  # typing left unimported, as in the package's __init__
if TYPE_CHECKING:
    from typing import Any, Optional

# The deepest nesting the format allows; the top-level value has depth 0.
MAX_DEPTH = 512


def _cap(name, value):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int or None, not %s" % (name, type(value).__name__))
    if value < 0:
        raise ValueError("%s must not be negative, got %d" % (name, value))
    return value


def _depth(value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("max_depth must be an int, not %s" % type(value).__name__)
    if not 0 <= value <= MAX_DEPTH:
        raise ValueError("max_depth must be between 0 and %d, got %d" % (MAX_DEPTH, value))
    return value


class Decoder(_Decoder):
    """Decodes documents as ``loads`` does, with tighter bounds on the work one may cause.

    ``max_cells`` caps the cells that columns, tables and sparse tables may
    create (the decoded-size budget), ``max_copy_cells`` the cells that anchor
    references may copy (the reference-expansion budget), and ``max_depth`` the
    nesting depth (at most 512). ``None`` keeps the format's own budget. A
    document that exceeds a cap fails with the ``VeskError`` that the format
    raises for that budget or limit, at the same offset.

    A decoder keeps the short keys it has decoded and hands the same ``str``
    objects out again in later documents, which spares a stream of small
    documents most of their cost; reuse one for documents of one kind.
    """

    __slots__ = ("_max_cells", "_max_copy_cells", "_max_depth")

    def __init__(self, *, max_cells: Optional[int] = None, max_copy_cells: Optional[int] = None,
                 max_depth: int = MAX_DEPTH) -> None:
        self._max_cells = _cap("max_cells", max_cells)
        self._max_copy_cells = _cap("max_copy_cells", max_copy_cells)
        self._max_depth = _depth(max_depth)
        self._limit(self._max_cells, self._max_copy_cells, self._max_depth)

    @property
    def max_cells(self) -> Optional[int]:
        return self._max_cells

    @property
    def max_copy_cells(self) -> Optional[int]:
        return self._max_copy_cells

    @property
    def max_depth(self) -> int:
        return self._max_depth

    if TYPE_CHECKING:
        def decode(self, data: Any) -> Any:
            """Decodes one document from ``data`` (``bytes`` or anything ``bytes()`` accepts)."""

    def __getstate__(self) -> Any:
        slots = {n: getattr(self, n) for n in copyreg._slotnames(type(self)) if hasattr(self, n)}
        return getattr(self, "__dict__", None), slots

    def __setstate__(self, state: Any) -> None:
        attrs, slots = state
        for name, value in [*(attrs or {}).items(), *slots.items()]:
            setattr(self, name, value)
        # The limits live in the C part too, which a copy starts without.
        self._limit(self._max_cells, self._max_copy_cells, self._max_depth)

    def __repr__(self) -> str:
        return "Decoder(max_cells=%r, max_copy_cells=%r, max_depth=%r)" % (
            self._max_cells, self._max_copy_cells, self._max_depth)
