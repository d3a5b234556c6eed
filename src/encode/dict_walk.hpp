// The entries of a dict, read from its entry table where this build knows the
// table's layout: PyDict_Next costs a call and about forty instructions per
// entry, a fifth of the encoder's work on documents of objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "err/error.hpp"

namespace vesk::enc {

// A dict's entries in insertion order: entry x has its key at
// first[x * stride] and its value (null where the entry was deleted) after it.
struct EntryTable {
  PyObject** first;
  std::size_t stride;
  std::size_t count;
};

#if !defined(VESK_PUBLIC_API_ONLY) && PY_VERSION_HEX >= 0x030B0000 && \
    PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define VESK_DICT_WALK 1

// The head of the interpreter's key table, the same from 3.11 to 3.13.
struct DictKeysHead {
  Py_ssize_t refcnt;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;
  std::uint8_t kind;  // 0: general keys, 1: str keys, 2: split
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
  char indices[];  // 2 ** log2_index_bytes bytes, then the entries
};

// Whether the layout above is the running interpreter's; checked once, by
// set_up_dict_walk, against PyDict_Next.
extern bool dict_walk_ok;

// The entry table of d by the layout above, or false where it must be walked
// with PyDict_Next: a split table keeps its values apart.
VESK_INLINE bool read_entry_table(PyObject* d, EntryTable& t) noexcept {
  const auto* mp = reinterpret_cast<const PyDictObject*>(d);
  if (mp->ma_values != nullptr) {
    return false;
  }
  auto* keys = reinterpret_cast<DictKeysHead*>(mp->ma_keys);
  if (keys->kind > 1) {
    return false;
  }
  char* entries = keys->indices + (std::size_t{1} << keys->log2_index_bytes);
  // General entries hold the hash before the key; str entries key and value only.
  t.stride = keys->kind == 0 ? 3 : 2;
  t.first = reinterpret_cast<PyObject**>(entries) + (keys->kind == 0 ? 1 : 0);
  t.count = static_cast<std::size_t>(keys->nentries);
  return true;
}

// The entry table of the dict d, once the layout has been checked.
VESK_INLINE bool entry_table(PyObject* d, EntryTable& t) noexcept {
  return dict_walk_ok && read_entry_table(d, t);
}
#else
VESK_INLINE bool entry_table(PyObject*, EntryTable&) noexcept { return false; }
#endif

// Asks the processor to fetch what a walk over the rows dicts[i..n) reads
// next: each row is a chain of dependent loads (the dict, its key table, the
// entries), which the processor does not run ahead of on its own.
VESK_INLINE void prefetch_rows(PyObject* const* dicts, std::size_t i, std::size_t n) noexcept {
#ifdef VESK_DICT_WALK
  if (i + 8 < n) {
    __builtin_prefetch(dicts[i + 8]);
  }
  if (i + 4 < n && PyDict_CheckExact(dicts[i + 4])) {
    const char* keys =
        reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dicts[i + 4])->ma_keys);
    __builtin_prefetch(keys);
    __builtin_prefetch(keys + 64);
  }
#else
  (void)dicts, (void)i, (void)n;
#endif
}

// Calls f(key, value) for each entry of the dict d, in the order PyDict_Next
// gives them, until f returns false; returns whether every call returned
// true. The entries are read from the entry table where it can be, with the
// walk's state in registers. No user code may run meanwhile, which could
// change the dict.
template <class F>
VESK_INLINE bool each_entry(PyObject* d, F&& f) noexcept {
  EntryTable t;
  if (entry_table(d, t)) {
    PyObject* const* kv = t.first;
    for (std::size_t x = 0; x < t.count; ++x, kv += t.stride) {
      if (kv[1] != nullptr && !f(kv[0], kv[1])) {  // null: a deleted entry
        return false;
      }
    }
    return true;
  }
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(d, &pos, &k, &v)) {
    if (!f(k, v)) {
      return false;
    }
  }
  return true;
}

// A dict's entries one by one, as PyDict_Next gives them: from the entry
// table where it can be read. No user code may run while they are walked,
// which could change the dict.
class DictEntries {
 public:
  explicit DictEntries(PyObject* d) noexcept : dict_(d), direct_(entry_table(d, table_)) {}

  [[nodiscard]] VESK_INLINE bool next(PyObject*& key, PyObject*& value) noexcept {
    if (!direct_) {
      return PyDict_Next(dict_, &pos_, &key, &value);
    }
    while (at_ < table_.count) {
      PyObject* const* entry = table_.first + at_ * table_.stride;
      ++at_;
      if (entry[1] != nullptr) {  // null: a deleted entry
        key = entry[0];
        value = entry[1];
        return true;
      }
    }
    return false;
  }

 private:
  PyObject* dict_;
  EntryTable table_{};
  bool direct_;
  std::size_t at_ = 0;
  Py_ssize_t pos_ = 0;
};

// Compares the entry tables of a few dicts with what PyDict_Next gives and
// turns the direct walk on if they agree; false with an exception set.
[[nodiscard]] bool set_up_dict_walk() noexcept;

}  // namespace vesk::enc
