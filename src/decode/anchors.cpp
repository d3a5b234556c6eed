// Anchors, anchor references and the budgeted copying of anchored values.
#include "decode/decoder.hpp"

namespace vesk {
namespace {

// A list or dict being copied: its source, the copy so far and where the
// walk over the source stands.
struct CopyFrame {
  PyObject* source;
  Owned copy;
  Py_ssize_t next;          // list: the index being copied; dict: PyDict_Next's cursor
  PyObject* key = nullptr;  // dict: the key of the member being copied
};

}  // namespace

template <>
struct Relocatable<CopyFrame> : std::true_type {};

namespace {

// What entering one object of a copy gave: a finished object (a shared scalar,
// or a null handle when the budget ran out) or a new frame on the stack.
struct Entered {
  Owned done;
  bool pushed;
};

// Starts copying `obj` at `depth`. Lists and dicts (exact types only) are
// charged their size + 1 before they are allocated and get a frame; anything
// else is shared and costs nothing.
Result<Entered> enter(PyObject* obj, std::uint32_t depth, std::int64_t& budget,
                      Vec<CopyFrame>& stack) noexcept {
  if (VESK_UNLIKELY(depth > max_copy_depth)) {
    return bad("nesting too deep", 0);
  }
  const bool is_list = Py_IS_TYPE(obj, &PyList_Type);
  if (!is_list && !Py_IS_TYPE(obj, &PyDict_Type)) {
    return Entered{Owned::borrow(obj), false};
  }
  const Py_ssize_t n = is_list ? PyList_GET_SIZE(obj) : PyDict_GET_SIZE(obj);
  if (!charge(budget, static_cast<std::uint64_t>(n) + 1)) {
    return Entered{Owned{}, false};
  }
  VESK_TRY_ASSIGN(Owned copy, made(is_list ? PyList_New(n) : PyDict_New()));
  if (!stack.push(CopyFrame{obj, std::move(copy), 0})) {
    return py_fail();
  }
  return Entered{Owned{}, true};
}

// Stores a finished member into the copy of the frame that holds it.
Status store(CopyFrame& f, Owned member) noexcept {
  if (Py_IS_TYPE(f.source, &PyList_Type)) {
    PyList_SET_ITEM(f.copy.get(), f.next, member.release());
    ++f.next;
    return success();
  }
  if (VESK_UNLIKELY(PyDict_SetItem(f.copy.get(), f.key, member.get()) < 0)) {
    return py_fail();
  }
  return success();
}

// Copies an anchored value. Returns the copy, a null handle when the budget
// ran out (the budget keeps what was charged), or an error. The walk keeps its
// own stack instead of recursing, so the copy depth costs no C stack.
Result<Owned> deep_copy(PyObject* obj, std::int64_t& budget) noexcept {
  Vec<CopyFrame> stack;
  VESK_TRY_ASSIGN(Entered root, enter(obj, 0, budget, stack));
  if (!root.pushed) {
    return std::move(root.done);
  }
  for (;;) {
    CopyFrame& f = stack[stack.size() - 1];
    PyObject* member = nullptr;
    if (Py_IS_TYPE(f.source, &PyList_Type)) {
      if (f.next < PyList_GET_SIZE(f.source)) {
        member = PyList_GET_ITEM(f.source, f.next);
      }
    } else if (!PyDict_Next(f.source, &f.next, &f.key, &member)) {
      member = nullptr;
    }
    Owned finished;
    if (member != nullptr) {
      const auto depth = static_cast<std::uint32_t>(stack.size());
      VESK_TRY_ASSIGN(Entered e, enter(member, depth, budget, stack));
      if (e.pushed) {
        continue;
      }
      if (!e.done) {
        return Owned{};
      }
      VESK_TRY(store(stack[stack.size() - 1], std::move(e.done)));
      continue;
    }
    finished = std::move(f.copy);
    stack.pop();
    if (stack.size() == 0) {
      return finished;
    }
    VESK_TRY(store(stack[stack.size() - 1], std::move(finished)));
  }
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
  VESK_TRY_ASSIGN(Owned copy, deep_copy(d.anchors[i].get(), d.ref_budget));
  if (!copy) {
    return bad("reference expansion too large", d.pos);
  }
  return copy;
}

}  // namespace vesk
