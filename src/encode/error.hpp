// The encoder's error record: what went wrong and where in the object.
#pragma once

#include <Python.h>

#include <cstddef>

#include "err/error.hpp"
#include "pyo/owned.hpp"
#include "pyo/vec.hpp"

namespace vesk::enc {

// What a failed step reports. A null record means that a CPython call failed,
// or that `default` raised, and its exception is pending: it passes through
// unchanged. Otherwise the record names the exception class, the message and
// the path from the top-level object down to the offending value, innermost
// segment first (segments are added while the error travels up).
class EncodeError {
 public:
  EncodeError(EncodeError&& other) noexcept : rec_(other.rec_) { other.rec_ = nullptr; }
  EncodeError(const EncodeError&) = delete;
  EncodeError& operator=(const EncodeError&) = delete;
  EncodeError& operator=(EncodeError&&) = delete;
  ~EncodeError();

  static EncodeError py_fail() noexcept { return EncodeError(nullptr); }
  // Takes over `message` (a new reference to a str, or null when making it failed).
  static EncodeError make(PyObject* type, PyObject* message) noexcept;

  // The value at list index (or cell) i of its container holds the error.
  EncodeError at_index(Py_ssize_t i) && noexcept;
  // The value under `key` holds the error.
  EncodeError at_key(PyObject* key) && noexcept;

  // The cell of a column at which the error arose, for the columnar form that
  // owns the rows to turn into a row index: taken once, -1 when not set. A
  // cell already set stands (the innermost column's index is the row's).
  [[nodiscard]] Py_ssize_t take_cell() noexcept;
  void set_cell(Py_ssize_t i) noexcept;

  // Sets the Python exception the record stands for; returns null.
  PyObject* raise() && noexcept;

 private:
  struct Rec;
  explicit EncodeError(Rec* rec) noexcept : rec_(rec) {}
  EncodeError with_segment(PyObject* segment) && noexcept;
  Rec* rec_;
};

using Status = Result<Unit, EncodeError>;
template <class T>
using Res = Result<T, EncodeError>;

inline Status done() noexcept { return Unit{}; }

VESK_COLD inline EncodeError py_fail() noexcept { return EncodeError::py_fail(); }

// Errors with a message of their own; the path is added on the way up.
EncodeError unsupported_type(PyObject* obj) noexcept;
EncodeError bad_key(PyObject* key) noexcept;
EncodeError int_overflow() noexcept;
EncodeError not_finite() noexcept;
EncodeError too_deep() noexcept;
EncodeError no_utf8() noexcept;
EncodeError changed_size(const char* what) noexcept;

}  // namespace vesk::enc
