"""Tables (tag 09): a header of column names, a row count, one column per name."""

import gc
import sys

import pytest
from hypothesis import given, settings, strategies as st

import vesk_build as vb
from support import decode, doc_hex, error, loads_binary


@pytest.mark.parametrize("value_hex, expected", [
    ("09 02 41 61 41 62 02 04 01 01 04 06", [{"a": True, "b": 2}, {"a": False, "b": 5}]),
    ("09 01 41 61 08 04 FF", [{"a": True}] * 8),
    ("09 01 41 61 00 04", []),
    ("09 02 41 61 41 62 00 02 06 05 01 41 63 04", []),
    ("09 01 05 02 61 62 01 05 01 41 63 04 01", [{"ab": {"c": True}}]),
])
def test_table_rows(value_hex, expected):
    assert decode(doc_hex("0F 01" + value_hex)) == expected


def test_rows_keep_header_order_and_share_the_key_objects():
    rows = decode(vb.doc(vb.table(["zz", "a", "mm"], 3, vb.col_delta(1, 2, 3),
                                  vb.col_bitmap(True, False, True),
                                  vb.col_tagged(vb.none(), vb.string("x"), vb.small_int(4)))))
    assert rows == [{"zz": 1, "a": True, "mm": None}, {"zz": 2, "a": False, "mm": "x"},
                    {"zz": 3, "a": True, "mm": 4}]
    keys = [list(r) for r in rows]
    assert keys == [["zz", "a", "mm"]] * 3
    for j in range(3):
        assert keys[0][j] is keys[1][j] is keys[2][j]


def test_pooled_header_key_is_the_pooled_string():
    rows = decode(vb.doc(vb.array(vb.string("id"),
                                  vb.table([vb.ref(0)], 2, vb.col_delta(7, 8)))))
    assert rows == ["id", [{"id": 7}, {"id": 8}]]
    assert all(next(iter(r)) is rows[0] for r in rows[1])


def test_zero_rows_still_pool_the_column_strings():
    data = vb.doc(vb.array(vb.table(["k"], 0, vb.col_dictionary(["xy"], [])), vb.ref(0)))
    assert decode(data) == [[], "xy"]


@pytest.mark.parametrize("value_hex, message, offset", [
    ("09 00", "empty table header", 4),
    ("09 05 41 61", "truncated input", 4),
    ("09 02 41 61 41 61", "duplicate column 'a'", 8),
    ("09 02 42 61 62 06 00", "duplicate column 'ab'", 9),
    ("09 01 80", "key must be a string", 4),
    ("09 01 06 00", "bad string reference", 6),
    ("09 01 41 61", "truncated input", 6),
    ("09 01 41 61 09 04", "truncated input", 7),
    ("09 01 41 61 80 80 80 80 08", "truncated input", 11),
    ("09 01 41 61 00", "truncated input", 7),
    ("09 01 41 61 01 06", "bad column kind", 7),
    ("09 01 41 61 00 02", "bad decimal scale", 8),
    ("09 02 41 61 41 62 01 04 01", "truncated input", 11),
    ("09 02 41 61 41 62 01 04 01 03 01 41 63 01", "bad dictionary index", 16),
    ("09 01 41 61 01 05 02 41 62 41 62", "duplicate key 'b'", 13),
])
def test_table_failures(value_hex, message, offset):
    assert error(doc_hex("0F 01" + value_hex)) == (message, offset)


# A table must decode exactly as the array of row objects it stands for.

keys_st = st.lists(st.text(max_size=4), min_size=1, max_size=4, unique=True)
scalars = st.one_of(st.none(), st.booleans(), st.integers(-(1 << 63), (1 << 63) - 1),
                    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=6))


@st.composite
def column(draw, n, nested=True):
    """(column bytes, the n cells it stands for as Python values)."""
    def cells(elements):
        return draw(st.lists(elements, min_size=n, max_size=n))

    kind = draw(st.sampled_from(["tagged", "delta", "decimal", "dictionary", "bitmap"]
                                + ["object"] * nested))
    if kind == "delta":
        ints = cells(st.integers(-(1 << 63), (1 << 63) - 1))
        return vb.col_delta(*ints), ints
    if kind == "decimal":
        scale = draw(st.integers(0, 6))
        ms = cells(st.integers(-(1 << 63), (1 << 63) - 1))
        return vb.col_decimal(scale, *ms), [m / 10**scale if scale else m for m in ms]
    if kind == "dictionary":
        entries = draw(st.lists(st.text(max_size=3), min_size=1, max_size=4))
        idx = cells(st.integers(0, len(entries) - 1))
        return vb.col_dictionary(entries, idx), [entries[i] for i in idx]
    if kind == "bitmap":
        bools = cells(st.booleans())
        return vb.col_bitmap(*bools), bools
    if kind == "object":
        subs = [(k, draw(column(n, nested=False))) for k in draw(keys_st)]
        return (vb.col_object([(k, c) for k, (c, _) in subs]),
                [{k: vals[i] for k, (_, vals) in subs} for i in range(n)])
    values = cells(scalars)
    return vb.col_tagged(*map(vb.encode, values)), values


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_table_decodes_like_the_array_of_its_rows(data):
    keys = data.draw(keys_st)
    # Short tables take their cells straight into their rows, longer ones keep
    # them until every column is read.
    n = data.draw(st.integers(0, 10) | st.integers(30, 40))
    cols = [data.draw(column(n)) for _ in keys]
    rows = [{k: vals[i] for k, (_, vals) in zip(keys, cols)} for i in range(n)]
    got = decode(vb.doc(vb.table(keys, n, *(c for c, _ in cols))))
    want = decode(vb.doc(vb.encode(rows)))
    assert got == want
    assert [list(r) for r in got] == [list(r) for r in want] == [keys] * n


@pytest.mark.parametrize("layout", ["table", "long table", "object column", "sparse table"])
@pytest.mark.parametrize("cells", [[None] * 3, [7] * 3, ["text"] * 3, [[1, 2]] * 3, [{"x": 1}] * 3,
                                   [[]] * 3, [7, [1], {"x": 1}]])
def test_rows_are_tracked_released_and_changed_as_inserted_dicts_are(cells, layout):
    a, b = vb.col_delta(1, 2, 3), vb.col_tagged(*map(vb.encode, cells))
    want = [{"a": i, "b": cell} for i, cell in zip((1, 2, 3), cells)]
    if layout == "object column":
        data = vb.doc(vb.table(["o"], 3, vb.col_object([("a", a), ("b", b)])))
        rows = [r["o"] for r in decode(data)]
    elif layout == "sparse table":
        b = vb.col_tagged(vb.encode(cells[0]), vb.encode(cells[2]))
        data = vb.doc(vb.sparse(["a", "b"], 3, vb.dense(a), vb.sparse_col([0, 2], b, 3)))
        rows = decode(data)
        want[1] = {"a": 2}
    elif layout == "long table":
        many = (cells * 14)[:40]
        b = vb.col_tagged(*map(vb.encode, many))
        data = vb.doc(vb.table(["a", "b"], 40, vb.col_delta(*range(1, 41)), b))
        rows = decode(data)
        want = [{"a": i, "b": cell} for i, cell in zip(range(1, 41), many)]
    else:
        data = vb.doc(vb.table(["a", "b"], 3, a, b))
        rows = decode(data)
    assert rows == want
    assert [gc.is_tracked(r) for r in rows] == [gc.is_tracked(r) for r in want]
    for r in rows + want:
        r["c"] = 4
        del r["a"]
    assert rows == want and [list(r) for r in rows] == [list(r) for r in want]
    before = sys.getrefcount(None)
    for _ in range(100):
        loads_binary(data)
    assert abs(sys.getrefcount(None) - before) <= 1  # a release per row would be 300
