// The owned-reference handle: one strong reference, one holder, released once.
#pragma once

#include <Python.h>

#include <utility>

namespace vesk {

class Owned {
 public:
  Owned() noexcept = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      PyObject* old = ptr_;
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Owned() { Py_XDECREF(ptr_); }

  // Takes over a new reference (as returned by a CPython constructor); may be null.
  [[nodiscard]] static Owned steal(PyObject* p) noexcept { return Owned(p); }
  // Adds a reference of its own to a borrowed object.
  [[nodiscard]] static Owned borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Owned(p);
  }

  [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to a stealing API such as PyList_SetItem.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  void reset() noexcept { Py_CLEAR(ptr_); }

 private:
  explicit Owned(PyObject* p) noexcept : ptr_(p) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace vesk
