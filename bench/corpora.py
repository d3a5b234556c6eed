"""The corpora both benchmarks measure: real data files and three seeded synthetic sets.

``corpora(quick)`` returns ``[(name, make), ...]`` in a fixed order; ``make()``
builds that corpus alone, so that a benchmark holds one corpus at a time (a heap
full of other corpora slows every decoder, and some more than others). Every
object is normalised the way the format decodes numbers: a float that is whole
and below 2**53 in magnitude becomes an int, so that every decoder must give
back exactly the same object. A source that is not on this machine is left out
with a note on stderr.
"""

import gzip
import json
import pathlib
import random
import string
import sys

from common import ROOT, load_file

# The object as it decodes: whole floats below 2**53 as ints, tuples as lists.
normalize = load_file("vesk_build", ROOT / "tests" / "vesk_build.py").normalize

ISO_DIR = pathlib.Path("/usr/share/iso-codes/json")
ISO_SMALL = ["iso_15924", "iso_3166-1", "iso_3166-3", "iso_4217", "iso_639-2", "iso_639-5"]
SERVICES = ["s3", "dynamodb", "lambda", "iam", "sqs"]

CATEGORIES = ["books", "music", "garden", "toys", "grocery", "sports", "beauty", "auto",
              "office", "pets", "health", "baby", "shoes", "jewelry", "tools", "games",
              "camera", "phones", "kitchen", "outdoor", "video", "software", "crafts", "food"]
LEVELS = ["debug", "info", "info", "info", "warning", "error"]
SOURCES = ["api", "worker", "scheduler", "auth", "billing", "search", "gateway", "cache"]
TAGS = ["retry", "slow", "cold-start", "canary", "batch", "internal", "mobile", "eu", "us"]
ERRORS = ["TimeoutError", "ConnectionResetError", "KeyError", "ValueError", "PermissionError"]


def read_json(path):
    """A JSON file, gzip-compressed or not."""
    opener = gzip.open if path.suffix == ".gz" else open
    with opener(path, "rt", encoding="utf-8") as f:
        return json.load(f)


def botocore_data():
    """botocore's data folder, or None when botocore is not installed."""
    try:
        import botocore
    except ImportError:
        return None
    return pathlib.Path(botocore.__file__).parent / "data"


def service_model(data, service):
    """The newest service-2.json of one service (its folders are named by API date)."""
    for version in sorted((data / service).iterdir(), reverse=True):
        for name in ("service-2.json", "service-2.json.gz"):
            if (version / name).exists():
                return read_json(version / name)
    raise FileNotFoundError(f"no service model for {service} under {data}")


def iso(stem):
    return read_json(ISO_DIR / f"{stem}.json")


def real_corpora():
    """(name, make) for the iso-codes and botocore files found on this machine."""
    out = []
    if ISO_DIR.is_dir():
        out += [("iso 639-3", lambda: iso("iso_639-3")), ("iso 3166-2", lambda: iso("iso_3166-2")),
                ("iso six small files", lambda: {stem: iso(stem) for stem in ISO_SMALL})]
    else:
        print(f"note: {ISO_DIR} not found (Debian package iso-codes): iso corpora skipped",
              file=sys.stderr)
    data = botocore_data()
    if data is not None:
        out += [("botocore endpoints", lambda: read_json(data / "endpoints.json")),
                ("botocore ec2", lambda: service_model(data, "ec2")),
                ("botocore five models", lambda: {s: service_model(data, s) for s in SERVICES})]
    else:
        print("note: botocore not installed: botocore corpora skipped", file=sys.stderr)
    return out


def token(rng, n):
    return "".join(rng.choices(string.ascii_letters + string.digits, k=n))


def synthetic_table(n, rng):
    """n rows of seven keys: two increasing ints, a price, a small int, a category, a bool, a unique text."""
    rows, order_id, ts = [], 10_000_000, 1_700_000_000_000
    names = list(dict.fromkeys(token(rng, 8) for _ in range(n + n // 100)))[:n]
    for name in names:
        order_id += rng.randint(1, 3)
        ts += rng.randint(0, 5_000)
        rows.append({"id": order_id, "ts": ts, "price": rng.randrange(1, 10_000_000) / 100,
                     "qty": rng.randrange(100), "category": rng.choice(CATEGORIES),
                     "paid": rng.random() < 0.7, "sku": name})
    return rows


def synthetic_logs(n, rng):
    """n log records: ts, level, source and message always, six optional keys."""
    records, ts = [], 1_700_000_000_000
    for i in range(n):
        ts += rng.randint(0, 200)
        rec = {"ts": ts, "level": rng.choice(LEVELS), "source": rng.choice(SOURCES),
               "message": f"request {token(rng, 6)} handled in {rng.randrange(1, 900)} ms"}
        if rng.random() < 0.5:
            rec["request_id"] = token(rng, 16)
        if rng.random() < 0.3:
            rec["user"] = rng.randrange(1, 50_000)
        if rng.random() < 0.4:
            rec["latency"] = round(rng.lognormvariate(3, 1), 3)
        if rng.random() < 0.2:
            rec["cpu"] = rng.random()
        if rng.random() < 0.25:
            rec["tags"] = rng.sample(TAGS, rng.randint(1, 3))
        if rng.random() < 0.1:
            rec["error"] = {"type": rng.choice(ERRORS), "code": rng.randrange(400, 600),
                            "retry": rng.random() < 0.5}
        records.append(rec)
    return records


def int32s(n, rng):
    return [rng.randrange(-2 ** 31, 2 ** 31) for _ in range(n)]


def synthetic_corpora(quick):
    """(name, make) for the table, the int32 list and the log records, each with a seed of its own."""
    scale = 10 if quick else 1
    sets = [("synthetic table {:,} rows", 200_000, synthetic_table, 1),
            ("synthetic int32 list {:,}", 1_000_000, int32s, 2),
            ("synthetic logs {:,} records", 100_000, synthetic_logs, 3)]
    return [(title.format(n // scale), lambda n=n // scale, make=make, seed=seed: make(n, random.Random(seed)))
            for title, n, make, seed in sets]


def corpora(quick=False):
    """(name, make) for every corpus in the order of the tables; make() returns it normalised."""
    return [(name, lambda make=make: normalize(make())) for name, make in real_corpora() + synthetic_corpora(quick)]
