// Growing and finishing the output buffer.
#include "encode/writer.hpp"

namespace vesk::enc {

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
  std::size_t want = cap_ * 2;
  if (want - pos_ < n) {
    want = pos_ + n;
  }
  if (want > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 64) {
    PyErr_NoMemory();
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

}  // namespace vesk::enc
