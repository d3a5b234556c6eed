"""vesk.dumps: every accepted object round-trips exactly through both decoders."""

import collections
import copy
import enum
import itertools
import math
import struct
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import vesk
from support import same
from vesk_native import loads_binary

sys.setrecursionlimit(max(sys.getrecursionlimit(), 10000))  # for the deepest objects
OPTIONS = [dict(columnar=c, anchors=a) for c, a in itertools.product((True, False), repeat=2)]


def normalised(obj):
    """What decoding gives back: tuples and subclasses as their base types,
    whole floats below 2**53 (and -0.0) as ints."""
    if isinstance(obj, bool):
        return bool(obj)
    if isinstance(obj, int):
        return int(obj)
    if isinstance(obj, float):
        return int(obj) if obj == int(obj) and abs(obj) < 2**53 else float(obj)
    if isinstance(obj, str):
        return str(obj)
    if isinstance(obj, (list, tuple)):
        return [normalised(x) for x in obj]
    if isinstance(obj, dict):
        return {str(k): normalised(v) for k, v in obj.items()}
    return obj


def same_bits(a, b):
    """`same`, with floats compared by their bits. Iterative: the deepest
    documents nest further than C-level recursion may go on some versions."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is float and type(b) is float:
            if struct.pack("<d", a) != struct.pack("<d", b):
                return False
        elif type(a) is list and type(b) is list:
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif type(a) is dict and type(b) is dict:
            if list(a) != list(b):
                return False
            pending.extend((a[k], b[k]) for k in a)
        elif not same(a, b):
            return False
    return True


def strings(tree, found):
    if type(tree) is str:
        found.append(tree)
    elif type(tree) is list:
        for x in tree:
            strings(x, found)
    elif type(tree) is dict:
        for k, v in tree.items():
            found.append(k)
            strings(v, found)
    return found


def round_trip(obj, copied=True, **options):
    """Encodes, decodes with both decoders and checks the result exactly."""
    data = vesk.dumps(obj, **options)
    again = copy.deepcopy(obj) if copied else obj
    assert data == vesk.dumps(again, **options), "output is not deterministic"
    want = normalised(obj)
    got = loads_binary(data)
    assert same_bits(got, want)
    assert same_bits(reference.loads(data), want)
    # Equal strings of two or more UTF-8 bytes come back as one object.
    first = {}
    for s in strings(got, []):
        if len(s.encode("utf-8", "surrogatepass")) >= 2:
            assert first.setdefault(s, s) is s
    return data


# Texts from a small stock, so that they repeat, with non-ASCII and long ones.
TEXTS = st.sampled_from(["", "a", "é", "ab", "id", "name", "ünï", "日本語", "x" * 31, "y" * 32,
                         "long " * 40]) | st.text(max_size=40)
INTS = st.integers(-(2**63), 2**63 - 1) | st.integers(-200, 200)
FLOATS = (st.floats(allow_nan=False, allow_infinity=False)
          | st.integers(-10**7, 10**7).flatmap(
              lambda m: st.integers(0, 6).map(lambda s: m / 10**s))
          | st.sampled_from([0.0, -0.0, 2.0**53, -(2.0**53), 2.0**60, 1e300, 5e-324, 0.1]))
SCALARS = st.none() | st.booleans() | INTS | FLOATS | TEXTS
KEYS = st.sampled_from(["a", "b", "id", "name", "price", "ü", "k" * 40]) | st.text(max_size=8)


def records(cells):
    """Lists of dicts: one shared key sequence (tables), or keys dropped from
    rows of one key order (sparse tables)."""
    def rows(keys, sparse):
        row = st.fixed_dictionaries(
            {}, optional={k: cells for k in keys}) if sparse else st.fixed_dictionaries(
                {k: cells for k in keys})
        return st.lists(row, min_size=2, max_size=40)
    return st.builds(lambda keys, sparse: (keys, sparse),
                     st.lists(KEYS, min_size=1, max_size=6, unique=True),
                     st.booleans()).flatmap(lambda ks: rows(*ks))


# Columns of one kind: every column kind has its cells.
COLUMN_CELLS = st.one_of(st.booleans(), INTS, FLOATS, TEXTS, st.none(),
                         st.integers(0, 5).map(lambda i: ["ab", "cd", "é", "x"][i % 4]),
                         st.integers(-10**6, 10**6).map(lambda m: m / 100))
ONE_KIND_LISTS = st.one_of(*(st.lists(s, min_size=2, max_size=60) for s in (
    st.booleans(), INTS, st.integers(-1000, 1000), FLOATS,
    st.integers(-10**6, 10**6).map(lambda m: m / 1000), TEXTS,
    st.sampled_from(["red", "green", "b"]))))


def trees(leaves):
    return st.recursive(
        leaves,
        lambda inner: st.lists(inner, max_size=6) | st.dictionaries(KEYS, inner, max_size=6)
        | st.lists(inner, max_size=4).map(tuple) | records(inner | COLUMN_CELLS)
        | records(st.dictionaries(st.sampled_from(["p", "q"]), COLUMN_CELLS, min_size=2)),
        max_leaves=60)


OBJECTS = trees(SCALARS | ONE_KIND_LISTS | records(COLUMN_CELLS))


@settings(max_examples=400, deadline=None)
@given(OBJECTS, st.sampled_from(OPTIONS))
def test_every_object_round_trips_exactly_with_every_option(obj, options):
    round_trip(obj, **options)


@settings(max_examples=100, deadline=None)
@given(st.lists(OBJECTS, min_size=1, max_size=4), st.lists(st.integers(0, 12), max_size=12),
       st.sampled_from(OPTIONS))
def test_shared_containers_round_trip_as_copies(parts, picks, options):
    """The same list or dict in several places (anchors and references)."""
    shared = [p for p in parts if isinstance(p, (list, dict))] or [[1, "shared"]]
    obj = [shared[i % len(shared)] for i in picks] + [{"again": shared[0]}, shared]
    round_trip(obj, **options)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(0, 199), min_size=64, max_size=400), st.sampled_from(OPTIONS))
def test_text_objects_met_again_in_a_large_pool_round_trip(picks, options):
    """Past 64 pooled texts, the same str objects come back among equal copies of them."""
    texts = [f"text {i}" for i in range(200)]
    copies = ["".join(list(t)) for t in texts]
    obj = [{texts[i]: copies[i], "v": texts[i * 7 % 200]} for i in picks] + [copies[i] for i in picks]
    round_trip(obj, **options)


@pytest.mark.parametrize("options", OPTIONS)
def test_texts_made_by_default_are_not_mistaken_for_later_ones(options):
    """The hook's texts die after use but for the pool; a new text at a freed
    address must not be written as the old one."""
    made = iter(range(10**6))
    data = vesk.dumps([Point()] * 500, default=lambda o: f"made {next(made)}", **options)
    assert loads_binary(data) == [f"made {i}" for i in range(500)]


@pytest.mark.parametrize("options", OPTIONS)
def test_an_equal_copy_that_default_drops_is_not_mistaken_for_a_later_text(options):
    """A copy met again is remembered by its address; once the hook drops it,
    a new text at that address must not be written as the copy."""
    items = [f"pad {i}" for i in range(70)]
    for i in range(50):
        items += ["".join(["copy ", str(i)]), "".join(["copy ", str(i)]), Point()]

    def default(obj):
        at = items.index(obj)
        items[at - 1] = None  # the last reference to the second copy
        return "".join(["made ", str(at % 10)])
    expected = [x if isinstance(x, str) else f"made {i % 10}" for i, x in enumerate(items)]
    assert loads_binary(vesk.dumps(items, default=default, **options)) == expected


@settings(max_examples=30, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([1, 3, 40, 600, 3000]), st.integers(0, 3999)),
                min_size=2, max_size=6), st.sampled_from(OPTIONS))
def test_documents_written_one_after_another_keep_their_pools_apart(docs, options):
    """A large document leaves its pool's table behind for the next one: no
    text of one may be taken for a text of another, whatever their sizes."""
    for size, start in docs:
        texts = [f"text {(start + i) % 4000}" for i in range(size)]
        round_trip(texts + texts[: size // 2] + [{t: t for t in texts[:20]}], **options)


class Colour(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Number(float):
    pass


class Items(list):
    pass


def test_subclasses_are_written_as_their_base_types():
    obj = {Text("key"): [Colour.RED, Text("value"), Number(2.5), Items([1, (2, 3)]),
                         collections.OrderedDict(b=1, a=2)], "t": (Text("key"), "key")}
    for options in OPTIONS:
        round_trip(obj, **options)


class Record:
    def __init__(self):
        self.name, self.size = "a", 1


def with_holes(n, str_keys=True):
    d = {(f"k{i}" if str_keys else i): i for i in range(n)}
    for i in range(0, n, 3):
        del d[f"k{i}" if str_keys else i]
    return d


def general_keys_with_str_keys_only():
    d = {1: 0, "a": 1, "b": 2}
    del d[1]
    return d


# Dicts whose entry tables have deleted entries, general keys or values kept
# apart (an instance's attributes): each must be written as its plain copy.
ODD_DICTS = {"holes": with_holes(10), "many holes": with_holes(70_000),
             "general keys": general_keys_with_str_keys_only(), "instance attributes": vars(Record()),
             "emptied": with_holes(1),
             "records with holes": [with_holes(6), with_holes(6)]}


@pytest.mark.parametrize("obj", ODD_DICTS.values(), ids=ODD_DICTS)
@pytest.mark.parametrize("options", OPTIONS)
def test_dicts_are_written_as_their_plain_copies(obj, options):
    plain = [dict(d) for d in obj] if isinstance(obj, list) else dict(obj)
    assert vesk.dumps(obj, **options) == vesk.dumps(plain, **options)
    round_trip(obj, **options)


def test_deepest_value_encodes_and_one_more_level_fails_with_its_path():
    def nested(levels):
        obj = []
        for _ in range(levels):
            obj = [obj]
        return obj
    for options in OPTIONS:
        round_trip(nested(512), copied=False, **options)
        with pytest.raises(ValueError, match=r"nesting deeper than 512 .* at \$(\[0\]){513}$"):
            vesk.dumps(nested(513), **options)


def test_deep_records_and_anchors_stay_within_the_depth_limit():
    deep = {"v": 1}
    for _ in range(508):
        deep = {"d": deep}
    shared = [deep]
    for options in OPTIONS:
        round_trip([[shared, shared]], copied=False, **options)
        round_trip([deep, deep], copied=False, **options)


@pytest.mark.parametrize("options", OPTIONS)
def test_cycles_end_in_value_error(options):
    a = []
    a.append(a)
    d = {}
    d["self"] = [d]
    for obj in (a, d, [1, {"x": a}]):
        with pytest.raises(ValueError, match="nesting deeper than 512"):
            vesk.dumps(obj, **options)


def test_references_stop_at_the_copy_budget():
    big = list(range(1_000_000))  # each copy costs 1,000,001 cells
    data = vesk.dumps([big] * 20, anchors=True)
    assert loads_binary(data) == [big] * 20
    assert data.count(b"\x0b\x00") == 16
    empty = [[]] * 100
    assert vesk.dumps(empty, anchors=True, columnar=False) == bytes.fromhex(
        "0f0107640a0700") + b"\x0b\x00" * 99


def test_columns_beyond_the_fixed_size_budget_round_trip():
    rows = [{f"c{j}": (i + j) % 3 == 0 for j in range(24)} for i in range(200_000)]
    data = vesk.dumps(rows)
    assert data[2] == 0x09
    assert loads_binary(data) == rows


def test_a_wide_first_row_before_many_small_ones_takes_no_room_per_row_and_key():
    rows = [{f"k{i}": i for i in range(1000)}] + [{"a": 1}] * 200_000
    tracemalloc.start()
    try:
        data = vesk.dumps(rows)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert loads_binary(data) == rows
    assert peak < 64 << 20  # a cell for each row and key of the first: 1.6 GB


LAYOUTS = [
    # A table: a Bitmap column and a Delta column.
    ([{"a": True, "b": 200}, {"a": False, "b": 205}], {}, "0f01 09 02 4161 4162 02 04 01 01 9003 0a"),
    # A sparse table: id dense, x present in rows 0 and 2.
    ([{"id": 1000, "x": True}, {"id": 1001}, {"id": 1002, "x": False}], {},
     "0f01 0d 02 426964 4178 03 00 01 d00f 02 02 01 05 04 01"),
    # List columns: Bitmap, Delta, Decimal at scale 2, Dictionary.
    ([True, False, True, True], {}, "0f01 0c 04 04 0d"),
    ([1000, 1001, 1002, 1003], {}, "0f01 0c 04 01 d00f 02 02 02"),
    ([1.5, 2.25, -0.5], {}, "0f01 0c 03 02 02 ac02 c203 63"),
    (["ab", "c", "ab", "c", "ab", "c", "ab"], {}, "0f01 0c 07 03 02 426162 4163 00 01 00 01 00 01 00"),
    # An Object column inside a table.
    ([{"p": {"x": 1, "y": True}}, {"p": {"x": 2, "y": False}}], {},
     "0f01 09 01 4170 02 05 02 4178 4179 00 81 82 04 01"),
    # The pool: the repeated key and value are references.
    ({"ab": "ab", "cd": ["ab", "cd"]}, {"columnar": False},
     "0f01 08 02 426162 0600 426364 07 02 0600 0601"),
    # Anchors: the shared list once, then a reference.
    ([[7], [7]], {"anchors": True}, "0f01 07 02 07 01 87 07 01 87"),
    (lambda: (lambda s: [s, s])([7]), {"anchors": True, "columnar": False},
     "0f01 07 02 0a 07 01 87 0b 00"),
    # Scalars in their shortest forms.
    ([0, 127, 128, -1, 3.0, 0.5, None, "é"], {"columnar": False},
     "0f01 07 08 80 ff 03 8002 03 01 83 04 000000000000e03f 00 42c3a9"),
    # columnar=False writes records plainly.
    ([{"a": 1}, {"a": 2}], {"columnar": False}, "0f01 07 02 08 01 4161 81 08 01 4161 82"),
]


@pytest.mark.parametrize("obj,options,expected", LAYOUTS)
def test_layout_tags_and_kinds(obj, options, expected):
    obj = obj() if callable(obj) else obj
    data = vesk.dumps(obj, **options)
    assert data.hex() == expected.replace(" ", "")
    assert same(loads_binary(data), normalised(obj))


class Point:
    pass


ERRORS = [
    (Point(), TypeError, r"unsupported type Point at \$$"),
    ({"orders": [1, 2, 3, {"price": math.nan}]}, ValueError,
     r"float is not finite at \$\[\"orders\"\]\[3\]\[\"price\"\]$"),
    ({"a": [1, {2: 3}]}, TypeError, r"dict key must be str, not int at \$\[\"a\"\]\[1\]$"),
    ([0, 2**63], OverflowError, r"int does not fit in 64 signed bits at \$\[1\]$"),
    ([-(2**63) - 1], OverflowError, r"at \$\[0\]$"),
    ({"s": ["ok", "\ud800"]}, ValueError, r"str has no UTF-8 form .* at \$\[\"s\"\]\[1\]$"),
    ({"k\ud800": 1}, ValueError, r"str has no UTF-8 form .* at \$$"),
    ([math.inf, 1.5], ValueError, r"float is not finite at \$\[0\]$"),
    # Inside columns: a table cell, an Object sub-column, a sparse column, a dictionary.
    ([{"a": 1, "b": "x"}, {"a": 2, "b": {1}}], TypeError, r"unsupported type set at \$\[1\]\[\"b\"\]$"),
    ([{"p": {"x": 1.5}}, {"p": {"x": math.inf}}], ValueError, r"at \$\[1\]\[\"p\"\]\[\"x\"\]$"),
    ([{"a": 1}, {"b": 2}, {"a": 3, "b": [Point()]}], TypeError,
     r"unsupported type Point at \$\[2\]\[\"b\"\]\[0\]$"),
    ([{"c": "ok"}, {"c": "\udfff"}, {"c": "\udfff"}], ValueError, r"at \$\[1\]\[\"c\"\]$"),
    ([1.5, 2.5, math.nan], ValueError, r"at \$\[2\]$"),
    ([{"k": 1}, {"k": 2**64}], OverflowError, r"at \$\[1\]\[\"k\"\]$"),
    ({'q"\\': [Point()]}, TypeError, r'at \$\["q\\"\\\\"\]\[0\]$'),
    # A table inside a cell of a sparse table reports its own row, then the outer one.
    ([{"a": 1}, {"b": [{"x": 1}, {"x": 2}, {"x": 3}, {"x": math.nan}]}, {"a": 2, "b": 1}],
     ValueError, r"at \$\[1\]\[\"b\"\]\[3\]\[\"x\"\]$"),
]


@pytest.mark.parametrize("obj,exc,pattern", ERRORS)
def test_every_error_names_its_path(obj, exc, pattern):
    for options in OPTIONS:
        with pytest.raises(exc, match=pattern) as info:
            vesk.dumps(obj, **options)
        assert type(info.value) is exc


def test_default_converts_what_is_not_supported():
    seen = []

    def default(obj):
        seen.append(obj)
        return {"point": [1, 2]} if isinstance(obj, Point) else sorted(obj)

    obj = [{"at": Point(), "tags": {"b", "a"}}, {"at": Point(), "tags": {"c"}}]
    for options in OPTIONS:
        data = vesk.dumps(obj, default=default, **options)
        assert loads_binary(data) == [{"at": {"point": [1, 2]}, "tags": ["a", "b"]},
                                      {"at": {"point": [1, 2]}, "tags": ["c"]}]
    assert vesk.dumps([1], default=None) == vesk.dumps([1])


def test_default_results_that_are_again_unsupported_fail():
    with pytest.raises(TypeError, match=r"unsupported type Point at \$\[0\]"):
        vesk.dumps([Point()], default=lambda o: o)
    with pytest.raises(TypeError, match=r"unsupported type object at \$\[0\]"):
        vesk.dumps([Point()], default=lambda o: object())
    # A hook that keeps wrapping its argument ends at the depth limit.
    with pytest.raises(ValueError, match="nesting deeper than 512"):
        vesk.dumps(Point(), default=lambda o: [o])


def test_exceptions_from_default_pass_through_unchanged():
    class Stop(Exception):
        pass
    stop = Stop("no")

    def default(obj):
        raise stop
    for options in OPTIONS:
        with pytest.raises(Stop) as info:
            vesk.dumps([{"a": 1}, {"a": Point()}], default=default, **options)
        assert info.value is stop


def test_default_that_changes_the_object_cannot_break_the_document():
    rows = [{"a": Point(), "b": [1, 2]} for _ in range(5)]

    def default(obj):
        rows.clear()
        return 0
    data = vesk.dumps({"rows": rows, "more": [Point(), "x"]}, default=default)
    assert loads_binary(data) == {"rows": [{"a": 0, "b": [1, 2]}] * 5, "more": [0, "x"]}
    items = [Point(), Point(), 1]
    with pytest.raises(RuntimeError, match=r"list changed size"):
        vesk.dumps(items, default=lambda o: items.clear(), columnar=False)


def test_bad_arguments():
    with pytest.raises(TypeError):
        vesk.dumps()
    with pytest.raises(TypeError):
        vesk.dumps(1, 2)
    with pytest.raises(TypeError, match="unexpected keyword"):
        vesk.dumps(1, colunmar=True)
    with pytest.raises(TypeError, match="callable"):
        vesk.dumps(1, default=3)
