"""Pure-Python reference decoder for the VESK binary format.

``loads(data)`` decodes one document exactly as ``vesk_native.loads_binary``
must: same values and types, same key order, and for every malformed input a
``RefError`` with the same ``message`` and ``offset``, with the checks made in
the same order, the same budgets charged at the same points and the same
depth limits.  It is meant as a differential oracle for property tests and
fuzzing, so it favours exactness over speed.

Columns are decoded into a Python list of cells that the caller then spreads
into its target (a list, the row dicts, the present rows of a sparse column).
The native decoder stores each cell as soon as it is made; since the first
error discards everything, the observable result is the same.
"""

import math
import struct
import sys

__all__ = ["RefError", "loads", "decimal_value", "zigzag"]

MAX_DEPTH = 512
MAX_COPY_DEPTH = 4096
MAX_COUNT = 0x7FFFFFFF
# Read when a decoder is built, so tests may lower them temporarily.
REF_BUDGET = 16777216
SIZE_BUDGET_PER_BYTE = 32
SIZE_BUDGET_BASE = 4194304

_TWO53 = 1 << 53
_MASK64 = (1 << 64) - 1
_SIGN64 = 1 << 63
_POW10 = (1, 10, 100, 1000, 10000, 100000, 1000000)
_POW10F = tuple(float(p) for p in _POW10)
_unpack_double = struct.Struct("<d").unpack_from
_EMPTY = object()  # an anchor slot whose value is still being decoded


class RefError(ValueError):
    """A malformed document: ``message`` and byte ``offset`` of the failure."""

    def __init__(self, message, offset):
        super().__init__("vesk: offset {}: {}".format(offset, message))
        self.message = message
        self.offset = offset

    def __repr__(self):
        return "RefError({!r}, {!r})".format(self.message, self.offset)

    def __reduce__(self):
        return (RefError, (self.message, self.offset))


class _OverBudget(Exception):
    """Internal: a copy would take the reference budget below zero."""


def zigzag(u):
    """Map an unsigned 64-bit varint value to the signed integer it encodes."""
    return (u >> 1) ^ -(u & 1)


def _number(x):
    """Integral-float rule: a whole double below 2**53 in magnitude is an int."""
    if -_TWO53 < x < _TWO53 and math.trunc(x) == x:
        return int(x)
    return x


def decimal_value(m, s):
    """The number m / 10**s (s in 0..6) as the decoder returns it."""
    if s == 0:
        return m
    mag = -m if m < 0 else m
    if mag <= _TWO53:
        q = float(m) / _POW10F[s]  # both operands exact: correctly rounded
    else:
        q = m / _POW10[s]  # int true division: nearest double, ties to even
    return _number(q)


def _short(offset):
    return RefError("truncated input", offset)


class _Decoder(object):
    __slots__ = ("data", "n", "pos", "pool", "anchors", "ref_budget",
                 "size_budget")

    def __init__(self, data):
        self.data = data
        self.n = len(data)
        self.pos = 2
        self.pool = []  # (str, text position, text length), in pool order
        self.anchors = []
        self.ref_budget = REF_BUDGET
        self.size_budget = len(data) * SIZE_BUDGET_PER_BYTE + SIZE_BUDGET_BASE

    # -- primitives -------------------------------------------------------

    def uvarint(self):
        pos = self.pos
        if pos < self.n:
            b = self.data[pos]
            if b < 0x80:
                self.pos = pos + 1
                return b
        return self.uvarint_slow()

    def uvarint_slow(self):
        data, n, s = self.data, self.n, self.pos
        result = 0
        i = s
        for k in range(10):
            if i >= n:
                raise _short(s)
            b = data[i]
            i += 1
            if k == 9:
                # The tenth byte supplies bit 63 only.
                if b > 1:
                    raise RefError("varint overflows 64 bits", s)
                self.pos = i
                return result | (b << 63)
            result |= (b & 0x7F) << (7 * k)
            if b < 0x80:
                self.pos = i
                return result
        raise AssertionError("unreachable")

    def text(self, p, length):
        try:
            return self.data[p:p + length].decode("utf-8")
        except UnicodeDecodeError:
            raise RefError("string is not valid UTF-8", p)

    def read_key(self):
        """One key in the key encoding: (str, text position, text length)."""
        data, pos = self.data, self.pos
        if pos >= self.n:
            raise _short(pos)
        b = data[pos]
        pos += 1
        self.pos = pos
        if b == 0x06:
            i = self.uvarint()
            if i >= len(self.pool):
                raise RefError("bad string reference", self.pos)
            return self.pool[i]
        if b == 0x05:
            length = self.uvarint()
            p = self.pos
            if length > MAX_COUNT or length > self.n - p:
                raise _short(p)
        elif 0x40 <= b <= 0x5F:
            length = b & 0x1F
            p = pos
            if length > self.n - p:
                raise _short(p)
        else:
            raise RefError("key must be a string", pos - 1)
        ent = (self.text(p, length), p, length)
        self.pos = p + length
        if length >= 2:
            self.pool.append(ent)
        return ent

    def unique_keys(self, count, label):
        """A key list of count pairwise distinct texts (compared as bytes)."""
        data = self.data
        keys = []
        seen = set()
        for _ in range(count):
            s, p, length = self.read_key()
            t = data[p:p + length]
            if t in seen:
                raise RefError("{} '{}'".format(
                    label, t.decode("utf-8", "replace")), self.pos)
            seen.add(t)
            keys.append(s)
        return keys

    def count_check(self, count):
        """Counts of byte-sized items: at most 2**31-1 and the bytes left."""
        if count > MAX_COUNT or count > self.n - self.pos:
            raise _short(self.pos)

    def bits_count_check(self, count):
        """Counts of bit-packed items: at most 2**31-1 and 8x the bytes left."""
        if count > MAX_COUNT or count > 8 * (self.n - self.pos):
            raise _short(self.pos)

    # -- tagged values ----------------------------------------------------

    def value(self, depth):
        pos = self.pos
        if depth > MAX_DEPTH:
            raise RefError("nesting too deep", pos)
        if pos >= self.n:
            raise _short(pos)
        b = self.data[pos]
        pos += 1
        self.pos = pos
        if b >= 0x80:
            return b - 0x80
        if b & 0xE0 == 0x40:
            length = b & 0x1F
            if length > self.n - pos:
                raise _short(pos)
            s = self.text(pos, length)
            self.pos = pos + length
            if length >= 2:
                self.pool.append((s, pos, length))
            return s
        if b == 0x00:
            return None
        if b == 0x01:
            return False
        if b == 0x02:
            return True
        if b == 0x03:
            return zigzag(self.uvarint())
        if b == 0x04:
            return self.float_()
        if b == 0x05:
            length = self.uvarint()
            p = self.pos
            if length > MAX_COUNT or length > self.n - p:
                raise _short(p)
            s = self.text(p, length)
            self.pos = p + length
            if length >= 2:
                self.pool.append((s, p, length))
            return s
        if b == 0x06:
            i = self.uvarint()
            if i >= len(self.pool):
                raise RefError("bad string reference", self.pos)
            return self.pool[i][0]
        if b == 0x07:
            return self.array(depth)
        if b == 0x08:
            return self.object(depth)
        if b == 0x09:
            return self.table(depth)
        if b == 0x0A:
            return self.anchor(depth)
        if b == 0x0B:
            return self.anchor_ref()
        if b == 0x0C:
            return self.list_column(depth)
        if b == 0x0D:
            return self.sparse(depth)
        raise RefError("bad tag 0x{:02x}".format(b), pos - 1)

    def float_(self):
        f = self.pos
        if self.n - f < 8:
            raise _short(f)
        x = _unpack_double(self.data, f)[0]
        if math.isinf(x) or math.isnan(x):
            raise RefError("float is not finite", f)
        self.pos = f + 8
        return _number(x)

    def array(self, depth):
        count = self.uvarint()
        self.count_check(count)
        value = self.value
        d = depth + 1
        return [value(d) for _ in range(count)]

    def object(self, depth):
        count = self.uvarint()
        self.count_check(count)
        result = {}
        d = depth + 1
        for _ in range(count):
            k, p, length = self.read_key()
            v = self.value(d)
            if k in result:
                raise RefError("duplicate key '{}'".format(
                    self.data[p:p + length].decode("utf-8", "replace")),
                    self.pos)
            result[k] = v
        return result

    # -- anchors ----------------------------------------------------------

    def anchor(self, depth):
        slot = len(self.anchors)
        self.anchors.append(_EMPTY)
        v = self.value(depth + 1)
        self.anchors[slot] = v
        return v

    def anchor_ref(self):
        i = self.uvarint()
        if i >= len(self.anchors) or self.anchors[i] is _EMPTY:
            raise RefError("bad anchor reference", self.pos)
        try:
            return self.deep_copy(self.anchors[i])
        except _OverBudget:
            raise RefError("reference expansion too large", self.pos)

    def deep_copy(self, root):
        """Copy lists and dicts (charged n + 1 each), share everything else.

        A pre-order walk with an explicit stack, so that copies 4096 levels
        deep need no deep Python recursion.  The depth test comes first for
        every object reached, scalars included; a container is charged before
        any of its items is looked at.  The budget keeps what was spent even
        when the copy fails.
        """
        stack = []

        def enter(obj, depth):
            if depth > MAX_COPY_DEPTH:
                raise RefError("nesting too deep", 0)
            t = type(obj)
            if t is list:
                self.ref_budget -= len(obj) + 1
                if self.ref_budget < 0:
                    raise _OverBudget()
                new = []
                stack.append((iter(obj), new, False, depth))
                return new
            if t is dict:
                self.ref_budget -= len(obj) + 1
                if self.ref_budget < 0:
                    raise _OverBudget()
                new = {}
                stack.append((iter(obj.items()), new, True, depth))
                return new
            return obj

        result = enter(root, 0)
        end = object()
        while stack:
            it, dest, is_dict, depth = stack[-1]
            item = next(it, end)
            if item is end:
                stack.pop()
            elif is_dict:
                k, v = item
                dest[k] = enter(v, depth + 1)
            else:
                dest.append(enter(item, depth + 1))
        return result

    # -- columns ----------------------------------------------------------

    def list_column(self, depth):
        count = self.uvarint()
        self.bits_count_check(count)
        if self.size_budget < count + 1:
            raise RefError("decoded size too large", self.pos)
        return self.column(count, depth + 1)

    def column(self, count, depth):
        """A complete column (entry checks, kind byte, payload): its cells."""
        pos = self.pos
        if depth > MAX_DEPTH:
            raise RefError("nesting too deep", pos)
        self.size_budget -= count + 1
        if self.size_budget < 0:
            raise RefError("decoded size too large", pos)
        if pos >= self.n:
            raise _short(pos)
        kind = self.data[pos]
        self.pos = pos + 1
        if kind > 5:
            raise RefError("bad column kind", pos)
        return self.column_body(kind, count, depth)

    def column_body(self, kind, count, depth):
        """The payload of a column of the given kind, after its kind byte."""
        data, n = self.data, self.n
        if kind == 0:  # Tagged
            value = self.value
            d = depth + 1
            return [value(d) for _ in range(count)]

        if kind == 1:  # Delta: running sum with 64-bit wrap-around
            cells = []
            acc = 0
            for _ in range(count):
                p = self.pos
                if p < n and data[p] < 0x80:
                    u = data[p]
                    self.pos = p + 1
                else:
                    u = self.uvarint_slow()
                acc = (acc + ((u >> 1) ^ -(u & 1))) & _MASK64
                cells.append(acc - (1 << 64) if acc & _SIGN64 else acc)
            return cells

        if kind == 2:  # Decimal
            p = self.pos
            # A missing scale byte is a bad scale, not truncated input.
            if p >= n or data[p] > 6:
                raise RefError("bad decimal scale", p)
            scale = data[p]
            self.pos = p + 1
            cells = []
            for _ in range(count):
                p = self.pos
                if p < n and data[p] < 0x80:
                    u = data[p]
                    self.pos = p + 1
                else:
                    u = self.uvarint_slow()
                cells.append(decimal_value((u >> 1) ^ -(u & 1), scale))
            return cells

        if kind == 3:  # Dictionary
            d = self.uvarint()
            self.count_check(d)
            read_key = self.read_key
            entries = [read_key()[0] for _ in range(d)]
            cells = []
            for _ in range(count):
                i = self.uvarint()
                if i >= d:
                    raise RefError("bad dictionary index", self.pos)
                cells.append(entries[i])
            return cells

        if kind == 4:  # Bitmap; spare high bits of the last byte ignored
            nbytes = (count + 7) >> 3
            p = self.pos
            if nbytes > n - p:
                raise _short(p)
            cells = [bool((data[p + (i >> 3)] >> (i & 7)) & 1)
                     for i in range(count)]
            self.pos = p + nbytes
            return cells

        # kind == 5: Object
        k = self.uvarint()
        self.count_check(k)
        if k == 0:
            raise RefError("empty object column", self.pos)
        keys = self.unique_keys(k, "duplicate key")
        cells = [{} for _ in range(count)]
        for key in keys:
            sub = self.column(count, depth + 1)
            for row, v in zip(cells, sub):
                row[key] = v
        return cells

    # -- tables -----------------------------------------------------------

    def header(self):
        k = self.uvarint()
        self.count_check(k)
        if k == 0:
            raise RefError("empty table header", self.pos)
        return self.unique_keys(k, "duplicate column")

    def table(self, depth):
        keys = self.header()
        nrows = self.uvarint()
        self.bits_count_check(nrows)
        # A pre-check only: each column charges nrows + 1 itself.
        if self.size_budget < nrows + 1:
            raise RefError("decoded size too large", self.pos)
        rows = [{} for _ in range(nrows)]
        for key in keys:
            cells = self.column(nrows, depth + 1)
            for row, v in zip(rows, cells):
                row[key] = v
        return rows

    def sparse(self, depth):
        keys = self.header()
        nrows = self.uvarint()
        self.bits_count_check(nrows)
        self.size_budget -= 2 * nrows
        if self.size_budget < 0:
            raise RefError("decoded size too large", self.pos)
        rows = [{} for _ in range(nrows)]
        data, n = self.data, self.n
        for key in keys:
            pos = self.pos
            if pos >= n:
                raise _short(pos)
            flag = data[pos]
            self.pos = pos + 1
            if flag == 0x00:  # dense
                cells = self.column(nrows, depth + 1)
                for row, v in zip(rows, cells):
                    row[key] = v
                continue
            if flag != 0x01:
                raise RefError("bad presence flag", pos + 1)
            nbytes = (nrows + 7) >> 3
            p = pos + 1
            if nbytes > n - p:
                raise _short(p)
            bitmap = data[p:p + nbytes]
            after = p + nbytes
            self.pos = after
            present = [r for r in range(nrows)
                       if (bitmap[r >> 3] >> (r & 7)) & 1]
            if nrows & 7 and bitmap[-1] >> (nrows & 7):
                raise RefError("bad presence bitmap", after)
            # The entry checks of a column of len(present) cells at depth + 1.
            if depth + 1 > MAX_DEPTH:
                raise RefError("nesting too deep", after)
            self.size_budget -= len(present) + 1
            if self.size_budget < 0:
                raise RefError("decoded size too large", after)
            if after >= n:
                raise _short(after)
            kind = data[after]
            self.pos = after + 1
            if kind > 5:
                raise RefError("bad column kind", after)
            cells = self.column_body(kind, len(present), depth + 1)
            for r, v in zip(present, cells):
                rows[r][key] = v
        return rows


def _as_bytes(data):
    """The document bytes, accepting what the native entry accepts."""
    if isinstance(data, bytes):
        return bytes(data)
    if isinstance(data, (str, int)) or data is None:
        raise TypeError("cannot convert {!r} object to bytes".format(
            type(data).__name__))
    return bytes(data)


def loads(data):
    """Decode one VESK binary document; raise RefError when it is malformed."""
    data = _as_bytes(data)
    if len(data) < 2 or data[0] != 0x0F:
        raise RefError("not a VESK binary document", 0)
    if data[1] != 0x01:
        raise RefError("unsupported binary version {}".format(data[1]), 1)
    dec = _Decoder(data)
    # Values nest up to 513 levels, each a few Python frames deep.
    old_limit = sys.getrecursionlimit()
    if old_limit < 20000:
        sys.setrecursionlimit(20000)
    try:
        result = dec.value(0)
    finally:
        if old_limit < 20000:
            sys.setrecursionlimit(old_limit)
    if dec.pos != len(data):
        raise RefError("trailing data", dec.pos)
    return result
