// libFuzzer target for loads_binary, with the module compiled into the fuzzer
// and an interpreter embedded once per process.
//
// Build and run through fuzz/build.sh and fuzz/smoke.sh. Every input must
// either decode to a value or raise VeskError (with a sane offset) or
// MemoryError; anything else aborts: another exception type, NULL without an
// exception, a value with an exception still set.
//
// Every decode must also stay within a memory bound linear in what it paid
// for: the allocator hooks count the live bytes of the interpreter's three
// domains, and the peak during a call may exceed the bytes live before it by
// at most cost_per_cell for every cell charged to the two budgets, plus
// cost_per_byte for every input byte, plus a constant. VESK_FUZZ_MEMORY=report
// prints every new highest ratio of peak to bound instead of aborting.
//
// Every input is decoded a second time by one vesk.Decoder core that lives for
// the whole run, whose key cache carries over from input to input: it must
// give an equal value, or the same error message and offset.
//
// VESK_FUZZ_DIFF=1 also decodes every input with the pure-Python decoder in
// tests/reference.py and aborts when the two disagree on the value (types and
// key order included) or on the error message and offset. It is much slower.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <malloc.h>

extern "C" PyObject* PyInit_vesk_native(void);

// Reported by the decoder (built with VESK_FUZZ) when its state is released:
// the cells charged to the decoded-size and the reference budget.
namespace {
std::int64_t spent_size_cells = 0;
std::int64_t spent_ref_cells = 0;
}  // namespace

extern "C" void vesk_fuzz_spent(std::int64_t size_cells, std::int64_t ref_cells) noexcept {
  spent_size_cells = size_cells;
  spent_ref_cells = ref_cells;
}

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

// The dearest cell: a one-entry dict made per row of an Object column or per
// copy of an anchored dict (about 230 bytes for two charged cells), doubled.
constexpr std::uint64_t cost_per_cell = 256;
// The dearest input byte that no budget pays for: rows filled in advance (up
// to eight entries a byte), list slots and row dicts claimed ahead of their
// column's charge, nested empty containers, short strings and pool entries.
constexpr std::uint64_t cost_per_byte = 512;
// The call itself: argument handling, the exception, the key hash set's floor.
constexpr std::uint64_t cost_fixed = 1 << 20;

// Live bytes in the hooked domains, and their highest value since `peak_from`.
// Signed: blocks allocated before the hooks were installed are freed through them.
std::int64_t live_bytes = 0;
std::int64_t peak_bytes = 0;
bool report_memory = false;
double worst_ratio = 0;

struct Hooked {
  PyMemAllocatorEx inner;
};
Hooked hooked[3];

void grew(std::size_t n) {
  live_bytes += static_cast<std::int64_t>(n);
  if (live_bytes > peak_bytes) {
    peak_bytes = live_bytes;
  }
}

void* counted_malloc(void* ctx, std::size_t n) {
  auto* h = static_cast<Hooked*>(ctx);
  void* p = h->inner.malloc(h->inner.ctx, n);
  if (p != nullptr) {
    grew(malloc_usable_size(p));
  }
  return p;
}

void* counted_calloc(void* ctx, std::size_t count, std::size_t n) {
  auto* h = static_cast<Hooked*>(ctx);
  void* p = h->inner.calloc(h->inner.ctx, count, n);
  if (p != nullptr) {
    grew(malloc_usable_size(p));
  }
  return p;
}

void* counted_realloc(void* ctx, void* old, std::size_t n) {
  auto* h = static_cast<Hooked*>(ctx);
  const std::size_t before = old != nullptr ? malloc_usable_size(old) : 0;
  void* p = h->inner.realloc(h->inner.ctx, old, n);
  if (p == nullptr) {
    return p;  // the old block, if any, is still there
  }
  live_bytes -= static_cast<std::int64_t>(before);
  grew(malloc_usable_size(p));
  return p;
}

void counted_free(void* ctx, void* p) {
  auto* h = static_cast<Hooked*>(ctx);
  if (p != nullptr) {
    live_bytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  }
  h->inner.free(h->inner.ctx, p);
}

// Wraps the allocator of every domain; all of them are malloc here, so
// malloc_usable_size knows every block's size.
void count_allocations() {
  const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
  for (int i = 0; i < 3; ++i) {
    PyMem_GetAllocator(domains[i], &hooked[i].inner);
    PyMemAllocatorEx outer = {&hooked[i], counted_malloc, counted_calloc, counted_realloc,
                              counted_free};
    PyMem_SetAllocator(domains[i], &outer);
  }
}

[[noreturn]] void fail(const char* what);

// The peak of one decode against the bound its input and its budgets allow.
void check_memory(std::int64_t baseline, std::size_t size) {
  const auto used = static_cast<std::uint64_t>(peak_bytes - baseline);
  const std::uint64_t cells = static_cast<std::uint64_t>(spent_size_cells + spent_ref_cells);
  const std::uint64_t bound = cost_per_cell * cells + cost_per_byte * size + cost_fixed;
  if (report_memory) {
    const double ratio = static_cast<double>(used) / static_cast<double>(bound);
    if (ratio > worst_ratio) {
      worst_ratio = ratio;
      std::fprintf(stderr, "vesk fuzz: memory %llu of bound %llu (%.3f): %zu bytes, %lld + %lld cells\n",
                   static_cast<unsigned long long>(used), static_cast<unsigned long long>(bound),
                   ratio, size, static_cast<long long>(spent_size_cells),
                   static_cast<long long>(spent_ref_cells));
    }
    return;
  }
  if (used > bound) {
    std::fprintf(stderr, "vesk fuzz: peak %llu bytes for %zu input bytes and %llu cells\n",
                 static_cast<unsigned long long>(used), size,
                 static_cast<unsigned long long>(cells));
    fail("memory beyond the linear bound");
  }
}

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

// The decode method of a _Decoder kept for the whole run.
PyObject* cached_decode = nullptr;

// The VeskError's message and offset, as a tuple.
PyObject* error_key(PyObject* exc) {
  PyObject* key = Py_BuildValue("(NN)", PyObject_GetAttrString(exc, "message"),
                                PyObject_GetAttrString(exc, "offset"));
  if (key == nullptr) {
    fail("error key");
  }
  return key;
}

// Decodes the input again through the key cache; `value` is loads_binary's
// result or null, `error` its (message, offset) or null after a MemoryError.
void check_cached(PyObject* bytes, PyObject* value, PyObject* error) {
  PyObject* again = PyObject_CallOneArg(cached_decode, bytes);
  if (again == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      return;
    }
    if (!PyErr_ExceptionMatches(vesk_error)) {
      fail("the cached decode raised an exception other than VeskError or MemoryError");
    }
    PyObject* type;
    PyObject* exc;
    PyObject* tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    PyObject* key = error_key(exc);
    if (value != nullptr || (error != nullptr && PyObject_RichCompareBool(key, error, Py_EQ) != 1)) {
      fail("the cached decode fails where loads_binary does not, or elsewhere");
    }
    Py_DECREF(key);
    Py_XDECREF(type);
    Py_XDECREF(exc);
    Py_XDECREF(tb);
    return;
  }
  if (error != nullptr) {
    fail("the cached decode gives a value where loads_binary fails");
  }
  // A comparison too deep for the interpreter's recursion limit proves nothing.
  const int same = value == nullptr ? 1 : PyObject_RichCompareBool(again, value, Py_EQ);
  if (same < 0 && (PyErr_ExceptionMatches(PyExc_RecursionError) ||
                   PyErr_ExceptionMatches(PyExc_MemoryError))) {
    PyErr_Clear();
  } else if (same != 1) {
    fail("the cached decode gives another value");
  }
  Py_DECREF(again);
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
  const char* memory = std::getenv("VESK_FUZZ_MEMORY");
  report_memory = memory != nullptr && std::strcmp(memory, "report") == 0;
  count_allocations();
  vesk_error = module_attr(module, "VeskError");
  PyObject* decoder_type = module_attr(module, "_Decoder");
  PyObject* decoder = PyObject_CallNoArgs(decoder_type);
  if (decoder == nullptr) {
    fail("_Decoder()");
  }
  cached_decode = module_attr(decoder, "decode");
  Py_DECREF(decoder);
  Py_DECREF(decoder_type);
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
  const std::int64_t baseline = live_bytes;
  peak_bytes = live_bytes;
  spent_size_cells = 0;
  spent_ref_cells = 0;
  PyObject* result = PyObject_CallOneArg(loads_binary, bytes);
  check_memory(baseline, size);
  PyObject* error = nullptr;
  if (result != nullptr) {
    if (PyErr_Occurred()) {
      fail("a value returned with an exception set");
    }
  } else if (!PyErr_Occurred()) {
    fail("NULL returned without an exception");
  } else if (PyErr_ExceptionMatches(vesk_error)) {
    PyObject* type;
    PyObject* exc;
    PyObject* tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    check_vesk_error(exc, size);
    error = error_key(exc);
    Py_XDECREF(type);
    Py_XDECREF(exc);
    Py_XDECREF(tb);
  } else if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
  } else {
    fail("an exception other than VeskError or MemoryError");
  }
  check_cached(bytes, result, error);
  Py_XDECREF(result);
  Py_XDECREF(error);
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
