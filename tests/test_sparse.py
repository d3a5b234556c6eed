"""Sparse tables (tag 0D): columns that may cover only the rows a bitmap names."""

import pytest

import vesk
import vesk_build as vb
from support import decode, doc_hex, error

EXAMPLE = "0F 01 0D 02 42 69 64 41 78 03 00 01 02 02 02 01 05 04 01"


def test_dense_and_sparse_columns():
    rows = decode(doc_hex(EXAMPLE))
    assert rows == [{"id": 1, "x": True}, {"id": 2}, {"id": 3, "x": False}]
    assert "x" not in rows[1]


def test_rows_hold_their_keys_in_key_list_order():
    rows = decode(vb.doc(vb.sparse(["a", "b"], 2, vb.sparse_col([1], vb.col_delta(5)),
                                   vb.dense(vb.col_bitmap(True, False)))))
    assert rows == [{"b": True}, {"a": 5, "b": False}]
    assert [list(r) for r in rows] == [["b"], ["a", "b"]]


def test_delta_accumulates_over_present_rows_only():
    rows = decode(vb.doc(vb.sparse(["v"], 4, vb.sparse_col([1, 3], vb.col_delta_raw(5, 2), n=4))))
    assert rows == [{}, {"v": 5}, {}, {"v": 7}]


PAYLOADS = [
    (vb.col_tagged(vb.string("s"), vb.none()), ["s", None]),
    (vb.col_delta_raw(-3, 10), [-3, 7]),
    (vb.col_decimal(2, 150, -5), [1.5, -0.05]),
    (vb.col_dictionary(["p", "q"], [1, 1]), ["q", "q"]),
    (vb.col_bitmap(False, True), [False, True]),
    (vb.col_object([("m", vb.col_delta(1, 2)), ("n", vb.col_bitmap(True, False))]),
     [{"m": 1, "n": True}, {"m": 2, "n": False}]),
]
KINDS = ["tagged", "delta", "decimal", "dictionary", "bitmap", "object"]


@pytest.mark.parametrize("payload, cells", PAYLOADS, ids=KINDS)
def test_sparse_column_of_each_kind(payload, cells):
    rows = decode(vb.doc(vb.sparse(["k", "z"], 4, vb.sparse_col([0, 2], payload, n=4),
                                   vb.dense(vb.col_bitmap(*[True] * 4)))))
    assert rows == [{"k": cells[0], "z": True}, {"z": True}, {"k": cells[1], "z": True}, {"z": True}]
    if isinstance(cells[0], dict):
        assert [list(r["k"]) for r in (rows[0], rows[2])] == [["m", "n"]] * 2


@pytest.mark.parametrize("payload, cells", PAYLOADS, ids=KINDS)
def test_every_bit_set_reads_as_a_dense_column(payload, cells):
    as_sparse = decode(vb.doc(vb.sparse(["k"], 2, vb.sparse_col([True, True], payload))))
    as_dense = decode(vb.doc(vb.sparse(["k"], 2, vb.dense(payload))))
    assert as_sparse == as_dense == [{"k": c} for c in cells]


@pytest.mark.parametrize("value, expected", [
    # No rows: every key still has its flag and column, payloads included.
    (vb.sparse(["a", "b"], 0, vb.sparse_col(b"", vb.col_decimal(6)),
               vb.dense(vb.col_dictionary(["e"], []))), []),
    (vb.sparse(["a"], 0, vb.sparse_col(b"", vb.col_object([("o", vb.col_bitmap())]))), []),
    # No bit set: no row gets the key.
    (vb.sparse(["a"], 3, vb.sparse_col(b"\x00", vb.col_tagged())), [{}, {}, {}]),
    # Sixteen rows: every bit of the two bytes names a row.
    (vb.sparse(["a"], 16, vb.sparse_col(b"\xff\xff", vb.col_bitmap(*[True] * 16))), [{"a": True}] * 16),
])
def test_sparse_table_shapes(value, expected):
    assert decode(vb.doc(value)) == expected


@pytest.mark.parametrize("value_hex, message, offset", [
    # The example with bit 3 of its bitmap set, or a flag of 02.
    ("0D 02 42 69 64 41 78 03 00 01 02 02 02 01 0D 04 01", "bad presence bitmap", 17),
    ("0D 02 42 69 64 41 78 03 00 01 02 02 02 02 05 04 01", "bad presence flag", 16),
    ("0D 01 41 61 00 FF", "bad presence flag", 8),
    # Ten rows: bits 2..7 of the second byte lie past the last row.
    ("0D 01 41 61 0A 01 FF 04 04", "bad presence bitmap", 10),
    ("0D 01 41 61 0A 01 00 80 04", "bad presence bitmap", 10),
    ("0D 00", "empty table header", 4),
    ("0D 02 41 61 41 61", "duplicate column 'a'", 8),
    # One byte left after the row count allows eight rows, not nine.
    ("0D 01 41 61 09 00", "truncated input", 7),
    ("0D 01 41 61 08 00", "truncated input", 8),
    ("0D 01 41 61 00", "truncated input", 7),
    ("0D 01 41 61 09 01 00", "truncated input", 8),
    ("0D 01 41 61 03 01 05", "truncated input", 9),
    ("0D 01 41 61 03 01 05 06", "bad column kind", 9),
    ("0D 01 41 61 00 01 02 07", "bad decimal scale", 9),
    ("0D 01 41 61 03 01 05 03 01 41 62 00 01", "bad dictionary index", 15),
    ("0D 01 41 61 03 01 05 05 00", "empty object column", 11),
    ("0D 01 41 61 03 01 05 05 02 41 62 41 62", "duplicate key 'b'", 15),
    ("0D 01 41 61 03 01 05 04", "truncated input", 10),
    ("0D 01 41 61 03 01 05 05 01 41 62 04", "truncated input", 14),
    ("0D 02 41 61 41 62 01 00 04 01", "truncated input", 12),
])
def test_sparse_failures(value_hex, message, offset):
    assert error(doc_hex("0F 01" + value_hex)) == (message, offset)


@pytest.mark.parametrize("entry, kind_at", [
    (vb.dense(vb.col_bitmap(True)), 1),
    (vb.sparse_col([True], vb.col_bitmap(True)), 2),
    (vb.sparse_col([False], vb.col_bitmap()), 2),
])
def test_sparse_table_at_depth_512_fails_at_its_first_kind_byte(entry, kind_at):
    value = vb.sparse(["a"], 1, entry)
    data = vb.doc(b"\x07\x01" * 512 + value)
    head = len(data) - len(entry)
    assert error(data) == ("nesting too deep", head + kind_at)
    # One level up, the same table decodes.
    got = decode(vb.doc(b"\x07\x01" * 511 + value))
    for _ in range(511):
        (got,) = got
    assert got in ([{"a": True}], [{}])


@pytest.mark.parametrize("rows", [
    # many sets of keys: more than rows of one set are made alike
    [{"id": i, **{f"k{j}": j for j in range(8) if i >> j & 1}} for i in range(300)],
    # more keys than a set of them is kept for
    [{f"k{j}": i for j in range(70) if j != i % 70} for i in range(140)],
])
def test_rows_of_many_kinds_come_back_whole_and_in_order(rows):
    data = vesk.dumps(rows)
    assert data[2] == 0x0D
    got = decode(data)
    assert got == rows and [list(r) for r in got] == [list(r) for r in rows]
