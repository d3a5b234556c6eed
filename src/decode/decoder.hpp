// The per-document decoder state and the decoding operations.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "decode/key_cache.hpp"
#include "err/error.hpp"
#include "pyo/owned.hpp"
#include "pyo/vec.hpp"

namespace vesk {

// A decoded text: its str object and its UTF-8 bytes, in the input or, for an
// ASCII str, its own characters, so that texts compare by their bytes.
struct Text {
  Owned obj;
  std::string_view utf8;
};
template <>
struct Relocatable<Text> : std::true_type {};

using Key = Text;  // a key of a key list

// A pooled text that is not ASCII: its pool index and where the encoding of
// its text (a short or a long string) starts, from which its bytes are found
// again when a key list compares them. An ASCII str holds those bytes itself,
// so the pool keeps one word per distinct text, the most a large document
// holds while it decodes.
struct WideText {
  std::uint64_t index;
  std::uint64_t tag_at;
};

using KeyList = Vec<Key>;

// Values nest at most this deep; the top-level value has depth 0.
constexpr std::uint32_t max_depth = 512;
// Copies of anchored values nest at most this deep below the referenced value.
constexpr std::uint32_t max_copy_depth = 4096;
// Lengths and counts are bounded so that every size fits a Py_ssize_t anywhere.
constexpr std::uint64_t max_count = 0x7FFFFFFF;
constexpr std::int64_t initial_ref_budget = 0x1000000;

// Bounds a caller may tighten for one decode; the defaults are the format's own.
struct Limits {
  std::int64_t cells = INT64_MAX;       // caps the decoded-size budget
  std::int64_t copy_cells = INT64_MAX;  // caps the reference-expansion budget
  std::uint32_t depth = max_depth;      // at most max_depth
};

// Strings that the pool holds without an allocation of its own: enough for
// the keys of most small documents.
constexpr std::size_t pool_room_entries = 16;

struct Decoder {
  alignas(Owned) unsigned char pool_room[pool_room_entries * sizeof(Owned)];
  Vec<Owned> pool{pool_room, pool_room_entries};
  Vec<WideText> wide;  // the pool's texts that are not ASCII, in index order
  Vec<Owned> anchors;  // a null slot is an anchor whose value is still being decoded
  const std::uint8_t* input;
  std::uint64_t len;
  std::uint64_t pos = 2;
  // Container cells that copies of anchored values may still create.
  std::int64_t ref_budget = initial_ref_budget;
  // Cells that columns, tables and sparse tables may still create: linear in the input.
  std::int64_t size_budget;
  // Values and columns nest at most this deep: max_depth unless a caller tightened it.
  std::uint32_t depth_limit = max_depth;
  // Input bytes that the columns of Object columns with rows filled in advance
  // still claim; nested ones may fill rows in advance only from the bytes beyond.
  std::uint64_t prefill_claim = 0;
  // Elements of the arrays being decoded that are still to come, each of them
  // at least one byte after the value being decoded: a nested array is made
  // at its full count only from the bytes beyond them, so that nested counts
  // cannot make the open lists hold more slots than the input has bytes.
  std::uint64_t array_claim = 0;
  // The short keys of a vesk.Decoder, or null: loads_binary keeps nothing
  // between calls.
  KeyCache* keys = nullptr;
  // The error of the step that returned null, for the steps that return bare
  // pointers: arrays, objects, strings and the tag dispatch.
  ErrorSlot error;

  Decoder(const std::uint8_t* data, std::uint64_t length) noexcept;
  Decoder(const std::uint8_t* data, std::uint64_t length, const Limits& limits) noexcept;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  // Releases the pool before the anchor table, each in index order.
  ~Decoder();

  // Bytes left to read; never wraps.
  [[nodiscard]] std::uint64_t remaining() const noexcept { return pos < len ? len - pos : 0; }
  [[nodiscard]] std::string_view text_at(std::uint64_t at, std::uint64_t n) const noexcept;
};

// The bytes of the text whose encoding (a short or a long string, or a pool
// reference) starts at `at`. It was read there before, so nothing can fail.
std::string_view encoded_text(Decoder& d, std::uint64_t at) noexcept;
// The bytes of pool entry i (< the pool's size).
std::string_view pool_text(Decoder& d, std::uint64_t i) noexcept;

// Charges k cells: subtracts and reports whether the budget is still not negative.
[[nodiscard]] VESK_INLINE bool charge(std::int64_t& budget, std::uint64_t k) noexcept {
  budget -= static_cast<std::int64_t>(k);
  return budget >= 0;
}

// Takes over what a CPython constructor returned; null means its exception is pending.
[[nodiscard]] VESK_INLINE Result<Owned> made(PyObject* obj) noexcept {
  if (VESK_UNLIKELY(obj == nullptr)) {
    return py_fail();
  }
  return Owned::steal(obj);
}

DecodeError short_input(std::uint64_t offset) noexcept;  // "truncated input"
DecodeError utf8_fail(std::uint64_t offset) noexcept;

// Leaves `error` in the decoder's slot and returns null.
VESK_COLD PyObject* fail(Decoder& d, DecodeError error) noexcept;
// The same for a failed CPython call, whose exception is pending.
VESK_COLD PyObject* py_failed(Decoder& d) noexcept;

// A new reference, or the error left in the slot taken as the Result's.
[[nodiscard]] VESK_INLINE Result<Owned> owned(Decoder& d, PyObject* obj) noexcept {
  if (VESK_UNLIKELY(obj == nullptr)) {
    return d.error.take();
  }
  return Owned::steal(obj);
}

// The error left in the slot, out of line for the callers that keep Results.
VESK_COLD DecodeError taken(Decoder& d) noexcept;

// A varint whose first byte has its high bit set, or with no byte left; when
// it fails, the error is in d.error.
// Plain data, so that it comes back in registers.
struct Varint {
  std::uint64_t value;
  bool ok;
};
Varint uvarint_slow(Decoder& d) noexcept;

// Reads an unsigned varint; one-byte values never leave the caller.
[[nodiscard]] VESK_INLINE Varint bare_uvarint(Decoder& d) noexcept {
  if (VESK_LIKELY(d.pos < d.len && d.input[d.pos] < 0x80)) {
    return {d.input[d.pos++], true};
  }
  return uvarint_slow(d);
}

// Reads the varint of a number (a signed int, or a cell of a number column):
// values of up to five bytes (every int32) inline, as columns take them back
// to back; longer ones and the last bytes of the input out of line.
[[nodiscard]] VESK_INLINE Result<std::uint64_t> number_uvarint(Decoder& d) noexcept {
  const std::uint64_t start = d.pos;
  if (VESK_LIKELY(d.remaining() >= 5)) {
    const std::uint8_t* b = d.input + start;
    std::uint64_t r = b[0] & 0x7FULL;
    for (unsigned k = 0; k < 4; ++k) {
      if (b[k] < 0x80) {
        d.pos = start + k + 1;
        return r;
      }
      r |= static_cast<std::uint64_t>(b[k + 1] & 0x7F) << (7 * (k + 1));
    }
    if (b[4] < 0x80) {
      d.pos = start + 5;
      return r;
    }
  }
  const Varint v = bare_uvarint(d);
  if (VESK_UNLIKELY(!v.ok)) {
    return taken(d);
  }
  return v.value;
}

[[nodiscard]] VESK_INLINE Result<std::uint64_t> uvarint(Decoder& d) noexcept {
  const Varint v = bare_uvarint(d);
  if (VESK_UNLIKELY(!v.ok)) {
    return taken(d);
  }
  return v.value;
}

[[nodiscard]] VESK_INLINE std::int64_t zigzag(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1)));
}

// Reads a count that must fit the format's bound and the bytes left, each
// member taking at least one byte; "truncated input" just after the count.
Result<std::uint64_t> byte_count(Decoder& d) noexcept;

// byte_count for the steps that return bare pointers: no_count on failure, with
// the error in d.error; one-byte counts never leave the caller.
constexpr std::uint64_t no_count = UINT64_MAX;
std::uint64_t member_count_slow(Decoder& d) noexcept;
[[nodiscard]] VESK_INLINE std::uint64_t member_count(Decoder& d) noexcept {
  if (VESK_LIKELY(d.pos < d.len)) {
    const std::uint8_t b = d.input[d.pos];
    // After the count byte, b members of a byte each must still fit.
    if (VESK_LIKELY(b < 0x80 && b < d.len - d.pos)) {
      ++d.pos;
      return b;
    }
  }
  return member_count_slow(d);
}
// The same for bit-packed members: at most 8 per byte left.
Result<std::uint64_t> bit_count(Decoder& d) noexcept;

// The steps below return a new reference, or null with the error in d.error.

// The text of n bytes at the cursor, whose encoding starts at tag_at; the
// cursor then moves past it. Texts of two or more bytes enter the string pool.
PyObject* pooled_text(Decoder& d, std::uint64_t n, std::uint64_t tag_at) noexcept;
// A string of n bytes whose length the tag gave (at most 31).
PyObject* short_text(Decoder& d, std::uint64_t n) noexcept;
// pooled_text for a key of shortest to longest bytes, through the key cache.
PyObject* cached_key(Decoder& d, std::uint64_t n, std::uint64_t tag_at) noexcept;
// pooled_text for a key: through the key cache where the decoder has one.
VESK_INLINE PyObject* pooled_key(Decoder& d, std::uint64_t n, std::uint64_t tag_at) noexcept {
  if (d.keys != nullptr && n >= KeyCache::shortest && n <= KeyCache::longest) {
    return cached_key(d, n, tag_at);
  }
  return pooled_text(d, n, tag_at);
}
// A string whose byte count follows.
PyObject* long_text(Decoder& d) noexcept;
// The pool entry whose index follows.
PyObject* pool_ref(Decoder& d) noexcept;
// A string in the key encoding: short, long or a pool reference.
PyObject* key_text(Decoder& d) noexcept;
// The value at the cursor.
PyObject* value_ref(Decoder& d, std::uint32_t depth) noexcept;
PyObject* array_ref(Decoder& d, std::uint32_t depth) noexcept;
PyObject* object_ref(Decoder& d, std::uint32_t depth) noexcept;

// The integral-float rule: a whole double below 2^53 in magnitude is an int.
Result<Owned> integral_float(double x) noexcept;

// The value at the cursor, for the steps that keep their errors as Results.
Result<Owned> value(Decoder& d, std::uint32_t depth) noexcept;
Result<Owned> float_value(Decoder& d) noexcept;
Result<Owned> anchor(Decoder& d, std::uint32_t depth) noexcept;
Result<Owned> anchor_ref(Decoder& d) noexcept;
Result<Owned> list_column(Decoder& d, std::uint32_t depth) noexcept;
Result<Owned> table(Decoder& d, std::uint32_t depth) noexcept;
Result<Owned> sparse(Decoder& d, std::uint32_t depth) noexcept;

// One key in the key encoding (short string, long string or pool reference).
Result<Key> read_key(Decoder& d) noexcept;
// `count` (at least 1) pairwise distinct keys; a repeat fails with "{label} '{text}'".
Result<KeyList> unique_keys(Decoder& d, std::uint64_t count, std::string_view label) noexcept;

Result<Owned> decimal_value(std::int64_t mantissa, unsigned scale) noexcept;

}  // namespace vesk
