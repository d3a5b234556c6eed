"""Key lists of table headers and object columns: the pairwise check (up to 16 keys)
and the hashed one (above 16) must give the same verdict, message and offset."""

import random

import pytest

import vesk_build as b
from support import decode, error

LABELS = ["duplicate column", "duplicate key"]
S, L, R = b.short_key, b.long_key, b.key_ref


def carrier(label, keys, before=()):
    """A document of `before` values and then the key list `keys` (encoded keys), in a
    one-row table header or a one-cell object column, every column a Bitmap of True;
    returned with the offset of the key list's first byte."""
    k = b.uvarint(len(keys))
    if label == "duplicate column":
        head, tail = b"\x09" + k, b"\x01" + b"\x04\x01" * len(keys)
    else:
        head, tail = b"\x0c\x01\x05" + k, b"\x04\x01" * len(keys)
    prefix = b.doc(b"\x07" + b.uvarint(len(before) + 1), *before, head)
    return prefix + b"".join(keys) + tail, len(prefix)


def names(n, start=0):
    return [f"f{i}" for i in range(start, start + n)]


def fillers(n, start=0):
    return [S(t) for t in names(n, start)]


@pytest.mark.parametrize("label", LABELS)
def test_a_key_may_refer_to_a_text_pooled_before_the_list(label):
    got = decode(carrier(label, [S("a"), R(0)], before=[b.string("xy")])[0])
    (row,) = got[-1]
    assert list(row) == ["a", "xy"] and list(row)[1] is got[0]
    data, start = carrier(label, [S("xy"), R(0)], before=[b.string("xy")])
    assert error(data) == (f"{label} 'xy'", start + 5)


# (keys, text of the duplicate, index of the duplicate key)
DUPLICATES = [
    ([S("a"), S("a")], "a", 1), ([S("ab"), R(0)], "ab", 1), ([S("é"), L("é")], "é", 1),
    ([L("é"), R(0)], "é", 1), ([S(""), S("")], "", 1), ([S(""), L("")], "", 1),
    ([S("ab"), S("cd"), R(0)], "ab", 2), ([S("a"), S("b"), S("a"), S("a")], "a", 2),
    ([*fillers(15), S("f0")], "f0", 15), ([*fillers(15), S("f14")], "f14", 15),
    ([*fillers(16), S("f0")], "f0", 16), ([*fillers(16), S("f15")], "f15", 16),
    ([S("x"), S("x"), *fillers(15)], "x", 1), ([*fillers(19), R(3)], "f3", 19),
    ([*fillers(19), L("f7")], "f7", 19), ([S(""), *fillers(19), L("")], "", 20),
    ([*fillers(2000), S("f500"), *fillers(5, 2000)], "f500", 2000),
]


@pytest.mark.parametrize("label", LABELS)
@pytest.mark.parametrize("keys, text, index", DUPLICATES, ids=lambda x: str(x)[:12])
def test_a_repeated_text_fails_just_after_the_repeat(label, keys, text, index):
    data, start = carrier(label, keys)
    assert error(data) == (f"{label} '{text}'", start + len(b"".join(keys[: index + 1])))


def random_keys(rng):
    """Up to 16 keys over a tiny alphabet in random forms; returns the encoded keys and
    the expected verdict: (text, index) of the first repeat, or the texts in order."""
    keys, seen, pooled = [], {}, []
    for i in range(rng.randint(1, 16)):
        if pooled and rng.random() < 0.3:
            text = rng.choice(pooled)
            keys.append(R(pooled.index(text)))
        else:
            text = rng.choice(["", "a", "A", "ab", "aB", "é", "ab\x00"])
            keys.append(rng.choice([S, L])(text))
            if len(text.encode()) >= 2:
                pooled.append(text)
        if text in seen:
            return keys, (text, i)
        seen[text] = None
    return keys, list(seen)


def test_both_checks_agree_with_a_model_on_random_lists():
    rng = random.Random(20240611)
    for _ in range(150):
        keys, verdict = random_keys(rng)
        label = rng.choice(LABELS)
        # Distinct fillers after the list send the same keys through the hashed check.
        for extra in (0, 17):
            data, start = carrier(label, keys + fillers(extra))
            if isinstance(verdict, list):
                (row,) = decode(data)[-1]
                assert list(row) == verdict + names(extra)
            else:
                text, index = verdict
                end = start + len(b"".join(keys[: index + 1]))
                assert error(data) == (f"{label} '{text}'", end), (label, keys, extra)
