"""Small builder of VESK binary documents for tests.

Every function returns ``bytes``.  Value builders return one tagged value;
``doc`` wraps values into a document with the 0F 01 header.  Column builders
return a complete column (kind byte and payload) for ``list_column``,
``table``, ``col_object`` and the entries of ``sparse``.

Wherever a key is expected, a ``str`` is encoded with ``key`` and ``bytes``
are taken as an already encoded key (for instance ``ref(0)`` or a malformed
key), so that tests can mix key forms freely.
"""

import math
import struct

_INT64_MIN = -(1 << 63)
_INT64_MAX = (1 << 63) - 1


# -- primitives --------------------------------------------------------------

def uvarint(n):
    """Unsigned little-endian base-128 varint of n (0 <= n < 2**64)."""
    if not 0 <= n < (1 << 64):
        raise ValueError("uvarint out of range: {}".format(n))
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def zigzag(n):
    """Zigzag-map a signed 64-bit integer to the unsigned value that encodes it."""
    if not _INT64_MIN <= n <= _INT64_MAX:
        raise ValueError("zigzag out of 64-bit range: {}".format(n))
    return (n << 1) if n >= 0 else ((-n) << 1) - 1


def svarint(n):
    """Zigzag varint of a signed 64-bit integer."""
    return uvarint(zigzag(n))


def pack_bits(bools):
    """Pack booleans one bit each, item i at bit i % 8 of byte i // 8."""
    out = bytearray((len(bools) + 7) // 8)
    for i, b in enumerate(bools):
        if b:
            out[i >> 3] |= 1 << (i & 7)
    return bytes(out)


def doc(*value_bytes):
    """A document: the header 0F 01 followed by the given value bytes."""
    return b"\x0f\x01" + b"".join(value_bytes)


# -- scalars and strings -----------------------------------------------------

def none():
    """The value None (tag 00)."""
    return b"\x00"


def boolean(b):
    """False (tag 01) or True (tag 02)."""
    return b"\x02" if b else b"\x01"


def small_int(n):
    """An integer 0..127 as the one byte 0x80 + n."""
    if not 0 <= n <= 127:
        raise ValueError("small int out of range: {}".format(n))
    return bytes([0x80 + n])


def int_(n):
    """A signed 64-bit integer as tag 03 with a zigzag varint."""
    return b"\x03" + svarint(n)


def float_(x):
    """A float as tag 04 with 8 little-endian binary64 bytes."""
    return b"\x04" + struct.pack("<d", x)


def float_bits(bits):
    """Tag 04 with the raw 64-bit pattern bits (for NaNs and such)."""
    return b"\x04" + struct.pack("<Q", bits)


def raw_short_bytes(b):
    """A short string (0x40 | len) holding raw bytes, valid UTF-8 or not."""
    if len(b) > 31:
        raise ValueError("short string longer than 31 bytes")
    return bytes([0x40 | len(b)]) + bytes(b)


def raw_long_bytes(b):
    """A long string (tag 05 + uvarint length) holding raw bytes."""
    return b"\x05" + uvarint(len(b)) + bytes(b)


def short_string(s):
    """A string in the short form; its UTF-8 text must fit 31 bytes."""
    return raw_short_bytes(s.encode("utf-8"))


def long_string(s):
    """A string in the long form (tag 05), whatever its length."""
    return raw_long_bytes(s.encode("utf-8"))


def string(s):
    """A string in the short form when it fits 31 bytes, else the long form."""
    t = s.encode("utf-8")
    return raw_short_bytes(t) if len(t) <= 31 else raw_long_bytes(t)


def ref(i):
    """A string reference to pool entry i (tag 06); also a key form."""
    return b"\x06" + uvarint(i)


def key(s):
    """A key: str in the shortest string form; bytes pass through unchanged."""
    return bytes(s) if isinstance(s, (bytes, bytearray)) else string(s)


def short_key(s):
    """A key in the short string form."""
    return short_string(s)


def long_key(s):
    """A key in the long string form."""
    return long_string(s)


def key_ref(i):
    """A key given as a reference to pool entry i."""
    return ref(i)


def _keys(keys):
    """Concatenated keys (str or pre-encoded bytes)."""
    return b"".join(key(k) for k in keys)


# -- containers and anchors --------------------------------------------------

def array(*items):
    """An array (tag 07) of the given value bytes."""
    return b"\x07" + uvarint(len(items)) + b"".join(items)


def obj(*pairs):
    """An object (tag 08) from (key, value_bytes) pairs or one dict of them."""
    if len(pairs) == 1 and isinstance(pairs[0], dict):
        pairs = tuple(pairs[0].items())
    return (b"\x08" + uvarint(len(pairs))
            + b"".join(key(k) + v for k, v in pairs))


def anchor(v):
    """An anchor (tag 0A) around the value bytes v."""
    return b"\x0a" + v


def anchor_ref(i):
    """A reference (tag 0B) to anchor number i."""
    return b"\x0b" + uvarint(i)


# -- columns -----------------------------------------------------------------

def col_tagged(*values):
    """A Tagged column (kind 00) of the given value bytes."""
    return b"\x00" + b"".join(values)


def col_delta_raw(*deltas):
    """A Delta column (kind 01) of the given signed deltas."""
    return b"\x01" + b"".join(svarint(d) for d in deltas)


def col_delta(*ints):
    """A Delta column (kind 01) whose cells are ints, deltas wrapping at 64 bits."""
    deltas = []
    prev = 0
    for v in ints:
        d = (v - prev) & ((1 << 64) - 1)
        deltas.append(d - (1 << 64) if d >> 63 else d)
        prev = v
    return col_delta_raw(*deltas)


def col_decimal(scale, *mantissas):
    """A Decimal column (kind 02): scale byte, then zigzag mantissas."""
    return b"\x02" + bytes([scale]) + b"".join(svarint(m) for m in mantissas)


def col_dictionary(entries, indexes):
    """A Dictionary column (kind 03): entries (keys) then one index per cell."""
    return (b"\x03" + uvarint(len(entries)) + _keys(entries)
            + b"".join(uvarint(i) for i in indexes))


def col_bitmap(*bools):
    """A Bitmap column (kind 04) of packed booleans."""
    return b"\x04" + pack_bits(bools)


def col_object(pairs):
    """An Object column (kind 05) from [(key, column_bytes), ...]."""
    return (b"\x05" + uvarint(len(pairs))
            + _keys(k for k, _ in pairs) + b"".join(c for _, c in pairs))


def list_column(n, column_bytes):
    """A list column (tag 0C) of n cells."""
    return b"\x0c" + uvarint(n) + column_bytes


def table(keys, n, *columns):
    """A table (tag 09): key list, row count n, one column per key."""
    return (b"\x09" + uvarint(len(keys)) + _keys(keys) + uvarint(n)
            + b"".join(columns))


def sparse(keys, n, *entries):
    """A sparse table (tag 0D): key list, row count n, column entries."""
    return (b"\x0d" + uvarint(len(keys)) + _keys(keys) + uvarint(n)
            + b"".join(entries))


def dense(column_bytes):
    """A dense column entry of a sparse table (flag 00)."""
    return b"\x00" + column_bytes


def sparse_col(present, column_bytes, n=None):
    """A sparse column entry (flag 01): bitmap from bools, rows or raw bytes.

    ``present`` is a sequence of bools (one per row), a sequence of row
    numbers (the bitmap then covers n rows, by default max(row) + 1), or
    ``bytes`` taken as the bitmap itself.
    """
    if isinstance(present, (bytes, bytearray)):
        bitmap = bytes(present)
    else:
        present = list(present)
        if all(isinstance(x, bool) for x in present):
            bitmap = pack_bits(present)
        else:
            if n is None:
                n = max(present) + 1 if present else 0
            rows = set(present)
            bitmap = pack_bits([r in rows for r in range(n)])
    return b"\x01" + bitmap + column_bytes


# -- Python values -----------------------------------------------------------

def encode(value):
    """Encode None/bool/int/float/str/list/dict as VESK value bytes."""
    if value is None:
        return none()
    if isinstance(value, bool):
        return boolean(value)
    if isinstance(value, int):
        if 0 <= value <= 127:
            return small_int(value)
        if not _INT64_MIN <= value <= _INT64_MAX:
            raise ValueError("integer outside 64-bit range: {}".format(value))
        return int_(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError("float is not finite: {!r}".format(value))
        return float_(value)
    if isinstance(value, str):
        return string(value)
    if isinstance(value, (list, tuple)):
        return array(*(encode(v) for v in value))
    if isinstance(value, dict):
        for k in value:
            if not isinstance(k, str):
                raise TypeError("object keys must be str: {!r}".format(k))
        return obj(*((k, encode(v)) for k, v in value.items()))
    raise TypeError("cannot encode {!r}".format(type(value).__name__))


def _column_for(cells):
    """A column for the given Python cells, choosing a compact kind."""
    if cells and all(isinstance(c, bool) for c in cells):
        return col_bitmap(*cells)
    if cells and all(type(c) is int and _INT64_MIN <= c <= _INT64_MAX
                     for c in cells):
        return col_delta(*cells)
    if cells and all(isinstance(c, str) for c in cells):
        entries = list(dict.fromkeys(cells))
        index = {s: i for i, s in enumerate(entries)}
        return col_dictionary(entries, [index[c] for c in cells])
    return col_tagged(*(encode(c) for c in cells))


def encode_table(rows, keys=None):
    """Encode a list of dicts sharing the same keys as a table (tag 09)."""
    rows = list(rows)
    if keys is None:
        if not rows:
            raise ValueError("keys are needed for a table without rows")
        keys = list(rows[0])
    keys = list(keys)
    if not keys:
        raise ValueError("a table needs at least one key")
    for r in rows:
        if list(r) != keys:
            raise ValueError("rows must have the same keys in the same order")
    return table(keys, len(rows), *(_column_for([r[k] for r in rows])
                                    for k in keys))


def normalize(value):
    """The value as decoding its ``encode`` gives it back (whole floats -> int)."""
    if isinstance(value, float) and abs(value) < 2.0 ** 53 \
            and value == math.trunc(value):
        return int(value)
    if isinstance(value, (list, tuple)):
        return [normalize(v) for v in value]
    if isinstance(value, dict):
        return {k: normalize(v) for k, v in value.items()}
    return value
