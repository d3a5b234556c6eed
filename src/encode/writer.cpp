// Growing and finishing the output buffer.
#include "encode/writer.hpp"

#include <utility>

namespace vesk::enc {

namespace {

// The capacity to grow to for n more bytes, or 0 (MemoryError set) when it
// would pass the largest bytes object.
std::size_t grown_cap(std::size_t cap, std::size_t pos, std::size_t n) noexcept {
  // Fourfold while small, which spares most of the copies a growing buffer
  // makes when the allocator cannot extend it in place; doubling from 4 MiB,
  // so that a large document does not ask for four times its size.
  std::size_t want = cap < (std::size_t{4} << 20) ? cap * 4 : cap * 2;
  if (want - pos < n) {
    want = pos + n;
  }
  if (want > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 64) {
    PyErr_NoMemory();
    return 0;
  }
  return want;
}

}  // namespace

#ifndef VESK_PUBLIC_API_ONLY

Out::~Out() { Py_XDECREF(obj_); }

bool Out::start(std::size_t cap) noexcept {
  obj_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(cap));
  if (obj_ == nullptr) {
    return false;
  }
  base_ = PyBytes_AS_STRING(obj_);
  cap_ = cap;
  return true;
}

bool Out::grow(std::size_t n) noexcept {
  std::size_t want = grown_cap(cap_, pos_, n);
  if (want == 0) {
    return false;
  }
  // On failure the resize releases the old object and sets MemoryError.
  if (_PyBytes_Resize(&obj_, static_cast<Py_ssize_t>(want)) != 0) {
    base_ = nullptr;
    cap_ = pos_ = 0;
    return false;
  }
  base_ = PyBytes_AS_STRING(obj_);
  cap_ = want;
  return true;
}

PyObject* Out::finish() noexcept {
  if (_PyBytes_Resize(&obj_, static_cast<Py_ssize_t>(pos_)) != 0) {
    return nullptr;
  }
  return std::exchange(obj_, nullptr);
}

#else

Out::~Out() { PyMem_Free(base_); }

bool Out::start(std::size_t cap) noexcept {
  base_ = static_cast<char*>(PyMem_Malloc(cap));
  if (base_ == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  cap_ = cap;
  return true;
}

bool Out::grow(std::size_t n) noexcept {
  std::size_t want = grown_cap(cap_, pos_, n);
  if (want == 0) {
    return false;
  }
  auto* grown = static_cast<char*>(PyMem_Realloc(base_, want));
  if (grown == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  base_ = grown;
  cap_ = want;
  return true;
}

PyObject* Out::finish() noexcept {
  return PyBytes_FromStringAndSize(base_, static_cast<Py_ssize_t>(pos_));
}

#endif

}  // namespace vesk::enc
