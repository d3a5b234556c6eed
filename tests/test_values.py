"""The envelope, tag dispatch, scalars, strings and the string pool."""

from functools import reduce
from operator import getitem

import pytest

import vesk_build as b
from support import decode, doc_hex, error


def value_doc(hex_value):
    return doc_hex("0F 01 " + hex_value)


@pytest.mark.parametrize(
    "data, expected",
    [(b"", ("not a VESK binary document", 0)), (doc_hex("0F"), ("not a VESK binary document", 0)),
     (doc_hex("0E 01 00"), ("not a VESK binary document", 0)),
     (doc_hex("0F 00 00"), ("unsupported binary version 0", 1)),
     (doc_hex("0F 02"), ("unsupported binary version 2", 1)),
     (doc_hex("0F FF 00"), ("unsupported binary version 255", 1)),
     (doc_hex("0F 01"), ("truncated input", 2)), (doc_hex("0F 01 00 00"), ("trailing data", 3)),
     (doc_hex("0F 01 07 01 80 80"), ("trailing data", 5))],
)
def test_envelope_errors(data, expected):
    assert error(data) == expected


def test_every_invalid_tag_byte_is_reported_at_its_position():
    for tag in [*range(0x0E, 0x40), *range(0x60, 0x80)]:
        assert error(b.doc(b.array(b.none(), bytes([tag])))) == (f"bad tag 0x{tag:02x}", 5)


@pytest.mark.parametrize(
    "hex_value, expected",
    [("00", None), ("01", False), ("02", True), ("80", 0), ("FF", 127),
     ("03 00", 0), ("03 01", -1), ("03 02", 1), ("03 FE 01", 127), ("03 80 02", 128),
     ("03 FE FF FF FF FF FF FF FF FF 01", 2**63 - 1), ("03 FF FF FF FF FF FF FF FF FF 01", -(2**63)),
     # Non-minimal varints are accepted, up to ten bytes.
     ("03 80 00", 0), ("03 80 80 80 80 80 80 80 80 80 00", 0),
     ("42 C3 A9", "é"), ("40", ""), ("41 00", "\x00"), ("44 F0 9F 98 80", "\U0001F600"),
     ("5F" + " 7A" * 31, "z" * 31), ("05 00", ""), ("05 C8 01" + " 78" * 200, "x" * 200)],
)
def test_scalars_and_strings(hex_value, expected):
    got = decode(value_doc(hex_value))
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "x, expected",
    [(3.0, 3), (-0.0, 0), (2.0**53 - 1, 2**53 - 1), (-(2.0**53 - 1), -(2**53 - 1)),
     (2.0**53, 2.0**53), (-(2.0**53), -(2.0**53)), (1e300, 1e300), (0.5, 0.5),
     (2.0**51 + 0.5, 2.0**51 + 0.5), (5e-324, 5e-324)],
)
def test_whole_floats_below_2_to_53_become_ints(x, expected):
    got = decode(b.doc(b.float_(x)))
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "hex_value, expected",
    [("03", ("truncated input", 3)), ("03 80", ("truncated input", 3)),
     ("03 FF FF FF FF FF FF FF FF FF", ("truncated input", 3)),
     ("03 FF FF FF FF FF FF FF FF FF 02", ("varint overflows 64 bits", 3)),
     ("03 80 80 80 80 80 80 80 80 80 81", ("varint overflows 64 bits", 3)),
     ("03 80 80 80 80 80 80 80 80 80 80 00", ("varint overflows 64 bits", 3)),
     # Counts, lengths and indexes go through the same reader.
     ("07 02 80 07 FF FF FF FF FF FF FF FF FF 7F", ("varint overflows 64 bits", 6)),
     ("06 80 80 80 80 80 80 80 80 80 02", ("varint overflows 64 bits", 3)),
     ("04 00 00 00 00 00 00 F0 7F", ("float is not finite", 3)),
     ("04 00 00 00 00 00 00 F0 FF", ("float is not finite", 3)),
     ("04 01 00 00 00 00 00 F8 7F", ("float is not finite", 3)),
     ("04 00 00 00 00 00 00 F0", ("truncated input", 3)),
     ("43 61 62", ("truncated input", 3)), ("05 03 61 62", ("truncated input", 4)),
     ("05", ("truncated input", 3)),
     ("05 FF FF FF FF 07" + " 61" * 8, ("truncated input", 8)),  # 2^31 - 1 > bytes left
     ("05 80 80 80 80 08" + " 61" * 8, ("truncated input", 8)),  # 2^31, whatever is left
     ("42 C3 28", ("string is not valid UTF-8", 3)),
     ("07 02 80 05 02 C3 28", ("string is not valid UTF-8", 7)),
     ("43 ED A0 80", ("string is not valid UTF-8", 3)),  # a surrogate
     ("42 C0 80", ("string is not valid UTF-8", 3)),  # overlong
     ("44 F4 90 80 80", ("string is not valid UTF-8", 3)),  # above U+10FFFF
     ("41 80", ("string is not valid UTF-8", 3)),
     ("06 00", ("bad string reference", 4)),
     ("07 02 41 61 06 00", ("bad string reference", 8)),  # 1-byte texts are not pooled
     ("07 02 05 01 61 06 00", ("bad string reference", 9)),
     ("07 02 40 06 00", ("bad string reference", 7)),
     ("07 03 42 61 62 06 00 06 01", ("bad string reference", 11)),  # nor are references
     ("07 02 42 61 62 06 81 00", ("bad string reference", 10))],
)
def test_scalar_and_string_errors(hex_value, expected):
    assert error(value_doc(hex_value)) == expected


@pytest.mark.parametrize(
    "hex_value, expected, first, again",
    [("07 02 42 61 62 06 00", ["ab", "ab"], (0,), (1,)),
     ("07 02 05 02 61 62 06 00", ["ab", "ab"], (0,), (1,)),
     ("07 03 42 61 62 42 63 64 06 01", ["ab", "cd", "cd"], (1,), (2,)),
     # Texts under 2 bytes stay out of the pool.
     ("07 04 41 61 40 42 63 64 06 00", ["a", "", "cd", "cd"], (2,), (3,)),
     # The pool spans the whole document.
     ("07 03 07 01 42 61 62 08 00 06 00", [["ab"], {}, "ab"], (0, 0), (2,))],
)
def test_string_references_return_the_pooled_object(hex_value, expected, first, again):
    got = decode(value_doc(hex_value))
    assert got == expected
    assert reduce(getitem, first, got) is reduce(getitem, again, got)


def test_every_proper_prefix_is_truncated_input():
    data = b.doc(b.array(b.int_(-300), b.float_(0.25), b.long_string("xyz" * 50), b.short_string("é"),
                         b.ref(0), b.obj(("key", b.array(b.none(), b.small_int(5)))), b.int_(2**62)))
    assert decode(data)[-1] == 2**62
    for end in range(2, len(data)):
        message, offset = error(data[:end])
        assert message == "truncated input" and offset <= end
