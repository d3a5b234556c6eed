"""Cost of hostile documents: the worst this script can build in each family at
about 1 KiB and about 1 MiB of input, with the time and memory one decode takes.

    python bench/bench_hostile.py [--sizes 1024,1048576] [--limit-gb 6] [--family NAME]
                                  [--max-cells N] [--max-copy-cells N] [--max-depth N]

With any --max-* option the documents are decoded by vesk.Decoder with those
caps instead of loads_binary.

Each case runs in a child process whose address space is capped at
--limit-gb, so a family that would take more memory than that ends in
MemoryError instead of pressing on the machine. The child times the decode
(the best of 5 runs for inputs below 64 KiB, one run above), then decodes once
more under tracemalloc for the peak of the memory allocated during the call.

Columns: outcome (ok, or the error message), time, time per input byte,
traced peak and peak per input byte, and the growth of the child's peak
resident size over the timed runs (which also shows the cost of a case whose
traced run hit the cap). The families bound by
the reference budget (16,777,216 copied cells per document) cannot use more
input than they need; their rows show the size they have.
"""

import argparse
import json
import pathlib
import resource
import subprocess
import sys
import time
import tracemalloc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import vesk_build as b  # noqa: E402

try:
    from vesk_native import VeskError, loads_binary
except ImportError:
    sys.exit("vesk_native is not importable: install the package or put its "
             "build directory on PYTHONPATH")

REF_BUDGET = 1 << 24
# The Decoder caps of this run; the families fit themselves to them, so that
# each spends all that the caps allow (the worst a document can do under them).
CAPS = {}


# -- families -----------------------------------------------------------------
# Each builds the worst document of its family that fits `size` bytes.

def reference_bomb(size):
    """Small inputs: anchors that double, each {"a": ref, "b": ref} to the one
    before, until a copy overruns the budget. Large inputs: a chain of 500
    one-entry dicts referenced until the budget runs out (one-entry dicts are
    the dearest cells per unit of budget)."""
    if size < 16384:
        items = [b.anchor(b.obj())]
        cost, spent, i = 1, 0, 1
        while spent <= REF_BUDGET:
            ref = b.anchor_ref(i - 1)
            items.append(b.anchor(b.obj(("a", ref), ("b", ref))))
            spent += 2 * cost
            cost, i = 2 * cost + 3, i + 1
        return b.doc(b.array(*items))
    chain = b.small_int(0)
    for _ in range(500):
        chain = b.obj(("k", chain))
    refs = REF_BUDGET // (2 * 500) + 1
    return b.doc(b.array(b.anchor(chain), *[b.anchor_ref(0)] * refs))


def padded(value, size):
    """[value, a long string] of `size` bytes in all, or the value alone if it is larger."""
    rest = size - len(value) - 16
    return b.doc(b.array(value, b.long_string("a" * rest))) if rest > 0 else b.doc(value)


def column_bomb(size):
    """A list column of n cells whose Object kind nests `depth` times, one key
    a level, over one bitmap: every level makes n dicts. Large inputs claim
    far beyond the decoded-size budget and fail where it runs out. Under
    max_cells, n is cut so that the column spends exactly that many cells
    (every level charges n + 1), padded to the size."""
    depth = min(511, size // 8)
    bitmap = max(1, size - 16 - 4 * depth)
    n = 8 * bitmap
    if "max_cells" in CAPS:
        depth = min(depth, 510)  # the padding's array is one level more
        n = min(n, max(0, CAPS["max_cells"] // (depth + 1) - 1))
        bitmap = (n + 7) // 8
        return padded(b"\x0c" + b.uvarint(n) + b"\x05\x01\x41x" * depth + b"\x04"
                      + bytes(bitmap), size)
    return b.doc(b"\x0c" + b.uvarint(n) + b"\x05\x01\x41x" * depth + b"\x04" + bytes(bitmap))


def distinct_keys(count):
    out = []
    letters = [chr(c) for c in range(0x21, 0x7F)]
    for a in letters:
        for c in letters:
            for d in letters:
                out.append(a + c + d)
                if len(out) == count:
                    return out
    raise ValueError("too many keys")


def wide_header(size):
    """A one-row table with as many distinct keys as fit (6 bytes a key and column)."""
    keys = distinct_keys(max(1, (size - 16) // 6))
    return b.doc(b.table(keys, 1, *[b.col_bitmap(True)] * len(keys)))


def deep_nesting(size):
    """As many chains of up to 511 nested one-entry objects as fit (as deep as
    max_depth allows)."""
    chain = b.small_int(0)
    for _ in range(min(CAPS.get("max_depth", 512) - 1, 511, (size - 8) // 4)):
        chain = b.obj(("k", chain))
    count = max(1, (size - 8) // len(chain))
    return b.doc(b.array(*[chain] * count))


def nested_counts(size):
    """511 nested arrays, each counting as many elements as bytes follow its
    count, then one-byte elements to the end: every level claims the input again."""
    depth = min(CAPS.get("max_depth", 512) - 1, 511, max(1, size // 16))
    head = b"".join(b"\x07" + b.uvarint(size - 8 * depth) for _ in range(depth))
    return b.doc(head + b"\x01" * max(0, size - len(head)))


def deep_copy(size):
    """A chain of nested lists as deep as the input allows (up to the 4096
    levels a copy may have), built from anchors of 500 levels each, then as
    many references to it as the input and the budget allow."""
    depth = min(4096, max(1, size // 3))
    lengths = [min(500 * (i + 1), depth) for i in range((depth + 499) // 500)]
    items = []
    value = b.array()
    for _ in range(lengths[0] - 1):
        value = b.array(value)
    items.append(b.anchor(value))
    for i in range(1, len(lengths)):
        value = b.anchor_ref(i - 1)
        for _ in range(lengths[i] - lengths[i - 1]):
            value = b.array(value)
        items.append(b.anchor(value))
    ref = b.anchor_ref(len(items) - 1)
    # A copy of a chain of m lists costs 2m - 1: one item and one unit each,
    # the innermost list empty.
    spent = sum(2 * m - 1 for m in lengths[:-1])
    by_budget = (REF_BUDGET - spent) // (2 * depth - 1)
    by_bytes = max(0, (size - sum(len(i) for i in items) - 16) // len(ref))
    return b.doc(b.array(*items, *[ref] * min(by_bytes, by_budget)))


def huge_claims(size):
    """An Object list column claiming 8 cells per byte left, with as many
    sub-keys as share the input with the bitmap, cut one byte short: it claims
    rows x keys cells that the input never backs."""
    keys = distinct_keys(max(1, size // 8))
    rest = max(2, size - 16 - 4 * len(keys))
    n = 8 * rest
    head = b.col_object([(k, b"") for k in keys])
    return b.doc(b"\x0c" + b.uvarint(n) + head + b"\x04" + bytes(rest - 1))


def sparse_bomb(size):
    """A sparse table of 8 rows per input byte: one key, a dense bitmap column
    (under max_cells, as many rows as its 3 n + 1 cells allow, padded)."""
    rows = 8 * max(1, size - 16)
    if "max_cells" in CAPS:
        rows = min(rows, max(0, (CAPS["max_cells"] - 1) // 3))
        return padded(b.sparse(["k"], rows, b.dense(b"\x04" + bytes((rows + 7) // 8))), size)
    return b.doc(b.sparse(["k"], rows, b.dense(b"\x04" + bytes(rows // 8))))


def string_pool(size):
    """Two-byte strings, each a new str and a pool entry (3 bytes each)."""
    return b.doc(b.array(*[b.short_string("ab")] * max(1, (size - 8) // 3)))


def _prefill_shape(size, per_level):
    """Keys, rows and levels for a nest of `size` bytes: 100 keys a level for
    large inputs, a fifth of the input left as zero bytes for the smallest
    columns of every level."""
    k = 100 if size >= 65536 else 4
    zeros = max(2 * k, size // 5)
    count = 8 * (zeros // k - 1)
    levels = max(1, (size - zeros - 8 - 5 * k) // per_level(k) + 1)
    return k, count, zeros, levels


def _pooled_keys(k):
    return b"".join(b.short_key("k%03d" % i) for i in range(k)), \
        b"".join(b.key_ref(i) for i in range(k))


def prefill_object_columns(size):
    """A list column whose Object kind nests up to 500 deep, 100 keys a level,
    then a bad kind byte and the zero bytes of every level's smallest columns:
    rows filled in advance at every level once cost 3.2 GiB for 126 KB."""
    k, count, zeros, levels = _prefill_shape(size, lambda k: 2 + 2 * k)
    levels = min(500, levels)
    first, refs = _pooled_keys(k)
    body = b"\x05" + b.uvarint(k) + first + (b"\x05" + b.uvarint(k) + refs) * (levels - 1)
    return b"\x0f\x01\x0c" + b.uvarint(count) + body + b"\x06" + bytes(zeros)


def prefill_tables(size):
    """Tables nested up to 250 deep through their first tagged cell, 100 keys
    a level, the innermost cell a bad tag, then the zero bytes of the smallest
    columns."""
    k, count, zeros, levels = _prefill_shape(size, lambda k: 5 + 2 * k)
    levels = min(250, levels)
    first, refs = _pooled_keys(k)
    n = b.uvarint(count)
    body = b"\x09" + b.uvarint(k) + first + n + b"\x00"
    body += (b"\x09" + b.uvarint(k) + refs + n + b"\x00") * (levels - 1)
    return b"\x0f\x01" + body + b"\x0e" + bytes(zeros)


FAMILIES = {
    "reference bomb": reference_bomb,
    "size-budget column bomb": column_bomb,
    "wide header": wide_header,
    "deep nesting": deep_nesting,
    "nested array counts": nested_counts,
    "deep copy": deep_copy,
    "huge-count claims": huge_claims,
    "sparse table bomb": sparse_bomb,
    "many small strings/pool": string_pool,
    "prefill: Object columns": prefill_object_columns,
    "prefill: nested tables": prefill_tables,
}


# -- measuring -----------------------------------------------------------------

def attempt(decode, data):
    """The outcome of one decode; the result is dropped outside the timing."""
    start = time.perf_counter()
    try:
        value = decode(data)
        outcome = "ok"
    except VeskError as e:
        value, outcome = None, e.message
    except MemoryError:
        value, outcome = None, "MemoryError"
    elapsed = time.perf_counter() - start
    del value
    return outcome, elapsed


def decoder(limits):
    if not limits:
        return loads_binary
    import vesk
    return vesk.Decoder(**limits).decode


def measure(family, size, limit_gb, limits):
    cap = int(limit_gb * (1 << 30))
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    decode = decoder(limits)
    CAPS.update(limits)
    data = FAMILIES[family](size)
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    repeat = 5 if len(data) < 65536 else 1
    outcome, elapsed = min((attempt(decode, data) for _ in range(repeat)), key=lambda r: r[1])
    rss_growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before) * 1024
    tracemalloc.start()
    traced_outcome, _ = attempt(decode, data)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return {"family": family, "input": len(data), "outcome": outcome,
            "time": elapsed, "peak": peak,
            "peak_capped": traced_outcome == "MemoryError", "rss": rss_growth}


LIMIT_OPTIONS = ("max_cells", "max_copy_cells", "max_depth")


def run_child(family, size, limit_gb, limits):
    options = []
    for name, value in limits.items():
        options += ["--" + name.replace("_", "-"), str(value)]
    done = subprocess.run(
        [sys.executable, __file__, "--child", family, "--sizes", str(size),
         "--limit-gb", str(limit_gb)] + options, capture_output=True, text=True)
    if done.returncode != 0:
        return {"family": family, "input": size, "outcome": "child failed: %s"
                % done.stderr.strip().splitlines()[-1:]}
    return json.loads(done.stdout)


def print_row(r):
    if "time" not in r:
        print("%-24s %9d  %s" % (r["family"], r["input"], r["outcome"]))
        return
    peak = ("> %.0f MiB" if r["peak_capped"] else "%.1f MiB") % (r["peak"] / (1 << 20))
    print("%-24s %9d  %-30s %9.4f %10.1f %14s %10.0f %10.1f" % (
        r["family"], r["input"], r["outcome"][:30], r["time"],
        r["time"] / r["input"] * 1e9, peak, r["peak"] / r["input"], r["rss"] / (1 << 20)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1024,1048576")
    ap.add_argument("--limit-gb", type=float, default=6.0)
    ap.add_argument("--family", action="append", choices=sorted(FAMILIES))
    for name in LIMIT_OPTIONS:
        ap.add_argument("--" + name.replace("_", "-"), type=int)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    limits = {n: getattr(args, n) for n in LIMIT_OPTIONS if getattr(args, n) is not None}
    if args.child:
        print(json.dumps(measure(args.child, sizes[0], args.limit_gb, limits)))
        return
    print("%-24s %9s  %-30s %9s %10s %14s %10s %10s" % (
        "family", "input B", "outcome", "time s", "ns/byte", "peak", "peak/B", "+RSS MiB"))
    for family in args.family or FAMILIES:
        for size in sizes:
            print_row(run_child(family, size, args.limit_gb, limits))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
