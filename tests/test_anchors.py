"""Anchors and references: copies of lists and dicts, shared scalars, the reference budget."""

import gc

import pytest

import vesk_build as b
from support import decode, doc_hex, error
from vesk_native import VeskError, loads_binary

REF_BUDGET = 1 << 24


def anchored_and_refs(anchored, count):
    """[anchored, then count references to it]."""
    return b.doc(b"\x07" + b.uvarint(count + 1), b.anchor(anchored), b.anchor_ref(0) * count)


@pytest.mark.parametrize(
    "hex_value, expected",
    [("07 02 0A 42 61 62 0B 00", ["ab", "ab"]), ("07 02 0A 07 01 80 0B 00", [[0], [0]]),
     ("07 03 0A 07 01 0A 80 0B 01 0B 00", [[0], 0, [0]]),  # anchors count from the outer one
     ("0A 07 02 0A 42 61 62 0B 01", ["ab", "ab"]),  # the inner anchor is finished
     ("07 03 0A 07 00 0B 00 0B 00", [[], [], []]),
     ("07 02 0A 08 02 41 62 07 01 00 41 61 02 0B 00", [{"b": [None], "a": True}] * 2)],
)
def test_references_repeat_anchored_values_as_new_containers(hex_value, expected):
    got = decode(doc_hex("0F 01 " + hex_value))
    assert got == expected and [list(x) for x in got if type(x) is dict] in ([], [["b", "a"]] * 2)
    containers = [x for x in got if type(x) in (list, dict)]
    assert len({id(x) for x in containers}) == len(containers)


def test_copies_share_keys_and_scalars():
    anchored = b.obj(("ab", b.array(b.array(), b.float_(1.5), b.int_(-(2**40)), b.string("xyz"))),
                     ("cd", b.obj(("ef", b.none()))))
    first, second = decode(b.doc(b.array(b.anchor(anchored), b.anchor_ref(0))))
    assert first == second and first["ab"][0] is not second["ab"][0]
    assert first["cd"] is not second["cd"]
    assert all(x is y for x, y in zip(first["ab"][1:], second["ab"][1:]))
    assert all(x is y for x, y in zip(first, second))


@pytest.mark.parametrize(
    "hex_value, expected",
    [("0B 00", ("bad anchor reference", 4)), ("07 02 0A 80 0B 01", ("bad anchor reference", 8)),
     ("07 02 0A 80 0B 80 01", ("bad anchor reference", 9)),
     ("0A 07 01 0B 00", ("bad anchor reference", 7)),  # inside the value it names
     ("0A 07 02 0A 80 0B 00", ("bad anchor reference", 9)),
     ("0B", ("truncated input", 3)), ("0A", ("truncated input", 3)),
     ("0B FF FF FF FF FF FF FF FF FF 7F", ("varint overflows 64 bits", 3)),
     ("07 02 0A 3F 0B 00", ("bad tag 0x3f", 5)),
     # A reference decodes nothing again, so it adds nothing to the string pool.
     ("07 03 0A 42 61 62 0B 00 06 01", ("bad string reference", 12))],
)
def test_anchor_errors(hex_value, expected):
    assert error(doc_hex("0F 01 " + hex_value)) == expected


def test_sixteen_copies_of_a_million_ints_fit_the_budget_and_a_seventeenth_fails():
    million = b"\x0c" + b.uvarint(10**6) + b"\x01" + bytes(10**6)  # a Delta column of zeros
    got = decode(anchored_and_refs(million, 16))
    assert len(got) == 17 and got[16] == got[0] == [0] * 10**6 and got[16] is not got[15]
    data = anchored_and_refs(million, 17)
    assert error(data) == ("reference expansion too large", len(data))


def test_empty_list_references_cost_one_unit_each_of_one_budget_for_the_document():
    # 16,777,216 new lists per decode are too many to repeat for the leak check (the
    # test above runs the same copying under it), and the collector is held off,
    # whose passes over them would take most of the time.
    gc.disable()
    try:
        got = loads_binary(anchored_and_refs(b.array(), REF_BUDGET))
        assert len(got) == REF_BUDGET + 1 and got[-1] == [] and got[-1] is not got[-2]
        del got
        data = anchored_and_refs(b.array(), REF_BUDGET + 1)
        with pytest.raises(VeskError) as info:
            loads_binary(data)
    finally:
        gc.enable()
    assert (info.value.message, info.value.offset) == ("reference expansion too large", len(data))
