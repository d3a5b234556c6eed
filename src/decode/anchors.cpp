// Anchors, anchor references and the budgeted copying of anchored values.
#include "decode/decoder.hpp"

namespace vesk {
namespace {

bool is_container(PyObject* obj) noexcept {
  return Py_IS_TYPE(obj, &PyList_Type) || Py_IS_TYPE(obj, &PyDict_Type);
}

Result<Owned> deep_copy(PyObject* obj, std::int64_t& budget, std::uint32_t depth) noexcept;

// Copies one member of a container at `depth`. Scalars are shared without a
// call of their own, which keeps deep copies from using more stack than needed.
VESK_INLINE Result<Owned> copy_member(PyObject* obj, std::int64_t& budget,
                                      std::uint32_t depth) noexcept {
  if (is_container(obj)) {
    return deep_copy(obj, budget, depth);
  }
  if (VESK_UNLIKELY(depth > max_copy_depth)) {
    return bad("nesting too deep", 0);
  }
  return Owned::borrow(obj);
}

// Returns the copy, a null handle when the budget ran out (the budget keeps
// what was charged), or an error. Lists and dicts (exact types only) are
// copied, charged their size + 1 before they are allocated; anything else is
// shared.
Result<Owned> deep_copy(PyObject* obj, std::int64_t& budget, std::uint32_t depth) noexcept {
  if (VESK_UNLIKELY(depth > max_copy_depth)) {
    return bad("nesting too deep", 0);
  }
  if (Py_IS_TYPE(obj, &PyList_Type)) {
    const Py_ssize_t n = PyList_GET_SIZE(obj);
    if (!charge(budget, static_cast<std::uint64_t>(n) + 1)) {
      return Owned{};
    }
    Owned copy = Owned::steal(PyList_New(n));
    if (VESK_UNLIKELY(!copy)) {
      return py_fail();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      VESK_TRY_ASSIGN(Owned item, copy_member(PyList_GET_ITEM(obj, i), budget, depth + 1));
      if (!item) {
        return Owned{};
      }
      PyList_SET_ITEM(copy.get(), i, item.release());
    }
    return copy;
  }
  if (Py_IS_TYPE(obj, &PyDict_Type)) {
    const Py_ssize_t n = PyDict_GET_SIZE(obj);
    if (!charge(budget, static_cast<std::uint64_t>(n) + 1)) {
      return Owned{};
    }
    Owned copy = Owned::steal(PyDict_New());
    if (VESK_UNLIKELY(!copy)) {
      return py_fail();
    }
    Py_ssize_t it = 0;
    PyObject* key;
    PyObject* member;
    while (PyDict_Next(obj, &it, &key, &member)) {
      VESK_TRY_ASSIGN(Owned item, copy_member(member, budget, depth + 1));
      if (!item) {
        return Owned{};
      }
      if (VESK_UNLIKELY(PyDict_SetItem(copy.get(), key, item.get()) < 0)) {
        return py_fail();
      }
    }
    return copy;
  }
  return Owned::borrow(obj);
}

}  // namespace

Result<Owned> anchor(Decoder& d, std::uint32_t depth) noexcept {
  const std::size_t slot = d.anchors.size();
  if (VESK_UNLIKELY(!d.anchors.push(Owned{}))) {
    return py_fail();
  }
  VESK_TRY_ASSIGN(Owned v, value(d, depth + 1));
  // Found again by index: nested anchors may have moved the table's storage.
  d.anchors[slot] = Owned::borrow(v.get());
  return v;
}

Result<Owned> anchor_ref(Decoder& d) noexcept {
  VESK_TRY_ASSIGN(const std::uint64_t i, uvarint(d));
  // An empty slot is an anchor whose own value holds this reference.
  if (i >= d.anchors.size() || !d.anchors[i]) {
    return bad("bad anchor reference", d.pos);
  }
  VESK_TRY_ASSIGN(Owned copy, deep_copy(d.anchors[i].get(), d.ref_budget, 0));
  if (!copy) {
    return bad("reference expansion too large", d.pos);
  }
  return copy;
}

}  // namespace vesk
