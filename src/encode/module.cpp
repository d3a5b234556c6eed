// The encoder module of the vesk package: the dumps entry.
#include <Python.h>

#include <cstring>

#include "encode/dict_walk.hpp"
#include "encode/encoder.hpp"

namespace vesk::enc {
namespace {

struct Options {
  bool columnar = true;
  bool anchors = false;
  PyObject* default_fn = nullptr;
};

// Binds dumps(obj, /, *, columnar=True, anchors=False, default=None).
bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Options& opt) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "dumps() takes exactly 1 positional argument (%zd given)",
                 nargs);
    return false;
  }
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    PyObject* arg = args[nargs + i];
    if (PyUnicode_CompareWithASCIIString(name, "default") == 0) {
      opt.default_fn = arg == Py_None ? nullptr : arg;
      if (opt.default_fn != nullptr && !PyCallable_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "default must be callable or None");
        return false;
      }
      continue;
    }
    bool* flag = PyUnicode_CompareWithASCIIString(name, "columnar") == 0  ? &opt.columnar
                 : PyUnicode_CompareWithASCIIString(name, "anchors") == 0 ? &opt.anchors
                                                                           : nullptr;
    if (flag == nullptr) {
      PyErr_Format(PyExc_TypeError, "dumps() got an unexpected keyword argument '%U'", name);
      return false;
    }
    int truth = PyObject_IsTrue(arg);
    if (truth < 0) {
      return false;
    }
    *flag = truth != 0;
  }
  return true;
}

// The document, or the error record of the first step that failed.
Res<PyObject*> encode(PyObject* obj, const Options& opt) {
  Encoder e(opt.default_fn != nullptr);
  e.columnar = opt.columnar;
  e.anchors = opt.anchors;
  e.default_fn = opt.default_fn;
  if (!e.out.start(256)) {
    return py_fail();
  }
  e.out.byte(0x0F);
  e.out.byte(0x01);
  if (e.anchors) {
    VESK_TRY(count_containers(e, obj));
  }
  VESK_TRY(value(e, obj, 0));
  PyObject* doc = e.out.finish();
  if (doc == nullptr) {
    return py_fail();
  }
  return doc;
}

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Options opt;
  if (!bind(args, nargs, kwnames, opt)) {
    return nullptr;
  }
  Res<PyObject*> r = encode(args[0], opt);
  if (!r.ok()) {
    return r.error().raise();  // the one place an encoder error is raised
  }
  return r.take();
}

PyMethodDef methods[] = {
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dumps)),
     METH_FASTCALL | METH_KEYWORDS,
     "dumps(obj, /, *, columnar=True, anchors=False, default=None)\n--\n\n"
     "Encodes obj (None, bool, int, float, str, list, tuple, dict with str keys)\n"
     "as a VESK binary document.\n\n"
     "columnar: write lists of records as tables and sparse tables and lists of\n"
     "scalars as list columns where that is smaller.\n"
     "anchors: write a list or dict that appears again (the same object) once,\n"
     "and then as references to it.\n"
     "default: called with any other object; its result is written instead."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) { return check_dict_layout() ? 0 : -1; }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vesk._encoder", "The encoder of the vesk package.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vesk::enc

PyMODINIT_FUNC PyInit__encoder(void) { return PyModuleDef_Init(&vesk::enc::module_def); }
