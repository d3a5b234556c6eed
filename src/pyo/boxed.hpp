// One object on the Python heap with a single owner: for records that a
// recursive step keeps across its nested calls, so that its frame holds one
// pointer instead of the record.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

namespace vesk {

template <class T>
class Boxed {
 public:
  // Empty, with MemoryError set, when the storage cannot be had.
  static Boxed make(T&& value) noexcept {
    void* mem = PyMem_Malloc(sizeof(T));
    if (mem == nullptr) {
      PyErr_NoMemory();
      return Boxed(nullptr);
    }
    return Boxed(::new (mem) T(std::move(value)));
  }

  Boxed(Boxed&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Boxed(const Boxed&) = delete;
  Boxed& operator=(const Boxed&) = delete;
  Boxed& operator=(Boxed&&) = delete;
  ~Boxed() {
    if (p_ != nullptr) {
      p_->~T();
      PyMem_Free(p_);
    }
  }

  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }

 private:
  explicit Boxed(T* p) noexcept : p_(p) {}
  T* p_;
};

}  // namespace vesk
