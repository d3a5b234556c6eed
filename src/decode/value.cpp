// The tag dispatch: the one place where a value's tag byte is read.
#include "decode/decoder.hpp"

namespace vesk {

// Every document nests through the dispatch at each level, so its frame stays
// small: whatever needs temporaries (errors, integers) is called, not inlined.

namespace {

VESK_INLINE PyObject* new_ref(PyObject* obj) noexcept {
  Py_INCREF(obj);
  return obj;
}

VESK_COLD PyObject* too_deep(Decoder& d) noexcept {
  return fail(d, bad("nesting too deep", d.pos));
}

VESK_COLD PyObject* no_tag(Decoder& d) noexcept { return fail(d, short_input(d.pos)); }

VESK_COLD Result<Owned> bad_tag(std::uint8_t tag, std::uint64_t at) noexcept {
  return bad_format(at, "bad tag 0x%02x", tag);
}

VESK_INLINE PyObject* small_int(Decoder& d, std::uint8_t tag) noexcept {
  PyObject* v = PyLong_FromLong(tag & 0x7F);
  return VESK_LIKELY(v != nullptr) ? v : py_failed(d);
}

VESK_NOINLINE Result<Owned> signed_int(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t u, number_uvarint(d));
  return made(PyLong_FromLongLong(zigzag(u)));
}

// Whether the value of a tag is made by a step returning a bare pointer:
// scalars of no payload, strings, arrays and objects.
VESK_INLINE bool bare_tag(std::uint8_t tag) noexcept {
  return tag >= 0x80 || (tag & 0xE0) == 0x40 || tag <= 0x02 || (tag >= 0x05 && tag <= 0x08);
}

// The value of every other tag, whose byte the cursor has passed.
VESK_INLINE Result<Owned> result_value(Decoder& d, std::uint8_t tag, std::uint32_t depth) noexcept {
  switch (tag) {
    case 0x03:
      return signed_int(d);
    case 0x04:
      return float_value(d);
    case 0x09:
      return table(d, depth);
    case 0x0A:
      return anchor(d, depth);
    case 0x0B:
      return anchor_ref(d);
    case 0x0C:
      return list_column(d, depth);
    case 0x0D:
      return sparse(d, depth);
    default:
      return bad_tag(tag, d.pos - 1);
  }
}

VESK_NOINLINE PyObject* other_value(Decoder& d, std::uint8_t tag, std::uint32_t depth) noexcept {
  Result<Owned> r = result_value(d, tag, depth);
  if (VESK_UNLIKELY(!r.ok())) {
    return fail(d, r.error());
  }
  return r.take().release();
}

}  // namespace

PyObject* value_ref(Decoder& d, std::uint32_t depth) noexcept {
  if (VESK_UNLIKELY(depth > d.depth_limit)) {
    return too_deep(d);
  }
  if (VESK_UNLIKELY(d.pos >= d.len)) {
    return no_tag(d);
  }
  const std::uint8_t tag = d.input[d.pos++];
  if (tag >= 0x80) {
    return small_int(d, tag);
  }
  if ((tag & 0xE0) == 0x40) {
    return short_text(d, tag & 0x1F);
  }
  switch (tag) {
    case 0x00:
      return new_ref(Py_None);
    case 0x01:
      return new_ref(Py_False);
    case 0x02:
      return new_ref(Py_True);
    case 0x05:
      return long_text(d);
    case 0x06:
      return pool_ref(d);
    case 0x07:
      return array_ref(d, depth);
    case 0x08:
      return object_ref(d, depth);
    default:
      return other_value(d, tag, depth);
  }
}

Result<Owned> value(Decoder& d, std::uint32_t depth) noexcept {
  // The steps that keep Results are reached without converting twice, so that
  // tables and columns nesting through here keep their frames as small as before.
  if (VESK_LIKELY(depth <= d.depth_limit && d.pos < d.len)) {
    const std::uint8_t tag = d.input[d.pos];
    if (!bare_tag(tag)) {
      ++d.pos;
      return result_value(d, tag, depth);
    }
  }
  return owned(d, value_ref(d, depth));
}

}  // namespace vesk
