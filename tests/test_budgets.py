"""The decoded-size budget: input length x 32 + 4194304 cells for all the
columns, tables and sparse tables of a document."""

import pytest

from support import error, outcome
from vesk_build import uvarint

BASE = 4194304
PAD = 1 << 15
LEVELS = 24
LEVEL_SIZE = 5  # 0C, a three-byte count, the Tagged kind byte
CHAIN_DEPTH = 2 * LEVELS


def drained(target, spare, pad=PAD):
    """(document, offset of `target`) with exactly `spare` cells of budget left
    when `target` starts.

    The document opens with nested list columns of tagged cells, each cell 0
    opening the next and the innermost cell 0 being `target`, at depth
    CHAIN_DEPTH. Their counts are charged before any cell is read and their
    lists are never filled, so they drain the budget cheaply; `pad` unread
    bytes at the end make room for those counts and fix the input length."""
    at = 2 + LEVELS * LEVEL_SIZE
    total = 32 * (at + len(target) + pad) + BASE - spare
    counts = [total // LEVELS - 1] * LEVELS
    counts[0] += total - sum(n + 1 for n in counts)
    assert all(1 << 14 <= n <= 8 * pad for n in counts)
    data = b"\x0f\x01" + b"".join(b"\x0c" + uvarint(n) + b"\x00" for n in counts)
    assert len(data) == at
    return data + target + bytes(pad), at


def at_depth(depth, value):
    """`value` wrapped in arrays so that, as a drained target, it sits at `depth`."""
    return b"\x07\x01" * (depth - CHAIN_DEPTH) + value


TOO_LARGE = "decoded size too large"
LIST = bytes.fromhex("0C 03 06")
OBJECT = bytes.fromhex("0C 02 05 01 41 61 06")
TABLE = bytes.fromhex("09 02 41 61 41 62 03 04 05 06")
SPARSE_FLAG = bytes.fromhex("0D 01 41 61 03 02")
SPARSE = bytes.fromhex("0D 01 41 61 03 01 05 06")
SPARSE_DENSE = bytes.fromhex("0D 01 41 61 03 00 06")
DEEP_OBJECT = at_depth(511, bytes.fromhex("0C 02 05 01 41 61 04"))
DEEP_DENSE = at_depth(512, bytes.fromhex("0D 01 41 61 03 00 04"))
DEEP_SPARSE = at_depth(512, bytes.fromhex("0D 01 41 61 03 01 07 04"))


NAMES = {LIST: "list", OBJECT: "object", TABLE: "table", SPARSE_FLAG: "sparse-rows",
         SPARSE: "sparse-column", SPARSE_DENSE: "sparse-dense", DEEP_OBJECT: "deep-object",
         DEEP_DENSE: "deep-dense", DEEP_SPARSE: "deep-sparse"}


# (target, spare budget, message, offset in target, leak-checked). A charge
# that leaves exactly 0 is accepted: decoding then stops at the bad kind or
# flag byte planted after it.
@pytest.mark.parametrize("target, spare, message, offset, leak", ids=NAMES.get, argvalues=[
    # List column: the pre-check of n + 1 just after the count, then the
    # column's own charge of n + 1 at its kind byte.
    (LIST, 4, "bad column kind", 2, False),
    (LIST, 3, TOO_LARGE, 2, True),
    # An object column charges n + 1 for itself and n + 1 per sub-column.
    (OBJECT, 6, "bad column kind", 6, False),
    (OBJECT, 5, TOO_LARGE, 6, True),
    (OBJECT, 3, TOO_LARGE, 6, False),
    # A table pre-checks n + 1 after the row count; its k columns cost k x (n + 1).
    (TABLE, 8, "bad column kind", 9, False),
    (TABLE, 7, TOO_LARGE, 9, True),
    (TABLE, 4, TOO_LARGE, 9, False),
    (TABLE, 3, TOO_LARGE, 7, True),
    # A sparse table charges 2n after its row count, a sparse column p + 1
    # just past its bitmap, a dense column n + 1 at its kind byte.
    (SPARSE_FLAG, 6, "bad presence flag", 6, False),
    (SPARSE_FLAG, 5, TOO_LARGE, 5, True),
    (SPARSE, 9, "bad column kind", 7, False),
    (SPARSE, 8, TOO_LARGE, 7, True),
    (SPARSE, 6, TOO_LARGE, 7, False),
    (SPARSE, 5, TOO_LARGE, 5, False),
    (SPARSE_DENSE, 10, "bad column kind", 6, False),
    (SPARSE_DENSE, 9, TOO_LARGE, 6, True),
    # Too deep is found before the charge that could not be paid.
    (DEEP_OBJECT, 3, "nesting too deep", len(DEEP_OBJECT) - 1, True),
    (DEEP_DENSE, 6, "nesting too deep", len(DEEP_DENSE) - 1, True),
    (DEEP_SPARSE, 6, "nesting too deep", len(DEEP_SPARSE) - 1, False),
])
def test_budget_charges(target, spare, message, offset, leak):
    data, at = drained(target, spare)
    got = error(data) if leak else outcome(data)[1:]
    assert got == (message, at + offset)


@pytest.mark.parametrize("pad", [PAD + 1, PAD + 1000])
def test_budget_grows_by_32_cells_per_input_byte(pad):
    for spare, message in [(4, "bad column kind"), (3, TOO_LARGE)]:
        data, at = drained(LIST, spare, pad)
        assert outcome(data) == ("err", message, at + 2)
