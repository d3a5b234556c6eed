// The encoder module of the vesk package.
#include <Python.h>

namespace vesk {
namespace {

PyObject* dumps(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "the encoder is not built yet");
  return nullptr;
}

PyMethodDef methods[] = {
    {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dumps)),
     METH_FASTCALL | METH_KEYWORDS, "dumps(obj, /, *, columnar=True, anchors=False, default=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vesk._encoder", "", 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vesk

PyMODINIT_FUNC PyInit__encoder(void) { return PyModuleDef_Init(&vesk::module_def); }
