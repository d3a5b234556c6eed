// The encoder's open-addressing hash maps.
#include "encode/maps.hpp"

#include <utility>

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

// The slot table that the last large document's pool left behind, cleared:
// a series of large documents then pays neither for growing the table step by
// step (each step moves every slot) nor for zeroing the smaller ones. Only
// tables of 32 KiB to 1 MiB are kept. The interpreter lock guards it; without
// one, no table is kept.
constexpr std::size_t spare_min = std::size_t{1} << 12, spare_max = std::size_t{1} << 17;
#ifndef Py_GIL_DISABLED
void* spare_slots = nullptr;
std::size_t spare_cap = 0;
#endif

}  // namespace

TextMap::~TextMap() {
  leave_spare();
  for (std::size_t i = 0; holds_ && i < texts_.size(); ++i) {
    Py_DECREF(texts_[i]);
  }
  PyMem_Free(slots_);
}

bool TextMap::take_spare() noexcept {
#ifndef Py_GIL_DISABLED
  if (!reuses_ || slots_ != nullptr || spare_slots == nullptr) {
    return false;
  }
  std::size_t cap = spare_cap;
  if (!texts_.reserve(cap / 2)) {
    PyErr_Clear();  // the table is made the usual way instead
    return false;
  }
  slots_ = static_cast<Slot*>(std::exchange(spare_slots, nullptr));
  spare_cap = 0;
  mask_ = cap - 1;
  return true;
#else
  return false;
#endif
}

void TextMap::leave_spare() noexcept {
#ifndef Py_GIL_DISABLED
  std::size_t cap = slots_ == nullptr ? 0 : mask_ + 1;
  if (!reuses_ || cap < spare_min || cap > spare_max || cap <= spare_cap) {
    return;
  }
  // A table holding few texts is cleared text by text, found by their hashes
  // (cached in each str since it was added), so that a small document that
  // took a large table pays for its own texts only.
  if (texts_.size() * 16 >= cap) {
    std::memset(static_cast<void*>(slots_), 0, cap * sizeof(Slot));
  } else {
    for (std::size_t i = 0; i < texts_.size(); ++i) {
      auto h = static_cast<std::uint32_t>(text_hash(texts_[i]));
      // Slots cleared before may lie on the way: the text's own slot is
      // recognised by its number.
      std::size_t j = spread(h) & mask_;
      while (slots_[j].num != i + 1) {
        j = (j + 1) & mask_;
      }
      slots_[j] = Slot{0, 0};
    }
  }
  PyMem_Free(spare_slots);
  spare_slots = slots_;
  spare_cap = cap;
  slots_ = nullptr;
#endif
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
  take_spare();
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
  if (take_spare()) {
    for (j = spread(h) & mask_; !slots_[j].empty(); j = (j + 1) & mask_) {
    }
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
