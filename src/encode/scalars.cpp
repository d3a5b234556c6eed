// Integers, floats and strings in their shortest forms, and the pool mirror.
#include <bit>
#include <cmath>
#include <cstring>

#include "encode/encoder.hpp"

namespace vesk::enc {

static_assert(std::endian::native == std::endian::little, "floats are written in host order");

Status integer_object(Encoder& e, PyObject* obj) noexcept {
  int overflow = 0;
  std::int64_t v = int_value(obj, overflow);
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
#ifndef VESK_PUBLIC_API_ONLY
  // Once made, the UTF-8 form is kept in the object, where it is read
  // without a call.
  const auto* held = reinterpret_cast<const PyCompactUnicodeObject*>(s);
  if (held->utf8 != nullptr) {
    p = held->utf8;
    len = held->utf8_length;
    return done();
  }
#endif
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

Status text(Encoder& e, PyObject* s) noexcept { return text_inline(e, s); }

Status pooled_text(Encoder& e, PyObject* s, RecentTexts::Entry* seen) noexcept {
  std::uint32_t index;
  if (VESK_UNLIKELY(!e.pool.find(s, true, index))) {
    return py_fail();
  }
  bool added = index == TextMap::absent;
  if (seen == nullptr) {
    if (e.pool.size() >= recent_from) {
      e.recent.turn_on();
    }
  } else if (!added && (!e.guarded || e.pool.text(index) == s)) {
    // Only a text met again is kept: most texts met once are met only once,
    // and would push out the keys that come back. While user code may run, an
    // equal copy that the pool does not hold may die, and a new text take
    // its address.
    *seen = RecentTexts::Entry{s, index};
  }
  if (added) {
    return literal_inline(e, s);
  }
  return text_reference(e, index);
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
