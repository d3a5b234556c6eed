// The output buffer, grown fourfold, then by doubling. By default it is the
// bytes object that will be returned, resized in place through the interpreter's private
// _PyBytes_Resize: growing lets the C allocator extend or remap a large block
// without copying, and the document needs no final copy (about 8% of the time
// on the nested corpora of bench/bench_encode.py, against the public
// fallback). With VESK_PUBLIC_API_ONLY it is memory of the Python allocator,
// copied into a new bytes object at the end.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "err/error.hpp"

namespace vesk::enc {

class Out {
 public:
  Out() noexcept = default;
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;
  ~Out();

  // False with MemoryError set when the first buffer cannot be had.
  [[nodiscard]] bool start(std::size_t cap) noexcept;
  // The finished document (a new reference), or null with the exception set.
  [[nodiscard]] PyObject* finish() noexcept;

  // Makes room for n more bytes; false with MemoryError set on failure.
  [[nodiscard]] VESK_INLINE bool room(std::size_t n) noexcept {
    return VESK_LIKELY(cap_ - pos_ >= n) || grow(n);
  }
  // The writes below need room made for them first. Each reads the buffer's
  // position once: a store through a char pointer may alias it, so a write
  // that went through the members would reload them after every byte.
  VESK_INLINE void byte(std::uint8_t b) noexcept {
    base_[pos_] = static_cast<char>(b);
    ++pos_;
  }
  VESK_INLINE void varint(std::uint64_t v) noexcept { pos_ = put_varint(base_ + pos_, v) - base_; }
  // A tag byte and the varint that follows it.
  VESK_INLINE void varint_after(std::uint8_t b, std::uint64_t v) noexcept {
    char* d = base_ + pos_;
    *d = static_cast<char>(b);
    pos_ = put_varint(d + 1, v) - base_;
  }
  VESK_INLINE void raw(const void* p, std::size_t n) noexcept {
    std::memcpy(base_ + pos_, p, n);
    pos_ += n;
  }
  // For loops that write many values into room made for all of them at once:
  // where the next byte goes, and the end of what was written through it.
  [[nodiscard]] char* cursor() noexcept { return base_ + pos_; }
  void advance_to(char* end) noexcept { pos_ = static_cast<std::size_t>(end - base_); }
  static VESK_INLINE char* put_varint(char* d, std::uint64_t v) noexcept {
    while (v >= 0x80) {
      *d++ = static_cast<char>(v | 0x80);
      v >>= 7;
    }
    *d++ = static_cast<char>(v);
    return d;
  }
  [[nodiscard]] std::uint8_t* at(std::size_t pos) noexcept {
    return reinterpret_cast<std::uint8_t*>(base_) + pos;
  }
  // Reserves n bytes to be filled later through at(); returns their position.
  VESK_INLINE std::size_t skip(std::size_t n) noexcept {
    std::size_t p = pos_;
    std::memset(base_ + pos_, 0, n);
    pos_ += n;
    return p;
  }

  [[nodiscard]] std::size_t pos() const noexcept { return pos_; }

 private:
  bool grow(std::size_t n) noexcept;

#ifndef VESK_PUBLIC_API_ONLY
  PyObject* obj_ = nullptr;
#endif
  char* base_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t cap_ = 0;
};

// Bytes of the unsigned varint of v.
VESK_INLINE std::size_t varint_len(std::uint64_t v) noexcept {
  return static_cast<std::size_t>((70 - __builtin_clzll(v | 1)) / 7);
}

VESK_INLINE std::uint64_t zigzag(std::int64_t v) noexcept {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

}  // namespace vesk::enc
