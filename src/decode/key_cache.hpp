// The short keys that one vesk.Decoder has met, kept across its decodes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "err/error.hpp"

namespace vesk {

// Documents that a service decodes one after another mostly repeat their
// keys. A key met again is handed out as the str object made the first time,
// which spares the new object, its hash and its release: most of the cost of
// a small document. Each slot keeps one ASCII str; texts that meet in a slot
// replace each other, so crafted keys can only cost misses.
class KeyCache {
 public:
  static constexpr std::uint64_t shortest = 2;  // shorter texts never enter the pool
  static constexpr std::uint64_t longest = 16;

  struct Slot {
    PyObject* text;    // an exact ASCII str, or null
    std::uint64_t doc; // the document that last handed it out
  };

  // Zeroed memory is an empty cache, as the owning object is allocated.
  void release() noexcept {
    for (Slot& s : slots_) {
      Py_CLEAR(s.text);
    }
  }

  // Starts a document: each cached str is handed out at most once per
  // document, so that every text spelled out in a document stays an object of
  // its own, as without the cache.
  void begin_document() noexcept { ++doc_; }
  [[nodiscard]] std::uint64_t doc() const noexcept { return doc_; }

  // The n bytes at p (shortest <= n <= longest) as two words that overlap
  // where n is below 16: together they hold every byte, and read none beyond.
  struct Words {
    std::uint64_t a;
    std::uint64_t b;
  };
  [[nodiscard]] static VESK_INLINE Words words(const std::uint8_t* p, std::uint64_t n) noexcept {
    if (n >= 8) {
      Words w;
      std::memcpy(&w.a, p, 8);
      std::memcpy(&w.b, p + n - 8, 8);
      return w;
    }
    if (n >= 4) {
      std::uint32_t x, y;
      std::memcpy(&x, p, 4);
      std::memcpy(&y, p + n - 4, 4);
      return {x, y};
    }
    return {p[0] | static_cast<std::uint64_t>(p[1]) << 8, p[n - 1]};
  }

  // The slot of the n bytes that spell w.
  [[nodiscard]] VESK_INLINE Slot& slot(Words w, std::uint64_t n) noexcept {
    const std::uint64_t h = ((w.a * 0x9E3779B97F4A7C15ULL) ^ (w.b + n)) * 0xC2B2AE3D27D4EB4FULL;
    return slots_[h >> (64 - slot_bits)];
  }

  // Whether the ASCII str s spells the n bytes whose words are w.
  [[nodiscard]] static VESK_INLINE bool spells(PyObject* s, Words w, std::uint64_t n) noexcept {
    if (static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(s)) != n) {
      return false;
    }
    const Words t = words(static_cast<const std::uint8_t*>(PyUnicode_DATA(s)), n);
    return ((w.a ^ t.a) | (w.b ^ t.b)) == 0;
  }

 private:
  static constexpr unsigned slot_bits = 9;

  Slot slots_[std::size_t{1} << slot_bits];
  std::uint64_t doc_;
};

}  // namespace vesk
