// A growable array whose storage comes from the Python allocator, so that
// tracemalloc sees it and an allocation failure becomes MemoryError instead of
// a C++ exception.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "pyo/owned.hpp"

namespace vesk {

// Types whose objects may be moved by copying their bytes: plain values, and
// handles that own what they point to but never point into themselves.
template <class T>
struct Relocatable : std::is_trivially_copyable<T> {};
template <>
struct Relocatable<Owned> : std::true_type {};

template <class T>
class Vec {
  static_assert(Relocatable<T>::value, "Vec grows its storage by reallocating it");


 public:
  Vec() noexcept = default;
  // Starts in `room`, storage for `cap` elements that outlives the Vec, and moves
  // to the heap only when that is full: short lists cost no allocation. Such a
  // Vec is never moved.
  Vec(void* room, std::size_t cap) noexcept
      : data_(static_cast<T*>(room)), cap_(cap), room_(static_cast<T*>(room)) {}
  Vec(const Vec&) = delete;
  Vec& operator=(const Vec&) = delete;
  Vec(Vec&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        cap_(std::exchange(other.cap_, 0)) {}
  Vec& operator=(Vec&&) = delete;
  ~Vec() {
    clear();
    if (data_ != room_) {
      PyMem_Free(data_);
    }
  }

  // Returns false with MemoryError set when the storage cannot be had. Out of
  // line, so that the loops that push keep small frames.
  [[nodiscard]] __attribute__((noinline)) bool reserve(std::size_t cap) noexcept {
    if (cap <= cap_) {
      return true;
    }
    if (cap > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
      PyErr_NoMemory();
      return false;
    }
    T* fresh;
    if (data_ == room_ && room_ != nullptr) {
      fresh = static_cast<T*>(PyMem_Malloc(cap * sizeof(T)));
      if (fresh != nullptr) {
        std::memcpy(static_cast<void*>(fresh), static_cast<const void*>(data_), size_ * sizeof(T));
      }
    } else {
      // Growing in place lets the C allocator remap large buffers without copying.
      fresh = static_cast<T*>(PyMem_Realloc(data_, cap * sizeof(T)));
    }
    if (fresh == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    data_ = fresh;
    cap_ = cap;
    return true;
  }

  // Appends, growing the full storage by a quarter (doubling while it is small,
  // so that short lists move rarely; by a quarter, large ones leave little
  // unused room, which counts in the peak memory of a decode);
  // false with MemoryError set on failure (the value is then dropped by the
  // caller's handle).
  [[nodiscard]] bool push(T&& value) noexcept {
    if (size_ == cap_ && !reserve(cap_ == 0 ? 8 : cap_ < 1024 ? cap_ * 2 : cap_ + cap_ / 4)) {
      return false;
    }
    ::new (&data_[size_]) T(std::move(value));
    ++size_;
    return true;
  }

  // Sets the size to n with the new elements left unwritten: plain values only.
  [[nodiscard]] bool resize(std::size_t n) noexcept {
    static_assert(std::is_trivially_copyable<T>::value, "new elements are left unwritten");
    if (!reserve(n)) {
      return false;
    }
    size_ = n;
    return true;
  }

  // Destroys the last element.
  void pop() noexcept {
    --size_;
    data_[size_].~T();
  }

  // Destroys the elements in index order.
  void clear() noexcept {
    for (std::size_t i = 0; i < size_; ++i) {
      data_[i].~T();
    }
    size_ = 0;
  }

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return cap_; }
  [[nodiscard]] T& operator[](std::size_t i) noexcept { return data_[i]; }
  [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  [[nodiscard]] T* data() noexcept { return data_; }
  [[nodiscard]] const T* data() const noexcept { return data_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  T* room_ = nullptr;  // the storage it started in, not its own
};

}  // namespace vesk
