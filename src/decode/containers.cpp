// Arrays and objects.
#include "decode/decoder.hpp"

namespace vesk {

Result<Owned> array(Decoder& d, std::uint32_t depth) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t n, byte_count(d));
  VESK_TRY_ASSIGN(Owned list, made(PyList_New(static_cast<Py_ssize_t>(n))));
  for (std::uint64_t i = 0; i < n; ++i) {
    VESK_TRY_ASSIGN(Owned item, value(d, depth + 1));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Result<Owned> object(Decoder& d, std::uint32_t depth) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t n, byte_count(d));
  VESK_TRY_ASSIGN(Owned dict, made(PyDict_New()));
  for (std::uint64_t i = 0; i < n; ++i) {
    VESK_TRY_ASSIGN(Key key, read_key(d));
    VESK_TRY_ASSIGN(Owned item, value(d, depth + 1));
    // A repeated key replaces the entry instead of adding one: the size tells.
    const Py_ssize_t before = PyDict_GET_SIZE(dict.get());
    if (VESK_UNLIKELY(PyDict_SetItem(dict.get(), key.obj.get(), item.get()) < 0)) {
      return py_fail();
    }
    if (VESK_UNLIKELY(PyDict_GET_SIZE(dict.get()) == before)) {
      return bad_quoted("duplicate key", d.text_at(key.pos, key.len), d.pos);
    }
  }
  return dict;
}

}  // namespace vesk
