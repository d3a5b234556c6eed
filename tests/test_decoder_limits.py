"""vesk.Decoder: tighter caps on the two budgets and on the depth, each failing
exactly as the format's own check does; and the structural scan behind
`vesk inspect`, whose budget figures are the smallest caps a document needs."""

import copy
import gc
import pickle
import sys

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import vesk
import vesk_build as b
import vesk_native
from support import outcome, same
from vesk._scan import scan


def limited_outcome(decoder, data):
    try:
        return ("ok", decoder.decode(data))
    except vesk.VeskError as e:
        return ("err", e.message, e.offset)


@pytest.mark.parametrize("kwargs, exc", [
    ({"max_cells": -1}, ValueError),
    ({"max_copy_cells": -5}, ValueError),
    ({"max_depth": 513}, ValueError),
    ({"max_depth": -1}, ValueError),
    ({"max_cells": 1.0}, TypeError),
    ({"max_copy_cells": "10"}, TypeError),
    ({"max_cells": True}, TypeError),
    ({"max_depth": None}, TypeError),
    ({"max_deep": 3}, TypeError),
])
def test_invalid_arguments_are_refused(kwargs, exc):
    with pytest.raises(exc):
        vesk.Decoder(**kwargs)


def test_the_private_entry_stays_off_the_public_surface():
    assert vesk_native.__all__ == ["loads_binary", "VeskError"]
    assert [n for n in dir(vesk_native) if not n.startswith("_")] == ["VeskError", "loads_binary"]
    with pytest.raises(ValueError):
        vesk_native._Decoder()._limit(None, None, 513)


SAMPLES = [b.doc(b.none()), b.doc(b.array(b.small_int(1), b.string("ab"), b.ref(0))),
           b"", b"\x0f\x02", b.doc(b"\x0e"), b.doc(b"\x07\x01" * 513, b"\x80"),
           b.doc(b.list_column(3, b.col_bitmap(True, False, True)))]


@pytest.mark.parametrize("decoder", [
    vesk.Decoder(), vesk.Decoder(max_cells=None, max_copy_cells=None, max_depth=512),
    # Caps beyond every budget take the limited path and must change nothing.
    vesk.Decoder(max_cells=1 << 80, max_copy_cells=1 << 63),
], ids=["defaults", "explicit-defaults", "loose-caps"])
@pytest.mark.parametrize("data", SAMPLES + [bytearray(SAMPLES[1]), memoryview(SAMPLES[1]),
                                            list(SAMPLES[1])])
def test_loose_settings_decode_as_loads_binary(decoder, data):
    got, want = limited_outcome(decoder, data), outcome(data)
    assert got[0] == want[0] and same(got[1:], want[1:])


@pytest.mark.parametrize("data", ["not bytes", 7, None])
def test_data_that_is_not_bytes_raises_as_loads_binary_does(data):
    with pytest.raises(TypeError) as want:
        vesk.loads(data)
    with pytest.raises(TypeError) as got:
        vesk.Decoder(max_depth=3).decode(data)
    assert str(got.value) == str(want.value)


TOO_LARGE = "decoded size too large"
EXPANSION = "reference expansion too large"
DEEP = "nesting too deep"
LIST3 = b.doc(b.list_column(3, b.col_bitmap(True, False, True)))  # charges 4
TABLE = b.doc(b.table(["a", "b"], 3, b.col_bitmap(True, True, False), b.col_delta(1, 2, 3)))
SPARSE = b.doc(b.sparse(["k"], 3, b.sparse_col([True, False, True], b.col_bitmap(True, True))))
COPY = b.doc(b.array(b.anchor(b.array(b.small_int(0))), b.anchor_ref(0), b.anchor_ref(0)))
NESTED = b.doc(b.array(b.array(b.array())))
COLUMN_AT_1 = b.doc(b.list_column(2, b.col_tagged(b.array(), b.small_int(0))))
SPARSE_AT_1 = b.doc(b.array(b.sparse(["k"], 1, b.sparse_col([True], b.col_bitmap(True)))))


# (keyword, cap, document, message, offset): each cap too small for the
# document, which fails where the format's own check stands.
@pytest.mark.parametrize("kwarg, cap, data, message, offset", [
    # The pre-check of a list column, just after its count.
    ("max_cells", 3, LIST3, TOO_LARGE, 4),
    # A table pre-checks n + 1 after its row count, then each column pays n + 1.
    ("max_cells", 3, TABLE, TOO_LARGE, 9),
    ("max_cells", 7, TABLE, TOO_LARGE, 11),
    # A sparse table pays 2 x n after its row count, a sparse column p + 1 past its bitmap.
    ("max_cells", 5, SPARSE, TOO_LARGE, 7),
    ("max_cells", 8, SPARSE, TOO_LARGE, 9),
    # Each copy pays its cells, just after the reference's index; the budget spent
    # by the first copy stays spent.
    ("max_copy_cells", 0, COPY, EXPANSION, 10),
    ("max_copy_cells", 3, COPY, EXPANSION, 12),
    # Values, columns and sparse columns, at the tag or kind byte not read.
    ("max_depth", 1, NESTED, DEEP, 6),
    ("max_depth", 0, COLUMN_AT_1, DEEP, 4),
    ("max_depth", 1, COLUMN_AT_1, DEEP, 5),
    ("max_depth", 1, SPARSE_AT_1, DEEP, 11),
])
def test_a_cap_fails_at_the_formats_own_check(kwarg, cap, data, message, offset):
    decoder = vesk.Decoder(**{kwarg: cap})
    with pytest.raises(vesk.VeskError) as e:
        decoder.decode(data)
    assert (e.value.message, e.value.offset) == (message, offset)
    assert str(e.value) == "vesk: offset %d: %s" % (offset, message)


# -- generated documents, scanned ----------------------------------------------

short_text = st.text(alphabet="ab\u00e9", max_size=3)
names = st.lists(st.text(alphabet="xyz", min_size=1, max_size=2), min_size=1, max_size=3,
                 unique=True)
leaves = st.one_of(
    st.just(b.none()), st.booleans().map(b.boolean), st.integers(0, 127).map(b.small_int),
    st.integers(-(2**63), 2**63 - 1).map(b.int_), st.floats(-1e6, 1e6).map(b.float_),
    short_text.map(b.short_string), short_text.map(b.long_string),
    st.integers(0, 3).map(b.ref), st.integers(0, 3).map(b.anchor_ref),
)


@st.composite
def column(draw, n, kids, nested=1):
    kind = draw(st.integers(0, 5 if nested else 4))
    if kind == 0:
        return b.col_tagged(*draw(st.lists(kids, min_size=n, max_size=n)))
    if kind == 1:
        return b.col_delta(*draw(st.lists(st.integers(-(2**63), 2**63 - 1), min_size=n,
                                          max_size=n)))
    if kind == 2:
        return b.col_decimal(draw(st.integers(0, 6)),
                             *draw(st.lists(st.integers(-1000, 1000), min_size=n, max_size=n)))
    if kind == 3:
        entries = draw(st.lists(short_text, min_size=1, max_size=3))
        return b.col_dictionary(entries, draw(st.lists(st.integers(0, len(entries) - 1),
                                                       min_size=n, max_size=n)))
    if kind == 4:
        return b.col_bitmap(*draw(st.lists(st.booleans(), min_size=n, max_size=n)))
    return b.col_object([(k, draw(column(n, kids, nested - 1))) for k in draw(names)])


@st.composite
def columnar(draw, kids):
    n = draw(st.integers(0, 4))
    shape = draw(st.sampled_from(["list", "table", "sparse"]))
    if shape == "list":
        return b.list_column(n, draw(column(n, kids)))
    keys = draw(names)
    if shape == "table":
        return b.table(keys, n, *[draw(column(n, kids)) for _ in keys])
    entries = []
    for _ in keys:
        present = draw(st.lists(st.booleans(), min_size=n, max_size=n))
        if draw(st.booleans()):
            entries.append(b.dense(draw(column(n, kids))))
        else:
            entries.append(b.sparse_col(b.pack_bits(present), draw(column(sum(present), kids))))
    return b.sparse(keys, n, *entries)


def containers(kids):
    return st.one_of(
        st.lists(kids, max_size=3).map(lambda items: b.array(*items)),
        st.dictionaries(short_text, kids, max_size=3).map(lambda d: b.obj(*d.items())),
        kids.map(b.anchor),
        columnar(kids),
    )


documents = st.recursive(leaves, containers, max_leaves=12).map(
    lambda v: b.doc(b.array(v, b.anchor_ref(0), b.anchor_ref(1))))


def fails_with(decoder, data, message):
    got = limited_outcome(decoder, data)
    return got[0] == "err" and got[1] == message


@settings(max_examples=300, deadline=None)
@given(documents)
def test_scanned_budgets_are_the_smallest_caps_that_decode(data):
    want = outcome(data)
    assume(want[0] == "ok")
    report = scan(data)
    cells = report["budgets"]["decoded_size"]["used"]
    copies = report["budgets"]["reference_expansion"]["used"]
    depth = report["depth"]
    tight = vesk.Decoder(max_cells=cells, max_copy_cells=copies, max_depth=depth)
    got = limited_outcome(tight, data)
    assert got[0] == "ok" and same(got[1], want[1])
    if cells:
        assert fails_with(vesk.Decoder(max_cells=cells - 1), data, TOO_LARGE)
    if copies:
        assert fails_with(vesk.Decoder(max_copy_cells=copies - 1), data, EXPANSION)
    if depth:
        assert fails_with(vesk.Decoder(max_depth=depth - 1), data, DEEP)
    tables = [e for e in report["columnar"] if e["type"] != "list_column"]
    assert report["values"]["table"] + report["values"]["sparse_table"] == len(tables)


def str_identities(value):
    """For each str in value, keys before their values, the number of the first
    str met that is the same object."""
    first, out = {}, []

    def walk(v):
        if isinstance(v, str):
            out.append(first.setdefault(id(v), len(first)))
        elif isinstance(v, list):
            for item in v:
                walk(item)
        elif isinstance(v, dict):
            for k, item in v.items():
                walk(k)
                walk(item)

    walk(value)
    return out


# One decoder for every example: its key cache carries over between them.
SHARED = vesk.Decoder()


@settings(max_examples=300, deadline=None)
@given(documents)
def test_a_decoder_with_cached_keys_decodes_as_loads_binary(data):
    got, want = limited_outcome(SHARED, data), outcome(data)
    assert got[0] == want[0] and same(got[1:], want[1:])
    if got[0] == "ok":
        # Texts spelled out twice in one document stay two objects.
        assert str_identities(got[1]) == str_identities(want[1])


def test_a_decoder_hands_out_its_cached_keys_again():
    decoder = vesk.Decoder()
    data = vesk.dumps({"id": 1, "nested": {"ok": True}})
    first, second = decoder.decode(data), decoder.decode(data)
    assert all(a is b for a, b in zip(first, second))
    assert list(first["nested"])[0] is list(second["nested"])[0]


class Tagged(vesk.Decoder):
    __slots__ = ("tag", "__dict__")

    def __init__(self, tag, **limits):
        super().__init__(**limits)
        self.tag = tag


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy,
                                       lambda d: pickle.loads(pickle.dumps(d))])
def test_copies_keep_their_limits_and_their_attributes(duplicate):
    original = Tagged("t", max_depth=1)
    original.note = "n"
    twin = duplicate(original)
    assert (type(twin), twin.tag, twin.note, repr(twin)) == (Tagged, "t", "n", repr(original))
    assert fails_with(twin, vesk.dumps([[1]]), DEEP)


def test_limited_decodes_leave_nothing_behind():
    decoder = vesk.Decoder(max_cells=7, max_copy_cells=3, max_depth=4)
    for data in (TABLE, COPY, NESTED, LIST3):
        check_no_leak_with(decoder, data)


def check_no_leak_with(decoder, data):
    for _ in range(3):
        limited_outcome(decoder, data)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(16):
        limited_outcome(decoder, data)
    gc.collect()
    assert sys.getallocatedblocks() - before < 8
