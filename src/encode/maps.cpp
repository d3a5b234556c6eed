// The encoder's open-addressing hash maps.
#include "encode/maps.hpp"

#include <utility>

namespace vesk::enc {

namespace {

// A table of `cap` slots (a power of two) holding the slots of `old` (of
// old_cap slots, which it frees) that `used(slot)` tells are occupied, at the
// positions their spot(slot) gives; or null with MemoryError set, `old` then
// staying as it was. A slot of zero bytes is empty.
template <class Slot, class Used, class Spot>
Slot* regrow(Slot* old, std::size_t old_cap, std::size_t cap, Used used, Spot spot) noexcept {
  auto* fresh = static_cast<Slot*>(PyMem_Calloc(cap, sizeof(Slot)));
  if (fresh == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  for (std::size_t i = 0; i < old_cap; ++i) {
    if (!used(old[i])) {
      continue;
    }
    std::size_t j = spread(spot(old[i])) & (cap - 1);
    while (used(fresh[j])) {
      j = (j + 1) & (cap - 1);
    }
    fresh[j] = old[i];
  }
  PyMem_Free(old);
  return fresh;
}

// The slot table that the last large document's pool left behind, with the
// base of its numbers: a series of large documents then pays neither for
// growing the table step by step (each step moves every slot) nor for zeroing
// one. Only tables of 32 KiB to 1 MiB are kept. The interpreter lock guards
// it; without one, no table is kept.
constexpr std::size_t spare_min = std::size_t{1} << 12, spare_max = std::size_t{1} << 17;
#ifndef Py_GIL_DISABLED
void* spare_slots = nullptr;
std::size_t spare_cap = 0;
std::uint32_t spare_base = 0;
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
  base_ = spare_base;
  if (base_ > base_max) {
    std::memset(static_cast<void*>(slots_), 0, cap * sizeof(Slot));
    base_ = 0;
  }
  limit_ = absent - 1 - base_;
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
  PyMem_Free(spare_slots);
  spare_slots = slots_;
  spare_cap = cap;
  // Below limit_ texts, so the sum stays below absent.
  spare_base = base_ + static_cast<std::uint32_t>(texts_.size());
  slots_ = nullptr;
#endif
}

bool TextMap::resize(std::size_t cap) noexcept {
  // The texts' list grows with the table, so that adding to it never moves it.
  if (!texts_.reserve(cap / 2)) {
    return false;
  }
  std::uint32_t base = base_;
  Slot* fresh = regrow(
      slots_, slots_ == nullptr ? 0 : mask_ + 1, cap,
      [base](const Slot& x) { return x.num > base; }, [](const Slot& x) { return x.hash; });
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
  if (texts_.size() >= limit_) {
    PyErr_NoMemory();
    return false;
  }
  if (take_spare()) {
    for (j = spread(h) & mask_; slots_[j].num > base_; j = (j + 1) & mask_) {
    }
  }
  std::size_t cap = slots_ == nullptr ? 0 : mask_ + 1;
  if ((texts_.size() + 1) * 2 > cap) {
    // Growing fourfold halves the slots that growing moves; a small first
    // table keeps small documents cheap.
    if (!resize(cap == 0 ? 64 : cap * 4)) {
      return false;
    }
    for (j = spread(h) & mask_; slots_[j].num > base_; j = (j + 1) & mask_) {
    }
  }
  if (!texts_.push(static_cast<PyObject*>(s))) {
    return false;
  }
  if (holds_) {
    Py_INCREF(s);
  }
  slots_[j] = Slot{h, base_ + static_cast<std::uint32_t>(texts_.size())};
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
    Slot* fresh = regrow(
        slots_, cap, want, [](const Slot& x) { return !x.empty(); },
        [](const Slot& x) { return x.spot(); });
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
