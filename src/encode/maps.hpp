// Hash maps of the encoder: texts by their content (the string pool mirror,
// string dictionaries, key unions) and containers by identity (anchors).
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "err/error.hpp"
#include "pyo/vec.hpp"

namespace vesk::enc {

// Whether n bytes at p and q are equal. Most texts are short, and a call to
// memcmp costs more than their comparison: up to 16 bytes are compared as two
// overlapping words, which read only the n bytes themselves.
VESK_INLINE bool same_bytes(const char* p, const char* q, std::size_t n) noexcept {
  if (n > 16) {
    return std::memcmp(p, q, n) == 0;
  }
  if (n >= 8) {
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, p, 8);
    std::memcpy(&b0, q, 8);
    std::memcpy(&a1, p + n - 8, 8);
    std::memcpy(&b1, q + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4) {
    std::uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, p, 4);
    std::memcpy(&b0, q, 4);
    std::memcpy(&a1, p + n - 4, 4);
    std::memcpy(&b1, q + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

// Equal str objects: the same object, or the same kind, length and code units.
VESK_INLINE bool same_text(PyObject* a, PyObject* b) noexcept {
  if (a == b) {
    return true;
  }
  Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) {
    return false;
  }
  return same_bytes(static_cast<const char*>(PyUnicode_DATA(a)),
                    static_cast<const char*>(PyUnicode_DATA(b)),
                    static_cast<std::size_t>(n) * PyUnicode_KIND(a));
}

// The hash of an exact str, or -1 with the exception set. It is cached in the
// object after its first use, where it is read without a call; the type's own
// slot computes it otherwise.
VESK_INLINE Py_hash_t text_hash(PyObject* s) noexcept {
#ifndef VESK_PUBLIC_API_ONLY
  Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(s)->hash;
  if (VESK_LIKELY(cached != -1)) {
    return cached;
  }
#endif
  return PyUnicode_Type.tp_hash(s);
}

// A slot position from a hash or an address: a multiply spreads their bits.
VESK_INLINE std::size_t spread(std::uint64_t h) noexcept {
  return static_cast<std::size_t>(h * 0x9E3779B97F4A7C15ull >> 17);
}

// Exact str objects mapped to small numbers by content. A holding map keeps a
// reference to every str it knows, for when user code may run and drop texts
// that `default` made; otherwise the object being encoded keeps them alive.
class TextMap {
 public:
  // A map that `reuses` starts from the slot table that an earlier document's
  // pool left behind, if any, and leaves its own behind, cleared.
  explicit TextMap(bool holds = false, bool reuses = false) noexcept
      : holds_(holds), reuses_(reuses) {}
  TextMap(const TextMap&) = delete;
  TextMap& operator=(const TextMap&) = delete;
  ~TextMap();

  static constexpr std::uint32_t absent = 0xFFFFFFFF;

  // The number of `s`, or `absent`; with `add`, an absent text is added under
  // the number size() had. Returns false with an exception set on failure.
  [[nodiscard]] VESK_INLINE bool find(PyObject* s, bool add, std::uint32_t& out) noexcept {
    Py_hash_t full = text_hash(s);
    if (VESK_UNLIKELY(full == -1)) {
      return false;
    }
    return find_hashed(s, static_cast<std::uint32_t>(full), add, out);
  }
  // The same, for a str whose hash (its low 32 bits) is known. An absent text
  // is added at the empty slot that ended the search.
  [[nodiscard]] VESK_INLINE bool find_hashed(PyObject* s, std::uint32_t h, bool add,
                                             std::uint32_t& out) noexcept {
    std::size_t j = 0;
    if (VESK_LIKELY(slots_ != nullptr)) {
      for (j = spread(h) & mask_; slots_[j].num > base_; j = (j + 1) & mask_) {
        // The same object first: keys of one document are mostly shared.
        if (slots_[j].hash == h && same_text(texts_[slots_[j].num - base_ - 1], s)) {
          out = slots_[j].num - base_ - 1;
          return true;
        }
      }
    }
    out = absent;
    if (!add) {
      return true;
    }
    // Where the table has room, the text is added here: the list of texts
    // grows with the table, so the push cannot fail.
    if (VESK_LIKELY(slots_ != nullptr && (texts_.size() + 1) * 2 <= mask_ + 1 &&
                    texts_.size() < limit_)) {
      (void)texts_.push(static_cast<PyObject*>(s));
      if (holds_) {
        Py_INCREF(s);
      }
      slots_[j] = Slot{h, base_ + static_cast<std::uint32_t>(texts_.size())};
      return true;
    }
    return insert(s, h, j);
  }
  // Asks the processor to fetch where a text of that hash would be looked up.
  void prefetch(std::uint32_t h) const noexcept {
    if (slots_ != nullptr) {
      __builtin_prefetch(&slots_[spread(h) & mask_]);
    }
  }
  [[nodiscard]] std::uint32_t size() const noexcept {
    return static_cast<std::uint32_t>(texts_.size());
  }
  // The str object that the map knows under number i.
  [[nodiscard]] PyObject* text(std::uint32_t i) const noexcept { return texts_[i]; }
  // Makes room for `more` texts beyond size() in one step, so that adding
  // them moves no slot; false with MemoryError set.
  [[nodiscard]] bool reserve(std::size_t more) noexcept;
  // Whether `more` texts beyond size() can be added without growing, once
  // the table left behind by an earlier document is taken.
  [[nodiscard]] bool has_room(std::size_t more) noexcept {
    take_spare();
    return slots_ != nullptr && (texts_.size() + more) * 2 <= mask_ + 1;
  }

 private:
  // Eight bytes, so that a large table stays in the caches longer; a hash
  // that matches is confirmed against the text by its number.
  struct Slot {
    std::uint32_t hash;  // the low bits of the str's hash
    std::uint32_t num;   // base_ + the text's number + 1; base_ or less: empty
  };
  // A table left behind by earlier documents is taken as it is: their slots
  // hold numbers up to base_, which count as empty, and this document's
  // numbers start above it. Past base_max the table is cleared and the base
  // starts again at 0, so that the numbers never run out.
  static constexpr std::uint32_t base_max = std::uint32_t{1} << 31;
  // Adds an absent text at the empty slot j, growing the table first when it
  // is half full; the first table is made here too.
  bool insert(PyObject* s, std::uint32_t h, std::size_t j) noexcept;
  // Moves the slots into a table of `cap` slots, the list of texts grown to match.
  bool resize(std::size_t cap) noexcept;
  // Takes the table left behind for the first table, when there is one.
  bool take_spare() noexcept;
  // Leaves the table behind for the next document.
  void leave_spare() noexcept;

  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::uint32_t base_ = 0;
  std::uint32_t limit_ = absent - 1;  // of the texts, so that no number reaches absent
  Vec<PyObject*> texts_;  // by number
  bool holds_;
  bool reuses_;
};

// The pool numbers of recently written texts by the address of their object:
// a key object that comes back (the keys of one document are mostly shared
// objects) is found without reading the pool's table or the text itself.
// Sound because every text it knows lives until the document is written: the
// object being encoded holds it, or, while user code may run and drop what it
// holds, the pool does (and only the pool's own objects are kept then).
class RecentTexts {
 public:
  struct Entry {
    PyObject* text;
    std::uint32_t num;
  };
  RecentTexts() noexcept = default;

  // Where the number of s is kept, or null while the table is off: it is
  // cleared and turned on once the pool is large enough for it to pay.
  [[nodiscard]] VESK_INLINE Entry* at(PyObject* s) noexcept {
    if (!on_) {
      return nullptr;
    }
    auto a = reinterpret_cast<std::uintptr_t>(s);
    return &entries_[(a >> 4 ^ a >> 12) & (size - 1)];
  }
  void turn_on() noexcept {
    std::memset(entries_, 0, sizeof entries_);
    on_ = true;
  }
  [[nodiscard]] bool on() const noexcept { return on_; }

 private:
  static constexpr std::size_t size = 1024;
  Entry entries_[size];
  bool on_ = false;
};

// What the anchor pass learns about one container met in the object.
struct Seen {
  std::uint32_t count = 0;      // times met
  std::int32_t anchor = -1;     // its anchor number once written as an anchor
  std::uint32_t height = 0;     // levels of containers below it
  bool open = false;            // being walked or written right now
  std::int64_t cost = 0;        // cells a copy of its decoded form creates
};

// Containers by identity; holds a reference to each.
class IdMap {
 public:
  IdMap() noexcept = default;
  IdMap(const IdMap&) = delete;
  IdMap& operator=(const IdMap&) = delete;
  ~IdMap();

  // The record of `obj`, or null; with `add`, a new record is made for an
  // unknown object (null then means MemoryError).
  [[nodiscard]] Seen* find(PyObject* obj, bool add) noexcept;

 private:
  struct Slot {
    PyObject* obj;
    Seen seen;
    [[nodiscard]] bool empty() const noexcept { return obj == nullptr; }
    [[nodiscard]] std::uint64_t spot() const noexcept {
      return reinterpret_cast<std::uintptr_t>(obj);
    }
  };

  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace vesk::enc
