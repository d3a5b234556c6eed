// The dispatch on the type of a value, arrays, objects and the default hook.
#include "encode/dict_walk.hpp"
#include "encode/encoder.hpp"

namespace vesk::enc {

namespace {

Status container(Encoder& e, PyObject* obj, int depth, bool is_dict) noexcept {
  if (e.anchors) {
    Seen* seen = e.seen.find(obj, false);
    if (seen != nullptr && seen->count > 1) {
      return repeated(e, obj, depth, is_dict, *seen);
    }
  }
  return is_dict ? dict_body(e, obj, depth) : seq_body(e, obj, depth);
}

// Subclasses of the accepted types, then the default hook.
VESK_NOINLINE Status other(Encoder& e, PyObject* obj, int depth, bool use_default) noexcept {
  if (PyLong_Check(obj)) {
    return integer_object(e, obj);
  }
  if (PyFloat_Check(obj)) {
    return real(e, PyFloat_AS_DOUBLE(obj));
  }
  if (PyUnicode_Check(obj)) {
    return text_copy(e, obj);
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    return container(e, obj, depth, false);
  }
  if (PyDict_Check(obj)) {
    return container(e, obj, depth, true);
  }
  if (use_default && e.default_fn != nullptr) {
    Owned made = Owned::steal(PyObject_CallOneArg(e.default_fn, obj));
    if (!made) {
      return py_fail();  // the hook's own exception passes through
    }
    PyObject* m = made.get();
    if (PyUnicode_CheckExact(m) || PyLong_CheckExact(m) || PyFloat_CheckExact(m) ||
        PyDict_CheckExact(m) || PyList_CheckExact(m) || m == Py_None || PyBool_Check(m)) {
      return value(e, m, depth);
    }
    return other(e, m, depth, false);
  }
  return unsupported_type(obj);
}

// value(), written into the loops over items, which then pay no call for a
// scalar item.
VESK_INLINE Status any(Encoder& e, PyObject* obj, int depth) noexcept {
  if (VESK_UNLIKELY(depth + e.anchor_depth > max_depth)) {
    return too_deep();
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) {
    return text(e, obj);
  }
  if (type == &PyLong_Type) {
    return integer_object(e, obj);
  }
  if (type == &PyDict_Type) {
    return container(e, obj, depth, true);
  }
  if (type == &PyList_Type) {
    return container(e, obj, depth, false);
  }
  if (type == &PyFloat_Type) {
    return real(e, PyFloat_AS_DOUBLE(obj));
  }
  if (obj == Py_None || type == &PyBool_Type) {
    VESK_ROOM(e, 1);
    e.out.byte(obj == Py_None ? tag::none : obj == Py_True ? tag::true_ : tag::false_);
    return done();
  }
  if (type == &PyTuple_Type) {
    return container(e, obj, depth, false);
  }
  return other(e, obj, depth, true);
}

}  // namespace

Status value(Encoder& e, PyObject* obj, int depth) noexcept { return any(e, obj, depth); }

namespace {

// A reference to an item held while it is written, when user code may run;
// otherwise nothing, which costs the loops below nothing per item.
template <bool guarded>
struct Hold {
  explicit Hold(PyObject*) noexcept {}
};
template <>
struct Hold<true> {
  explicit Hold(PyObject* obj) noexcept : ref(Owned::borrow(obj)) {}
  Owned ref;
};

// Asks the processor to fetch what writing the value v will read first,
// once v itself has been fetched: the pool's slot for a str, the key table
// of a dict. Values are scattered objects, each a chain of dependent loads,
// which the processor does not run ahead of on its own.
VESK_INLINE void look_ahead(Encoder& e, PyObject* v) noexcept {
#ifndef VESK_PUBLIC_API_ONLY
  if (v == nullptr) {
    return;
  }
  PyTypeObject* type = Py_TYPE(v);
  if (type == &PyUnicode_Type) {
    Py_hash_t h = reinterpret_cast<PyASCIIObject*>(v)->hash;
    if (h != -1) {
      e.pool.prefetch(static_cast<std::uint32_t>(h));
    }
  }
#ifdef VESK_DICT_LAYOUT
  else if (type == &PyDict_Type) {
    prefetch_key_table(v);
  }
#endif
#else
  (void)e, (void)v;
#endif
}

// One entry of a dict, its key and then its value. Where a value may nest no
// deeper (`str_direct`), an exact str (most values) is written without the
// dispatch on its type.
VESK_INLINE Status entry(Encoder& e, PyObject* k, PyObject* v, int depth,
                         bool str_direct) noexcept {
  VESK_TRY(PyUnicode_CheckExact(k) ? text_inline(e, k) : key(e, k));
  Status s = str_direct && PyUnicode_CheckExact(v) ? text_inline(e, v) : any(e, v, depth + 1);
  if (VESK_UNLIKELY(!s.ok())) {
    return s.error().at_key(k);
  }
  return done();
}

// The entries of a dict from its entry table, where no user code runs that
// could change the dict meanwhile. A loop of its own: with the walk's state in
// registers, not in an iterator that every write of a text makes it reload.
Status table_entries(Encoder& e, const EntryTable& t, int depth) noexcept {
  bool str_direct = depth + 1 + e.anchor_depth <= max_depth;
  for (std::size_t x = 0; x < t.count; ++x) {
    PyObject* const* kv = t.first + x * t.stride;
    if (x + 2 < t.count) {
      __builtin_prefetch(kv[2 * t.stride + 1]);
    }
    if (x + 1 < t.count) {
      look_ahead(e, kv[t.stride + 1]);
    }
    if (kv[1] != nullptr) {  // null: a deleted entry
      VESK_TRY(entry(e, kv[0], kv[1], depth, str_direct));
    }
  }
  return done();
}

// The entries of a dict of n entries.
template <bool guarded>
Status entries(Encoder& e, PyObject* obj, Py_ssize_t n, int depth) noexcept {
  if constexpr (!guarded) {
    EntryTable t;
    if (entry_table(obj, t)) {
      return table_entries(e, t, depth);
    }
  }
  bool str_direct = depth + 1 + e.anchor_depth <= max_depth;
  Py_ssize_t pos = 0;
  Py_ssize_t i = 0;
  PyObject* k;
  PyObject* v;
  while (PyDict_Next(obj, &pos, &k, &v)) {
    if (VESK_UNLIKELY(i == n)) {
      return changed_size("dict");
    }
    Hold<guarded> hk(k), hv(v);
    VESK_TRY(entry(e, k, v, depth, str_direct));
    ++i;
  }
  if (VESK_UNLIKELY(i != n || PyDict_GET_SIZE(obj) != n)) {
    return changed_size("dict");
  }
  return done();
}

// The items of a list or tuple of n items.
template <bool guarded>
Status items(Encoder& e, PyObject* obj, Py_ssize_t n, int depth) noexcept {
  bool is_list = PyList_Check(obj);
  // Only texts and dicts are worth fetching ahead; a list holds mostly items
  // of one type, so its first decides.
  bool ahead = false;
  if (!guarded && n > 0) {
    PyTypeObject* first = Py_TYPE(PySequence_Fast_GET_ITEM(obj, 0));
    ahead = first == &PyUnicode_Type || first == &PyDict_Type;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (VESK_UNLIKELY(is_list && i >= PyList_GET_SIZE(obj))) {
      return changed_size("list");
    }
    if constexpr (!guarded) {
      if (i + 2 < n) {
        __builtin_prefetch(PySequence_Fast_GET_ITEM(obj, i + 2));
      }
      if (ahead && i + 1 < n) {
        look_ahead(e, PySequence_Fast_GET_ITEM(obj, i + 1));
      }
    }
    PyObject* item = PySequence_Fast_GET_ITEM(obj, i);
    Hold<guarded> held(item);
    Status s = any(e, item, depth + 1);
    if (VESK_UNLIKELY(!s.ok())) {
      return s.error().at_index(i);
    }
  }
  if (VESK_UNLIKELY(is_list && PyList_GET_SIZE(obj) != n)) {
    return changed_size("list");
  }
  return done();
}

}  // namespace

Status dict_body(Encoder& e, PyObject* obj, int depth) noexcept {
  Py_ssize_t n = PyDict_GET_SIZE(obj);
  VESK_ROOM(e, 11);
  e.out.byte(tag::object);
  e.out.varint(static_cast<std::uint64_t>(n));
  e.cells += n + 1;
  return e.guarded ? entries<true>(e, obj, n, depth) : entries<false>(e, obj, n, depth);
}

Status seq_body(Encoder& e, PyObject* obj, int depth) noexcept {
  Py_ssize_t n = Py_SIZE(obj);
  if (e.columnar && n >= 2) {
    PyObject* const* items = PySequence_Fast_ITEMS(obj);
    auto size = static_cast<std::size_t>(n);
    VESK_TRY_ASSIGN(bool written, PyDict_CheckExact(items[0]) ? row_list(e, items, size, depth)
                                                              : list_column(e, items, size, depth));
    if (written) {
      return done();
    }
  }
  VESK_ROOM(e, 11);
  e.out.byte(tag::array);
  e.out.varint(static_cast<std::uint64_t>(n));
  e.cells += n + 1;
  return e.guarded ? items<true>(e, obj, n, depth) : items<false>(e, obj, n, depth);
}

bool hold(Encoder& e, Vec<Owned>& keep, PyObject* const* objs, std::size_t n) noexcept {
  if (!e.guarded) {
    return true;
  }
  if (!keep.reserve(keep.size() + n)) {
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    (void)keep.push(Owned::borrow(objs[i]));
  }
  return true;
}

}  // namespace vesk::enc
