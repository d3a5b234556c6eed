"""What the decode and encode benchmarks share: the peers, exact comparison, interleaved timing, tables."""

import argparse
import collections
import gc
import importlib.util
import itertools
import json
import marshal
import operator
import os
import pathlib
import pickle
import platform
import random
import re
import shlex
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc

ROOT = pathlib.Path(__file__).resolve().parent.parent


def load_file(name, path):
    """Imports a module from a file path (a test helper or a freshly built extension)."""
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


try:
    import vesk
except ImportError:
    sys.exit("vesk is not importable: install the package first (pip install .)")

# Equal, with the same types throughout and the same key order (the test helpers import each other by name).
sys.path.insert(0, str(ROOT / "tests"))
same = load_file("support", ROOT / "tests" / "support.py").same


# One other format: how it writes an object and how it reads it back.
Peer = collections.namedtuple("Peer", "name dumps loads")


def _optional(module, *attrs):
    """Attributes of an optional module, or None when it is not installed."""
    try:
        mod = importlib.import_module(module)
    except ImportError:
        return None
    return [operator.attrgetter(a)(mod) for a in attrs]


def peers(note=True):
    """Every installed peer, by name; a note names the missing ones."""
    out = {"marshal": Peer("marshal", marshal.dumps, marshal.loads),
           "pickle": Peer("pickle", lambda o: pickle.dumps(o, pickle.HIGHEST_PROTOCOL), pickle.loads),
           "json": Peer("json", lambda o: json.dumps(o, separators=(",", ":"), ensure_ascii=False),
                        json.loads)}
    optional = [("orjson", "orjson", "dumps", "loads"),
                ("msgspec.json", "msgspec", "json.encode", "json.decode"),
                ("msgspec.msgpack", "msgspec", "msgpack.encode", "msgpack.decode"),
                ("ormsgpack", "ormsgpack", "packb", "unpackb"),
                ("msgpack", "msgpack", "packb", "unpackb"),
                ("cbor2", "cbor2", "dumps", "loads")]
    missing = []
    for name, module, dumps, loads in optional:
        found = _optional(module, dumps, loads)
        if found:
            out[name] = Peer(name, *found)
        else:
            missing.append(name)
    if missing and note:
        print("not installed, skipped: " + ", ".join(missing) + " (pip install -r bench/requirements.txt)")
    return out


def json_size(obj):
    """Bytes of the compact UTF-8 JSON form."""
    return len(json.dumps(obj, separators=(",", ":"), ensure_ascii=False).encode())


def size(data):
    """Bytes of an encoded form (json's is a str)."""
    return len(data.encode()) if isinstance(data, str) else len(data)


def header(what, rounds):
    print(f"{what}: Python {platform.python_version()} on {platform.machine()}, vesk from "
          f"{pathlib.Path(vesk.__file__).parent}; {rounds} interleaved rounds, medians of "
          f"{'wall' if clock is time.perf_counter else 'CPU'} time")


# -- timing -------------------------------------------------------------------

# The CPU time of this thread: on a machine shared with other work, wall time
# also counts the milliseconds this process waits for a core, in bursts that
# swamp the differences being measured. Page faults and the like still count.
clock = time.thread_time


def use_wall_clock():
    global clock
    clock = time.perf_counter


def _timed(fn, arg, calls):
    """Seconds per call of fn(arg); with one call, dropping the result stays outside the clock."""
    if calls == 1:
        t0 = clock()
        result = fn(arg)
        t1 = clock()
        del result
        return t1 - t0
    t0 = clock()
    for _ in itertools.repeat(None, calls):
        fn(arg)
    return (clock() - t0) / calls


def interleaved(cases, rounds, calls=1, collector=False):
    """Median seconds per call for each (name, fn, arg), timed in turns.

    Every round runs each case once, the starting case rotating every round,
    so that drifts of the shared machine reach every case alike. The others
    follow in an order shuffled every round (seeded): in one fixed cycle each
    case would always run right after the same neighbour, and inherit the
    caches that neighbour leaves (warm after a case that walked the same
    object, cold after one that wrote a large buffer). With collector=False
    the cyclic collector is off, after one full collection.
    """
    times = {name: [] for name, _, _ in cases}
    order = random.Random(0)
    gc.collect()
    was_on = gc.isenabled()
    if not collector:
        gc.disable()
    try:
        for k in range(rounds):
            start = k % len(cases)
            rest = cases[:start] + cases[start + 1:]
            order.shuffle(rest)
            for name, fn, arg in [cases[start]] + rest:
                times[name].append(_timed(fn, arg, calls))
    finally:
        if was_on:
            gc.enable()
    return {name: statistics.median(ts) for name, ts in times.items()}


def peak_over_result(fn, arg):
    """Peak memory traced during fn(arg) over the memory its result keeps."""
    fn(arg)  # caches a decoder fills on first use are not charged to one call
    gc.collect()
    tracemalloc.start()
    try:
        result = fn(arg)
        kept, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del result
    return peak / kept if kept else float("nan")


# -- output -------------------------------------------------------------------

def print_table(title, columns, rows):
    """A plain text table: columns are (heading, format) pairs, rows hold the raw values."""
    cells = [[("" if v is None else fmt.format(v)) for (_, fmt), v in zip(columns, row)] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) for i, (h, _) in enumerate(columns)]
    print(f"\n== {title}")
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, ((h, _), w) in enumerate(zip(columns, widths))))
    for r in cells:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))


# -- one interpreter per corpus ---------------------------------------------------

def add_child_options(ap):
    """The options by which a benchmark runs itself for one corpus."""
    ap.add_argument("--corpus", help=argparse.SUPPRESS)
    ap.add_argument("--result", help=argparse.SUPPRESS)


def each_corpus_alone(script, names):
    """Runs script once per corpus, each in a fresh interpreter; {name: what it wrote}.

    A heap that earlier corpora left behind (arenas held by a few survivors,
    caches of the peers) slows the later decoders and encoders, and some far
    more than others; a fresh process gives each corpus the same start.
    """
    results = {}
    for name in names:
        with tempfile.TemporaryDirectory() as tmp:
            out = pathlib.Path(tmp) / "result.json"
            sys.stdout.flush()
            done = subprocess.run([sys.executable, str(script), *sys.argv[1:], "--corpus", name,
                                   "--result", str(out)])
            if done.returncode == 0:
                results[name] = json.loads(out.read_text())
    return results


def write_result(path, result):
    pathlib.Path(path).write_text(json.dumps(result))


# -- helpers in C ---------------------------------------------------------------

def build_extension(source, name):
    """Compiles one C file into an extension module with the interpreter's own compiler and flags."""
    cfg = sysconfig.get_config_var
    out = pathlib.Path(tempfile.mkdtemp(prefix="vesk-bench-"))
    obj, lib = out / (name + ".o"), out / (name + cfg("EXT_SUFFIX"))
    commands = [[*shlex.split(cfg("CC")), *shlex.split(cfg("CFLAGS") or ""), *shlex.split(cfg("CCSHARED") or ""),
                 "-I" + sysconfig.get_paths()["include"], "-c", str(source), "-o", str(obj)],
                [*shlex.split(cfg("LDSHARED")), str(obj), "-o", str(lib)]]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    for cmd in commands:
        done = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"building {source.name} failed:\n{shlex.join(cmd)}\n{done.stdout}{done.stderr}")
    return load_file(name, lib)


# one line of callgrind_annotate: "1,234 (12.34%)  file:function [object]"; the
# object is left out on lines of code inlined from another file
_ANNOTATED = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*?):(.*?)(?: \[(.*)\])?\s*$")


def callgrind(command, collect, out, where, env, options=()):
    """{(function, part): instructions} of `command` counted inside the functions
    matching `collect`; where(object, source) names the part of the process.
    `options` go to valgrind."""
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--toggle-collect={collect}",
                    *options, *map(str, command)], check=True, capture_output=True, env=env)
    text = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", "--show=Ir", str(out)],
                          check=True, capture_output=True, text=True).stdout
    counts = collections.Counter()
    for line in text.splitlines():
        m = _ANNOTATED.match(line)
        if m and m.group(2) != "PROGRAM TOTALS":
            counts[(m.group(3), where(m.group(4), m.group(2)))] += int(m.group(1).replace(",", ""))
    return counts


def callgrind_totals(out):
    """{event: count} over everything a callgrind file counted."""
    text = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", str(out)], check=True,
                          capture_output=True, text=True).stdout
    events = re.search(r"^Events shown:\s+(.*)$", text, re.M).group(1).split()
    totals = re.search(r"^(.*)PROGRAM TOTALS", text, re.M).group(1)
    counts = [int(n.replace(",", "")) for n in re.findall(r"([\d,]+) \(", totals)]
    return dict(zip(events, counts))


def part_of(obj, source, module):
    """The part of the process an object file (or, without one, a source file) stands
    for: the module whose file name starts with `module`, the floor, the C library or
    the interpreter."""
    if obj is None:
        if source.startswith(("src/", str(ROOT / "src"))):
            return "module"
        if pathlib.Path(source).name.startswith("floor"):
            return "floor's own"
        return "libc" if source.startswith(("./", "/build/glibc")) else "interpreter"
    name = pathlib.Path(obj).name
    if name.startswith(module):
        return "module"
    if name.startswith("_floor"):
        return "floor's own"
    if name.startswith(("libc.", "libc-", "ld-linux", "libm.")):
        return "libc"
    return "interpreter"


def by_part(counts):
    """Instructions per part of the process, most first."""
    parts = collections.Counter()
    for (_, part), n in counts.items():
        parts[part] += n
    return ", ".join(f"{part} {n:,}" for part, n in parts.most_common())
