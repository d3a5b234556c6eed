// The tag dispatch: the one place where a value's tag byte is read.
#include "decode/decoder.hpp"

namespace vesk {

// Every document nests through `value` at each level, so its frame stays
// small: whatever needs temporaries (errors, integers) is called, not inlined.

static Result<Owned> new_ref(PyObject* obj) noexcept { return Owned::borrow(obj); }

static VESK_COLD Result<Owned> too_deep(const Decoder& d) noexcept {
  return bad("nesting too deep", d.pos);
}

static VESK_COLD Result<Owned> no_tag(const Decoder& d) noexcept { return short_input(d.pos); }

static VESK_COLD Result<Owned> bad_tag(std::uint8_t tag, std::uint64_t at) noexcept {
  return bad_format(at, "bad tag 0x%02x", tag);
}

static VESK_NOINLINE Result<Owned> small_int(std::uint8_t tag) noexcept {
  return made(PyLong_FromLong(tag & 0x7F));
}

static VESK_NOINLINE Result<Owned> signed_int(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t u, uvarint(d));
  return made(PyLong_FromLongLong(zigzag(u)));
}

Result<Owned> value(Decoder& d, std::uint32_t depth) noexcept {
  if (VESK_UNLIKELY(depth > d.depth_limit)) {
    return too_deep(d);
  }
  if (VESK_UNLIKELY(d.pos >= d.len)) {
    return no_tag(d);
  }
  const std::uint64_t at = d.pos;
  const std::uint8_t tag = d.input[d.pos++];
  if (tag >= 0x80) {
    return small_int(tag);
  }
  if ((tag & 0xE0) == 0x40) {
    return short_string(d, tag);
  }
  switch (tag) {
    case 0x00:
      return new_ref(Py_None);
    case 0x01:
      return new_ref(Py_False);
    case 0x02:
      return new_ref(Py_True);
    case 0x03:
      return signed_int(d);
    case 0x04:
      return float_value(d);
    case 0x05:
      return long_string(d);
    case 0x06:
      return string_ref(d);
    case 0x07:
      return array(d, depth);
    case 0x08:
      return object(d, depth);
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
      return bad_tag(tag, at);
  }
}

}  // namespace vesk
