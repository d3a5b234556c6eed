"""Decode speed of tables and sparse tables against general-purpose formats.

Builds one list of row dicts per dataset, encodes it as a table (tag 09) or a
sparse table (tag 0D) with a column of every kind, and serialises the same
rows with each peer. Timing starts only once every decoder has been shown to
return exactly the source rows (same values, same types, same key order);
a decoder that disagrees is reported and left out of the timing.

    pip install -r bench/requirements.txt   # plus the module itself
    python bench/bench_tables.py [--rows N] [--repeat K] [--seed S]

Each decoder is timed K times, the decoders taking turns (the starting
decoder rotating every round, the others in a seeded shuffled order, so that
none always runs after the same neighbour) so that drifts in machine load hit
all of them alike. The cyclic garbage collector is off while timing: otherwise
its passes over the growing result would be charged to whichever decoder
triggered them. Ratios are a peer's median over loads_binary's median from
the same run, so above 1 means loads_binary is faster.
"""

import argparse
import gc
import importlib.util
import json
import marshal
import pathlib
import pickle
import platform
import random
import statistics
import sys
import time

try:
    import vesk_native
except ImportError:
    sys.exit("vesk_native is not importable: install the package or put its "
             "build directory on PYTHONPATH")

_BUILDER = pathlib.Path(__file__).resolve().parent.parent / "tests" / "vesk_build.py"
_found = importlib.util.spec_from_file_location("vesk_build", _BUILDER)
vb = importlib.util.module_from_spec(_found)
_found.loader.exec_module(vb)

CATEGORIES = ["electronics", "books", "garden", "toys", "grocery", "sports",
              "beauty", "automotive", "music", "office", "pets", "health"]
UNITS = ["pcs", "kg", "m", "l"]


# -- datasets ----------------------------------------------------------------

def decimal(mantissa, scale):
    """The Python number a Decimal cell decodes to: int when whole, else float."""
    q, r = divmod(mantissa, 10 ** scale)
    return q if r == 0 else mantissa / 10 ** scale


def make_columns(n, rng):
    """Source columns: one list of n cells per key, plus what encodes them."""
    ids, x = [], 1_000_000
    for _ in range(n):
        x += rng.randint(1, 5)
        ids.append(x)
    cents = [rng.randrange(1, 1_000_000) for _ in range(n)]
    cat_idx = [min(int(rng.expovariate(0.4)), len(CATEGORIES) - 1)
               for _ in range(n)]
    active = [rng.random() < 0.6 for _ in range(n)]
    names = ["user%06d" % i for i in range(n)]
    qty = [rng.randrange(0, 1000) for _ in range(n)]
    unit_idx = [rng.randrange(len(UNITS)) for _ in range(n)]
    return {
        "id": (ids, lambda sel: vb.col_delta(*(ids[i] for i in sel))),
        "price": ([decimal(c, 2) for c in cents],
                  lambda sel: vb.col_decimal(2, *(cents[i] for i in sel))),
        "category": ([CATEGORIES[i] for i in cat_idx],
                     lambda sel: vb.col_dictionary(
                         CATEGORIES, (cat_idx[i] for i in sel))),
        "active": (active, lambda sel: vb.col_bitmap(*(active[i] for i in sel))),
        "name": (names, lambda sel: vb.col_tagged(
            *(vb.string(names[i]) for i in sel))),
        "stats": ([{"qty": q, "unit": UNITS[u]} for q, u in zip(qty, unit_idx)],
                  lambda sel: vb.col_object([
                      ("qty", vb.col_delta(*(qty[i] for i in sel))),
                      ("unit", vb.col_dictionary(
                          UNITS, (unit_idx[i] for i in sel)))])),
    }


def dense_dataset(n, rng):
    """(rows, document) for a table whose every key has a dense column."""
    cols = make_columns(n, rng)
    keys = list(cols)
    everyone = range(n)
    rows = [dict(zip(keys, cells))
            for cells in zip(*(cols[k][0] for k in keys))]
    data = vb.doc(vb.table(keys, n, *(cols[k][1](everyone) for k in keys)))
    return rows, data


SPARSE_KEYS = ("price", "category", "active", "stats")


def sparse_dataset(n, rng):
    """(rows, document) for a sparse table: id and name dense, the rest ~50% present."""
    cols = make_columns(n, rng)
    keys = list(cols)
    present = {k: [k not in SPARSE_KEYS or rng.random() < 0.5 for _ in range(n)]
               for k in keys}
    rows = [{k: cols[k][0][r] for k in keys if present[k][r]} for r in range(n)]
    entries = []
    for k in keys:
        if k in SPARSE_KEYS:
            sel = [r for r in range(n) if present[k][r]]
            entries.append(vb.sparse_col(present[k], cols[k][1](sel)))
        else:
            entries.append(vb.dense(cols[k][1](range(n))))
    return rows, vb.doc(vb.sparse(keys, n, *entries))


# -- decoders ----------------------------------------------------------------

def peers():
    """(name, dumps, loads) for every peer that is installed."""
    out = [
        ("marshal.loads", marshal.dumps, marshal.loads),
        ("pickle.loads", lambda o: pickle.dumps(o, pickle.HIGHEST_PROTOCOL),
         pickle.loads),
        ("json.loads", lambda o: json.dumps(o, separators=(",", ":")),
         json.loads),
    ]
    try:
        import orjson
        out.append(("orjson.loads", orjson.dumps, orjson.loads))
    except ImportError:
        print("orjson not installed: skipped")
    try:
        import msgpack
        out.append(("msgpack.unpackb", msgpack.packb, msgpack.unpackb))
    except ImportError:
        print("msgpack not installed: skipped")
    try:
        import msgspec
        out.append(("msgspec.json.decode", msgspec.json.encode,
                    msgspec.json.decode))
        out.append(("msgspec.msgpack.decode", msgspec.msgpack.encode,
                    msgspec.msgpack.decode))
    except ImportError:
        pass
    try:
        import cbor2
        out.append(("cbor2.loads", cbor2.dumps, cbor2.loads))
    except ImportError:
        pass
    return out


def size(data):
    """Input length in bytes (json.loads is given its natural input, a str)."""
    return len(data.encode()) if isinstance(data, str) else len(data)


def bench(title, rows, vesk_doc, peer_list, repeat):
    """Checks every decoder against rows, then times them; False on a mismatch."""
    decoders = [("loads_binary", vesk_native.loads_binary, vesk_doc)]
    decoders += [(name, loads, dumps(rows)) for name, dumps, loads in peer_list]
    print("\n== %s: %d rows" % (title, len(rows)))

    # repr tells 1 from 1.0 and True and shows key order, all of which == ignores
    expected = repr(rows)
    agree = []
    for name, fn, data in decoders:
        try:
            got = repr(fn(data))
        except Exception as e:
            print("FAILED: %s raised %r" % (name, e))
            continue
        if got == expected:
            agree.append((name, fn, data))
        else:
            print("MISMATCH: %s does not give back the source rows" % name)
    if not agree or agree[0][0] != "loads_binary":
        print("loads_binary did not give back the source rows: nothing timed")
        return False
    print("correct: %s" % ("all decoders agree" if len(agree) == len(decoders)
                           else "only %d of %d agree" % (len(agree), len(decoders))))

    times = {name: [] for name, _, _ in agree}
    gc.collect()
    gc.disable()
    try:
        order = random.Random(0)
        for k in range(repeat):
            start = k % len(agree)
            rest = agree[:start] + agree[start + 1:]
            order.shuffle(rest)
            for name, fn, data in [agree[start]] + rest:
                t0 = time.perf_counter()
                result = fn(data)
                times[name].append(time.perf_counter() - t0)
                del result
    finally:
        gc.enable()

    base = statistics.median(times["loads_binary"])
    print("%-24s %12s %10s %10s %8s" % ("decoder", "input bytes", "median ms",
                                        "min ms", "ratio"))
    for name, _, data in agree:
        med = statistics.median(times[name])
        print("%-24s %12s %10.2f %10.2f %8.2f" % (
            name, format(size(data), ","), med * 1e3, min(times[name]) * 1e3,
            med / base))
    return len(agree) == len(decoders)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=7,
                    help="timed decodes per decoder and dataset")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    print("Python %s, %s; %d rows, %d runs per decoder, gc off while timing; "
          "ratio = median / loads_binary median" % (
              platform.python_version(), platform.machine(), args.rows,
              args.repeat))
    peer_list = peers()
    rng = random.Random(args.seed)
    ok = bench("table (tag 09), a column of every kind",
               *dense_dataset(args.rows, rng), peer_list, args.repeat)
    ok &= bench("sparse table (tag 0D), 4 of 6 keys ~50% present",
                *sparse_dataset(args.rows, rng), peer_list, args.repeat)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
