// Arrays and objects. Both recurse through the tag dispatch once per level and
// keep nothing in their frames but the container, the count and the cursor's
// place: errors travel in the decoder's slot.
#include <algorithm>

#include "decode/decoder.hpp"

namespace vesk {
namespace {

// "duplicate key '{text}'", its text found again here, where it is needed, so
// that the entry loop keeps no text of its own.
VESK_COLD PyObject* duplicate_key(Decoder& d, std::uint64_t key_at) noexcept {
  return fail(d, bad_quoted("duplicate key", encoded_text(d, key_at), d.pos));
}

// An array whose count the input cannot back beside the elements that
// enclosing arrays still claim: the document is cut short, but an error may
// come before its end, so the elements are read all the same, each appended
// as it comes.
VESK_NOINLINE PyObject* unbacked_array(Decoder& d, std::uint64_t n, std::uint32_t depth) noexcept {
  Owned list = Owned::steal(PyList_New(0));
  if (!list) {
    return py_failed(d);
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    const Owned item = Owned::steal(value_ref(d, depth + 1));
    if (!item) {
      return nullptr;
    }
    if (PyList_Append(list.get(), item.get()) < 0) {
      return py_failed(d);
    }
  }
  return list.release();
}

}  // namespace

PyObject* array_ref(Decoder& d, std::uint32_t depth) noexcept {
  const std::uint64_t n = member_count(d);
  if (VESK_UNLIKELY(n == no_count)) {
    return nullptr;
  }
  const std::uint64_t left = d.remaining();
  if (VESK_UNLIKELY(n > left - std::min(left, d.array_claim))) {
    return unbacked_array(d, n, depth);
  }
  Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (VESK_UNLIKELY(!list)) {
    return py_failed(d);
  }
  d.array_claim += n;
  for (std::uint64_t i = 0; i < n; ++i) {
    --d.array_claim;
    PyObject* item = value_ref(d, depth + 1);
    if (VESK_UNLIKELY(item == nullptr)) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* object_ref(Decoder& d, std::uint32_t depth) noexcept {
  const std::uint64_t n = member_count(d);
  if (VESK_UNLIKELY(n == no_count)) {
    return nullptr;
  }
  Owned dict = Owned::steal(PyDict_New());
  if (VESK_UNLIKELY(!dict)) {
    return py_failed(d);
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t key_at = d.pos;
    const Owned key = Owned::steal(key_text(d));
    if (VESK_UNLIKELY(!key)) {
      return nullptr;
    }
    const Owned item = Owned::steal(value_ref(d, depth + 1));
    if (VESK_UNLIKELY(!item)) {
      return nullptr;
    }
    // A repeated key replaces the entry instead of adding one: the size tells.
    const Py_ssize_t before = PyDict_GET_SIZE(dict.get());
    if (VESK_UNLIKELY(PyDict_SetItem(dict.get(), key.get(), item.get()) < 0)) {
      return py_failed(d);
    }
    if (VESK_UNLIKELY(PyDict_GET_SIZE(dict.get()) == before)) {
      return duplicate_key(d, key_at);
    }
  }
  return dict.release();
}

}  // namespace vesk
