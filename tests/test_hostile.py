"""Hostile documents: the work and memory of a decode stay bounded by the input.

The budgets allow 16,777,216 copied cells for all anchor references together
and 32 cells per input byte plus 4,194,304 for columns; claims beyond them, or
beyond the bytes that follow, must fail before anything is built for them.
"""

import gc
import itertools
import os
import string
import subprocess
import sys
import time
import tracemalloc

import pytest

import reference
import vesk_build as b
from support import check_no_leak, decode, error, outcome
from vesk_native import VeskError, loads_binary

REF_BUDGET = 1 << 24


def size_budget(length):
    return 32 * length + 4194304


def traced(data):
    """The outcome of decoding `data` once and the peak of the memory traced meanwhile."""
    tracemalloc.start()
    try:
        return outcome(data), tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def distinct_keys(count):
    """`count` distinct three-letter names."""
    letters = string.ascii_letters + string.digits + "-_"
    return ["".join(t) for t in itertools.islice(itertools.product(letters, repeat=3), count)]


# -- reference bombs -----------------------------------------------------------

def doubling_bomb(pair_head, pair_middle, levels=12, base_cells=(1 << 16) - 1):
    """Anchor 0 is a list of `base_cells` booleans; anchor i holds two references
    to anchor i - 1, so each level doubles what a copy costs. Returns the
    document and the offset just after the first reference the budget cannot pay."""
    out = bytearray(b"\x0f\x01\x07" + b.uvarint(levels))
    out += b.anchor(b.list_column(base_cells, b.col_bitmap(*[False] * base_cells)))
    costs_and_ends = []
    cost = base_cells + 1
    for i in range(1, levels):
        ref = b.anchor_ref(i - 1)
        out += b"\x0a" + pair_head + ref
        costs_and_ends.append((cost, len(out)))
        out += pair_middle + ref
        costs_and_ends.append((cost, len(out)))
        cost = 2 * cost + 3  # the pair itself: two items + 1
    budget = REF_BUDGET
    for cost, end in costs_and_ends:
        budget -= cost
        if budget < 0:
            return bytes(out), end
    raise AssertionError("the bomb fits the budget")


@pytest.mark.parametrize("pair_head, pair_middle", [
    (b"\x07\x02", b""),                # [ref, ref]
    (b"\x08\x02\x41a", b"\x41b"),      # {"a": ref, "b": ref}
], ids=["list", "dict"])
def test_doubling_references_stop_at_the_reference_budget(pair_head, pair_middle):
    data, offset = doubling_bomb(pair_head, pair_middle)
    got, peak = traced(data)
    assert got == ("err", "reference expansion too large", offset)
    # Copies of a list of booleans cost a pointer a cell, and the budget caps the cells.
    assert peak < 9 * REF_BUDGET
    check_no_leak(data, runs=4)


# -- decoded-size budget -------------------------------------------------------

def test_object_column_chain_stops_at_the_size_budget():
    # Each nested Object column charges the cell count again, so depth
    # multiplies a claim that the input (one bitmap at the bottom) backs once.
    depth, n = 500, 9000
    data = b.doc(b"\x0c" + b.uvarint(n) + b"\x05\x01\x41x" * depth
                 + b"\x04" + bytes(n // 8))
    first_kind = 2 + 1 + len(b.uvarint(n))
    failing_level = size_budget(len(data)) // (n + 1)  # the first level past the budget
    assert failing_level < depth
    assert outcome(data) == ("err", "decoded size too large", first_kind + 4 * failing_level)


def claimed_rows(wrap, keys=1000, rest=1000):
    """`keys` distinct keys and a row count of 8 * `rest`, then a first
    Bitmap column cut one byte short."""
    n = 8 * rest
    return b.doc(wrap(distinct_keys(keys), n, b"\x04" + bytes(rest - 1)))


@pytest.mark.parametrize("wrap", [
    lambda keys, n, col: b.list_column(n, b.col_object([(k, b"") for k in keys]) + col),
    lambda keys, n, col: b.table(keys, n, col),
    lambda keys, n, col: b.sparse(keys, n, b"\x00" + col),
], ids=["object column", "table", "sparse table"])
def test_claimed_rows_are_not_built_ahead_of_the_input(wrap):
    data = claimed_rows(wrap)
    assert error(data)[0] == "truncated input"
    # 8,000 rows may be made, but never 8,000 x 1,000 entries.
    assert traced(data)[1] < 4_000_000


def test_nested_array_counts_cannot_claim_the_input_again_at_every_level():
    # 500 arrays, each counting as many elements as bytes follow it: the open
    # lists must not hold 500 times the input in slots.
    size, depth = 64 * 1024, 500
    head = b"".join(b"\x07" + b.uvarint(size - 8 * depth) for _ in range(depth))
    data = b.doc(head + b"\x01" * (size - len(head)))
    assert error(data)[0] == "truncated input"
    assert traced(data)[1] < 16 * size


def first_keys(k):
    return b"".join(b.short_key("k%03d" % i) for i in range(k))


def pooled_keys(k):
    return b"".join(b.key_ref(i) for i in range(k))


def nested_object_columns(count, k, levels):
    """A list column of `count` cells whose Object kind nests `levels` deep, `k`
    keys a level, then a bad column kind and the zero bytes that the smallest
    columns of every level would take. Returns the document and the kind's offset."""
    head = b"\x0f\x01\x0c" + b.uvarint(count) + b"\x05" + b.uvarint(k) + first_keys(k)
    head += (b"\x05" + b.uvarint(k) + pooled_keys(k)) * (levels - 1)
    return head + b"\x06" + bytes(k * (1 + (count + 7) // 8)), len(head)


def nested_tables(count, k, levels):
    """Tables of `count` rows and `k` keys nested `levels` deep through the first
    cell of their first (Tagged) column, the innermost cell a bad tag, then the
    zero bytes of the smallest columns. Returns the document and the tag's offset."""
    head = b"\x0f\x01\x09" + b.uvarint(k) + first_keys(k) + b.uvarint(count) + b"\x00"
    head += (b"\x09" + b.uvarint(k) + pooled_keys(k) + b.uvarint(count) + b"\x00") * (levels - 1)
    return head + b"\x0e" + bytes(k * (1 + (count + 7) // 8)), len(head)


# The peaks allowed are about twice what the decode takes; filling every level
# alike took 3.2 GiB, 1.6 GiB, 69 MiB and 57 MiB for the first four.
PREFILL_NESTS = [
    # The two documents of the review: 126,406 and 76,653 bytes.
    (nested_object_columns, 2000, 100, 500, "bad column kind", 200),
    (nested_tables, 2000, 100, 250, "bad tag 0x0e", 120),
    (nested_object_columns, 800, 10, 300, "bad column kind", 40),
    (nested_tables, 800, 10, 250, "bad tag 0x0e", 34),
    (nested_object_columns, 64, 100, 1, "bad column kind", 1),
]


@pytest.mark.parametrize("build, count, k, levels, message, mib", PREFILL_NESTS,
                         ids=["%s-%dx%dx%d" % (p[0].__name__, p[1], p[2], p[3])
                              for p in PREFILL_NESTS])
def test_rows_filled_in_advance_stay_within_the_budget_at_every_depth(
        build, count, k, levels, message, mib):
    # Entries filled in advance, over all levels together, stay within eight
    # per input byte; what is left is the rows, which the budget pays for.
    data, offset = build(count, k, levels)
    got, peak = traced(data)
    assert got == ("err", message, offset)
    assert peak < mib << 20


# -- key lists -------------------------------------------------------------------

def test_a_table_header_of_100000_keys_decodes_in_linear_time():
    keys = distinct_keys(100_000)
    data = b.doc(b.table(keys, 1, *[b.col_bitmap(True)] * len(keys)))
    fastest = min(timed(data) for _ in range(3))
    assert fastest < 0.5, f"100,000 keys took {fastest:.3f}s"
    assert list(loads_binary(data)[0]) == keys
    check_no_leak(data, runs=4)
    # The last key repeats the first: found through the hash set, after all keys.
    dup = b.doc(b.table(keys + [keys[0]], 1))
    assert error(dup) == (f"duplicate column '{keys[0]}'", len(dup) - 1)


HUGE_HEADER = r"""
import resource, sys
from vesk_native import VeskError, loads_binary

count = 60_000_000
head = b"\x0f\x01\x09" + bytes([0x80 | (count & 0x7F), 0x80 | (count >> 7 & 0x7F),
                                  0x80 | (count >> 14 & 0x7F), count >> 21])
data = head + bytes(count)
cap = 3 << 30
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
try:
    loads_binary(data)
except VeskError as e:
    print(e.message, e.offset)
"""


# A sanitizer build reserves terabytes of address space for its shadow memory.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit does not fit a sanitizer build")
def test_a_header_claiming_60_million_keys_fails_at_its_first_key_in_3_gib():
    # The key list takes 24 bytes a claimed key (1.4 GB); a hash set sized
    # for every claimed key before the first is read would take 2 GB more.
    done = subprocess.run([sys.executable, "-c", HUGE_HEADER], capture_output=True,
                          text=True, timeout=600)
    assert (done.returncode, done.stdout.strip()) == (0, "key must be a string 7"), done.stderr


def timed(data):
    start = time.perf_counter()
    loads_binary(data)
    return time.perf_counter() - start


# -- nesting -----------------------------------------------------------------------

def object_chain(levels):
    """A one-cell list column of `levels` nested Object columns, one key each."""
    return b.doc(b.list_column(1, b"\x05\x01\x41x" * levels + b.col_bitmap(True)))


def test_object_columns_nest_up_to_the_depth_limit():
    # The list column's own column is at depth 1, so 511 levels put the
    # innermost bitmap at 512 and one more level puts its kind byte past it.
    got = decode(object_chain(511))[0]
    for _ in range(511):
        (got,) = got.values()
    assert got is True
    assert error(object_chain(512)) == ("nesting too deep", 4 + 4 * 512)


# -- counts and lengths beyond the input -------------------------------------------

# Where a count, length or index stands, the bytes before it, and what a value
# too large for it (but a valid varint) yields.
COUNTED = [
    ("array count", "07", "truncated input"),
    ("object count", "08", "truncated input"),
    ("string length", "05", "truncated input"),
    ("long key length", "08 01 05", "truncated input"),
    ("list column count", "0C", "truncated input"),
    ("dictionary entry count", "0C 01 03", "truncated input"),
    ("object column key count", "0C 01 05", "truncated input"),
    ("table key count", "09", "truncated input"),
    ("table row count", "09 01 41 61", "truncated input"),
    ("sparse key count", "0D", "truncated input"),
    ("sparse row count", "0D 01 41 61", "truncated input"),
    ("sparse object column key count", "0D 01 41 61 01 00 05", "truncated input"),
    ("string reference", "06", "bad string reference"),
    ("key reference", "08 01 06", "bad string reference"),
    ("anchor reference", "0B", "bad anchor reference"),
    ("dictionary index", "0C 01 03 00", "bad dictionary index"),
]
HUGE = [
    ("2^31-1", b.uvarint(0x7FFFFFFF)),
    ("2^31", b.uvarint(0x80000000)),
    ("2^64-1", b.uvarint((1 << 64) - 1)),
    ("2^64", b"\xff" * 9 + b"\x02"),
]


@pytest.mark.parametrize("field, before, message", COUNTED, ids=[c[0] for c in COUNTED])
@pytest.mark.parametrize("name, varint", HUGE, ids=[h[0] for h in HUGE])
def test_huge_counts_fail_without_allocating(field, before, message, name, varint):
    head = b"\x0f\x01" + bytes.fromhex(before)
    data = head + varint + bytes(16)
    if name == "2^64":
        expected = ("varint overflows 64 bits", len(head))
    else:
        expected = (message, len(head) + len(varint))
    assert error(data) == expected
    assert traced(data)[1] < 100_000


# -- truncation ----------------------------------------------------------------------

SCALARS = [b.none(), b.boolean(False), b.boolean(True), b.small_int(7), b.int_(-300),
           b.int_(-(1 << 63)), b.float_(2.5), b.float_(-4.0), b.short_string("é"),
           b.short_string("shared"), b.long_string("long " * 9), b.ref(1)]


def every_kind(n, offset=0):
    """A column of n cells of each kind; Object columns nest two deep."""
    ints = [(i + offset) * 1000003 - (1 << 62) for i in range(n)]
    return [
        b.col_tagged(*(SCALARS[(i + offset) % len(SCALARS)] for i in range(n))),
        b.col_delta(*ints),
        b.col_decimal(3, *(i * (1 << 55) + 5 for i in range(n))),
        b.col_dictionary(["red", b.long_key("green"), b.ref(0)], [i % 3 for i in range(n)]),
        b.col_bitmap(*((i + offset) % 3 == 0 for i in range(n))),
        b.col_object([("x", b.col_bitmap(*(i % 2 == 0 for i in range(n)))),
                      ("yy", b.col_object([("z", b.col_delta(*ints[::-1]))]))]),
    ]


def mixed_document(n=30):
    """Every tag and column kind: list columns, a table and a sparse table of
    each kind, anchors, references and pooled strings."""
    names = ["c%d" % i for i in range(6)]
    present = [r for r in range(n) if r % 3 != 1]
    return b.doc(b.obj(
        ("anchored", b.anchor(b.array(b.string("shared"), b.float_(0.5),
                                      b.obj(("k", b.array(b.small_int(1))))))),
        ("scalars", b.array(*SCALARS, b.array(), b.obj())),
        ("columns", b.array(*(b.list_column(n, c) for c in every_kind(n)))),
        ("table", b.table(names, n, *every_kind(n, 1))),
        ("sparse", b.sparse(names, n, *(
            b.dense(full) if i % 2 else b.sparse_col(present, part, n=n)
            for i, (full, part) in enumerate(zip(every_kind(n, 2),
                                                 every_kind(len(present), 2)))))),
        ("dense sparse", b.sparse(names, n, *(b.dense(c) for c in every_kind(n, 3)))),
        ("copy", b.anchor_ref(0)),
        (b.ref(1), b.array(b.anchor_ref(0), b.ref(2))),
    ))


def test_every_proper_prefix_of_a_large_document_fails():
    data = mixed_document()
    assert 2000 < len(data) < 8000
    assert repr(decode(data)) == repr(reference.loads(data))

    def decode_prefixes():
        for end in range(len(data)):
            try:
                value = loads_binary(data[:end])
            except VeskError as e:
                assert e.offset <= end
                assert e.message in ("truncated input", "bad decimal scale",
                                     "not a VESK binary document"), (end, e.message)
            else:
                raise AssertionError(f"prefix of {end} bytes decoded to {value!r:.80}")

    decode_prefixes()
    gc.collect()
    before = sys.getallocatedblocks()
    decode_prefixes()
    decode_prefixes()
    gc.collect()
    assert sys.getallocatedblocks() - before < 8
    # Exact places, on a sample (the reference decoder is slow).
    for end in range(2, len(data), 7):
        with pytest.raises(reference.RefError) as e:
            reference.loads(data[:end])
        assert outcome(data[:end]) == ("err", e.value.message, e.value.offset), end
