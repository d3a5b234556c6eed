// The check of the dict layout that both modules read and write directly.
#include "pyo/dicts.hpp"

#include "pyo/owned.hpp"

namespace vesk {

#ifdef VESK_DICT_LAYOUT
bool dict_layout_ok = false;

namespace {

// Whether d's head is sane and its table gives exactly PyDict_Next's entries.
bool walks_alike(PyObject* d) noexcept {
  const auto* keys =
      reinterpret_cast<const DictKeysHead*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
  // The indices take 1, 2, 4 or 8 bytes each, and the entries fit the table.
  if (keys->log2_index_bytes < keys->log2_size || keys->log2_index_bytes > keys->log2_size + 3 ||
      keys->nentries < PyDict_GET_SIZE(d) || keys->nentries > (Py_ssize_t{1} << keys->log2_size)) {
    return false;
  }
  EntryTable t;
  if (!read_entry_table(d, t)) {
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  std::size_t x = 0;
  while (PyDict_Next(d, &pos, &k, &v)) {
    while (x < t.count && t.first[x * t.stride + 1] == nullptr) {
      ++x;
    }
    if (x == t.count || t.first[x * t.stride] != k || t.first[x * t.stride + 1] != v) {
      return false;
    }
    ++x;
  }
  while (x < t.count && t.first[x * t.stride + 1] == nullptr) {
    ++x;
  }
  return x == t.count;
}

// Fills d with n entries, str keys or int keys, and deletes every third.
bool fill(PyObject* d, long n, bool str_keys) noexcept {
  for (long i = 0; i < n; ++i) {
    Owned k = Owned::steal(str_keys ? PyUnicode_FromFormat("k%ld", i) : PyLong_FromLong(i));
    Owned v = Owned::steal(PyLong_FromLong(i));
    if (!k || !v || PyDict_SetItem(d, k.get(), v.get()) < 0) {
      return false;
    }
  }
  for (long i = 0; i < n; i += 3) {
    Owned k = Owned::steal(str_keys ? PyUnicode_FromFormat("k%ld", i) : PyLong_FromLong(i));
    if (!k || PyDict_DelItem(d, k.get()) < 0) {
      return false;
    }
  }
  return true;
}

// Whether a copy of a dict of str keys mapped to None, its values replaced
// through its entries, holds exactly the new values for lookups and for the
// collector; `alike` says so. False with an exception set.
bool copies_alike(bool& alike) noexcept {
  constexpr std::size_t k = 3;
  Owned shape = Owned::steal(PyDict_New());
  Owned keys[k], values[k];
  if (!shape) {
    return false;
  }
  for (std::size_t c = 0; c < k; ++c) {
    keys[c] = Owned::steal(PyUnicode_FromFormat("key %zu", c));
    values[c] = Owned::steal(c == 0 ? PyList_New(0) : PyLong_FromSize_t(1000 + c));
    if (!keys[c] || !values[c] || PyDict_SetItem(shape.get(), keys[c].get(), Py_None) < 0) {
      return false;
    }
  }
  Owned copy = Owned::steal(PyDict_Copy(shape.get()));
  if (!copy) {
    return false;
  }
  alike = false;
  PyObject** kv = fresh_entries(copy.get(), k);
  if (kv == nullptr) {
    return true;
  }
  for (std::size_t c = 0; c < k; ++c) {
    if (kv[2 * c] != keys[c].get() || kv[2 * c + 1] != Py_None) {
      return true;
    }
  }
  for (std::size_t c = 0; c < k; ++c) {
    PyObject* old = kv[2 * c + 1];
    kv[2 * c + 1] = Owned::borrow(values[c].get()).release();
    Py_DECREF(old);
  }
  track_as_insert(copy.get(), true);
  for (std::size_t c = 0; c < k; ++c) {
    if (PyDict_GetItemWithError(copy.get(), keys[c].get()) != values[c].get()) {
      return !PyErr_Occurred();
    }
  }
  alike = PyDict_GET_SIZE(copy.get()) == static_cast<Py_ssize_t>(k) &&
          PyObject_GC_IsTracked(copy.get()) && walks_alike(copy.get());
  return true;
}

}  // namespace

bool check_dict_layout() noexcept {
  // Tables with one- and two-byte indices, of str and of general keys. Wider
  // indices are found by the same rule; a table large enough for them would
  // cost every import tens of milliseconds.
  for (long n : {5L, 300L}) {
    for (bool str_keys : {true, false}) {
      Owned d = Owned::steal(PyDict_New());
      if (!d || !fill(d.get(), n, str_keys)) {
        return false;
      }
      if (!walks_alike(d.get())) {
        return true;  // left off: the public calls serve every dict
      }
    }
  }
  // Checked through the direct reads, which the copy's check uses.
  dict_layout_ok = true;
  bool alike = false;
  if (!copies_alike(alike)) {
    dict_layout_ok = false;
    return false;
  }
  dict_layout_ok = alike;
  return true;
}
#else
bool check_dict_layout() noexcept { return true; }
#endif

}  // namespace vesk
