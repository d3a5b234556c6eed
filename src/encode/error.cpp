// Building and raising the encoder's error records.
#include "encode/error.hpp"

namespace vesk::enc {

struct EncodeError::Rec {
  PyObject* type;
  Owned message;
  Vec<Owned> path;
  Py_ssize_t cell = -1;
};

EncodeError::~EncodeError() {
  if (rec_ != nullptr) {
    rec_->~Rec();
    PyMem_Free(rec_);
  }
}

EncodeError EncodeError::make(PyObject* type, PyObject* message) noexcept {
  Owned text = Owned::steal(message);
  if (!text) {
    return py_fail();
  }
  void* mem = PyMem_Malloc(sizeof(Rec));
  if (mem == nullptr) {
    PyErr_NoMemory();
    return py_fail();
  }
  Rec* rec = ::new (mem) Rec{type, std::move(text), Vec<Owned>{}};
  return EncodeError(rec);
}

EncodeError EncodeError::with_segment(PyObject* segment) && noexcept {
  if (rec_ == nullptr) {
    Py_XDECREF(segment);
    return std::move(*this);
  }
  // Without room for the path the error becomes the MemoryError.
  if (segment == nullptr || !rec_->path.push(Owned::steal(segment))) {
    Py_XDECREF(segment);
    EncodeError gone(std::move(*this));
    (void)gone;
    return py_fail();
  }
  return std::move(*this);
}

EncodeError EncodeError::at_index(Py_ssize_t i) && noexcept {
  if (rec_ == nullptr) {
    return std::move(*this);
  }
  return std::move(*this).with_segment(PyLong_FromSsize_t(i));
}

EncodeError EncodeError::at_key(PyObject* key) && noexcept {
  if (rec_ == nullptr) {
    return std::move(*this);
  }
  Py_INCREF(key);
  return std::move(*this).with_segment(key);
}

Py_ssize_t EncodeError::take_cell() noexcept {
  return rec_ == nullptr ? -1 : std::exchange(rec_->cell, -1);
}

void EncodeError::set_cell(Py_ssize_t i) noexcept {
  if (rec_ != nullptr && rec_->cell < 0) {
    rec_->cell = i;
  }
}

namespace {

// `text` with every `from` replaced by `to`; null with the exception set.
PyObject* replaced(PyObject* text, const char* from, const char* to) {
  Owned f = Owned::steal(PyUnicode_FromString(from));
  Owned t = Owned::steal(PyUnicode_FromString(to));
  if (!f || !t) {
    return nullptr;
  }
  return PyUnicode_Replace(text, f.get(), t.get(), -1);
}

// `["text"]` with backslashes and double quotes escaped.
PyObject* key_segment(PyObject* key) {
  Owned a = Owned::steal(replaced(key, "\\", "\\\\"));
  Owned b = a ? Owned::steal(replaced(a.get(), "\"", "\\\"")) : Owned();
  if (!b) {
    return nullptr;
  }
  return PyUnicode_FromFormat("[\"%U\"]", b.get());
}

}  // namespace

PyObject* EncodeError::raise() && noexcept {
  EncodeError self(std::move(*this));
  Rec* rec = self.rec_;
  if (rec == nullptr) {
    return nullptr;
  }
  Owned path = Owned::steal(PyUnicode_FromString("$"));
  for (std::size_t i = rec->path.size(); path && i-- > 0;) {
    PyObject* seg = rec->path[i].get();
    Owned piece = Owned::steal(PyLong_CheckExact(seg) ? PyUnicode_FromFormat("[%S]", seg)
                                                      : key_segment(seg));
    if (!piece) {
      return nullptr;
    }
    path = Owned::steal(PyUnicode_Concat(path.get(), piece.get()));
  }
  if (!path) {
    return nullptr;
  }
  // Formatted here, not by PyErr_Format: on some versions that one raises the
  // bare type when the text cannot be allocated, losing the MemoryError.
  Owned text = Owned::steal(PyUnicode_FromFormat("%U at %U", rec->message.get(), path.get()));
  if (text) {
    PyErr_SetObject(rec->type, text.get());
  }
  return nullptr;
}

EncodeError unsupported_type(PyObject* obj) noexcept {
  return EncodeError::make(PyExc_TypeError,
                           PyUnicode_FromFormat("unsupported type %s", Py_TYPE(obj)->tp_name));
}

EncodeError bad_key(PyObject* key) noexcept {
  return EncodeError::make(PyExc_TypeError, PyUnicode_FromFormat("dict key must be str, not %s",
                                                                 Py_TYPE(key)->tp_name));
}

EncodeError int_overflow() noexcept {
  return EncodeError::make(PyExc_OverflowError,
                           PyUnicode_FromString("int does not fit in 64 signed bits"));
}

EncodeError not_finite() noexcept {
  return EncodeError::make(PyExc_ValueError, PyUnicode_FromString("float is not finite"));
}

EncodeError too_deep() noexcept {
  return EncodeError::make(PyExc_ValueError,
                           PyUnicode_FromString("nesting deeper than 512 levels (or a cycle)"));
}

EncodeError no_utf8() noexcept {
  return EncodeError::make(PyExc_ValueError,
                           PyUnicode_FromString("str has no UTF-8 form (lone surrogate)"));
}

EncodeError changed_size(const char* what) noexcept {
  return EncodeError::make(PyExc_RuntimeError,
                           PyUnicode_FromFormat("%s changed size during encoding", what));
}

}  // namespace vesk::enc
