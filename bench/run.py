"""Decode speed of vesk.loads against the peers and against the floor, the bare cost of the objects.

For every corpus the same objects are written by vesk.dumps (columnar and
plain) and by every installed peer in its own format. Each decoder's result is
compared exactly with the source (types, values, key order) before anything is
timed; a decoder that disagrees is reported and left out.

The floor is bench/floor.c, compiled here: untimed it flattens the decoded
result into a tape of fixed-size records, timed it rebuilds the tree from the
tape with no parsing and no validation, with three ways of making dicts; the
fastest of the three is the floor.

    pip install -r bench/requirements.txt   # plus the package itself
    python bench/run.py [--quick] [--rounds N] [--only TEXT] [--chart PATH]

Each corpus runs in a fresh interpreter of its own. Times are medians of
interleaved rounds (the starting decoder rotating every round, the others in
a shuffled order) with the cyclic collector off; the gc-on column is what
users see. The clock is this thread's CPU time (--wall for wall time), which
waiting for a core on a shared machine does not inflate.
"peak / result" is the peak of tracemalloc during one decode over the memory
the result keeps. "/ floor" and "/ loads" divide a median by the floor's and
by that of vesk.loads on the columnar document as bytes; the bytearray and
memoryview rows decode that document from those buffers.
"""

import argparse
import pathlib
import platform
import sys

import common
import corpora
from common import vesk

HERE = pathlib.Path(__file__).resolve().parent
FLOOR_WAYS = ["empty dicts", "presized dicts", "template copies"]
THIRD_PARTY = ["orjson", "msgspec.json", "msgspec.msgpack", "ormsgpack", "msgpack", "cbor2"]
PER_CALL = {
    "tiny document": {"id": 1, "ok": True},
    "small record": {"id": 48213, "name": "Ada Lovelace", "active": True,
                     "address": {"city": "London", "zip": "NW1 6XE"},
                     "tags": ["math", "engines", "poetry"]},
}


def decoders(obj, peers):
    """(name, loads, encoded form) for vesk both ways, from other buffers, and every peer."""
    doc = vesk.dumps(obj)
    out = [("vesk.loads columnar", vesk.loads, doc),
           ("vesk.loads plain", vesk.loads, vesk.dumps(obj, columnar=False)),
           ("vesk.loads bytearray", vesk.loads, bytearray(doc)),
           ("vesk.loads memoryview", vesk.loads, memoryview(doc))]
    return out + [(p.name, p.loads, p.dumps(obj)) for p in peers.values()]


def agreeing(cases, obj):
    """The cases whose decoder gives back exactly obj; the others are reported."""
    out = []
    for name, fn, data in cases:
        try:
            ok = common.same(fn(data), obj)
        except Exception as e:  # a peer that cannot read its own output is reported, not fatal
            print(f"FAILED: {name} raised {e!r}")
            continue
        if ok:
            out.append((name, fn, data))
        else:
            print(f"MISMATCH: {name} does not give back the source exactly: left out")
    return out


def floor_cases(floor, columnar_doc):
    """One case per way of making dicts, over the tape of the decoded columnar document."""
    tape = floor.flatten(vesk.loads(columnar_doc))
    return [(f"floor ({way})", lambda t, m=m: floor.build(t, m), tape) for m, way in enumerate(FLOOR_WAYS)]


def bench_corpus(name, obj, peers, floor, rounds):
    """Checks, times and prints one corpus; returns {decoder: gc-off median in seconds}, the
    floor's, and the peak / result of vesk.loads."""
    cases = agreeing(decoders(obj, peers), obj)
    if not cases or cases[0][0] != "vesk.loads columnar":
        print(f"\n== {name}: vesk.loads does not give back the source: nothing timed")
        return None
    cases = agreeing(floor_cases(floor, cases[0][2]), obj) + cases
    off = common.interleaved(cases, rounds)
    on = common.interleaved(cases, max(3, rounds // 3), collector=True)
    floor_time = min((off[n] for n, _, _ in cases if n.startswith("floor")), default=float("nan"))
    base = off["vesk.loads columnar"]
    rows = [(n, None if n.startswith("floor") else common.size(data), off[n] * 1e3, on[n] * 1e3,
             common.peak_over_result(fn, data), off[n] / floor_time, off[n] / base)
            for n, fn, data in cases]
    common.print_table(name, [("decoder", "{}"), ("input bytes", "{:,}"), ("gc off ms", "{:.3f}"),
                              ("gc on ms", "{:.3f}"), ("peak / result", "{:.2f}"), ("/ floor", "{:.2f}"),
                              ("/ loads", "{:.2f}")], rows)
    off["floor"] = floor_time
    off["peak / result"] = next(r[4] for r in rows if r[0] == "vesk.loads columnar")
    return off


def summary(results):
    """The issue's view: vesk against the floor, marshal, pickle and the fastest third-party peer."""
    rows = []
    for name, t in results.items():
        base = t["vesk.loads columnar"]
        third = min((p for p in THIRD_PARTY if p in t), key=t.get, default=None)
        rows.append((name, base * 1e3, t["floor"] * 1e3, base / t["floor"],
                     t.get("vesk.loads plain", float("nan")) / base, t.get("marshal", float("nan")) / base,
                     t.get("pickle", float("nan")) / base, third, t[third] / base if third else None,
                     t["peak / result"]))
    common.print_table("summary (ratios above 1: vesk.loads is faster)",
                       [("corpus", "{}"), ("loads ms", "{:.3f}"), ("floor ms", "{:.3f}"), ("loads/floor", "{:.2f}"),
                        ("plain/loads", "{:.2f}"), ("marshal/loads", "{:.2f}"), ("pickle/loads", "{:.2f}"),
                        ("fastest 3rd party", "{}"), ("its /loads", "{:.2f}"), ("peak / result", "{:.2f}")], rows)


def per_call(peers, rounds, calls):
    """ns per call for the tiny and small documents, every decoder interleaved; a
    vesk.Decoder too, whose key cache serves a stream of such documents."""
    for name, obj in PER_CALL.items():
        cached = ("vesk.Decoder().decode", vesk.Decoder().decode, vesk.dumps(obj))
        cases = agreeing(decoders(obj, peers) + [cached], obj)
        ns = common.interleaved(cases, rounds, calls=calls)
        base = ns["vesk.loads columnar"]
        common.print_table(f"{name} {obj!r}, per call ({calls:,} calls a round)",
                           [("decoder", "{}"), ("input bytes", "{:,}"), ("ns per call", "{:.0f}"),
                            ("/ loads", "{:.2f}")],
                           [(n, common.size(data), ns[n] * 1e9, ns[n] / base) for n, _, data in cases])


def chart(results, path):
    """Horizontal bars: every decoder's median over vesk.loads' on each corpus, log scale."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    names = ["floor", "vesk.loads columnar", "vesk.loads plain", "marshal", "pickle", *THIRD_PARTY, "json"]
    names = [n for n in names if any(n in t for t in results.values())]
    corpus_names = list(results)
    height = 0.8 / len(names)
    fig, ax = plt.subplots(figsize=(11, 1.5 + 1.1 * len(corpus_names)))
    colors = plt.get_cmap("tab20").colors
    for i, n in enumerate(names):
        ys = [c + i * height for c in range(len(corpus_names))]
        xs = [results[c].get(n, float("nan")) / results[c]["vesk.loads columnar"] for c in corpus_names]
        ax.barh(ys, xs, height=height, label=n, color=colors[i % len(colors)])
    ax.set_yticks([c + 0.4 - height / 2 for c in range(len(corpus_names))], corpus_names)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ratio = matplotlib.ticker.FuncFormatter(lambda x, _: f"{x:g}")
    ax.xaxis.set_major_formatter(ratio)
    ax.xaxis.set_minor_formatter(ratio)
    ax.tick_params(axis="x", which="minor", labelsize="small")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("decode time relative to vesk.loads (columnar document), log scale; shorter is faster")
    ax.set_title(f"Decoding into Python objects, CPython {platform.python_version()}, medians, gc off")
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nchart written to {path}")


def one_corpus(args):
    """The child's part: one corpus, its table, and its medians written for the parent."""
    make = dict(corpora.corpora(args.quick))[args.corpus]
    floor = common.load_file("_floor", args.floor)
    timed = bench_corpus(args.corpus, make(), common.peers(note=False), floor, args.rounds)
    if timed:
        common.write_result(args.result, timed)
    return 0 if timed else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a tenth of the synthetic corpora, few rounds")
    ap.add_argument("--rounds", type=int, help="timed rounds per corpus (default 15, 3 with --quick)")
    ap.add_argument("--only", help="only the corpora whose name contains this text")
    ap.add_argument("--chart", type=pathlib.Path, default=HERE / "decode.png", help="where the PNG goes")
    ap.add_argument("--wall", action="store_true", help="time with the wall clock, not CPU time")
    ap.add_argument("--floor", help=argparse.SUPPRESS)
    common.add_child_options(ap)
    args = ap.parse_args()
    if args.wall:
        common.use_wall_clock()
    args.rounds = args.rounds or (3 if args.quick else 15)
    if args.corpus:
        return one_corpus(args)

    common.header("decode", args.rounds)
    peers = common.peers()
    floor = common.build_extension(HERE / "floor.c", "_floor")
    sys.argv += ["--floor", floor.__file__]
    names = [n for n, _ in corpora.corpora(args.quick) if not args.only or args.only in n]
    results = common.each_corpus_alone(__file__, names)
    if not results:
        return 1
    summary(results)
    per_call(peers, args.rounds, 2_000 if args.quick else 20_000)
    chart(results, args.chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
