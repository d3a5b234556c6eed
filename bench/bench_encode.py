"""Encode speed and size of vesk.dumps against the peers, on the corpora of the decode benchmark.

Every encoder writes the same objects; vesk.dumps writes them columnar (the
default) and plain, and both documents must decode back to the source exactly
before anything is timed.

    python bench/bench_encode.py [--quick] [--rounds N] [--only TEXT] [--wall]

Each corpus runs in a fresh interpreter of its own. Times are medians of
interleaved rounds with the cyclic collector off, in this thread's CPU time.
"/ fastest" divides by the fastest of orjson, msgspec and ormsgpack; "/ msgpack" and "/ json" divide a size by that of the msgpack form
and of compact UTF-8 JSON.
"""

import argparse
import functools
import sys

import common
import corpora
from common import vesk

FAST = ["orjson", "msgspec.msgpack", "ormsgpack"]
PEERS = FAST + ["msgpack", "pickle", "marshal"]


def encoders(peers):
    """(name, dumps) for vesk both ways and the installed peers of the encode comparison."""
    return [("vesk.dumps columnar", vesk.dumps), ("vesk.dumps plain", functools.partial(vesk.dumps, columnar=False))] \
        + [(n, peers[n].dumps) for n in PEERS if n in peers]


def bench_corpus(name, obj, peers, rounds):
    """Checks, times and prints one corpus; returns its summary row, or None when vesk fails the check."""
    cases = [(n, fn, obj) for n, fn in encoders(peers)]
    outputs = {n: fn(obj) for n, fn, _ in cases}
    for n in ("vesk.dumps columnar", "vesk.dumps plain"):
        if not common.same(vesk.loads(outputs[n]), obj):
            print(f"\n== {name}: {n} does not decode back to the source: nothing timed")
            return None
    times = common.interleaved(cases, rounds)
    fast = min((times[n] for n in FAST if n in times), default=float("nan"))
    json_bytes = common.json_size(obj)
    msgpack_bytes = len(peers["msgpack"].dumps(obj)) if "msgpack" in peers else float("nan")
    rows = [(n, times[n] * 1e3, times[n] / fast, len(outputs[n]), len(outputs[n]) / msgpack_bytes,
             len(outputs[n]) / json_bytes) for n, _, _ in cases]
    common.print_table(f"{name} (compact JSON {json_bytes:,} bytes)",
                       [("encoder", "{}"), ("ms", "{:.3f}"), ("/ fastest", "{:.2f}"), ("bytes", "{:,}"),
                        ("/ msgpack", "{:.3f}"), ("/ json", "{:.3f}")], rows)
    col = rows[0]
    return (name, col[1], col[2], times["vesk.dumps plain"] / fast, col[4], col[5],
            times.get("msgpack", float("nan")) / times["vesk.dumps columnar"],
            times.get("pickle", float("nan")) / times["vesk.dumps columnar"])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a tenth of the synthetic corpora, few rounds")
    ap.add_argument("--rounds", type=int, help="timed rounds per corpus (default 15, 3 with --quick)")
    ap.add_argument("--only", help="only the corpora whose name contains this text")
    ap.add_argument("--wall", action="store_true", help="time with the wall clock, not CPU time")
    common.add_child_options(ap)
    args = ap.parse_args()
    if args.wall:
        common.use_wall_clock()
    rounds = args.rounds or (3 if args.quick else 15)
    if args.corpus:
        row = bench_corpus(args.corpus, dict(corpora.corpora(args.quick))[args.corpus](),
                           common.peers(note=False), rounds)
        if row:
            common.write_result(args.result, row)
        return 0 if row else 1

    common.header("encode", rounds)
    common.peers()
    names = [n for n, _ in corpora.corpora(args.quick) if not args.only or args.only in n]
    rows = list(common.each_corpus_alone(__file__, names).values())
    common.print_table("summary (columnar unless named; / fastest above 1: vesk.dumps is slower)",
                       [("corpus", "{}"), ("ms", "{:.3f}"), ("/ fastest", "{:.2f}"), ("plain / fastest", "{:.2f}"),
                        ("size / msgpack", "{:.3f}"), ("size / json", "{:.3f}"), ("msgpack / vesk", "{:.2f}"),
                        ("pickle / vesk", "{:.2f}")], rows)
    return 0 if rows else 1


if __name__ == "__main__":
    sys.exit(main())
