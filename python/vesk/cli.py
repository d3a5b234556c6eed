"""The ``vesk`` command line: convert, inspect and validate VESK documents.

Exit status: 0 on success; 1 when an input is not a valid VESK document (the
decoder's error is printed); 2 for a mistake of the command line itself (a
file that cannot be read or written, input that is not JSON, a value that the
other format cannot hold), printed as one line on standard error.
"""

import argparse
import json
import os
import sys

import vesk
from vesk._scan import scan

STDIN = "-"
LISTED_COLUMNAR = 20
HEX_WIDTH = 16


class CommandError(Exception):
    """A mistake of the command line itself: one line on standard error, exit status 2."""


class DocumentError(Exception):
    """An input that does not decode: the decoder's error, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CommandError("%s (see '%s --help')" % (message, self.prog))


def _name(path):
    return "<stdin>" if path == STDIN else path


def _read(path):
    try:
        if path == STDIN:
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise CommandError("cannot read %s: %s" % (_name(path), e.strerror or e)) from None


def _write(args, data):
    try:
        if args.output is None:
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        else:
            with open(args.output, "wb") as f:
                f.write(data)
    except OSError as e:
        raise CommandError("cannot write %s: %s" % (args.output or "<stdout>",
                                                    e.strerror or e)) from None


def _decode(path, data):
    try:
        return vesk.loads(data)
    except vesk.VeskError as e:
        raise DocumentError("%s: %s" % (_name(path), e)) from None


# -- to-json and from-json ------------------------------------------------------

def to_json(args):
    data = _read(args.file)
    value = _decode(args.file, data)
    compact = args.indent is None
    # Copies made by references may nest 4096 levels below a value nested 512 deep.
    old_limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(old_limit, 5000))
    try:
        text = json.dumps(value, ensure_ascii=False, indent=args.indent,
                          separators=(",", ":") if compact else None)
    except RecursionError:
        raise CommandError("%s cannot be written as JSON: nested too deeply"
                           % _name(args.file)) from None
    finally:
        sys.setrecursionlimit(old_limit)
    _write(args, (text + "\n").encode("utf-8"))
    return 0


def from_json(args):
    data = _read(args.file)
    try:
        obj = json.loads(data)
    except RecursionError:
        raise CommandError("%s is not usable JSON: nested too deeply" % _name(args.file)) from None
    except ValueError as e:
        raise CommandError("%s is not JSON: %s" % (_name(args.file), e)) from None
    try:
        out = vesk.dumps(obj, columnar=not args.plain, anchors=args.anchors)
    except (TypeError, ValueError, OverflowError) as e:
        raise CommandError("%s cannot be written as VESK: %s" % (_name(args.file), e)) from None
    _write(args, out)
    return 0


# -- inspect --------------------------------------------------------------------

def _type_name(value):
    return "None" if value is None else type(value).__name__


def _shown(name):
    return name if name.isprintable() and name else json.dumps(name, ensure_ascii=False)


def _column_lines(column, indent):
    detail = []
    if "scale" in column:
        detail.append("scale %d" % column["scale"])
    if "entries" in column:
        detail.append("%d entries" % column["entries"])
    if "present" in column:
        detail.append("sparse, %d present" % column["present"])
    text = column["kind"] + (" (%s)" % ", ".join(detail) if detail else "")
    if "name" in column:
        text = "%s: %s" % (_shown(column["name"]), text)
    lines = [" " * indent + text]
    for sub in column.get("columns", ()):
        lines.extend(_column_lines(sub, indent + 2))
    return lines


def _percent(budget):
    return "%d of %d cells (%.2f%%)" % (budget["used"], budget["limit"],
                                        100.0 * budget["used"] / budget["limit"])


def _inspect_text(report):
    values = ", ".join("%s %d" % (k, n) for k, n in report["values"].items() if n)
    pool = report["string_pool"]
    budgets = report["budgets"]
    lines = [
        "file: %s" % report["file"],
        "size: %d bytes" % report["size"],
        "top level: %s" % report["top_level"],
        "depth: %d" % report["depth"],
        "values: %s" % values,
        "string pool: %d entries, %d bytes" % (pool["entries"], pool["bytes"]),
        "anchors: %d, references: %d" % (report["anchors"], report["references"]),
        "decoded-size budget: " + _percent(budgets["decoded_size"]),
        "reference-expansion budget: " + _percent(budgets["reference_expansion"]),
        "columnar values: %d" % len(report["columnar"]),
    ]
    labels = {"table": "table", "sparse_table": "sparse table", "list_column": "list column"}
    for entry in report["columnar"][:LISTED_COLUMNAR]:
        unit = "cells" if entry["type"] == "list_column" else "rows"
        lines.append("  %s at offset %d: %d %s" % (labels[entry["type"]], entry["offset"],
                                                  entry["rows"], unit))
        for column in entry["columns"]:
            lines.extend(_column_lines(column, 4))
    hidden = len(report["columnar"]) - LISTED_COLUMNAR
    if hidden > 0:
        lines.append("  ... and %d more (see --json)" % hidden)
    return "\n".join(lines) + "\n"


def inspect(args):
    data = _read(args.file)
    value = _decode(args.file, data)
    report = {"file": _name(args.file), "top_level": _type_name(value)}
    del value
    report.update(scan(data))
    if args.json:
        text = json.dumps(report, ensure_ascii=False, indent=2) + "\n"
    else:
        text = _inspect_text(report)
    _write(args, text.encode("utf-8"))
    return 0


# -- validate -------------------------------------------------------------------

def hex_window(data, offset):
    """A hex dump of the rows around `offset`, with the byte there marked."""
    row = offset // HEX_WIDTH
    last = max(row, min(row + 1, (len(data) - 1) // HEX_WIDTH))
    lines = []
    for r in range(max(0, row - 1), last + 1):
        chunk = data[r * HEX_WIDTH:(r + 1) * HEX_WIDTH]
        hexes = " ".join("%02x" % b for b in chunk)
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in chunk)
        lines.append("  %08x  %-*s  |%s|" % (r * HEX_WIDTH, 3 * HEX_WIDTH - 1, hexes, text))
        if r == row:
            mark = " " * (12 + 3 * (offset % HEX_WIDTH)) + "^^"
            lines.append(mark + (" end of input" if offset >= len(data) else ""))
    return "\n".join(lines) + "\n"


def validate(args):
    status = 0
    report = []
    for path in args.files:
        try:
            data = _read(path)
        except CommandError as e:
            print("vesk: error: %s" % e, file=sys.stderr)
            status = 2
            continue
        try:
            vesk.loads(data)
        except vesk.VeskError as e:
            report.append("%s: %s\n" % (_name(path), e))
            report.append(hex_window(data, e.offset))
            status = max(status, 1)
    _write(args, "".join(report).encode("utf-8"))
    return status


# -- the parser -----------------------------------------------------------------

def _indent(text):
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if n < 0:
        raise argparse.ArgumentTypeError("must not be negative: %d" % n)
    return n


def build_parser():
    parser = _Parser(prog="vesk", description="Convert, inspect and validate VESK documents.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, run, help, file_help="a VESK document, or - for standard input"):
        sub = commands.add_parser(name, help=help, description=help)
        if file_help:
            sub.add_argument("file", metavar="FILE", help=file_help)
        sub.add_argument("-o", "--output", metavar="FILE",
                         help="write to FILE instead of standard output")
        sub.set_defaults(run=run)
        return sub

    sub = command("to-json", to_json, "Write a VESK document as JSON.")
    sub.add_argument("--indent", type=_indent, metavar="N",
                     help="indent by N spaces (default: compact)")
    sub = command("from-json", from_json, "Write a JSON document as VESK.",
                  "a JSON document, or - for standard input")
    sub.add_argument("--plain", action="store_true",
                     help="no columnar layouts (tables, sparse tables, list columns)")
    sub.add_argument("--anchors", action="store_true",
                     help="write repeated lists and dicts once, then by reference")
    sub = command("inspect", inspect, "Describe the structure of a VESK document.")
    sub.add_argument("--json", action="store_true", help="machine-readable output")
    sub = command("validate", validate, "Check that VESK documents decode; exit 1 if any does not.",
                  None)
    sub.add_argument("files", metavar="FILE", nargs="+",
                     help="VESK documents, or - for standard input")
    return parser


def main(argv=None):
    """Runs the command line; returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        return args.run(args)
    except CommandError as e:
        print("vesk: error: %s" % e, file=sys.stderr)
        return 2
    except DocumentError as e:
        print(e, file=sys.stderr)
        return 1
    except MemoryError:
        print("vesk: error: out of memory", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (as `| head` does): nothing more can be written,
        # and the flush at exit must not complain either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
