"""Where vesk.dumps spends its instructions, per corpus.

Each corpus is built, then written once by vesk.dumps under valgrind's
callgrind, counting only inside that one dumps call. Instruction counts do not
depend on what else the machine is doing. The instructions are split by the
object they ran in: the encoder module itself, the interpreter (hashing,
dict iteration, the allocator) and the C library (malloc, memcpy). The
counted call is a second one, after a first through the installed (stripped,
so uncounted) vesk.dumps, which leaves every str with its hash and UTF-8 form
cached, as in a benchmark of repeated calls; --cold counts a first call.
PYTHONHASHSEED is 0 unless set, so that counts repeat exactly. --cache adds a
simulated cache whose last level has the size of this machine's L2, and a
simulated branch predictor, and counts their misses over --calls calls with
the peers' encoders run between them. They tell which way a change about memory
or probing goes where timings on a busy host cannot, but not by how much: a
change that saved 7% of the misses and added 19% of the mispredicted branches
was 22% slower; time each corpus in a fresh process to confirm.

    python bench/callgrind_encode.py [--quick] [--only TEXT] [--top N] [--keep DIR] [--module-dir DIR]
                                     [--plain] [--anchors] [--cold] [--cache] [--calls N]

An installed vesk._encoder has its symbols stripped; --module-dir names a
folder with an unstripped build of it, for instance the build folder of
`pip install -Cbuild-dir=build .`.
"""

import argparse
import os
import pathlib
import shutil
import sys
import tempfile

import common
import corpora
# The corpus is rebuilt in the child (it is not picklable cheaply in every
# form); only the dumps call is counted, through the toggle on the C entry.
ENCODE = """import sys, importlib, importlib.util
sys.path.insert(0, sys.argv[1])
import corpora
found = importlib.util.spec_from_file_location("vesk._encoder", sys.argv[2])
enc = importlib.util.module_from_spec(found); found.loader.exec_module(enc)
obj = dict(corpora.corpora(sys.argv[3] == "1"))[sys.argv[4]]()
opts = dict(columnar=sys.argv[5] == "1", anchors=sys.argv[6] == "1")
if sys.argv[7] == "1":
    # a first call through the installed, stripped module, which the count
    # does not see: it leaves every str with its hash and UTF-8 form cached
    import vesk
    vesk.dumps(obj, **opts)
peers = []
for name, attr in (("orjson", "dumps"), ("msgspec.msgpack", "encode")):
    try:
        peers.append(getattr(importlib.import_module(name), attr))
    except ImportError:
        pass
for i in range(int(sys.argv[8])):
    if i:
        # between the counted calls, what a round of the benchmark runs
        for peer in peers:
            peer(obj)
    enc.dumps(obj, **opts)
"""


def find_module(folder):
    """The _encoder extension under a folder (a build folder or a site-packages)."""
    found = sorted(pathlib.Path(folder).rglob("_encoder*.so"))
    if not found:
        sys.exit(f"no _encoder*.so under {folder}")
    return found[0]


# A last-level cache of the size of this machine's L2, in which a table that
# outgrows it shows up as misses, and a branch predictor, for longer probes.
CACHE = ["--cache-sim=yes", "--LL=524288,8,64", "--branch-sim=yes"]


def callgrind(args, out, cache):
    """{(function, part): instructions} counted inside the dumps entry."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.setdefault("PYTHONHASHSEED", "0")
    return common.callgrind([sys.executable, "-c", ENCODE, *args], "*enc::*dumps*", out,
                            lambda obj, source: common.part_of(obj, source, "_encoder"), env,
                            CACHE if cache else ())


def report(name, counts, top):
    """The total, the split by part, and the functions with the most instructions of their own."""
    total = sum(counts.values())
    print(f"\n== {name}: dumps {total:,} instructions")
    print(f"   {common.by_part(counts)}")
    for (fn, part), n in counts.most_common(top):
        print(f"   {n / total:6.1%}  {part:<11} {fn[:90]}")
    return total


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a tenth of the synthetic corpora")
    ap.add_argument("--only", help="only the corpora whose name contains this text")
    ap.add_argument("--top", type=int, default=12, help="functions listed per corpus")
    ap.add_argument("--keep", type=pathlib.Path, help="keep the callgrind files in this folder")
    ap.add_argument("--module-dir", type=pathlib.Path, default=common.ROOT / "build",
                    help="a folder with an unstripped vesk._encoder (default: build/ of the checkout)")
    ap.add_argument("--plain", action="store_true", help="dumps with columnar=False")
    ap.add_argument("--anchors", action="store_true", help="dumps with anchors=True")
    ap.add_argument("--cold", action="store_true",
                    help="count a first call on fresh objects")
    ap.add_argument("--cache", action="store_true",
                    help="also simulate a 512 KiB last-level cache and branch prediction and count their misses")
    ap.add_argument("--calls", type=int, default=1,
                    help="dumps calls counted, orjson and msgspec encoding the object between them")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    module = find_module(args.module_dir)
    work = args.keep or pathlib.Path(tempfile.mkdtemp(prefix="vesk-profile-"))
    work.mkdir(parents=True, exist_ok=True)
    totals, misses = {}, {}
    for i, (name, _) in enumerate(corpora.corpora(args.quick)):
        if args.only and args.only not in name:
            continue
        out = work / f"corpus{i}.dumps.out"
        counts = callgrind([pathlib.Path(__file__).parent, module, int(args.quick), name, int(not args.plain),
                            int(args.anchors), int(not args.cold), args.calls], out, args.cache)
        if not counts:
            sys.exit(f"no instructions counted in dumps: is the _encoder in {args.module_dir} stripped?")
        totals[name] = report(name, counts, args.top)
        if args.cache:
            t = common.callgrind_totals(out)
            misses[name] = (t["DLmr"], t["DLmw"], t["Bcm"] + t["Bim"])
            print(f"   last-level misses: {t['DLmr']:,} reading, {t['DLmw']:,} writing;"
                  f" mispredicted branches: {t['Bcm'] + t['Bim']:,}")
    print("\n== totals")
    for name, total in totals.items():
        extra = "  misses {:>11,} {:>11,}  mispredicted {:>11,}".format(*misses[name]) if name in misses else ""
        print(f"   {name:<40} {total:>14,}{extra}")
    if not args.keep:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
