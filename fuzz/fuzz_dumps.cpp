// libFuzzer target for the encoder: every input builds a Python object (a
// small stack program in the bytes), which is encoded with options taken from
// the first byte and must decode back exactly, or fail with the error its
// content calls for. Anything else aborts.
//
// Build and run through fuzz/build.sh and fuzz/smoke.sh. VESK_FUZZ_DIFF=1 also
// decodes every document with the pure-Python decoder in tests/reference.py.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" PyObject* PyInit_vesk_native(void);
extern "C" PyObject* PyInit__encoder(void);

// The decoder built for fuzzing reports what its budgets paid for; only the
// decoder's own target bounds memory by it.
extern "C" void vesk_fuzz_spent(std::int64_t, std::int64_t) noexcept {}

namespace {

PyObject* check = nullptr;

// Building, encoding and comparing are written in Python: the comparison must
// tell 1 from 1.0 and True, see key order and float bits.
const char* const source = R"PY(
import math, struct, sys
sys.path.insert(0, TESTS_DIR)
sys.setrecursionlimit(20000)
from support import same
from vesk_native import loads_binary
from _vesk_encoder import dumps

reference = None
if DIFF:
    import reference

LIMIT = 20000
STOCK = ["", "a", "ab", "id", "name", "é", "日本", "x" * 31, "y" * 40, "k\ud800"]


def build(data):
    """Runs the bytes as a program on a stack of objects. Shared objects may
    repeat, but no object expands to more than LIMIT items."""
    stack, sizes = [], []
    it = iter(data)
    nxt = lambda: next(it, 0)

    def push(obj, size):
        if size <= LIMIT:
            stack.append(obj)
            sizes.append(size)

    for op in it:
        kind, k = op & 15, (op >> 4) + 1
        if kind == 0:
            push((None, True, False)[k % 3], 1)
        elif kind == 1:
            push(nxt() - 128, 1)
        elif kind == 2:
            push(int.from_bytes(bytes(nxt() for _ in range(8)), "little", signed=True), 1)
        elif kind == 3:
            push(2**63 + nxt() if k == 16 else -(2**63) + nxt(), 1)
        elif kind == 4:
            push(struct.unpack("<d", bytes(nxt() for _ in range(8)))[0], 1)
        elif kind == 5:
            push((nxt() * 256 + nxt() - 32768) / 10 ** (k % 8), 1)
        elif kind == 6:
            push(STOCK[k % len(STOCK)], 1)
        elif kind == 7:
            push(bytes(nxt() for _ in range(k)).decode("utf-8", "surrogateescape"), 1)
        elif kind in (8, 9, 10) and stack:
            items, stack[-k:] = stack[-k:], []
            size, sizes[-k:] = 1 + sum(sizes[-k:]), []
            if kind == 8:
                push(items, size)
            elif kind == 9:
                push(tuple(items), size)
            else:
                push({STOCK[(i * 7 + k) % len(STOCK)]: v for i, v in enumerate(items)}, size)
        elif kind == 11 and stack:
            at = -1 - (k - 1) % len(stack)
            push(stack[at], sizes[at])  # the same object again
        elif kind in (12, 13) and stack:
            # Rows: every row gets the same keys (12) or a subset in one order (13).
            cols, stack[-k:] = stack[-k:], []
            size, sizes[-k:] = sum(sizes[-k:]), []
            keys = [STOCK[(i + nxt()) % 9] for i in range(len(cols))]
            rows = []
            for r in range(2 + nxt() % 6):
                bits = nxt() if kind == 13 else 255
                rows.append({key: cols[(i + r) % len(cols)] for i, key in enumerate(keys)
                             if bits >> (i % 8) & 1})
            push(rows, 1 + len(rows) * (1 + size))
        elif kind == 14 and stack:
            n = 2 + nxt() % 30
            push([stack[-1]] * n, 1 + n * sizes[-1])
        elif kind == 15:
            push([nxt() % 3 == 0 for _ in range(k)], 1 + k)
    return stack


def faults(obj, found, depth=0):
    """The kinds of error that encoding the object may raise: the encoder
    meets its faults in an order of its own."""
    if depth > 512:
        found.add(ValueError)
        return found
    if isinstance(obj, int) and not isinstance(obj, bool):
        if not -(2**63) <= obj < 2**63:
            found.add(OverflowError)
    elif isinstance(obj, float):
        if not math.isfinite(obj):
            found.add(ValueError)
    elif isinstance(obj, str):
        try:
            obj.encode("utf-8")
        except UnicodeEncodeError:
            found.add(ValueError)
    elif isinstance(obj, (list, tuple, dict)):
        for x in (list(obj) + list(obj.values())) if isinstance(obj, dict) else obj:
            faults(x, found, depth + 1)
    return found


def normalised(obj):
    if isinstance(obj, float):
        return int(obj) if obj == int(obj) and abs(obj) < 2**53 else obj
    if isinstance(obj, (list, tuple)):
        return [normalised(x) for x in obj]
    if isinstance(obj, dict):
        return {k: normalised(v) for k, v in obj.items()}
    return obj


def same_bits(a, b):
    if type(a) is float and type(b) is float:
        return struct.pack("<d", a) == struct.pack("<d", b)
    if type(a) is list and type(b) is list:
        return len(a) == len(b) and all(map(same_bits, a, b))
    if type(a) is dict and type(b) is dict:
        return list(a) == list(b) and all(same_bits(a[k], b[k]) for k in a)
    return same(a, b)


def check(data):
    if not data:
        return
    stack = build(data[1:])
    obj = stack[-1] if len(stack) == 1 else stack
    columnar, anchors = bool(data[0] & 1), bool(data[0] & 2)
    found = faults(obj, set())
    try:
        doc = dumps(obj, columnar=columnar, anchors=anchors)
    except (TypeError, ValueError, OverflowError) as e:
        if type(e) not in found or " at $" not in str(e):
            raise AssertionError("unexpected %r for %.300r" % (e, obj))
        return
    if found:
        raise AssertionError("encoded %.300r, which holds a fault" % (obj,))
    want = normalised(obj)
    if not same_bits(loads_binary(doc), want):
        raise AssertionError("round trip of %.300r" % (obj,))
    if reference is not None and not same_bits(reference.loads(doc), want):
        raise AssertionError("reference decodes %.300r differently" % (obj,))
    if doc != dumps(obj, columnar=columnar, anchors=anchors):
        raise AssertionError("output is not deterministic")
)PY";

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "vesk fuzz: %s\n", what);
  if (PyErr_Occurred()) {
    PyErr_Print();
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (PyImport_AppendInittab("vesk_native", PyInit_vesk_native) < 0 ||
      PyImport_AppendInittab("_vesk_encoder", PyInit__encoder) < 0) {
    fail("PyImport_AppendInittab");
  }
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;  // the sanitizer sees every object on its own
  if (PyStatus_Exception(Py_PreInitialize(&pre))) {
    fail("Py_PreInitialize");
  }
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;
  config.site_import = 0;
  const PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) {
    fail("Py_InitializeFromConfig");
  }
  const char* diff = std::getenv("VESK_FUZZ_DIFF");
  PyObject* globals = PyDict_New();
  PyObject* dir = PyUnicode_FromString(VESK_TESTS_DIR);
  if (globals == nullptr || dir == nullptr ||
      PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0 ||
      PyDict_SetItemString(globals, "TESTS_DIR", dir) < 0 ||
      PyDict_SetItemString(globals, "DIFF",
                           diff != nullptr && std::strcmp(diff, "1") == 0 ? Py_True : Py_False) <
          0) {
    fail("set-up");
  }
  PyObject* done = PyRun_String(source, Py_file_input, globals, globals);
  if (done == nullptr) {
    fail("set-up");
  }
  Py_DECREF(done);
  Py_DECREF(dir);
  check = PyDict_GetItemString(globals, "check");
  Py_XINCREF(check);
  if (check == nullptr) {
    fail("set-up");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) {
    fail("PyBytes_FromStringAndSize");
  }
  PyObject* result = PyObject_CallOneArg(check, bytes);
  Py_DECREF(bytes);
  if (result == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      return 0;
    }
    fail("the round trip failed");
  }
  Py_DECREF(result);
  return 0;
}
