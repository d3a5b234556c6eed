// libFuzzer target for loads_binary, with the module compiled into the fuzzer
// and an interpreter embedded once per process.
//
// Build and run through fuzz/build.sh and fuzz/smoke.sh. Every input must
// either decode to a value or raise VeskError (with a sane offset) or
// MemoryError; anything else aborts: another exception type, NULL without an
// exception, a value with an exception still set.
//
// VESK_FUZZ_DIFF=1 also decodes every input with the pure-Python decoder in
// tests/reference.py and aborts when the two disagree on the value (types and
// key order included) or on the error message and offset. It is much slower.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" PyObject* PyInit_vesk_native(void);

namespace {

PyObject* loads_binary = nullptr;
PyObject* vesk_error = nullptr;
PyObject* differential = nullptr;  // check(data) of the differential mode, or null

// The comparison runs in Python: the reference decoder is Python, and the
// value comparison must tell 1 from 1.0 and True, and see key order.
const char* const diff_source = R"PY(
import sys
sys.path.insert(0, TESTS_DIR)
import reference
from support import same
from vesk_native import VeskError, loads_binary


def check(data):
    try:
        got = ("ok", loads_binary(data))
    except VeskError as e:
        got = ("err", e.message, e.offset)
    try:
        want = ("ok", reference.loads(data))
    except reference.RefError as e:
        want = ("err", e.message, e.offset)
    if got[0] == want[0] == "ok" and same(got[1], want[1]):
        return
    if got[0] == want[0] == "err" and got == want:
        return
    raise AssertionError("native %.300r, reference %.300r" % (got, want))
)PY";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "vesk fuzz: %s\n", what);
  if (PyErr_Occurred()) {
    PyErr_Print();
  }
  std::abort();
}

PyObject* module_attr(PyObject* module, const char* name) {
  PyObject* attr = PyObject_GetAttrString(module, name);
  if (attr == nullptr) {
    fail(name);
  }
  return attr;
}

void start_differential() {
  PyObject* globals = PyDict_New();
  PyObject* dir = PyUnicode_FromString(VESK_TESTS_DIR);
  if (globals == nullptr || dir == nullptr ||
      PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0 ||
      PyDict_SetItemString(globals, "TESTS_DIR", dir) < 0) {
    fail("differential set-up");
  }
  PyObject* done = PyRun_String(diff_source, Py_file_input, globals, globals);
  if (done == nullptr) {
    fail("differential set-up");
  }
  Py_DECREF(done);
  Py_DECREF(dir);
  differential = PyDict_GetItemString(globals, "check");
  Py_XINCREF(differential);
  if (differential == nullptr) {
    fail("differential set-up");
  }
}

// A raised VeskError must carry an int offset within the input and a str message.
void check_vesk_error(PyObject* exc, std::size_t size) {
  PyObject* offset = PyObject_GetAttrString(exc, "offset");
  PyObject* message = PyObject_GetAttrString(exc, "message");
  if (offset == nullptr || message == nullptr || !PyLong_CheckExact(offset) ||
      !PyUnicode_CheckExact(message)) {
    fail("VeskError without int offset and str message");
  }
  const unsigned long long at = PyLong_AsUnsignedLongLong(offset);
  if (PyErr_Occurred() || at > size) {
    fail("VeskError offset outside the input");
  }
  if (PyUnicode_CompareWithASCIIString(message, "internal row index") == 0) {
    fail("internal guard reached");
  }
  Py_DECREF(offset);
  Py_DECREF(message);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (PyImport_AppendInittab("vesk_native", PyInit_vesk_native) < 0) {
    fail("PyImport_AppendInittab");
  }
  // The system allocator lets the address sanitizer see every object on its own.
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&pre))) {
    fail("Py_PreInitialize");
  }
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;  // libFuzzer keeps its own
  config.site_import = 0;
  const PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) {
    fail("Py_InitializeFromConfig");
  }
  PyObject* module = PyImport_ImportModule("vesk_native");
  if (module == nullptr) {
    fail("import vesk_native");
  }
  loads_binary = module_attr(module, "loads_binary");
  vesk_error = module_attr(module, "VeskError");
  Py_DECREF(module);
  const char* diff = std::getenv("VESK_FUZZ_DIFF");
  if (diff != nullptr && std::strcmp(diff, "1") == 0) {
    start_differential();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) {
    fail("PyBytes_FromStringAndSize");
  }
  PyObject* result = PyObject_CallOneArg(loads_binary, bytes);
  if (result != nullptr) {
    if (PyErr_Occurred()) {
      fail("a value returned with an exception set");
    }
    Py_DECREF(result);
  } else if (!PyErr_Occurred()) {
    fail("NULL returned without an exception");
  } else if (PyErr_ExceptionMatches(vesk_error)) {
    PyObject* type;
    PyObject* exc;
    PyObject* tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    check_vesk_error(exc, size);
    Py_XDECREF(type);
    Py_XDECREF(exc);
    Py_XDECREF(tb);
  } else if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
  } else {
    fail("an exception other than VeskError or MemoryError");
  }
  if (differential != nullptr) {
    PyObject* checked = PyObject_CallOneArg(differential, bytes);
    if (checked == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
        fail("native and reference decoders disagree");
      }
      PyErr_Clear();
    }
    Py_XDECREF(checked);
  }
  Py_DECREF(bytes);
  return 0;
}
