"""The installed `vesk` console script, run as a user runs it."""

import json
import os
import subprocess
import sys

import pytest

import vesk
import vesk_build as b

SCRIPT = os.path.join(os.path.dirname(sys.executable), "vesk")
pytestmark = pytest.mark.skipif(not os.path.isfile(SCRIPT),
                                reason="the console script is not installed beside python")

try:
    vesk.dumps(None)
    ENCODER = True
except NotImplementedError:
    ENCODER = False
needs_encoder = pytest.mark.skipif(not ENCODER, reason="the encoder is not built yet")

ROWS = [{"id": i, "name": ["ab", "cd"][i % 2], "ok": i % 3 == 0} for i in range(5)]
VALUE = {"rows": ROWS, "sparse": [{"id": 1, "x": True}, {"id": 2}], "pi": 3.5, "s": "\u00e9"}
GOOD = b.doc(b.obj(
    ("rows", b.encode_table(ROWS)),
    ("sparse", b.sparse(["id", "x"], 2, b.dense(b.col_delta(1, 2)),
                        b.sparse_col([True, False], b.col_bitmap(True)))),
    ("pi", b.float_(3.5)), ("s", b.string("\u00e9"))))
BAD = GOOD[:23] + b"\x07" + GOOD[24:]  # the kind byte of the first column


def run(*args, stdin=b"", module=False):
    """(exit status, stdout bytes, stderr text); never a traceback, and every
    command-line error is one line."""
    command = [sys.executable, "-m", "vesk"] if module else [SCRIPT]
    done = subprocess.run(command + list(args), input=stdin, capture_output=True, timeout=60)
    err = done.stderr.decode()
    assert "Traceback" not in err
    if done.returncode == 2:
        assert err.startswith("vesk: error: ") and err.count("\n") == 1, err
    return done.returncode, done.stdout, err


@pytest.fixture
def files(tmp_path, monkeypatch):
    for name, data in [("good.vesk", GOOD), ("bad.vesk", BAD), ("doc.json", b'[1, {"a": 2}]'),
                       ("broken.json", b"[1,"), ("huge.json", b"[18446744073709551616]")]:
        (tmp_path / name).write_bytes(data)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_to_json_is_compact_by_default_and_indents_on_request(files):
    assert run("to-json", "good.vesk") == (0, (json.dumps(
        VALUE, ensure_ascii=False, separators=(",", ":")) + "\n").encode(), "")
    code, out, _ = run("to-json", "--indent", "2", "-", stdin=GOOD)
    assert code == 0 and out.decode() == json.dumps(VALUE, ensure_ascii=False, indent=2) + "\n"
    assert run("to-json", "good.vesk", "-o", "out.json")[:2] == (0, b"")
    assert json.loads((files / "out.json").read_text()) == VALUE


@pytest.mark.parametrize("args, status, message", [
    (["to-json", "bad.vesk"], 1, "bad.vesk: vesk: offset 23: bad column kind\n"),
    (["inspect", "missing.vesk"], 2, "vesk: error: cannot read missing.vesk: "
                                     "No such file or directory\n"),
    (["to-json", "good.vesk", "--indent", "-1"], 2, None),
    (["to-json", "good.vesk", "-o", "no/such/dir/out.json"], 2, None),
    (["from-json", "broken.json"], 2, None),
    (["from-json", "good.vesk"], 2, None),  # not UTF-8
    (["frobnicate"], 2, None),
    ([], 2, None),
])
def test_errors_are_one_line_on_stderr_with_their_status(files, args, status, message):
    code, out, err = run(*args)
    assert (code, out) == (status, b"")
    assert message is None or err == message


@pytest.mark.parametrize("command", ["to-json", "from-json", "inspect", "validate"])
def test_every_subcommand_has_help(command):
    code, out, _ = run(command, "--help", module=True)
    assert code == 0 and b"usage: vesk " + command.encode() in out


def test_validate_reports_each_bad_file_with_a_marked_hex_dump(files):
    assert run("validate", "good.vesk", "-", stdin=GOOD) == (0, b"", "")
    code, out, _ = run("validate", "good.vesk", "bad.vesk", "-", stdin=b"\x0f\x01")
    assert code == 1
    lines = out.decode().splitlines()
    assert lines[0] == "bad.vesk: vesk: offset 23: bad column kind"
    assert lines[1].startswith("  00000000  0f 01 08 04 44 72 6f 77 73 09 03 42 69 64 44 6e  |")
    assert lines[2].startswith("  00000010  61 6d 65 42 6f 6b 05 07 ")
    assert lines[3] == " " * (12 + 3 * 7) + "^^"
    assert lines[4].startswith("  00000020  ")
    assert lines[5] == "<stdin>: vesk: offset 2: truncated input"
    assert lines[7] == " " * (12 + 3 * 2) + "^^ end of input"
    code, _, err = run("validate", "good.vesk", "missing.vesk")
    assert code == 2 and "missing.vesk" in err


def test_inspect_reports_structure_and_budgets(files):
    code, out, _ = run("inspect", "--json", "good.vesk")
    report = json.loads(out)
    assert code == 0 and report["top_level"] == "dict" and report["size"] == len(GOOD)
    assert [(t["type"], t["rows"], [(c["name"], c["kind"], c.get("present"))
                                    for c in t["columns"]]) for t in report["columnar"]] == [
        ("table", 5, [("id", "delta", None), ("name", "dictionary", None), ("ok", "bitmap", None)]),
        ("sparse_table", 2, [("id", "delta", None), ("x", "bitmap", 1)])]
    assert report["string_pool"] == {"entries": 10, "bytes": 28}
    # 3 columns of 6 cells; then 2 x 2 rows, a dense column of 3, a sparse one of 2.
    assert report["budgets"]["decoded_size"]["used"] == 18 + 4 + 3 + 2
    code, out, _ = run("inspect", "-", stdin=GOOD)
    text = out.decode()
    assert code == 0 and "top level: dict\n" in text and "    x: bitmap (sparse, 1 present)\n" in text
    assert "decoded-size budget: 27 of %d cells" % (32 * len(GOOD) + 4194304) in text


@needs_encoder
def test_from_json_round_trips_through_to_json(files):
    for options in [[], ["--plain"], ["--anchors"]]:
        code, out, _ = run("from-json", "doc.json", *options)
        assert code == 0 and vesk.loads(out) == [1, {"a": 2}]
        assert run("to-json", "-", stdin=out)[1] == b'[1,{"a":2}]\n'
    assert run("from-json", "huge.json")[0] == 2
