// The encoder's open-addressing hash maps.
#include "encode/maps.hpp"

namespace vesk::enc {

namespace {

// A table of `cap` slots (a power of two) holding the occupied slots of `old`
// (of old_cap slots, which it frees), or null with MemoryError set; `old`
// then stays as it was.
template <class Slot>
Slot* regrow(Slot* old, std::size_t old_cap, std::size_t cap) noexcept {
  auto* fresh = static_cast<Slot*>(PyMem_Calloc(cap, sizeof(Slot)));
  if (fresh == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  for (std::size_t i = 0; i < old_cap; ++i) {
    if (old[i].empty()) {
      continue;
    }
    std::size_t j = spread(old[i].spot()) & (cap - 1);
    while (!fresh[j].empty()) {
      j = (j + 1) & (cap - 1);
    }
    fresh[j] = old[i];
  }
  PyMem_Free(old);
  return fresh;
}

}  // namespace

TextMap::~TextMap() {
  for (std::size_t i = 0; holds_ && i < texts_.size(); ++i) {
    Py_DECREF(texts_[i]);
  }
  PyMem_Free(slots_);
}

bool TextMap::resize(std::size_t cap) noexcept {
  // The texts' list grows with the table, so that adding to it never moves it.
  if (!texts_.reserve(cap / 2)) {
    return false;
  }
  Slot* fresh = regrow(slots_, slots_ == nullptr ? 0 : mask_ + 1, cap);
  if (fresh == nullptr) {
    return false;
  }
  slots_ = fresh;
  mask_ = cap - 1;
  return true;
}

bool TextMap::reserve(std::size_t more) noexcept {
  std::size_t cap = slots_ == nullptr ? 0 : mask_ + 1;
  std::size_t need = texts_.size() + more;
  if (need * 2 <= cap) {
    return true;
  }
  if (need >= absent / 2) {
    return true;  // insert() reports it when the texts do come
  }
  std::size_t want = cap == 0 ? 64 : cap * 4;
  while (want < need * 2) {
    want *= 4;
  }
  return resize(want);
}

bool TextMap::insert(PyObject* s, std::uint32_t h, std::size_t j) noexcept {
  if (texts_.size() >= absent - 1) {
    PyErr_NoMemory();
    return false;
  }
  std::size_t cap = slots_ == nullptr ? 0 : mask_ + 1;
  if ((texts_.size() + 1) * 2 > cap) {
    // Growing fourfold halves the slots that growing moves; a small first
    // table keeps small documents cheap.
    if (!resize(cap == 0 ? 64 : cap * 4)) {
      return false;
    }
    for (j = spread(h) & mask_; !slots_[j].empty(); j = (j + 1) & mask_) {
    }
  }
  if (!texts_.push(static_cast<PyObject*>(s))) {
    return false;
  }
  if (holds_) {
    Py_INCREF(s);
  }
  slots_[j] = Slot{h, static_cast<std::uint32_t>(texts_.size())};
  return true;
}

IdMap::~IdMap() {
  if (slots_ == nullptr) {
    return;
  }
  for (std::size_t i = 0; i <= mask_; ++i) {
    Py_XDECREF(slots_[i].obj);
  }
  PyMem_Free(slots_);
}

Seen* IdMap::find(PyObject* obj, bool add) noexcept {
  std::size_t cap = slots_ == nullptr ? 0 : mask_ + 1;
  if (cap == 0 && !add) {
    return nullptr;
  }
  if (add && (size_ + 1) * 2 > cap) {
    std::size_t want = cap == 0 ? 64 : cap * 2;
    Slot* fresh = regrow(slots_, cap, want);
    if (fresh == nullptr) {
      return nullptr;
    }
    slots_ = fresh;
    mask_ = want - 1;
  }
  std::size_t j = spread(reinterpret_cast<std::uintptr_t>(obj)) & mask_;
  while (slots_[j].obj != nullptr) {
    if (slots_[j].obj == obj) {
      return &slots_[j].seen;
    }
    j = (j + 1) & mask_;
  }
  if (!add) {
    return nullptr;
  }
  Py_INCREF(obj);
  slots_[j].obj = obj;
  slots_[j].seen = Seen{};
  ++size_;
  return &slots_[j].seen;
}

}  // namespace vesk::enc
