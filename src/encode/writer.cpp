// Growing and finishing the output buffer.
#include "encode/writer.hpp"

#include <utility>

namespace vesk::enc {

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
  std::size_t want = cap_ * 2;
  if (want - pos_ < n) {
    want = pos_ + n;
  }
  if (want > static_cast<std::size_t>(PY_SSIZE_T_MAX) - 64) {
    PyErr_NoMemory();
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

}  // namespace vesk::enc
