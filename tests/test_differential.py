"""Generated documents, intact and damaged, decode exactly as the pure-Python decoder says."""

from hypothesis import given, settings
from hypothesis import strategies as st

import vesk_build as b
from support import agree, check_no_leak

small_text = st.text(alphabet="aAé\x00", max_size=3)

keys = st.one_of(small_text.map(b.short_key), small_text.map(b.long_key),
                 st.integers(0, 5).map(b.key_ref))

leaves = st.one_of(
    st.just(b.none()),
    st.booleans().map(b.boolean),
    st.integers(0, 127).map(b.small_int),
    st.integers(-(2**63), 2**63 - 1).map(b.int_),
    st.floats(allow_nan=False, allow_infinity=False).map(b.float_),
    small_text.map(b.short_string),
    small_text.map(b.long_string),
    st.integers(0, 5).map(b.ref),
    st.integers(0, 3).map(b.anchor_ref),
)


def containers(kids):
    return st.one_of(
        st.lists(kids, max_size=4).map(lambda items: b.array(*items)),
        st.lists(st.tuples(keys, kids), max_size=4).map(lambda pairs: b.obj(*pairs)),
        kids.map(b.anchor),
        # A one-row table: its header is a key list, hashed above 16 keys.
        st.lists(keys, min_size=1, max_size=20).map(
            lambda ks: b.table(ks, 1, *[b.col_bitmap(True)] * len(ks))),
    )


documents = st.recursive(leaves, containers, max_leaves=24).map(b.doc)


def agree_without_leak(data):
    check_no_leak(data)
    agree(data)


@settings(max_examples=300, deadline=None)
@given(documents)
def test_generated_documents(data):
    agree_without_leak(data)


@settings(max_examples=300, deadline=None)
@given(documents, st.data())
def test_damaged_documents(data, draw):
    at = draw.draw(st.integers(2, len(data) - 1))
    how = draw.draw(st.sampled_from(["cut", "replace", "insert"]))
    byte = bytes([draw.draw(st.integers(0, 255))])
    if how == "cut":
        data = data[:at]
    elif how == "replace":
        data = data[:at] + byte + data[at + 1:]
    else:
        data = data[:at] + byte + data[at:]
    agree_without_leak(data)
