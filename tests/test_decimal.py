"""Scaled decimals, read through Decimal list columns."""

import pytest
from hypothesis import given, settings, strategies as st

from support import decode
from vesk_build import col_decimal, doc, list_column

TWO53 = 1 << 53
INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1


def decimals(scale, *mantissas):
    return decode(doc(list_column(len(mantissas), col_decimal(scale, *mantissas))))


def exact(m, s):
    """The mantissa itself at scale 0; else the double nearest m / 10**s,
    an int when it is whole and below 2**53 in magnitude."""
    if s == 0:
        return m
    q = m / 10**s  # int true division rounds the exact quotient once
    return int(q) if abs(q) < TWO53 and q.is_integer() else q


def assert_same_number(got, want):
    assert (type(got), got) == (type(want), want)


@pytest.mark.parametrize("m, s, want", [
    (150, 2, 1.5),
    (100, 2, 1),
    (-1000000, 6, -1),
    (-5, 1, -0.5),
    (1, 1, 0.1),
    (123456789, 6, 123.456789),
    (2**62, 0, 2**62),
    (INT64_MIN, 0, INT64_MIN),
    (INT64_MAX, 0, INT64_MAX),
    (10**16, 1, 10**15),
    # Rounding the mantissa to a double before dividing would give ...099.625.
    (9007199254740995, 1, 900719925474099.5),
    (-9007199254740995, 1, -900719925474099.5),
    (TWO53, 1, 900719925474099.2),
    (INT64_MIN, 6, -9223372036854.775808),
    ((TWO53 - 1) * 10, 1, TWO53 - 1),
    # Whole, but too large for the int rule.
    (TWO53 * 10, 1, float(TWO53)),
    (-TWO53 * 1000, 3, -float(TWO53)),
    (INT64_MAX // 10 * 10, 1, float(INT64_MAX // 10)),
])
def test_decimal_value(m, s, want):
    assert_same_number(decimals(s, m)[0], want)


@pytest.mark.parametrize("s", range(7))
def test_zero_is_int_zero_at_every_scale(s):
    assert_same_number(decimals(s, 0)[0], 0)


BOUNDARY = sorted({
    sign * (base + delta)
    for sign in (1, -1)
    for base in [TWO53, 10**15, 10**16, 10**18] + [10**k for k in range(7)]
    for delta in (-11, -1, 0, 1, 11)
} | {INT64_MIN, INT64_MAX, INT64_MIN + 1})


@pytest.mark.parametrize("s", range(7))
def test_boundary_mantissas_match_exact_quotient(s):
    for m, got in zip(BOUNDARY, decimals(s, *BOUNDARY)):
        assert_same_number(got, exact(m, s))


mantissas = st.one_of(
    st.integers(INT64_MIN, INT64_MAX),
    st.integers(-2 * TWO53, 2 * TWO53),
    st.integers(-(10**12), 10**12).map(lambda k: k * 10**6),
)


@settings(deadline=None)
@given(st.integers(0, 6), st.lists(mantissas, min_size=1, max_size=16))
def test_decimals_match_exact_quotient(s, ms):
    for m, got in zip(ms, decimals(s, *ms)):
        assert_same_number(got, exact(m, s))
