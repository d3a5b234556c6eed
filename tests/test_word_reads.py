"""Texts and varints are read a word at a time where they are short: every
length, every place of a non-ASCII or invalid byte, every varint width and every
cut decode exactly as the pure-Python decoder says."""

import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesk_build as b
from support import agree, check_no_leak, outcome, reference_outcome


def texts(n):
    """Byte strings of n bytes: ASCII, and with a two-byte letter, a stray
    continuation byte or an invalid byte at every place."""
    plain = bytes(0x61 + i % 26 for i in range(n))
    yield plain
    for at in range(n):
        if at + 2 <= n:
            yield plain[:at] + "é".encode() + plain[at + 2:]
        yield plain[:at] + b"\x80" + plain[at + 1:]
        yield plain[:at] + b"\xff" + plain[at + 1:]


@pytest.mark.parametrize("form", ["value", "key", "pooled key"])
# Past 40, the lengths around the ends of 64-byte blocks.
@pytest.mark.parametrize("n", [*range(0, 41), 63, 64, 65, 71, 72, 73, 127, 128, 129, 136, 137])
def test_texts_of_every_length_decode_as_the_reference_says(form, n):
    for t in texts(n):
        s = b.raw_short_bytes(t) if n <= 31 else b.raw_long_bytes(t)
        if form == "value":
            data = b.doc(b.array(s, b.raw_long_bytes(t)))
        elif form == "key":
            data = b.doc(b.obj((s, b.none()), (b.raw_long_bytes(t), b.boolean(True))))
        else:
            # The second key repeats the first through the pool when it entered it.
            data = b.doc(b.array(s, b.obj((b.ref(0), b.none()))))
        agree(data)
    check_no_leak(data)


@pytest.mark.parametrize("width", range(1, 11))
def test_varints_of_every_width_and_every_cut_decode_as_the_reference_says(width):
    low = 1 << (7 * (width - 1)) if width > 1 else 0
    high = min((1 << (7 * width)) - 1, (1 << 64) - 1)
    for u in {low, low + 1, high - 1, high}:
        v = b.uvarint(u)
        assert len(v) == width
        for body in (b"\x03" + v, b"\x07" + v, b"\x06" + v, b"\x05" + v + b"ab"):
            data = b.doc(body)
            # Cut at every byte, and padded so that word reads have room to spare.
            for end in range(3, len(data) + 1):
                agree(data[:end])
            agree(data + b"\x00" * 10)
            agree(b.doc(b.array(body, b.none())) + b"\x00" * 10)


@pytest.mark.parametrize("tail", [b"\x01", b"\x02", b"\x7f", b"\x80\x01"])
def test_ten_byte_varints_overflow_unless_the_last_byte_is_bit_63(tail):
    for pad in (b"", b"\x00" * 12):
        agree(b.doc(b"\x03" + b"\xff" * 9 + tail) + pad)


KEY_FORMS = {
    "short": lambda s: b.short_key(s),
    "long": lambda s: b.long_key(s),
    "pooled": lambda s: b.key_ref(0),
}


@pytest.mark.parametrize("again", KEY_FORMS)
@pytest.mark.parametrize("text", ["ab", "é", "schlüssel", "x" * 20])
def test_a_repeated_key_names_its_text_in_every_key_form(again, text):
    # The first key enters the pool when it has two bytes or more.
    first = b.long_key(text)
    second = KEY_FORMS[again](text)
    if again == "pooled" and len(text.encode()) < 2:
        second = b.short_key(text)
    data = b.doc(b.obj((first, b.small_int(1)), (b"\x41z", b.none()), (second, b.small_int(2))))
    got = outcome(data)
    assert got == reference_outcome(data)
    assert got[0] == "err" and got[1] == f"duplicate key '{text}'"
    check_no_leak(data)


@pytest.mark.parametrize("count", [15, 16, 17, 40, 300])
def test_the_string_pool_keeps_its_entries_when_it_outgrows_its_room(count):
    keys = [f"k{i:03d}" for i in range(count)]
    first = b.obj(*[(k, b.small_int(i % 100)) for i, k in enumerate(keys)])
    again = b.obj(*[(b.key_ref(i), b.ref(count - 1 - i)) for i in range(count)])
    data = b.doc(b.array(first, again))
    agree(data)
    check_no_leak(data)


@pytest.mark.parametrize("count", [3, 17])
@pytest.mark.parametrize("repeat", [None, 0, 2])
def test_key_lists_of_pool_references_compare_the_texts_they_refer_to(count, repeat):
    # The pool entries come from short and long strings, ASCII or not; a key list
    # names them all by reference, once with one of them twice.
    texts = [("é" if i % 3 == 0 else "k") * (1 + i % 2) + f"{i:02d}" + "x" * (40 * (i % 2)) for i in range(count)]
    first = b.array(*[b.raw_long_bytes(t.encode()) if len(t.encode()) > 31 else b.string(t) for t in texts])
    keys = [b.key_ref(i) for i in range(count)]
    if repeat is not None:
        keys[-1] = b.key_ref(repeat)
    data = b.doc(b.array(first, b.table(keys, 1, *[b.col_tagged(b.small_int(i)) for i in range(count)])))
    agree(data)
    check_no_leak(data)


# Characters at the edges of every UTF-8 width, and the sequences a strict
# decoder must refuse: stray continuations, overlong forms, surrogates, code
# points beyond U+10FFFF, cut sequences and bytes that never occur.
UTF8_PIECES = [
    *(c.encode() for c in "az\x7f\x80\xe9\xff\u0100\u07ff\u0800\u20ac\ud7ff\ue000\uffff"
                          "\U00010000\U0010ffff"),
    b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xc2", b"\xe0\x9f\xbf", b"\xe0\xa0",
    b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xf0\x8f\xbf\xbf", b"\xf0\x90\x80",
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff",
]


@settings(max_examples=1500, deadline=None)
@given(st.lists(st.sampled_from(UTF8_PIECES), max_size=40), st.integers(0, 70))
def test_texts_of_mixed_widths_decode_exactly_as_the_interpreter_decodes_them(pieces, ascii_run):
    t = b"x" * ascii_run + b"".join(pieces)
    data = b.doc(b.array(b.raw_long_bytes(t), b.obj((b.raw_long_bytes(t + b"k"), b.none()))))
    agree(data)
    try:
        want = t.decode()
    except UnicodeDecodeError:
        return
    got = outcome(data)[1][0]
    # The same width of storage, and the shared object for one Latin-1 character.
    assert sys.getsizeof(got) == sys.getsizeof(want)
    if len(want) == 1 and ord(want) < 256:
        assert got is want
