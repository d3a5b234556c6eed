// Walks over the entries of dicts, through their entry tables where this
// build knows the layout.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "err/error.hpp"
#include "pyo/dicts.hpp"

namespace vesk::enc {

#ifdef VESK_DICT_LAYOUT
// Asks the processor to fetch the start of an exact dict's key table, once
// the dict itself has been fetched.
VESK_INLINE void prefetch_key_table(PyObject* d) noexcept {
  const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
  __builtin_prefetch(keys);
  __builtin_prefetch(keys + 64);
}
#endif

// Asks the processor to fetch what a walk over the rows dicts[i..n) reads
// next: each row is a chain of dependent loads (the dict, its key table, the
// entries), which the processor does not run ahead of on its own.
VESK_INLINE void prefetch_rows(PyObject* const* dicts, std::size_t i, std::size_t n) noexcept {
#ifdef VESK_DICT_LAYOUT
  if (i + 8 < n) {
    __builtin_prefetch(dicts[i + 8]);
  }
  if (i + 4 < n && PyDict_CheckExact(dicts[i + 4])) {
    prefetch_key_table(dicts[i + 4]);
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

}  // namespace vesk::enc
