"""The deepest documents of every nesting path decode on a 128 KiB thread stack,
musl's default (more where the build's frames are larger, as a sanitizer
build's are: VESK_TEST_STACK_SIZE). Each runs in a child process, so that a
stack overflow fails its case instead of ending the test run."""

import os
import subprocess
import sys

import pytest

STACK = int(os.environ.get("VESK_TEST_STACK_SIZE", 128 * 1024))

# Each path nested to the depth limit: values 512 levels below the top,
# columns and their tagged cells two levels a table, Object columns one a level.
DEEPEST = {
    "arrays": b"\x07\x01" * 512 + b"\x00",
    "objects": b"\x08\x01\x41\x61" * 512 + b"\x00",
    "anchors": b"\x0a" * 512 + b"\x00",
    "list columns": b"\x0c\x01\x00" * 256 + b"\x00",
    "tables": b"\x09\x01\x41\x61\x01\x00" * 256 + b"\x00",
    "sparse tables": b"\x0d\x01\x41\x61\x01\x00\x00" * 256 + b"\x00",
    "sparse columns": b"\x0d\x01\x41\x61\x01\x01\x01\x00" * 256 + b"\x00",
    "object columns": b"\x0c\x01" + b"\x05\x01\x41\x78" * 511 + b"\x04\x01",
    "sparse object columns": b"\x0d\x01\x41\x61\x01\x01\x01" + b"\x05\x01\x41\x78" * 511
                             + b"\x04\x01",
    "table object columns": b"\x09\x01\x41\x61\x01" + b"\x05\x01\x41\x78" * 511 + b"\x04\x01",
}

CHILD = r"""
import sys, threading
from vesk_native import loads_binary
data = b"\x0f\x01" + bytes.fromhex(sys.argv[1])
threading.stack_size(int(sys.argv[2]))
out = []
t = threading.Thread(target=lambda: out.append(loads_binary(data)))
t.start()
t.join()
assert out, "no value"
print(repr(out[0])[:12])
"""


@pytest.mark.parametrize("path", DEEPEST)
def test_the_deepest_document_decodes_on_a_small_thread_stack(path):
    done = subprocess.run([sys.executable, "-c", CHILD, DEEPEST[path].hex(), str(STACK)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, (done.returncode, done.stderr[-1000:])
