// A dict's entry table, read (and, for a fresh copy, written) directly where
// this build knows the table's layout: PyDict_Next costs a call and about forty
// instructions per entry, and PyDict_SetItem a lookup per value. The layout is
// checked against the public calls once per module, at import.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "err/error.hpp"

namespace vesk {

// A dict's entries in insertion order: entry x has its key at
// first[x * stride] and its value (null where the entry was deleted) after it.
struct EntryTable {
  PyObject** first;
  std::size_t stride;
  std::size_t count;
};

#if !defined(VESK_PUBLIC_API_ONLY) && PY_VERSION_HEX >= 0x030B0000 && \
    PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define VESK_DICT_LAYOUT 1

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
// check_dict_layout.
extern bool dict_layout_ok;

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
  return dict_layout_ok && read_entry_table(d, t);
}
#else
VESK_INLINE bool entry_table(PyObject*, EntryTable&) noexcept { return false; }
#endif

// The entries of `copy`, a dict of k str keys that PyDict_Copy made a moment
// ago and that nothing else has seen, as k key and value pairs; null where its
// table is not laid out so (the caller inserts the values then). A value
// stored into its entry, the old one released, is where an insert would have
// put it; track_as_insert() then does the rest of what an insert does.
VESK_INLINE PyObject** fresh_entries(PyObject* copy, std::size_t k) noexcept {
#ifdef VESK_DICT_LAYOUT
  EntryTable t;
  // A key table that another dict shares would see the values change too.
  if (!entry_table(copy, t) || t.stride != 2 || t.count != k ||
      reinterpret_cast<const DictKeysHead*>(reinterpret_cast<PyDictObject*>(copy)->ma_keys)
              ->refcnt != 1) {
    return nullptr;
  }
  return t.first;
#else
  (void)copy, (void)k;
  return nullptr;
#endif
}

// Stores v, stolen, as the value of entry x of kv, the entries of fresh_entries(),
// and releases the value it replaces.
VESK_INLINE void store_value(PyObject** kv, std::size_t x, PyObject* v) noexcept {
  PyObject* old = kv[2 * x + 1];
  kv[2 * x + 1] = v;
  Py_XDECREF(old);
}

// Whether fresh_entries() can give the entries of a dict at all.
VESK_INLINE bool entries_writable() noexcept {
#ifdef VESK_DICT_LAYOUT
  return dict_layout_ok;
#else
  return false;
#endif
}

// Has the collector track d, as an insert does once d holds a container.
VESK_INLINE void track_as_insert(PyObject* d, bool containers) noexcept {
  if (containers && !PyObject_GC_IsTracked(d)) {
    PyObject_GC_Track(d);
  }
}

// Whether the value is of a type that the collector tracks.
VESK_INLINE bool container(PyObject* v) noexcept {
  return PyType_HasFeature(Py_TYPE(v), Py_TPFLAGS_HAVE_GC) != 0;
}

// Compares the entry tables of a few dicts with what PyDict_Next gives, and a
// copy's replaced values with what lookups find, and turns the direct reads
// and writes on if they agree; false with an exception set.
[[nodiscard]] bool check_dict_layout() noexcept;

}  // namespace vesk
