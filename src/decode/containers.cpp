// Arrays and objects. Both recurse through `value` once per level, so the
// reading of their heads and the storing of entries are functions of their own,
// whose temporaries are gone before a member is decoded.
#include "decode/decoder.hpp"

namespace vesk {
namespace {

VESK_NOINLINE Status array_head(Decoder& d, std::uint64_t& n, Owned& list) noexcept {
  VESK_TRY_ASSIGN(n, byte_count(d));
  VESK_TRY_ASSIGN(list, made(PyList_New(static_cast<Py_ssize_t>(n))));
  return success();
}

VESK_NOINLINE Status object_head(Decoder& d, std::uint64_t& n, Owned& dict) noexcept {
  VESK_TRY_ASSIGN(n, byte_count(d));
  VESK_TRY_ASSIGN(dict, made(PyDict_New()));
  return success();
}

VESK_NOINLINE Status next_key(Decoder& d, Key& key) noexcept {
  VESK_TRY_ASSIGN(key, read_key(d));
  return success();
}

// Stores one entry; a repeated key fails.
VESK_NOINLINE Status put_entry(const Decoder& d, PyObject* dict, const Key& key,
                               PyObject* item) noexcept {
  // A repeated key replaces the entry instead of adding one: the size tells.
  const Py_ssize_t before = PyDict_GET_SIZE(dict);
  if (VESK_UNLIKELY(PyDict_SetItem(dict, key.obj.get(), item) < 0)) {
    return py_fail();
  }
  if (VESK_UNLIKELY(PyDict_GET_SIZE(dict) == before)) {
    return bad_quoted("duplicate key", d.text_at(key.pos, key.len), d.pos);
  }
  return success();
}

}  // namespace

Result<Owned> array(Decoder& d, std::uint32_t depth) noexcept {
  std::uint64_t n;
  Owned list;
  VESK_TRY(array_head(d, n, list));
  for (std::uint64_t i = 0; i < n; ++i) {
    VESK_TRY_ASSIGN(Owned item, value(d, depth + 1));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

Result<Owned> object(Decoder& d, std::uint32_t depth) noexcept {
  std::uint64_t n;
  Owned dict;
  VESK_TRY(object_head(d, n, dict));
  for (std::uint64_t i = 0; i < n; ++i) {
    Key key;
    VESK_TRY(next_key(d, key));
    VESK_TRY_ASSIGN(const Owned item, value(d, depth + 1));
    VESK_TRY(put_entry(d, dict.get(), key, item.get()));
  }
  return dict;
}

}  // namespace vesk
