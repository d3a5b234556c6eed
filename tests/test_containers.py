"""Arrays and objects: counts, the three key forms, duplicates, order and exact types."""

import pytest

import vesk_build as b
from support import decode, doc_hex, error


def value_doc(hex_value):
    return doc_hex("0F 01 " + hex_value)


@pytest.mark.parametrize(
    "hex_value, expected",
    [("07 00", []), ("08 00", {}), ("07 02 80 81", [0, 1]),  # a count equal to the bytes left
     ("07 04 00 01 02 81", [None, False, True, 1]), ("07 02 07 00 07 01 08 00", [[], [{}]]),
     ("08 01 41 61 02", {"a": True}), ("08 01 41 61 81", {"a": 1}),
     ("08 01 05 02 61 62 80", {"ab": 0}), ("08 02 41 61 80 41 41 81", {"a": 0, "A": 1}),
     ("08 03 41 7A 80 41 61 81 41 6D 82", {"z": 0, "a": 1, "m": 2}),
     ("08 02 40 80 41 00 81", {"": 0, "\x00": 1}),
     ("08 02 42 61 62 80 43 61 62 00 81", {"ab": 0, "ab\x00": 1}),
     ("08 01 42 C3 A9 07 01 02", {"é": [True]})],
)
def test_arrays_and_objects(hex_value, expected):
    # repr tells True from 1 and 1 from 1.0, and shows the key order.
    assert repr(decode(value_doc(hex_value))) == repr(expected)


def test_large_containers_keep_their_order():
    keys = [f"k{i}" for i in range(300)]
    got = decode(b.doc(b.obj(*((k, b.array(b.int_(-i), b.string(k))) for i, k in enumerate(keys)))))
    assert repr(got) == repr({k: [-i, k] for i, k in enumerate(keys)})


def test_pooled_keys_are_the_pooled_objects():
    # ['ab', {ref 0: 'cd', ref 1: ref 0}]
    got = decode(value_doc("07 02 42 61 62 08 02 06 00 42 63 64 06 01 06 00"))
    assert got == ["ab", {"ab": "cd", "cd": "ab"}]
    first, second = got[1]
    assert first is got[0] and second is got[1]["ab"] and got[1]["cd"] is got[0]
    # A key enters the pool before its value is read.
    got = decode(value_doc("08 01 42 61 62 06 00"))
    assert got == {"ab": "ab"} and next(iter(got)) is got["ab"]


@pytest.mark.parametrize(
    "hex_value, expected",
    [("07 03 80 80", ("truncated input", 4)),
     ("07 80 80 80 80 08" + " 80" * 8, ("truncated input", 8)),  # above 2^31 - 1
     ("08 01", ("truncated input", 4)),
     ("08 02 41 61 80", ("truncated input", 7)),  # the second key is missing
     ("08 02 41 61 80 41 62", ("truncated input", 9)),  # the last value is missing
     ("07 02 80 3F", ("bad tag 0x3f", 5)),
     ("08 01 80 80", ("key must be a string", 4)), ("08 01 00 80", ("key must be a string", 4)),
     ("08 01 03 02 80", ("key must be a string", 4)),
     ("08 02 41 61 80 07 00 80", ("key must be a string", 7)),
     ("08 01 41 FF 80", ("string is not valid UTF-8", 5)),
     ("08 01 05 02 C3 28 80", ("string is not valid UTF-8", 6)),
     ("08 01 43 61 62", ("truncated input", 5)), ("08 01 05 04 61 62 80", ("truncated input", 6)),
     ("08 01 05 80 80 80 80 08 61", ("truncated input", 10)),
     ("08 01 06 00 80", ("bad string reference", 6)),
     ("08 01 41 61 06 00", ("bad string reference", 8)),  # a 1-byte key is not pooled
     ("08 02 42 61 62 80 06 01 80", ("bad string reference", 10)),
     # An error in the repeated entry's value comes before the repeat is seen.
     ("08 02 41 61 80 41 61 0E", ("bad tag 0x0e", 9))],
)
def test_container_errors(hex_value, expected):
    assert error(value_doc(hex_value)) == expected


@pytest.mark.parametrize(
    "hex_value, expected",
    [("08 02 41 61 80 41 61 81", ("duplicate key 'a'", 10)),
     ("08 02 42 61 62 80 06 00 81", ("duplicate key 'ab'", 11)),
     ("08 02 42 61 62 80 05 02 61 62 81", ("duplicate key 'ab'", 13)),
     ("08 02 05 02 61 62 80 06 00 81", ("duplicate key 'ab'", 12)),
     ("08 02 40 80 40 81", ("duplicate key ''", 8)),
     ("08 02 42 C3 A9 80 05 02 C3 A9 81", ("duplicate key 'é'", 13)),
     ("08 03 41 61 80 41 62 80 41 61 80", ("duplicate key 'a'", 13)),
     # Reported after the repeated entry's whole value.
     ("08 02 41 61 80 41 61 07 02 80 08 00", ("duplicate key 'a'", 14)),
     ("07 02 81 08 02 41 78 08 02 41 61 00 41 61 07 01 00 41 79 00", ("duplicate key 'a'", 19)),
     # A key text that first appeared as a string value.
     ("07 02 42 78 79 08 02 06 00 80 42 78 79 80", ("duplicate key 'xy'", 16))],
)
def test_duplicate_keys(hex_value, expected):
    assert error(value_doc(hex_value)) == expected
