"""Shared helpers: every case decodes through a leak check."""

import gc
import sys

from vesk_native import VeskError, loads_binary

import reference

LEAK_RUNS = 16


def outcome(data):
    """("ok", value) or ("err", message, offset) for one decode."""
    try:
        return ("ok", loads_binary(data))
    except VeskError as e:
        return ("err", e.message, e.offset)


def reference_outcome(data):
    """outcome() of the reference decoder."""
    try:
        return ("ok", reference.loads(data))
    except reference.RefError as e:
        return ("err", e.message, e.offset)


def agree(data):
    """Fails unless the module and the reference decoder give the same value, or
    the same message and offset."""
    got, want = outcome(data), reference_outcome(data)
    if want[0] == "ok":
        # repr tells True from 1 and 1 from 1.0, and shows the key order.
        assert got[0] == "ok" and repr(got[1]) == repr(want[1]), data.hex()
    else:
        assert got == want, data.hex()


def check_no_leak(data, runs=LEAK_RUNS):
    """Decodes `data` `runs` times and fails if allocated blocks grew with the runs."""
    for _ in range(3):
        outcome(data)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(runs):
        outcome(data)
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < runs // 2, f"{grown} blocks left behind by {runs} decodes"


def decode(data):
    """loads_binary(data), after the leak check."""
    check_no_leak(data)
    return loads_binary(data)


def error(data):
    """(message, offset) of the VeskError that decoding `data` raises, after the leak check."""
    check_no_leak(data)
    try:
        value = loads_binary(data)
    except VeskError as e:
        assert isinstance(e, ValueError)
        assert e.args == (f"vesk: offset {e.offset}: {e.message}",)
        return e.message, e.offset
    raise AssertionError(f"decoded to {value!r} instead of failing")


def same(a, b):
    """Equal, with the same types throughout (1 is not 1.0 nor True) and the same key order."""
    if type(a) is not type(b):
        return False
    if type(a) is list:
        return len(a) == len(b) and all(map(same, a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def doc_hex(text):
    """Document bytes from spaced hex."""
    return bytes.fromhex(text.replace(" ", ""))
