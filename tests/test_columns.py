"""List columns (tag 0C) and the six column kinds."""

import pytest

from support import decode, doc_hex, error
from vesk_build import (array, col_bitmap, col_decimal, col_delta, col_delta_raw,
                        col_dictionary, col_object, col_tagged, doc, list_column,
                        none, ref, small_int, string, table)

I64_MIN, I64_MAX = -(1 << 63), (1 << 63) - 1


@pytest.mark.parametrize("value_hex, expected", [
    # Tagged
    ("0C 03 00 81 41 61 00", [1, "a", None]),
    # Delta: running sums, wrapping at 64 bits without error
    ("0C 03 01 02 03 04", [1, -1, 1]),
    (list_column(2, col_delta_raw(I64_MAX, 1)), [I64_MAX, I64_MIN]),
    (list_column(2, col_delta_raw(I64_MIN, -1)), [I64_MIN, I64_MAX]),
    # Decimal: scale 0 carries plain integers, not deltas
    ("0C 02 02 02 AC 02 C8 01", [1.5, 1]),
    ("0C 02 02 00 03 04", [-2, 2]),
    # Dictionary: entries may repeat
    ("0C 04 03 02 42 61 62 41 63 00 01 00 01", ["ab", "c", "ab", "c"]),
    (list_column(3, col_dictionary(["x", "x"], [1, 0, 1])), ["x", "x", "x"]),
    # Bitmap: the spare bits of the last byte are ignored
    ("0C 03 04 05", [True, False, True]),
    ("0C 09 04 FF 01", [True] * 9),
    ("0C 09 04 FF FF", [True] * 9),
    ("0C 08 04 80", [False] * 7 + [True]),
    # Object
    ("0C 02 05 02 41 78 41 79 04 01 01 0E 02", [{"x": True, "y": 7}, {"x": False, "y": 8}]),
    # No cells: the fixed parts of every kind are still read
    ("0C 00 00", []),
    ("0C 00 02 06", []),
    ("0C 00 03 02 41 61 41 62", []),
    ("0C 00 03 00", []),
    ("0C 00 04", []),
    ("0C 00 05 01 41 61 02 03", []),
])
def test_list_column_cells(value_hex, expected):
    data = doc(value_hex) if isinstance(value_hex, bytes) else doc_hex("0F 01" + value_hex)
    got = decode(data)
    assert got == expected
    assert [type(c) for c in got] == [type(c) for c in expected]


def test_object_columns_nest_and_keep_key_order():
    inner = col_object([("q", col_delta(1, 2)), ("r", col_bitmap(True, False))])
    outer = col_object([("s", col_tagged(none(), string("z"))), ("p", inner)])
    got = decode(doc(list_column(2, outer)))
    assert got == [{"s": None, "p": {"q": 1, "r": True}}, {"s": "z", "p": {"q": 2, "r": False}}]
    assert [list(d) for d in got] == [["s", "p"]] * 2
    assert [list(d["p"]) for d in got] == [["q", "r"]] * 2
    assert got[0]["p"] is not got[1]["p"]


def test_object_column_cells_share_their_key_objects():
    got = decode(doc(list_column(3, col_object([("key", col_delta(1, 2, 3))]))))
    first, second, third = (next(iter(d)) for d in got)
    assert first is second is third


def test_columns_inside_tagged_cells():
    cells = col_tagged(list_column(2, col_bitmap(True, True)),
                       table(["a"], 1, col_delta(5)),
                       list_column(1, col_object([("o", col_decimal(1, 15))])))
    assert decode(doc(list_column(3, cells))) == [[True, True], [{"a": 5}], [{"o": 1.5}]]


def test_dictionary_cells_naming_one_entry_are_one_object():
    got = decode(doc(list_column(4, col_dictionary(["ab", "cd"], [0, 1, 0, 1]))))
    assert got[0] is got[2] and got[1] is got[3]


def test_dictionary_entry_given_as_pool_reference_is_the_pooled_object():
    got = decode(doc_hex("0F 01 07 02 42 61 62 0C 02 03 01 06 00 00 00"))
    assert got == ["ab", ["ab", "ab"]]
    assert got[0] is got[1][0] is got[1][1]


def test_dictionary_entries_enter_the_pool_even_without_cells():
    got = decode(doc(array(list_column(0, col_dictionary(["ab", "c"], [])), ref(0))))
    assert got == [[], "ab"]
    # The one-byte entry was not pooled.
    data = doc(array(list_column(0, col_dictionary(["ab", "c"], [])), ref(1)))
    assert error(data) == ("bad string reference", len(data))


def nested_arrays(depth, inner):
    return b"\x07\x01" * depth + inner


@pytest.mark.parametrize("depth, column, expected", [
    (511, col_bitmap(True), [True]),
    (510, col_tagged(small_int(1)), [1]),
    (510, col_object([("a", col_bitmap(True))]), [{"a": True}]),
])
def test_columns_up_to_the_depth_limit_decode(depth, column, expected):
    got = decode(doc(nested_arrays(depth, list_column(1, column))))
    for _ in range(depth):
        (got,) = got
    assert got == expected


@pytest.mark.parametrize("depth, column, fail_at", [
    # The column itself one level too deep; fail_at counts from the 0C tag.
    (512, col_bitmap(True), 2),
    # A tagged cell or an object sub-column one level too deep.
    (511, col_tagged(small_int(1)), 3),
    (511, col_object([("a", col_bitmap(True))]), 6),
])
def test_column_nesting_too_deep(depth, column, fail_at):
    data = doc(nested_arrays(depth, list_column(1, column)))
    assert error(data) == ("nesting too deep", 2 + 2 * depth + fail_at)


@pytest.mark.parametrize("value, message, offset", [
    ("0C 01 06", "bad column kind", 4),
    ("0C 01 FF", "bad column kind", 4),
    ("0C 01 02 07 05", "bad decimal scale", 5),
    ("0C 00 02", "bad decimal scale", 5),
    ("0C 01 02 FF", "bad decimal scale", 5),
    ("0C 01 03 00 00", "bad dictionary index", 7),
    ("0C 02 03 01 41 61 00 01", "bad dictionary index", 10),
    ("0C 01 03 01 41 61 80 01", "bad dictionary index", 10),
    ("0C 00 03 01 80", "key must be a string", 6),
    ("0C 00 03 01 06 00", "bad string reference", 8),
    ("0C 01 05 00", "empty object column", 6),
    ("0C 01 05 02 41 61 41 61", "duplicate key 'a'", 10),
    ("0C 01 05 02 42 61 62 06 00", "duplicate key 'ab'", 11),
    ("0C 01 05 01 41 61 05 02 41 63 41 63", "duplicate key 'c'", 14),
    ("0C 01 00 0E", "bad tag 0x0e", 5),
    # Truncation: counts against the bytes left, missing bytes
    ("0C 11 04 05", "truncated input", 4),
    ("0C 10 04 05", "truncated input", 5),
    ("0C 00", "truncated input", 4),
    ("0C 02 01 02", "truncated input", 6),
    ("0C 01 01 80", "truncated input", 5),
    ("0C 00 03 05 41 61", "truncated input", 6),
    ("0C 01 05 05 41 61", "truncated input", 6),
    ("0C 01 05 01 41 61", "truncated input", 8),
    ("0C 02 05 01 41 61 04", "truncated input", 9),
    ("0C 01 05 02 41 61 41 62 04 01", "truncated input", 12),
    (b"\x0c\x01\x01" + b"\xff" * 9 + b"\x02", "varint overflows 64 bits", 5),
])
def test_list_column_failures(value, message, offset):
    data = b"\x0f\x01" + value if isinstance(value, bytes) else doc_hex("0F 01" + value)
    assert error(data) == (message, offset)
