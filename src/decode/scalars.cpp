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

DecodeError short_input(std::uint64_t offset) noexcept { return bad("truncated input", offset); }

DecodeError utf8_fail(std::uint64_t offset) noexcept {
  if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    return bad("string is not valid UTF-8", offset);
  }
  return py_fail();
}

Result<std::uint64_t> uvarint_slow(Decoder& d) noexcept {
  const std::uint64_t start = d.pos;
  const std::uint8_t* bytes = d.input + start;
  // A varint takes at most ten bytes; only the bytes left are looked at.
  const std::uint64_t left = d.len - start;
  const unsigned limit = left < 10 ? static_cast<unsigned>(left) : 10;
  std::uint64_t result = 0;
  for (unsigned k = 0; k < limit; ++k) {
    const std::uint8_t byte = bytes[k];
    if (k == 9 && byte > 1) {
      // The tenth byte supplies bit 63 only.
      return bad("varint overflows 64 bits", start);
    }
    result |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * k);
    if (byte < 0x80) {
      d.pos = start + k + 1;
      return result;
    }
  }
  if (limit < 10) {
    return short_input(start);
  }
  return bad("varint overflows 64 bits", start);
}

Result<std::uint64_t> byte_count(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t n, uvarint(d));
  if (n > max_count || n > d.remaining()) {
    return short_input(d.pos);
  }
  return n;
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

// Whether n bytes are all ASCII, looked at eight at a time.
bool all_ascii(const std::uint8_t* p, std::uint64_t n) noexcept {
  constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
  std::uint64_t i = 0;
  for (; n - i >= 8; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, sizeof w);
    if ((w & high_bits) != 0) {
      return false;
    }
  }
  std::uint8_t tail = 0;
  for (; i < n; ++i) {
    tail |= p[i];
  }
  return tail < 0x80;
}

}  // namespace

Result<Owned> text(Decoder& d, std::uint64_t at, std::uint64_t n) noexcept {
  const std::uint8_t* p = d.input + at;
  // ASCII text is copied into a new str directly, skipping the general UTF-8
  // decoder. Texts below two bytes keep the interpreter's shared objects.
  if (n >= 2 && all_ascii(p, n)) {
    Owned s = Owned::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    if (VESK_UNLIKELY(!s)) {
      return py_fail();
    }
    std::memcpy(PyUnicode_1BYTE_DATA(s.get()), p, static_cast<std::size_t>(n));
    return s;
  }
  Owned s = Owned::steal(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(p),
                                                     static_cast<Py_ssize_t>(n)));
  if (VESK_UNLIKELY(!s)) {
    return utf8_fail(at);
  }
  return s;
}

Status pool_text(Decoder& d, PyObject* obj, std::uint64_t at, std::uint64_t n) noexcept {
  if (n < 2) {
    return success();
  }
  if (VESK_UNLIKELY(!d.pool.push(PoolEnt{Owned::borrow(obj), at, n}))) {
    return py_fail();
  }
  return success();
}

Result<Owned> integral_float(double x) noexcept {
  constexpr double two_53 = 9007199254740992.0;
  return made((std::fabs(x) < two_53 && std::trunc(x) == x)
                  ? PyLong_FromLongLong(static_cast<long long>(x))
                  : PyFloat_FromDouble(x));
}

Result<Owned> pooled_text(Decoder& d, std::uint64_t n) noexcept {
  const std::uint64_t at = d.pos;
  VESK_TRY_ASSIGN(Owned s, text(d, at, n));
  d.pos = at + n;
  VESK_TRY(pool_text(d, s.get(), at, n));
  return s;
}

Result<Owned> short_string(Decoder& d, std::uint8_t tag) noexcept {
  const std::uint64_t n = tag & 0x1F;
  if (n > d.remaining()) {
    return short_input(d.pos);
  }
  return pooled_text(d, n);
}

Result<Owned> long_string(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t n, byte_count(d));
  return pooled_text(d, n);
}

Result<Owned> string_ref(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t i, uvarint(d));
  if (i >= d.pool.size()) {
    return bad("bad string reference", d.pos);
  }
  return Owned::borrow(d.pool[i].obj.get());
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
