// The per-call encoder state and the encoding steps.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "encode/error.hpp"
#include "encode/maps.hpp"
#include "encode/writer.hpp"
#include "pyo/owned.hpp"
#include "pyo/vec.hpp"

namespace vesk::enc {

// The decoder's limits, which every document written must keep.
constexpr int max_depth = 512;
constexpr std::int64_t ref_budget = 0x1000000;

// Per pool index, the dictionary entry it has in the column being planned;
// valid where its stamp is that column's.
struct Marks {
  Vec<std::uint32_t> stamp_of;
  Vec<std::uint32_t> local;
  std::uint32_t stamp = 0;

  // Covers pool indexes below n; false with MemoryError set.
  [[nodiscard]] bool grow(std::size_t n) noexcept {
    std::size_t had = stamp_of.size();
    if (n <= had) {
      return true;
    }
    std::size_t want = n < 2 * had ? 2 * had : n;
    if (!stamp_of.resize(want) || !local.resize(want)) {
      return false;
    }
    std::memset(stamp_of.data() + had, 0, (want - had) * sizeof(std::uint32_t));
    return true;
  }
};

struct Encoder {
  explicit Encoder(bool with_default) noexcept : pool(with_default, true), guarded(with_default) {}

  Out out;
  // Outlives the pool, which reads its texts' hashes when it is cleared.
  Vec<Owned> copies;  // exact copies of str subclasses, which the pool may know
  TextMap pool;  // mirrors the decoder's string pool: text -> pool index
  RecentTexts recent;  // in front of the pool, by identity
  IdMap seen;    // with anchors: every list and dict of the object
  Marks marks;        // for the string dictionaries of columns
  PyObject* default_fn = nullptr;
  bool columnar = true;
  bool anchors = false;
  // With `default` user code runs while encoding and may change the object,
  // so borrowed items are held while they are in use.
  bool guarded;
  std::uint32_t anchor_count = 0;
  int anchor_depth = 0;             // anchors around the value being written
  std::int64_t copy_budget = ref_budget;  // cells that anchor references may still copy
  std::int64_t cells = 0;           // container cells of the decoded form written so far
};

// Makes room for n bytes or returns MemoryError.
#define VESK_ROOM(e, n)                  \
  do {                                   \
    if (VESK_UNLIKELY(!(e).out.room(n))) { \
      return py_fail();                  \
    }                                    \
  } while (0)

// Tags of the format.
namespace tag {
constexpr std::uint8_t none = 0x00, false_ = 0x01, true_ = 0x02, int_ = 0x03, float_ = 0x04,
                       str = 0x05, str_ref = 0x06, array = 0x07, object = 0x08, table = 0x09,
                       anchor = 0x0A, anchor_ref = 0x0B, list_column = 0x0C, sparse = 0x0D,
                       short_str = 0x40, small_int = 0x80;
}  // namespace tag

enum class Kind : std::uint8_t { Tagged, Delta, Decimal, Dictionary, Bitmap, Object };

// Any accepted value at the given nesting depth (0 for the top level).
Status value(Encoder& e, PyObject* obj, int depth) noexcept;
// An exact str, as a value or a key: a pool reference when the pool has it.
Status text(Encoder& e, PyObject* s) noexcept;
// The part of text() past the table of recent texts, for a str that the pool
// takes; `seen` is where that table keeps s, or null while it is off.
Status pooled_text(Encoder& e, PyObject* s, RecentTexts::Entry* seen) noexcept;
// An exact str in full, whether or not the pool has it.
Status literal(Encoder& e, PyObject* s) noexcept;
// A dict key: a str or one of its subclasses.
Status key(Encoder& e, PyObject* k) noexcept;
// A str subclass as an exact str.
Status text_copy(Encoder& e, PyObject* s) noexcept;
Status integer_object(Encoder& e, PyObject* obj) noexcept;
Status real(Encoder& e, double x) noexcept;

// The value of an int object, with `overflow` set as by
// PyLong_AsLongLongAndOverflow when it does not fit. An int of up to two
// digits (below 2^60), nearly every int met, is read from the object itself:
// the call costs several times as much.
VESK_INLINE std::int64_t int_value(PyObject* obj, int& overflow) noexcept {
#if !defined(VESK_PUBLIC_API_ONLY) && PyLong_SHIFT == 30
  const auto* n = reinterpret_cast<const PyLongObject*>(obj);
#if PY_VERSION_HEX >= 0x030C0000
  // The digit count above three flag bits, the low two of them the sign:
  // 0 positive, 1 zero, 2 negative.
  std::uintptr_t tag = n->long_value.lv_tag;
  std::uintptr_t digits = tag >> 3;
  std::int64_t sign = 1 - static_cast<std::int64_t>(tag & 3);
  const digit* d = n->long_value.ob_digit;
#else
  // The digit count with the value's sign; zero has none.
  Py_ssize_t size = Py_SIZE(obj);
  std::size_t digits = static_cast<std::size_t>(size < 0 ? -size : size);
  std::int64_t sign = size < 0 ? -1 : size > 0;
  const digit* d = n->ob_digit;
#endif
  if (VESK_LIKELY(digits == 1)) {
    return sign * static_cast<std::int64_t>(d[0]);
  }
  if (digits == 0) {
    // Before 3.11 a zero made outside the small-int cache has no digit stored.
    return 0;
  }
  if (digits == 2) {
    return sign * static_cast<std::int64_t>(d[0] | std::uint64_t{d[1]} << 30);
  }
#endif
  return PyLong_AsLongLongAndOverflow(obj, &overflow);
}

// The tagged size of an int.
VESK_INLINE std::size_t int_size(std::int64_t v) noexcept {
  return (v >= 0 && v < 128) ? 1 : 1 + varint_len(zigzag(v));
}
// An int in its tagged form at d, which has room for its int_size() bytes;
// returns the end of what it wrote.
VESK_INLINE char* put_integer(char* d, std::int64_t v) noexcept {
  if (v >= 0 && v < 128) {
    *d = static_cast<char>(tag::small_int | v);
    return d + 1;
  }
  *d = static_cast<char>(tag::int_);
  return Out::put_varint(d + 1, zigzag(v));
}
// The same through the buffer, in room made for 11 bytes.
VESK_INLINE void integer(Encoder& e, std::int64_t v) noexcept {
  e.out.advance_to(put_integer(e.out.cursor(), v));
}
// Copies n bytes to d. Most texts are short, and a call to memcpy costs more
// than their copy: up to 32 bytes are moved as two overlapping words, which
// read and write only the n bytes themselves.
VESK_INLINE void copy_text(char* d, const char* p, std::size_t n) noexcept {
  // A text's length is a Py_ssize_t: saying so spares the compiler's warning
  // about copies larger than any object.
  if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    __builtin_unreachable();
  }
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

// A reference to the text at that pool index.
VESK_INLINE Status text_reference(Encoder& e, std::uint32_t index) noexcept {
  VESK_ROOM(e, 6);
  e.out.varint_after(tag::str_ref, index);
  return done();
}

// literal() without a call for an ASCII text, which is its own UTF-8 form.
VESK_INLINE Status literal_inline(Encoder& e, PyObject* s) noexcept {
  if (PyUnicode_IS_ASCII(s)) {
    return utf8_literal(e, static_cast<const char*>(PyUnicode_DATA(s)),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
  }
  return literal(e, s);
}

// text() for the loops over many texts, which would otherwise pay a call and
// its saved registers per text: a key object written before is found by its
// address, and a text of less than two ASCII bytes never enters the pool.
VESK_INLINE Status text_inline(Encoder& e, PyObject* s) noexcept {
  RecentTexts::Entry* seen = e.recent.at(s);
  if (seen != nullptr && seen->text == s) {
    return text_reference(e, seen->num);
  }
  if (PyUnicode_IS_ASCII(s) && PyUnicode_GET_LENGTH(s) < 2) {
    return utf8_literal(e, static_cast<const char*>(PyUnicode_DATA(s)),
                        static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
  }
  return pooled_text(e, s, seen);
}

// Whether a str enters the pool: two or more UTF-8 bytes.
VESK_INLINE bool pooled(PyObject* s) noexcept {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  return n >= 2 || (n == 1 && !PyUnicode_IS_ASCII(s));
}

// Columnar forms of a list of two or more items; false when the list is to be
// written plainly.
Res<bool> row_list(Encoder& e, PyObject* const* rows, std::size_t n, int depth) noexcept;
Res<bool> list_column(Encoder& e, PyObject* const* items, std::size_t n, int depth) noexcept;

// The kind byte and payload of one column of cells at the given depth. On a
// failure inside a cell, the error carries that cell's index.
Status column(Encoder& e, PyObject* const* cells, std::size_t n, int depth) noexcept;

// Dicts that all have the first one's key sequence (of str keys, at least
// one): their keys and, column by column, their values. Borrowed references.
Res<bool> same_keys(PyObject* const* dicts, std::size_t n, Vec<PyObject*>& keys,
                    Vec<PyObject*>& cells) noexcept;

// Holds a reference to each object while user code may run.
[[nodiscard]] bool hold(Encoder& e, Vec<Owned>& keep, PyObject* const* objs,
                        std::size_t n) noexcept;

// The anchor pass: counts how often each list and dict is met.
Status count_containers(Encoder& e, PyObject* root) noexcept;
// A list or dict that is met more than once, written as an anchor, as a
// reference to it, or plainly.
Status repeated(Encoder& e, PyObject* obj, int depth, bool is_dict, Seen& seen) noexcept;
Status dict_body(Encoder& e, PyObject* obj, int depth) noexcept;
Status seq_body(Encoder& e, PyObject* obj, int depth) noexcept;

}  // namespace vesk::enc
