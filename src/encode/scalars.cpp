// Integers, floats and strings in their shortest forms, and the pool mirror.
#include <bit>
#include <cmath>
#include <cstring>

#include "encode/encoder.hpp"

namespace vesk::enc {

static_assert(std::endian::native == std::endian::little, "floats are written in host order");

void integer(Encoder& e, std::int64_t v) noexcept {
  if (v >= 0 && v < 128) {
    e.out.byte(static_cast<std::uint8_t>(tag::small_int | v));
    return;
  }
  e.out.byte(tag::int_);
  e.out.varint(zigzag(v));
}

Status integer_object(Encoder& e, PyObject* obj) noexcept {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (VESK_UNLIKELY(overflow != 0)) {
    return int_overflow();
  }
  if (VESK_UNLIKELY(v == -1 && PyErr_Occurred())) {
    return py_fail();
  }
  VESK_ROOM(e, 11);
  integer(e, v);
  return done();
}

Status real(Encoder& e, double x) noexcept {
  if (VESK_UNLIKELY(!std::isfinite(x))) {
    return not_finite();
  }
  VESK_ROOM(e, 11);
  // A whole float below 2^53 decodes as an int anyway; the int form is shorter.
  if (std::fabs(x) < 9007199254740992.0 && x == std::trunc(x)) {
    integer(e, static_cast<std::int64_t>(x));
    return done();
  }
  e.out.byte(tag::float_);
  e.out.raw(&x, 8);
  return done();
}

namespace {

// The pool size from which the table of recent texts is used: a small
// document does not pay for clearing it.
constexpr std::uint32_t recent_from = 64;

// The UTF-8 form of a str, or the error for a lone surrogate.
VESK_INLINE Status utf8(PyObject* s, const char*& p, Py_ssize_t& len) noexcept {
  if (PyUnicode_IS_ASCII(s)) {
    p = static_cast<const char*>(PyUnicode_DATA(s));
    len = PyUnicode_GET_LENGTH(s);
    return done();
  }
  p = PyUnicode_AsUTF8AndSize(s, &len);
  if (VESK_UNLIKELY(p == nullptr)) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      PyErr_Clear();
      return no_utf8();
    }
    return py_fail();
  }
  return done();
}

}  // namespace

namespace {

// Copies n bytes to d. Most texts are short, and a call to memcpy costs more
// than their copy: up to 32 bytes are moved as two overlapping words, which
// read and write only the n bytes themselves.
VESK_INLINE void copy_text(char* d, const char* p, std::size_t n) noexcept {
  if (n >= 32) {
    std::memcpy(d, p, n);
  } else if (n >= 16) {
    std::memcpy(d, p, 16);
    std::memcpy(d + n - 16, p + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(d, p, 8);
    std::memcpy(d + n - 8, p + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(d, p, 4);
    std::memcpy(d + n - 4, p + n - 4, 4);
  } else if (n > 0) {
    d[0] = p[0];
    d[n / 2] = p[n / 2];
    d[n - 1] = p[n - 1];
  }
}

// A text in full from its UTF-8 bytes.
VESK_INLINE Status utf8_literal(Encoder& e, const char* p, std::size_t len) noexcept {
  VESK_ROOM(e, len + 11);
  char* d = e.out.cursor();
  if (len < 32) {
    *d++ = static_cast<char>(tag::short_str | len);
  } else {
    *d++ = static_cast<char>(tag::str);
    d = Out::put_varint(d, len);
  }
  copy_text(d, p, len);
  e.out.advance_to(d + len);
  return done();
}

VESK_INLINE Status reference(Encoder& e, std::uint32_t index) noexcept {
  VESK_ROOM(e, 6);
  e.out.varint_after(tag::str_ref, index);
  return done();
}

}  // namespace

Status text(Encoder& e, PyObject* s) noexcept {
  RecentTexts::Entry* seen = e.recent.at(s);
  if (seen != nullptr && seen->text == s) {
    return reference(e, seen->num);
  }
  // An ASCII text is its own UTF-8 form, written straight from its bytes; a
  // text of another kind has at least two UTF-8 bytes, so the pool takes it.
  bool ascii = PyUnicode_IS_ASCII(s);
  if (ascii && PyUnicode_GET_LENGTH(s) < 2) {
    return utf8_literal(e, static_cast<const char*>(PyUnicode_DATA(s)),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
  }
  std::uint32_t index;
  if (VESK_UNLIKELY(!e.pool.find(s, true, index))) {
    return py_fail();
  }
  bool added = index == TextMap::absent;
  if (seen != nullptr) {
    *seen = RecentTexts::Entry{s, added ? e.pool.size() - 1 : index};
  } else if (e.pool.size() >= recent_from) {
    e.recent.turn_on();
  }
  if (!added) {
    return reference(e, index);
  }
  if (ascii) {
    return utf8_literal(e, static_cast<const char*>(PyUnicode_DATA(s)),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
  }
  return literal(e, s);
}

Status literal(Encoder& e, PyObject* s) noexcept {
  const char* p;
  Py_ssize_t len;
  VESK_TRY(utf8(s, p, len));
  return utf8_literal(e, p, static_cast<std::size_t>(len));
}

Status key(Encoder& e, PyObject* k) noexcept {
  if (VESK_LIKELY(PyUnicode_CheckExact(k))) {
    return text(e, k);
  }
  if (PyUnicode_Check(k)) {
    return text_copy(e, k);
  }
  return bad_key(k);
}

Status text_copy(Encoder& e, PyObject* s) noexcept {
  Owned plain = Owned::steal(PyUnicode_FromObject(s));
  PyObject* copy = plain.get();
  if (copy == nullptr || !e.copies.push(std::move(plain))) {
    return py_fail();
  }
  return text(e, copy);
}

}  // namespace vesk::enc
