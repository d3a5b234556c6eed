// Scalars, strings, the string pool and the varint reader.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "decode/decoder.hpp"

namespace vesk {

namespace {

// 32 cells per input byte plus a fixed allowance; saturates for absurd lengths.
std::int64_t initial_size_budget(std::uint64_t length) noexcept {
  constexpr std::int64_t base = 0x400000;
  constexpr std::uint64_t per_byte = 32;
  constexpr std::uint64_t cap = (static_cast<std::uint64_t>(INT64_MAX) - base) / per_byte;
  return length > cap ? INT64_MAX : static_cast<std::int64_t>(length * per_byte) + base;
}

}  // namespace

Decoder::Decoder(const std::uint8_t* data, std::uint64_t length, const Limits& limits) noexcept
    : Decoder(data, length) {
  ref_budget = std::min(ref_budget, limits.copy_cells);
  size_budget = std::min(size_budget, limits.cells);
  depth_limit = std::min(depth_limit, limits.depth);
}

#ifdef VESK_FUZZ
// The fuzzer bounds the memory of a decode by the cells its budgets paid for.
extern "C" void vesk_fuzz_spent(std::int64_t size_cells, std::int64_t ref_cells) noexcept;
#endif

Decoder::Decoder(const std::uint8_t* data, std::uint64_t length) noexcept
    : input(data), len(length), size_budget(initial_size_budget(length)) {}

Decoder::~Decoder() {
  pool.clear();
  anchors.clear();
#ifdef VESK_FUZZ
  // A failed charge left its budget negative without creating anything.
  vesk_fuzz_spent(initial_size_budget(len) - std::max<std::int64_t>(size_budget, 0),
                  initial_ref_budget - std::max<std::int64_t>(ref_budget, 0));
#endif
}

std::string_view Decoder::text_at(std::uint64_t at, std::uint64_t n) const noexcept {
  if (at > len || n > len - at) {
    return {};
  }
  return {reinterpret_cast<const char*>(input + at), static_cast<std::size_t>(n)};
}

std::string_view encoded_text(Decoder& d, std::uint64_t at) noexcept {
  const std::uint8_t b = d.input[at];
  if ((b & 0xE0) == 0x40) {
    return d.text_at(at + 1, b & 0x1F);
  }
  // A pool index or a byte count follows the tag.
  const std::uint64_t cursor = d.pos;
  d.pos = at + 1;
  const Varint v = bare_uvarint(d);
  const std::uint64_t u = v.ok ? v.value : 0;
  const std::uint64_t text_pos = d.pos;
  d.pos = cursor;
  if (b == 0x06) {
    return pool_text(d, u);
  }
  return d.text_at(text_pos, u);
}

std::string_view pool_text(Decoder& d, std::uint64_t i) noexcept {
  PyObject* s = d.pool[i].get();
  if (PyUnicode_IS_ASCII(s)) {
    return {static_cast<const char*>(PyUnicode_DATA(s)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
  }
  const WideText* first = d.wide.data();
  const WideText* found = std::lower_bound(
      first, first + d.wide.size(), i,
      [](const WideText& w, std::uint64_t index) noexcept { return w.index < index; });
  return encoded_text(d, found->tag_at);
}

DecodeError short_input(std::uint64_t offset) noexcept { return bad("truncated input", offset); }

DecodeError utf8_fail(std::uint64_t offset) noexcept {
  if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    return bad("string is not valid UTF-8", offset);
  }
  return py_fail();
}

PyObject* fail(Decoder& d, DecodeError error) noexcept {
  d.error.put(std::move(error));
  return nullptr;
}

PyObject* py_failed(Decoder& d) noexcept { return fail(d, py_fail()); }

DecodeError taken(Decoder& d) noexcept { return d.error.take(); }

namespace {

VESK_COLD Varint varint_fail(Decoder& d, DecodeError error) noexcept {
  d.error.put(std::move(error));
  return {0, false};
}

}  // namespace

Varint uvarint_slow(Decoder& d) noexcept {
  const std::uint64_t start = d.pos;
  const std::uint8_t* bytes = d.input + start;
  // A varint takes at most ten bytes; only the bytes left are looked at.
  const std::uint64_t left = d.len - start;
  // Two bytes are the common case: pool indexes and counts below 2^14.
  if (VESK_LIKELY(left >= 2 && bytes[1] < 0x80)) {
    d.pos = start + 2;
    return {(bytes[0] & 0x7FULL) | static_cast<std::uint64_t>(bytes[1]) << 7, true};
  }
  if (VESK_LIKELY(left >= 10)) {
    // Byte by byte, a branch each, so that the processor runs ahead on the
    // length it predicts instead of waiting for the length computed.
    std::uint64_t result = (bytes[0] & 0x7FULL) | (bytes[1] & 0x7FULL) << 7;
    for (unsigned k = 2; k < 9; ++k) {
      const std::uint8_t byte = bytes[k];
      result |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * k);
      if (byte < 0x80) {
        d.pos = start + k + 1;
        return {result, true};
      }
    }
    // The tenth byte supplies bit 63 only.
    if (bytes[9] > 1) {
      return varint_fail(d, bad("varint overflows 64 bits", start));
    }
    d.pos = start + 10;
    return {result | static_cast<std::uint64_t>(bytes[9]) << 63, true};
  }
  // Fewer than ten bytes left: the varint must end within them.
  std::uint64_t result = 0;
  for (unsigned k = 0; k < left; ++k) {
    const std::uint8_t byte = bytes[k];
    result |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * k);
    if (byte < 0x80) {
      d.pos = start + k + 1;
      return {result, true};
    }
  }
  return varint_fail(d, short_input(start));
}

Result<std::uint64_t> byte_count(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t n, uvarint(d));
  if (n > max_count || n > d.remaining()) {
    return short_input(d.pos);
  }
  return n;
}

std::uint64_t member_count_slow(Decoder& d) noexcept {
  auto n = byte_count(d);
  if (VESK_UNLIKELY(!n.ok())) {
    d.error.put(n.error());
    return no_count;
  }
  return n.take();
}

Result<std::uint64_t> bit_count(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t n, uvarint(d));
  // n > 8 * left, written so that it cannot overflow.
  if (n > max_count || (n + 7) / 8 > d.remaining()) {
    return short_input(d.pos);
  }
  return n;
}

namespace {

// Whether n bytes, at least eight, are all ASCII, looked at 64 at a time, then
// eight at a time: long texts (descriptions, documentation) pay one test per
// eight words.
bool all_ascii(const std::uint8_t* p, std::uint64_t n) noexcept {
  constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
  std::uint64_t i = 0;
  for (; n - i >= 64; i += 64) {
    std::uint64_t w[8];
    for (unsigned k = 0; k < 8; ++k) {
      std::memcpy(&w[k], p + i + 8 * k, sizeof w[k]);
    }
    const std::uint64_t any = ((w[0] | w[1]) | (w[2] | w[3])) | ((w[4] | w[5]) | (w[6] | w[7]));
    if ((any & high_bits) != 0) {
      return false;
    }
  }
  for (; n - i > 8; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, sizeof w);
    if ((w & high_bits) != 0) {
      return false;
    }
  }
  // The last eight bytes, overlapping words already tested.
  std::uint64_t w;
  std::memcpy(&w, p + n - 8, sizeof w);
  return (w & high_bits) == 0;
}

// The bytes of a text of 2 to 16 bytes, read as two words of the widest of 2, 4
// or 8 bytes that fits, which overlap when the text is shorter than both.
struct Overlapped {
  std::uint64_t head;
  std::uint64_t tail;
};

template <unsigned W>
VESK_INLINE Overlapped load_overlapped(const std::uint8_t* p, std::uint64_t n) noexcept {
  Overlapped o{0, 0};
  std::memcpy(&o.head, p, W);
  std::memcpy(&o.tail, p + n - W, W);
  return o;
}

template <unsigned W>
VESK_INLINE void store_overlapped(std::uint8_t* out, std::uint64_t n, const Overlapped& o) noexcept {
  std::memcpy(out, &o.head, W);
  std::memcpy(out + n - W, &o.tail, W);
}

// The characters of a str just made by PyUnicode_New(n, 127): a compact ASCII
// str keeps them right after its header, which spares the general lookup.
VESK_INLINE std::uint8_t* ascii_data(PyObject* s) noexcept {
  return reinterpret_cast<std::uint8_t*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
}

// A new str of the text at p, 2 to 16 bytes, when it is ASCII: loaded once,
// tested and stored as words. Null without an exception when it is not ASCII.
template <unsigned W>
VESK_INLINE PyObject* overlapped_ascii(Decoder& d, const std::uint8_t* p, std::uint64_t n,
                                       bool& made_or_failed) noexcept {
  const Overlapped o = load_overlapped<W>(p, n);
  if (((o.head | o.tail) & 0x8080808080808080ULL) != 0) {
    return nullptr;
  }
  made_or_failed = true;
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (VESK_UNLIKELY(s == nullptr)) {
    return py_failed(d);
  }
  store_overlapped<W>(ascii_data(s), n, o);
  return s;
}

// What the first pass over a UTF-8 text found: its characters and the
// largest lead byte, which gives the width of its widest character.
struct Utf8Shape {
  std::uint64_t chars;
  std::uint8_t top;
  bool valid;
};

// Validates n bytes as the interpreter's strict UTF-8 decoder does: no
// overlong forms, no surrogates, nothing beyond U+10FFFF. ASCII runs are
// skipped a word at a time.
Utf8Shape utf8_shape(const std::uint8_t* p, std::uint64_t n) noexcept {
  std::uint64_t i = 0;
  std::uint64_t chars = 0;
  std::uint8_t top = 0;
  while (i < n) {
    if (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, sizeof w);
      if ((w & 0x8080808080808080ULL) == 0) {
        i += 8;
        chars += 8;
        continue;
      }
    }
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      ++chars;
      continue;
    }
    // The width of the sequence and the range its second byte must fall in.
    std::uint64_t width;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (b < 0xC2) {
      return {0, 0, false};
    } else if (b < 0xE0) {
      width = 2;
    } else if (b < 0xF0) {
      width = 3;
      lo = b == 0xE0 ? 0xA0 : 0x80;
      hi = b == 0xED ? 0x9F : 0xBF;
    } else if (b < 0xF5) {
      width = 4;
      lo = b == 0xF0 ? 0x90 : 0x80;
      hi = b == 0xF4 ? 0x8F : 0xBF;
    } else {
      return {0, 0, false};
    }
    if (n - i < width || p[i + 1] < lo || p[i + 1] > hi) {
      return {0, 0, false};
    }
    for (std::uint64_t k = 2; k < width; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) {
        return {0, 0, false};
      }
    }
    top = std::max(top, b);
    i += width;
    ++chars;
  }
  return {chars, top, true};
}

// Writes the characters of n bytes of valid UTF-8 as code units of type C;
// ASCII runs go a word at a time.
template <class C>
void write_utf8(const std::uint8_t* p, std::uint64_t n, C* out) noexcept {
  std::uint64_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, sizeof w);
      if ((w & 0x8080808080808080ULL) == 0) {
        for (unsigned k = 0; k < 8; ++k) {
          out[k] = static_cast<C>(p[i + k]);
        }
        out += 8;
        i += 8;
        continue;
      }
    }
    const std::uint32_t b = p[i];
    if (b < 0x80) {
      *out++ = static_cast<C>(b);
      i += 1;
    } else if (b < 0xE0) {
      *out++ = static_cast<C>((b & 0x1F) << 6 | (p[i + 1] & 0x3FU));
      i += 2;
    } else if (b < 0xF0) {
      *out++ = static_cast<C>((b & 0x0F) << 12 | (p[i + 1] & 0x3FU) << 6 | (p[i + 2] & 0x3FU));
      i += 3;
    } else {
      *out++ = static_cast<C>((b & 0x07) << 18 | (p[i + 1] & 0x3FU) << 12 |
                              (p[i + 2] & 0x3FU) << 6 | (p[i + 3] & 0x3FU));
      i += 4;
    }
  }
}

// A str of n bytes (at least three) that are not all ASCII, decoded in two
// passes straight into a str of its final width and length, where the
// interpreter's decoder may widen and shrink its result as it goes.
VESK_NOINLINE PyObject* utf8_text(Decoder& d, std::uint64_t at, std::uint64_t n) noexcept {
  const std::uint8_t* p = d.input + at;
  const Utf8Shape shape = utf8_shape(p, n);
  if (VESK_UNLIKELY(!shape.valid)) {
    return fail(d, bad("string is not valid UTF-8", at));
  }
  // Two-byte leads up to 0xC3 stop at U+00FF, wider ones below 0xF0 at U+FFFF.
  const Py_UCS4 widest = shape.top <= 0xC3 ? 0xFF : shape.top < 0xF0 ? 0xFFFF : 0x10FFFF;
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), widest);
  if (VESK_UNLIKELY(s == nullptr)) {
    return py_failed(d);
  }
  if (widest == 0xFF) {
    write_utf8(p, n, PyUnicode_1BYTE_DATA(s));
  } else if (widest == 0xFFFF) {
    write_utf8(p, n, PyUnicode_2BYTE_DATA(s));
  } else {
    write_utf8(p, n, PyUnicode_4BYTE_DATA(s));
  }
  return s;
}

// Creates a str from input text, mapping a decoding failure to the format's error.
VESK_INLINE PyObject* text(Decoder& d, std::uint64_t at, std::uint64_t n) noexcept {
  const std::uint8_t* p = d.input + at;
  // ASCII text is copied into a new str directly, skipping the general UTF-8
  // decoder. Texts below two bytes keep the interpreter's shared objects.
  if (n >= 2 && n <= 16) {
    bool done = false;
    PyObject* s = n >= 8   ? overlapped_ascii<8>(d, p, n, done)
                  : n >= 4 ? overlapped_ascii<4>(d, p, n, done)
                           : overlapped_ascii<2>(d, p, n, done);
    if (done) {
      return s;
    }
  } else if (n > 16 && all_ascii(p, n)) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (VESK_UNLIKELY(s == nullptr)) {
      return py_failed(d);
    }
    std::memcpy(ascii_data(s), p, static_cast<std::size_t>(n));
    return s;
  }
  // Below three bytes the interpreter's decoder, which returns its shared
  // object for a text of one Latin-1 character.
  if (n >= 3 && n <= 64) {
    return utf8_text(d, at, n);
  }
  PyObject* s =
      PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n));
  if (VESK_UNLIKELY(s == nullptr)) {
    return fail(d, utf8_fail(at));
  }
  return s;
}

}  // namespace

Result<Owned> integral_float(double x) noexcept {
  constexpr double two_53 = 9007199254740992.0;
  return made((std::fabs(x) < two_53 && std::trunc(x) == x)
                  ? PyLong_FromLongLong(static_cast<long long>(x))
                  : PyFloat_FromDouble(x));
}

PyObject* pooled_text(Decoder& d, std::uint64_t n, std::uint64_t tag_at) noexcept {
  const std::uint64_t at = d.pos;
  Owned s = Owned::steal(text(d, at, n));
  if (VESK_UNLIKELY(!s)) {
    return nullptr;
  }
  d.pos = at + n;
  if (n >= 2) {
    if (VESK_UNLIKELY(!PyUnicode_IS_ASCII(s.get())) &&
        VESK_UNLIKELY(!d.wide.push(WideText{d.pool.size(), tag_at}))) {
      return py_failed(d);
    }
    if (VESK_UNLIKELY(!d.pool.push(Owned::borrow(s.get())))) {
      return py_failed(d);
    }
  }
  return s.release();
}

PyObject* cached_key(Decoder& d, std::uint64_t n, std::uint64_t tag_at) noexcept {
  KeyCache& cache = *d.keys;
  const KeyCache::Words w = KeyCache::words(d.input + d.pos, n);
  KeyCache::Slot& slot = cache.slot(w, n);
  PyObject* s = slot.text;
  if (s != nullptr && slot.doc != cache.doc() && KeyCache::spells(s, w, n)) {
    if (VESK_UNLIKELY(!d.pool.push(Owned::borrow(s)))) {
      return py_failed(d);
    }
    slot.doc = cache.doc();
    d.pos += n;
    Py_INCREF(s);
    return s;
  }
  PyObject* made = pooled_text(d, n, tag_at);
  if (made != nullptr && PyUnicode_IS_ASCII(made)) {
    Py_INCREF(made);
    Py_XSETREF(slot.text, made);
    slot.doc = cache.doc();
  }
  return made;
}

PyObject* short_text(Decoder& d, std::uint64_t n) noexcept {
  if (VESK_UNLIKELY(n > d.remaining())) {
    return fail(d, short_input(d.pos));
  }
  return pooled_text(d, n, d.pos - 1);
}

VESK_NOINLINE PyObject* long_text(Decoder& d) noexcept {
  const std::uint64_t tag_at = d.pos - 1;
  const std::uint64_t n = member_count(d);
  if (VESK_UNLIKELY(n == no_count)) {
    return nullptr;
  }
  return pooled_text(d, n, tag_at);
}

namespace {

VESK_COLD PyObject* bad_pool_index(Decoder& d) noexcept {
  return fail(d, bad("bad string reference", d.pos));
}

// The pool entry of an index `i` read; null and the error when it is not below
// the pool's size.
VESK_INLINE PyObject* entry_at(Decoder& d, std::uint64_t i) noexcept {
  if (VESK_UNLIKELY(i >= d.pool.size())) {
    return bad_pool_index(d);
  }
  PyObject* s = d.pool[i].get();
  Py_INCREF(s);
  return s;
}

// The same for an index of three bytes or more, or cut short.
VESK_NOINLINE PyObject* far_pool_entry(Decoder& d) noexcept {
  const Varint v = uvarint_slow(d);
  if (VESK_UNLIKELY(!v.ok)) {
    return nullptr;
  }
  return entry_at(d, v.value);
}

// The pool entry whose index follows: one byte, or two once the pool holds
// 128 texts, as it soon does in large documents; both are read here, longer
// ones out of line, so that this path keeps no frame of its own. Inlined into
// the key reader, where most keys of large documents are such references.
VESK_INLINE PyObject* pool_entry(Decoder& d) noexcept {
  if (VESK_LIKELY(d.pos < d.len)) {
    const std::uint8_t* b = d.input + d.pos;
    if (VESK_LIKELY(b[0] < 0x80)) {
      ++d.pos;
      return entry_at(d, b[0]);
    }
    if (VESK_LIKELY(d.len - d.pos >= 2 && b[1] < 0x80)) {
      d.pos += 2;
      return entry_at(d, (b[0] & 0x7FULL) | static_cast<std::uint64_t>(b[1]) << 7);
    }
  }
  return far_pool_entry(d);
}

}  // namespace

PyObject* pool_ref(Decoder& d) noexcept { return pool_entry(d); }

PyObject* key_text(Decoder& d) noexcept {
  if (VESK_UNLIKELY(d.pos >= d.len)) {
    return fail(d, short_input(d.pos));
  }
  const std::uint8_t b = d.input[d.pos++];
  if ((b & 0xE0) == 0x40) {
    const std::uint64_t n = b & 0x1F;
    if (VESK_UNLIKELY(n > d.remaining())) {
      return fail(d, short_input(d.pos));
    }
    return pooled_key(d, n, d.pos - 1);
  }
  if (b == 0x06) {
    return pool_entry(d);
  }
  if (b == 0x05) {
    return long_text(d);
  }
  return fail(d, bad("key must be a string", d.pos - 1));
}

Result<Owned> float_value(Decoder& d) noexcept {
  const std::uint64_t at = d.pos;
  if (d.remaining() < 8) {
    return short_input(at);
  }
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) {
    bits = (bits << 8) | d.input[at + i];
  }
  if (((bits >> 52) & 0x7FF) == 0x7FF) {
    return bad("float is not finite", at);
  }
  double x;
  std::memcpy(&x, &bits, sizeof x);
  d.pos = at + 8;
  return integral_float(x);
}

}  // namespace vesk
