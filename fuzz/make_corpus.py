"""Writes the fuzzer's seed corpus: small valid documents that use every tag,
every column kind, tables, sparse tables and anchors.

    python3 fuzz/make_corpus.py            # -> fuzz/corpus/ (git-ignored)
    python3 fuzz/make_corpus.py OUT_DIR
"""

import hashlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import vesk_build as b  # noqa: E402


def columns():
    """One column of three cells of every kind, two Object columns included."""
    return [
        b.col_tagged(b.small_int(1), b.string("ab"), b.none()),
        b.col_delta(5, -3, 1 << 62),
        b.col_decimal(2, 150, -5, 1 << 60),
        b.col_dictionary(["ab", "c", b.ref(0)], [0, 1, 2]),
        b.col_bitmap(True, False, True),
        b.col_object([("x", b.col_bitmap(True, True, False)),
                      ("y", b.col_delta(1, 2, 3))]),
        b.col_object([("o", b.col_object([("z", b.col_decimal(0, 1, 2, 3))]))]),
    ]


def seeds():
    scalars = [b.none(), b.boolean(False), b.boolean(True), b.small_int(0),
               b.small_int(127), b.int_(-1), b.int_(-(1 << 63)), b.int_(1 << 40),
               b.float_(1.5), b.float_(3.0), b.float_(2.0 ** 53), b.float_(-0.0),
               b.short_string(""), b.short_string("a"), b.short_string("héllo"),
               b.long_string("x" * 40)]
    for i, s in enumerate(scalars):
        yield "scalar%02d" % i, b.doc(s)
    yield "pool", b.doc(b.array(b.string("ab"), b.ref(0), b.long_string("cd"), b.ref(1)))
    yield "array", b.doc(b.array(*scalars))
    yield "object", b.doc(b.array(b.string("zz"), b.obj(
        ("ab", b.small_int(1)), (b.long_key("cd"), b.ref(1)), (b.ref(0), b.array()),
        ("", b.obj()))))
    yield "nested", b.doc(b.encode({"a": [1, {"b": [None, True, 2.5, "s" * 33]}],
                                    "c": {"d": {"e": []}}}))
    yield "deep", b.doc(b"\x07\x01" * 64 + b"\x07\x00")
    yield "anchors", b.doc(b.array(b.anchor(b.array(b.small_int(0), b.anchor(b.string("ab")))),
                                   b.anchor_ref(0), b.anchor_ref(1)))
    yield "anchor_obj", b.doc(b.array(b.anchor(b.obj(("k", b.array(b.none())))),
                                      b.anchor_ref(0), b.anchor_ref(0)))
    yield "anchor_nested", b.doc(b.anchor(b.array(b.anchor(b.string("ab")), b.anchor_ref(1))))
    for i, col in enumerate(columns()):
        yield "list_column%d" % i, b.doc(b.list_column(3, col))
        yield "table%d" % i, b.doc(b.table(["id", "v"], 3, b.col_delta(1, 2, 3), col))
        yield "sparse_dense%d" % i, b.doc(b.sparse(["v"], 3, b.dense(col)))
        yield "sparse%d" % i, b.doc(b.sparse(["id", "v"], 5, b.dense(b.col_delta(1, 2, 3, 4, 5)),
                                             b.sparse_col([0, 2, 4], col, n=5)))
    yield "list_column_empty", b.doc(b.list_column(0, b.col_dictionary(["ab", "c"], [])))
    yield "table_wide", b.doc(b.table(["k%d" % i for i in range(20)], 2,
                                      *[b.col_bitmap(True, False)] * 20))
    yield "table_empty", b.doc(b.table(["a"], 0, b.col_bitmap()))
    yield "sparse_mixed", b.doc(b.sparse(["a", "b", "c"], 10,
                                         b.sparse_col([1, 9], b.col_delta(5, 7), n=10),
                                         b.dense(b.col_bitmap(*[True] * 10)),
                                         b.sparse_col(bytes(2), b.col_tagged())))
    yield "mixed", b.doc(b.obj(
        ("rows", b.table(["a", "b"], 2, b.col_bitmap(True, False), b.col_delta(2, 5))),
        ("col", b.list_column(2, b.col_decimal(2, 150, 100))),
        ("sp", b.sparse(["id", "x"], 3, b.dense(b.col_delta(1, 2, 3)),
                        b.sparse_col([0, 2], b.col_bitmap(True, False), n=3))),
        ("a", b.anchor(b.array(b.string("ab"), b.float_(0.25)))),
        ("r", b.anchor_ref(0)),
        ("s", b.ref(0))))
    example = HERE.parent / "examples" / "orders.vesk"
    if example.exists():
        yield "example", example.read_bytes()


def main():
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "corpus"
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for name, data in seeds():
        (out / ("%s-%s" % (name, hashlib.sha1(data).hexdigest()[:8]))).write_bytes(data)
        count += 1
    print("wrote %d seeds to %s" % (count, out))


if __name__ == "__main__":
    main()
