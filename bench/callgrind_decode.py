"""Where vesk.loads spends its instructions, per corpus, against the floor's instructions.

Each corpus is written by vesk.dumps (columnar) and decoded once under
valgrind's callgrind, counting only inside loads_binary; its tape is rebuilt
once by the floor's build in each of its three ways of making dicts, counted the
same way, and the fewest of the three is the floor. Instruction counts do not
depend on what else the machine is doing. The instructions are split by the
object they ran in: the module itself, the interpreter (object creation,
hashing, the allocator) and the C library (malloc, memcpy).

    python bench/callgrind_decode.py [--quick] [--only TEXT] [--top N] [--keep DIR] [--module-dir DIR]

An installed vesk_native has its symbols stripped; --module-dir names a folder
with an unstripped build of it, for instance the build folder of
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
from common import vesk
from run import FLOOR_WAYS

HERE = pathlib.Path(__file__).resolve().parent
DECODE = """import sys
sys.path.insert(0, sys.argv[2])
import vesk_native
data = open(sys.argv[1], "rb").read()
vesk_native.loads_binary(data)
"""
# loads_binary holds off the cyclic collector while it decodes; the floor is counted so too
REBUILD = """import gc, sys, importlib.util
sys.path.insert(0, sys.argv[2])
import vesk_native
spec = importlib.util.spec_from_file_location("_floor", sys.argv[3])
floor = importlib.util.module_from_spec(spec); spec.loader.exec_module(floor)
tape = floor.flatten(vesk_native.loads_binary(open(sys.argv[1], "rb").read()))
gc.disable()
floor.build(tape, int(sys.argv[4]))
"""


def callgrind(script, args, collect, out):
    """{(function, part): instructions} counted inside the functions matching `collect`."""
    # without PYTHONPATH, so that nothing imports the installed (stripped) module first
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return common.callgrind([sys.executable, "-c", script, *args], collect, out,
                            lambda obj, source: common.part_of(obj, source, "vesk_native"), env)


def report(name, decode, floors, top):
    """Totals, the split by part, and the functions with the most instructions of their own."""
    way, floor = min(floors.items(), key=lambda item: sum(item[1].values()))
    total, floor_total = sum(decode.values()), sum(floor.values())
    print(f"\n== {name}: loads_binary {total:,} instructions, floor {floor_total:,} with {way} "
          f"(loads / floor {total / floor_total:.2f})")
    print(f"   loads_binary: {common.by_part(decode)}")
    print(f"   floor:        {common.by_part(floor)}")
    for (fn, part), n in decode.most_common(top):
        print(f"   {n / total:6.1%}  {part:<11} {fn[:90]}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a tenth of the synthetic corpora")
    ap.add_argument("--only", help="only the corpora whose name contains this text")
    ap.add_argument("--top", type=int, default=12, help="functions listed per corpus")
    ap.add_argument("--keep", type=pathlib.Path, help="keep the callgrind files in this folder")
    ap.add_argument("--module-dir", type=pathlib.Path, default=common.ROOT / "build",
                    help="a folder with an unstripped vesk_native (default: build/ of the checkout)")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    floor = common.build_extension(HERE / "floor.c", "_floor")
    work = args.keep or pathlib.Path(tempfile.mkdtemp(prefix="vesk-profile-"))
    work.mkdir(parents=True, exist_ok=True)
    for i, (name, make) in enumerate(corpora.corpora(args.quick)):
        if args.only and args.only not in name:
            continue
        doc = work / f"corpus{i}.vesk"
        doc.write_bytes(vesk.dumps(make()))
        decode = callgrind(DECODE, [doc, args.module_dir], "*::loads_binary(*", work / f"corpus{i}.loads.out")
        if not decode:
            sys.exit(f"no instructions counted in loads_binary: is the vesk_native in {args.module_dir} stripped?")
        floors = {way: callgrind(REBUILD, [doc, args.module_dir, floor.__file__, m], "build",
                                 work / f"corpus{i}.floor{m}.out")
                  for m, way in enumerate(FLOOR_WAYS)}
        report(name, decode, floors, args.top)
    if not args.keep:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
