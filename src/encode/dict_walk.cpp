// The check of the dict layout that the encoder reads directly.
#include "encode/dict_walk.hpp"

#include "pyo/owned.hpp"

namespace vesk::enc {

#ifdef VESK_DICT_WALK
bool dict_walk_ok = false;

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

}  // namespace

bool set_up_dict_walk() noexcept {
  // Tables with one-, two- and four-byte indices, of str and of general keys.
  for (long n : {5L, 300L, 70000L}) {
    for (bool str_keys : {true, false}) {
      Owned d = Owned::steal(PyDict_New());
      if (!d || !fill(d.get(), n, str_keys)) {
        return false;
      }
      if (!walks_alike(d.get())) {
        return true;  // left off: PyDict_Next serves every dict
      }
    }
  }
  dict_walk_ok = true;
  return true;
}
#else
bool set_up_dict_walk() noexcept { return true; }
#endif

}  // namespace vesk::enc
