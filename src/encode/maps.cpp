// The encoder's open-addressing hash maps.
#include "encode/maps.hpp"

namespace vesk::enc {

namespace {

template <class Slot>
Slot* new_slots(std::size_t n) noexcept {
  auto* s = static_cast<Slot*>(PyMem_Calloc(n, sizeof(Slot)));
  if (s == nullptr) {
    PyErr_NoMemory();
  }
  return s;
}

}  // namespace

TextMap::~TextMap() {
  for (std::size_t i = 0; holds_ && i < texts_.size(); ++i) {
    Py_DECREF(texts_[i]);
  }
  PyMem_Free(slots_);
}

bool TextMap::rehash() noexcept {
  // Growing fourfold halves the slots that growing moves; a small first
  // table keeps small documents cheap.
  std::size_t cap = slots_ != nullptr ? (mask_ + 1) * 4 : 64;
  Slot* fresh = new_slots<Slot>(cap);
  if (fresh == nullptr) {
    return false;
  }
  if (slots_ != nullptr) {
    for (std::size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].num == 0) {
        continue;
      }
      std::size_t j = spread(slots_[i].hash) & (cap - 1);
      while (fresh[j].num != 0) {
        j = (j + 1) & (cap - 1);
      }
      fresh[j] = slots_[i];
    }
    PyMem_Free(slots_);
  }
  slots_ = fresh;
  mask_ = cap - 1;
  return true;
}

bool TextMap::insert(PyObject* s, std::uint32_t h) noexcept {
  if (texts_.size() >= absent - 1) {
    PyErr_NoMemory();
    return false;
  }
  if ((slots_ == nullptr || (texts_.size() + 1) * 2 > mask_ + 1) && !rehash()) {
    return false;
  }
  if (!texts_.push(static_cast<PyObject*>(s))) {
    return false;
  }
  std::size_t j = spread(h) & mask_;
  while (slots_[j].num != 0) {
    j = (j + 1) & mask_;
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

bool IdMap::rehash() noexcept {
  std::size_t cap = slots_ == nullptr ? 64 : (mask_ + 1) * 2;
  Slot* fresh = new_slots<Slot>(cap);
  if (fresh == nullptr) {
    return false;
  }
  if (slots_ != nullptr) {
    for (std::size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].obj == nullptr) {
        continue;
      }
      std::size_t j = spread(reinterpret_cast<std::uintptr_t>(slots_[i].obj)) & (cap - 1);
      while (fresh[j].obj != nullptr) {
        j = (j + 1) & (cap - 1);
      }
      fresh[j] = slots_[i];
    }
    PyMem_Free(slots_);
  }
  slots_ = fresh;
  mask_ = cap - 1;
  return true;
}

Seen* IdMap::find(PyObject* obj, bool add) noexcept {
  if (slots_ == nullptr) {
    if (!add) {
      return nullptr;
    }
    if (!rehash()) {
      return nullptr;
    }
  }
  if (add && (size_ + 1) * 2 > mask_ + 1 && !rehash()) {
    return nullptr;
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
