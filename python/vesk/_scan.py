"""A structural walk over a document that is known to decode.

It reports what the bytes hold (values by wire kind, tables with their columns,
the string pool, anchors and references) and charges the two budgets exactly
as the decoder does, so that the figures are the smallest ``Decoder`` caps
under which the document still decodes.
"""

import sys

SIZE_BASE = 0x400000
SIZE_PER_BYTE = 32
REF_BUDGET = 0x1000000

COLUMN_KINDS = ("tagged", "delta", "decimal", "dictionary", "bitmap", "object")
VALUE_KINDS = ("null", "bool", "int", "float", "string", "string_ref", "array", "object",
               "table", "sparse_table", "list_column", "anchor", "anchor_ref")

_CONSTANTS = {0x00: "null", 0x01: "bool", 0x02: "bool"}


class _Walk:
    def __init__(self, data):
        self.data = data
        self.pos = 2
        self.pool = []  # texts of two or more bytes, in the decoder's order
        self.pool_bytes = 0
        self.anchor_costs = []  # per anchor: the cells one copy of its value charges
        self.values = dict.fromkeys(VALUE_KINDS, 0)
        self.columnar = []
        self.size_used = 0
        self.ref_used = 0
        self.depth = 0

    # -- primitives: the input is valid, so no bound is checked here --

    def byte(self):
        b = self.data[self.pos]
        self.pos += 1
        return b

    def uvarint(self):
        data, pos = self.data, self.pos
        result = shift = 0
        while True:
            b = data[pos]
            pos += 1
            result |= (b & 0x7F) << shift
            if b < 0x80:
                self.pos = pos
                return result
            shift += 7

    def skip_varints(self, count):
        data, pos = self.data, self.pos
        for _ in range(count):
            while data[pos] & 0x80:
                pos += 1
            pos += 1
        self.pos = pos

    def text(self, n):
        at = self.pos
        self.pos += n
        s = self.data[at:at + n].decode("utf-8")
        if n >= 2:
            self.pool.append(s)
            self.pool_bytes += n
        return s

    def key(self):
        b = self.byte()
        if b == 0x06:
            return self.pool[self.uvarint()]
        if b == 0x05:
            return self.text(self.uvarint())
        return self.text(b & 0x1F)

    def keys(self):
        return [self.key() for _ in range(self.uvarint())]

    def reach(self, depth):
        if depth > self.depth:
            self.depth = depth

    # -- values: each returns the cells that one copy of it would charge --

    def value(self, depth):
        self.reach(depth)
        at = self.pos
        tag = self.byte()
        if tag >= 0x80:
            return self.count("int")
        if tag & 0xE0 == 0x40:
            self.text(tag & 0x1F)
            return self.count("string")
        if tag in _CONSTANTS:
            return self.count(_CONSTANTS[tag])
        if tag == 0x03:
            self.uvarint()
            return self.count("int")
        if tag == 0x04:
            self.pos += 8
            return self.count("float")
        if tag == 0x05:
            self.text(self.uvarint())
            return self.count("string")
        if tag == 0x06:
            self.uvarint()
            return self.count("string_ref")
        if tag == 0x07:
            self.count("array")
            n = self.uvarint()
            return n + 1 + sum(self.value(depth + 1) for _ in range(n))
        if tag == 0x08:
            self.count("object")
            n = self.uvarint()
            cost = n + 1
            for _ in range(n):
                self.key()
                cost += self.value(depth + 1)
            return cost
        if tag == 0x09:
            return self.table(at, depth)
        if tag == 0x0A:
            self.count("anchor")
            slot = len(self.anchor_costs)
            self.anchor_costs.append(0)
            cost = self.value(depth + 1)
            self.anchor_costs[slot] = cost
            return cost
        if tag == 0x0B:
            self.count("anchor_ref")
            cost = self.anchor_costs[self.uvarint()]
            self.ref_used += cost
            return cost
        if tag == 0x0C:
            return self.list_column(at, depth)
        return self.sparse(at, depth)

    def count(self, kind):
        self.values[kind] += 1
        return 0

    def record(self, kind, at, rows):
        entry = {"type": kind, "offset": at, "rows": rows, "columns": []}
        self.columnar.append(entry)
        return entry

    def list_column(self, at, depth):
        self.count("list_column")
        n = self.uvarint()
        entry = self.record("list_column", at, n)
        column, cost = self.column(n, depth + 1)
        entry["columns"].append(column)
        return n + 1 + cost

    def table(self, at, depth):
        self.count("table")
        names = self.keys()
        n = self.uvarint()
        entry = self.record("table", at, n)
        cost = n + 1 + n * (len(names) + 1)
        for name in names:
            column, cells = self.column(n, depth + 1)
            column["name"] = name
            entry["columns"].append(column)
            cost += cells
        return cost

    def sparse(self, at, depth):
        self.count("sparse_table")
        names = self.keys()
        n = self.uvarint()
        self.size_used += 2 * n
        entry = self.record("sparse_table", at, n)
        cost = 2 * n + 1  # the list, and one unit per row dict
        for name in names:
            if self.byte() == 0x00:
                present = n
                column, cells = self.column(n, depth + 1)
            else:
                size = (n + 7) // 8
                bitmap = self.data[self.pos:self.pos + size]
                self.pos += size
                present = bin(int.from_bytes(bitmap, "little")).count("1")
                column, cells = self.column(present, depth + 1)
                column["present"] = present
            column["name"] = name
            entry["columns"].append(column)
            cost += present + cells
        return cost

    def column(self, count, depth):
        """(description, copy cost of the cells) of a column of `count` cells."""
        self.reach(depth)
        self.size_used += count + 1
        kind = self.byte()
        column = {"kind": COLUMN_KINDS[kind]}
        cost = 0
        if kind == 0:
            cost = sum(self.value(depth + 1) for _ in range(count))
        elif kind == 1:
            self.skip_varints(count)
        elif kind == 2:
            column["scale"] = self.byte()
            self.skip_varints(count)
        elif kind == 3:
            entries = self.uvarint()
            for _ in range(entries):
                self.key()
            column["entries"] = entries
            self.skip_varints(count)
        elif kind == 4:
            self.pos += (count + 7) // 8
        else:
            names = self.keys()
            column["columns"] = []
            cost = count * (len(names) + 1)
            for name in names:
                sub, cells = self.column(count, depth + 1)
                sub["name"] = name
                column["columns"].append(sub)
                cost += cells
        return column, cost


def scan(data):
    """The structure of the document `data`, which must decode (``vesk.loads``)."""
    old = sys.getrecursionlimit()
    # Four frames a level at most, for 512 levels and columns within them.
    sys.setrecursionlimit(max(old, 4 * 600 + 100))
    try:
        walk = _Walk(bytes(data))
        walk.value(0)
    finally:
        sys.setrecursionlimit(old)
    return {
        "size": len(data),
        "depth": walk.depth,
        "values": walk.values,
        "columnar": walk.columnar,
        "string_pool": {"entries": len(walk.pool), "bytes": walk.pool_bytes},
        "anchors": len(walk.anchor_costs),
        "references": walk.values["anchor_ref"],
        "budgets": {
            "decoded_size": {"used": walk.size_used,
                             "limit": len(data) * SIZE_PER_BYTE + SIZE_BASE},
            "reference_expansion": {"used": walk.ref_used, "limit": REF_BUDGET},
        },
    }
