"""The module's public surface, the exception class and how loads_binary takes its argument."""

import array
import gc
import importlib.util
import inspect
import subprocess
import sys

import pytest

import vesk_native
from support import decode, doc_hex, error
from vesk_native import VeskError, loads_binary

NONE_DOC = doc_hex("0F 01 00")


def test_public_surface():
    assert vesk_native.__all__ == ["loads_binary", "VeskError"]
    # The internal-fault class stays private: not exported, not even an attribute.
    assert [n for n in dir(vesk_native) if not n.startswith("_")] == ["VeskError", "loads_binary"]
    assert vesk_native.__doc__ == ""
    f = loads_binary
    assert (f.__name__, f.__module__, f.__self__) == ("loads_binary", "vesk_native", vesk_native)
    assert f.__text_signature__ == str(inspect.signature(f)) == "(data)"
    assert f.__doc__ == "Decodes VESK binary into dict/list/str/int/float/bool/None."
    e = VeskError
    assert (e.__module__, e.__name__, e.__bases__) == ("vesk_native", "VeskError", (ValueError,))
    assert e.__doc__ == "Invalid VESK input."


def test_a_second_module_object_shares_the_exception_class():
    found = importlib.util.find_spec("vesk_native")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not vesk_native and again.VeskError is VeskError
    assert again.__all__ == ["loads_binary", "VeskError"] and again.loads_binary.__self__ is again
    with pytest.raises(VeskError):
        again.loads_binary(b"")


@pytest.mark.parametrize(
    "data, text",
    [(b"", "vesk: offset 0: not a VESK binary document"),
     (doc_hex("0F 02"), "vesk: offset 1: unsupported binary version 2"),
     (doc_hex("0F 01 0E"), "vesk: offset 2: bad tag 0x0e"),
     (doc_hex("0F 01 07 E8 07") + bytes(1001), "vesk: offset 1005: trailing data")],
)
def test_raised_error_carries_text_message_and_offset(data, text):
    with pytest.raises(VeskError) as info:
        loads_binary(data)
    e = info.value
    assert type(e) is VeskError and e.args == (text,) and str(e) == text
    assert type(e.message) is str and type(e.offset) is int
    assert text == f"vesk: offset {e.offset}: {e.message}"
    error(data)  # the leak check


class Bytes(bytes):
    def __bytes__(self):
        return doc_hex("0F 01 02")


@pytest.mark.parametrize(
    "data",
    [NONE_DOC, Bytes(NONE_DOC), bytearray(NONE_DOC), memoryview(NONE_DOC),
     memoryview(doc_hex("0F 00 01 00 00"))[::2], array.array("B", NONE_DOC), [15, 1, 0], (15, 1, 0)],
    ids=["bytes", "subclass-own-buffer", "bytearray", "memoryview", "strided", "array", "list", "tuple"],
)
def test_every_bytes_like_input_is_decoded(data):
    assert decode(data) is None


def test_contiguous_buffers_are_decoded_in_place(tmp_path):
    import mmap
    import tracemalloc
    # A 4 MiB document: one string the decoder must copy once into its result.
    doc = b"\x0f\x01\x05" + bytes([0x80, 0x80, 0x80, 0x02]) + b"x" * (4 << 20)
    path = tmp_path / "doc.vesk"
    path.write_bytes(doc)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for data in (bytearray(doc), memoryview(doc), mapped):
            tracemalloc.start()
            try:
                value = loads_binary(data)
                peak = tracemalloc.get_traced_memory()[1]
            finally:
                tracemalloc.stop()
            assert value == "x" * (4 << 20)
            del value
            assert peak < 1.5 * len(doc), type(data)


def test_a_buffer_that_cannot_be_read_raises_what_bytes_raises():
    released = memoryview(NONE_DOC)
    released.release()
    with pytest.raises(ValueError) as ours:
        loads_binary(released)
    with pytest.raises(ValueError) as theirs:
        bytes(released)
    assert str(ours.value) == str(theirs.value)


@pytest.mark.parametrize(
    "data, kind, text",
    [("0F0100", TypeError, "cannot convert 'str' object to bytes"),
     (15, TypeError, "cannot convert 'int' object to bytes"),
     (None, TypeError, "cannot convert 'NoneType' object to bytes"),
     ([15, 1, 256], ValueError, "bytes must be in range(0, 256)")],
)
def test_unconvertible_input_raises_the_bytes_conversion_error(data, kind, text):
    with pytest.raises(kind) as info:
        loads_binary(data)
    assert type(info.value) is kind and str(info.value) == text


def test_data_may_be_given_by_keyword():
    assert loads_binary(data=doc_hex("0F 01 02")) is True


D = NONE_DOC


@pytest.mark.parametrize(
    "args, kwargs, message",
    [((), {}, "missing 1 required positional argument: 'data'"),
     ((D, D), {}, "takes 1 positional arguments but 2 were given"),
     ((D, D, D), {"other": 1}, "takes 1 positional arguments but 3 were given"),
     ((D,), {"data": D}, "got multiple values for argument 'data'"),
     ((), {"Data": D}, "got an unexpected keyword argument 'Data'"),
     ((), {"dätä": D}, "got an unexpected keyword argument 'dätä'"),
     # Keywords are checked in the order given.
     ((D,), {"data": D, "zz": 1}, "got multiple values for argument 'data'"),
     ((D,), {"zz": 1, "data": D}, "got an unexpected keyword argument 'zz'"),
     ((), {"data": D, "zz": 1}, "got an unexpected keyword argument 'zz'")],
)
def test_argument_mistakes_raise_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        loads_binary(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == "loads_binary() " + message


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("data", [NONE_DOC, b"\x0f\x01\x0e"])
def test_decoding_leaves_the_garbage_collector_as_it_was(enabled, data):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            loads_binary(data)
        except VeskError:
            pass
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


# A memory profiler's kind of gc callback: it walks every tracked object and
# looks into every list. A collection inside a decode would show it lists whose
# slots are still empty (a crash on 3.9, which had no pause of the collector).
GC_WALKER = r"""
import gc, sys
from vesk_native import loads_binary

calls = []

def walk(phase, info):
    calls.append(phase)
    for o in gc.get_objects():
        if type(o) is list:
            for item in o:
                type(item)

n = 200_000
data = b"\x0f\x01\x07" + bytes([0x80 | (n & 0x7F), 0x80 | (n >> 7 & 0x7F), n >> 14]) + b"\x07\x01\x00" * n
gc.callbacks.append(walk)
value = loads_binary(data)
during = len(calls)
gc.callbacks.remove(walk)
assert value == [[None]] * n
assert during == 0, during
assert gc.isenabled()
print("ok")
"""


def test_no_collection_runs_inside_a_decode_on_any_version():
    done = subprocess.run([sys.executable, "-c", GC_WALKER], capture_output=True, text=True,
                          timeout=600)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr[-2000:]
