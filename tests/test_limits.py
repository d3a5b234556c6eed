"""Nesting limits: 512 levels of decoded values, 4096 levels of a copied anchored value.
The deep cases run on a 1 MiB thread stack, so that too much stack per level shows."""

import os
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import vesk_build as b
from support import decode, error

ARRAY_1 = b"\x07\x01"  # an array holding the one value that follows
OBJECT_1 = b"\x08\x01\x41\x61"  # an object holding the one value that follows under "a"
WRAPPERS_PER_ANCHOR = 400


def on_small_stack(call):
    """call() in a new thread whose stack is 1 MiB (more where the build's frames are larger,
    as a sanitizer build's are); returns its result or raises its exception."""
    old = threading.stack_size(int(os.environ.get("VESK_TEST_STACK_SIZE", 1 << 20)))
    try:
        with ThreadPoolExecutor(1) as pool:  # its thread starts with the first task
            future = pool.submit(call)
    finally:
        threading.stack_size(old)
    return future.result()


def depth_of(x):
    """How many single-item containers lead down to the first leaf, and that leaf."""
    depth = 0
    while type(x) in (list, dict) and x:
        x = next(iter(x.values())) if type(x) is dict else x[0]
        depth += 1
    return depth, x


@pytest.mark.parametrize(
    "wrapper, levels, leaf, tag_at, leaf_value",
    [(ARRAY_1, 512, b"\x07\x00", 0, []), (OBJECT_1, 512, b"\x80", 0, 0),
     (ARRAY_1, 511, b"\x0a\x80", 1, 0)],  # an anchor's value is one level below the anchor
)
def test_values_nest_512_levels_below_the_top(wrapper, levels, leaf, tag_at, leaf_value):
    got = on_small_stack(lambda: decode(b.doc(wrapper * levels, leaf)))
    assert depth_of(got) == (levels, leaf_value)
    data = b.doc(wrapper * (levels + 1), leaf)
    offset = len(data) - len(leaf) + tag_at
    assert on_small_stack(lambda: error(data)) == ("nesting too deep", offset)


def test_a_reference_at_depth_512_may_copy_a_value_below_that_depth():
    anchored = b.anchor(ARRAY_1 * 3 + b"\x07\x00")
    got = decode(b.doc(b.array(anchored, ARRAY_1 * 511 + b.anchor_ref(0))))
    assert depth_of(got[1]) == (511 + 3, [])
    too_deep = b.doc(b"\x07\x02", anchored, ARRAY_1 * 512)
    assert error(too_deep + b.anchor_ref(0)) == ("nesting too deep", len(too_deep))


def deep_copy_doc(deepest, leaf):
    """[A0, A1, ..., An, a reference to An]: A0 nests `leaf` in lists and every later
    anchor wraps a copy of the one before in more lists, so that the final copy's
    deepest object lies `deepest` levels below it; no decoded value is nested deeper
    than the decoding limit allows."""
    first = min(deepest, WRAPPERS_PER_ANCHOR)
    anchors = [b.anchor(ARRAY_1 * first + leaf)]
    left = deepest - first
    while left:
        step = min(left, WRAPPERS_PER_ANCHOR)
        anchors.append(b.anchor(ARRAY_1 * step + b.anchor_ref(len(anchors) - 1)))
        left -= step
    return b.doc(b.array(*anchors, b.anchor_ref(len(anchors) - 1)))


@pytest.mark.parametrize("leaf, value", [(b"\x07\x00", []), (b"\x80", 0)])
def test_copies_nest_4096_levels_below_the_referenced_value(leaf, value):
    got = on_small_stack(lambda: decode(deep_copy_doc(4096, leaf)))
    assert depth_of(got[-1]) == (4096, value)
    assert got[-1] is not got[-2]
    assert on_small_stack(lambda: error(deep_copy_doc(4097, leaf))) == ("nesting too deep", 0)
