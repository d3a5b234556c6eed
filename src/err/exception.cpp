#include "err/exception.hpp"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "pyo/owned.hpp"

namespace vesk {
namespace {

// A type created once per process and kept for its life. Creation gives up the
// interpreter lock while it waits for another creating thread, so that thread
// can take the lock and finish; a failed creation leaves the cell empty.
class TypeCell {
 public:
  template <class Create>
  PyObject* get(Create create) {
    PyObject* type = cell_.load(std::memory_order_acquire);
    if (type != nullptr) {
      return type;
    }
    PyThreadState* state = PyEval_SaveThread();
    mutex_.lock();
    PyEval_RestoreThread(state);
    type = cell_.load(std::memory_order_acquire);
    if (type == nullptr) {
      type = create();
      cell_.store(type, std::memory_order_release);
    }
    mutex_.unlock();
    return type;
  }

 private:
  std::atomic<PyObject*> cell_{nullptr};
  std::mutex mutex_;
};

TypeCell vesk_error_cell;
TypeCell internal_fault_cell;

PyObject* internal_fault_type() {
  return internal_fault_cell.get([] {
    return PyErr_NewExceptionWithDoc(
        "vesk_native.InternalFault",
        "A broken invariant inside vesk_native; not caused by the input alone.",
        PyExc_BaseException, nullptr);
  });
}

// Builds the raised VeskError instance; returns false with an exception set
// (for example MemoryError) when any object cannot be built.
bool raise_bad(PyObject* type, std::string_view message, std::uint64_t offset) {
  Owned text = Owned::steal(PyUnicode_DecodeUTF8(message.data(),
                                                 static_cast<Py_ssize_t>(message.size()),
                                                 "replace"));
  if (!text) {
    return false;
  }
  Owned full = Owned::steal(PyUnicode_FromFormat("vesk: offset %llu: %U",
                                                 static_cast<unsigned long long>(offset),
                                                 text.get()));
  if (!full) {
    return false;
  }
  Owned instance = Owned::steal(PyObject_CallOneArg(type, full.get()));
  if (!instance) {
    return false;
  }
  Owned offset_obj = Owned::steal(PyLong_FromUnsignedLongLong(offset));
  if (!offset_obj) {
    return false;
  }
  // An error without its attributes would break the handlers that read them,
  // so a failed assignment (memory running out) is raised instead.
  if (PyObject_SetAttrString(instance.get(), "message", text.get()) < 0 ||
      PyObject_SetAttrString(instance.get(), "offset", offset_obj.get()) < 0) {
    return false;
  }
  PyErr_SetObject(type, instance.get());
  return true;
}

}  // namespace

PyObject* vesk_error_type() {
  return vesk_error_cell.get([] {
    return PyErr_NewExceptionWithDoc("vesk_native.VeskError", "Invalid VESK input.",
                                     PyExc_ValueError, nullptr);
  });
}

PyObject* raise_internal_fault(const char* message) {
  // A fault while the first one is being raised leaves nothing sound to raise.
  static thread_local bool raising = false;
  if (raising) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
  raising = true;
  PyObject* type = internal_fault_type();
  if (type != nullptr) {
    PyErr_SetString(type, message);
  }
  raising = false;
  return nullptr;
}

PyObject* raise_decode_error(DecodeError error) {
  if (error.kind() == ErrKind::PyFail) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "vesk_native: error without exception");
    }
    return nullptr;
  }
  // Only PyFail may travel with a pending exception; anything else is a bug here.
  if (PyErr_Occurred()) {
    return raise_internal_fault("decode error with a pending exception");
  }
  PyObject* type = vesk_error_type();
  if (type != nullptr) {
    raise_bad(type, error.message(), error.offset());
  }
  return nullptr;
}

}  // namespace vesk
