// The exception classes and the one place that turns a DecodeError into a
// raised Python exception.
#pragma once

#include <Python.h>

#include "err/error.hpp"

namespace vesk {

// Borrowed reference to the process-wide VeskError class, created on first
// use; null with an exception set when it cannot be created.
PyObject* vesk_error_type();

// Raises the exception a DecodeError stands for. Always returns null.
PyObject* raise_decode_error(DecodeError error);

// Raises the internal-fault exception (a BaseException subclass) with the
// given message. Always returns null.
PyObject* raise_internal_fault(const char* message);

}  // namespace vesk
