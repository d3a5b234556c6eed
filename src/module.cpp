// The module definition, the loads_binary entry and the decode driver.
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>

#include "decode/decoder.hpp"
#include "err/exception.hpp"
#include "pyo/dicts.hpp"
#include "pyo/owned.hpp"

namespace vesk {
namespace {

// Holds off the cyclic garbage collector for one decode. The decode builds
// acyclic trees only and runs no Python code, so a collection during it could
// free nothing of its own yet would walk every container it has made so far,
// again and again as they pile up; the collector runs once afterwards instead.
// It must not run at all meanwhile: lists are made at their final size and
// filled slot by slot, and a gc callback that walks gc.get_objects() would
// meet their empty slots.
#if PY_VERSION_HEX >= 0x030A0000
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) {
      PyGC_Enable();
    }
  }

  [[nodiscard]] static constexpr bool failed() noexcept { return false; }

 private:
  int was_enabled_;
};
#else
// Before 3.10 the C API has no switch for the collector: the gc module's
// isenabled, disable and enable stand in for it.
class GcPause {
 public:
  GcPause() noexcept : gc_(Owned::steal(PyImport_ImportModule("gc"))) {
    if (!gc_) {
      return;
    }
    const Owned enabled = Owned::steal(PyObject_CallMethod(gc_.get(), "isenabled", nullptr));
    const int on = enabled ? PyObject_IsTrue(enabled.get()) : -1;
    if (on <= 0) {
      failed_ = on < 0;
      return;
    }
    const Owned done = Owned::steal(PyObject_CallMethod(gc_.get(), "disable", nullptr));
    was_enabled_ = static_cast<bool>(done);
    failed_ = !was_enabled_;
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (!was_enabled_) {
      return;
    }
    // A failed decode's exception may be pending; it stays the one raised.
    PyObject* type;
    PyObject* value;
    PyObject* tb;
    PyErr_Fetch(&type, &value, &tb);
    const Owned done = Owned::steal(PyObject_CallMethod(gc_.get(), "enable", nullptr));
    if (!done) {
      PyErr_WriteUnraisable(gc_.get());
    }
    PyErr_Restore(type, value, tb);
  }

  // True, with the exception set, when the collector could not be held off.
  [[nodiscard]] bool failed() const noexcept { return !gc_ || failed_; }

 private:
  Owned gc_;
  bool was_enabled_ = false;
  bool failed_ = false;
};
#endif

// The value after the header, which must end exactly at the end of the input.
// The decoder state is released when this returns, before any error is raised.
Result<Owned> document(const std::uint8_t* bytes, std::uint64_t length, const Limits& limits,
                       KeyCache* keys) noexcept {
  Decoder d(bytes, length, limits);
  if (keys != nullptr) {
    keys->begin_document();
    d.keys = keys;
  }
  VESK_TRY_ASSIGN(Owned v, owned(d, value_ref(d, 0)));
  if (d.pos != length) {
    return bad("trailing data", d.pos);
  }
  return v;
}

// Decodes one document; returns the value, or null with the exception raised.
PyObject* run(const std::uint8_t* bytes, std::uint64_t length, const Limits& limits,
              KeyCache* keys) {
  if (length < 2 || bytes[0] != 0x0F) {
    return raise_decode_error(bad("not a VESK binary document", 0));
  }
  if (bytes[1] != 0x01) {
    return raise_decode_error(bad_format(1, "unsupported binary version %u", bytes[1]));
  }
  Result<Owned> r = [&]() -> Result<Owned> {
    const GcPause pause;
    if (pause.failed()) {
      return py_fail();
    }
    return document(bytes, length, limits, keys);
  }();
  if (!r.ok()) {
    return raise_decode_error(r.error());
  }
  if (PyErr_Occurred()) {
    return raise_internal_fault("value decoded with a pending exception");
  }
  return r.take().release();
}

// Binds the one parameter `data` of the function `fn` ("loads_binary()"),
// positional or keyword, with the interpreter's own wording for every mistake.
PyObject* bind_data(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                 fn, 1, nargs, "were");
    return nullptr;
  }
  PyObject* data = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(name, "data") != 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", fn,
                   name);
      return nullptr;
    }
    if (data != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", fn,
                   "data");
      return nullptr;
    }
    data = args[nargs + i];
  }
  if (data == nullptr) {
    PyErr_Format(PyExc_TypeError, "%s missing %d required %s %s: '%s'", fn, 1, "positional",
                 "argument", "data");
  }
  return data;
}

// A contiguous buffer borrowed for one decode; while it is held, a bytearray
// cannot be resized, and the decode runs no Python code that could write it.
class BufferView {
 public:
  explicit BufferView(PyObject* obj) noexcept
      : held_(PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0) {}
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) {
      PyBuffer_Release(&view_);
    }
  }

  [[nodiscard]] bool held() const noexcept { return held_; }
  [[nodiscard]] const std::uint8_t* data() const noexcept {
    return static_cast<const std::uint8_t*>(view_.buf);
  }
  [[nodiscard]] std::uint64_t size() const noexcept {
    return static_cast<std::uint64_t>(view_.len);
  }

 private:
  Py_buffer view_{};
  bool held_;
};

// Decodes `data`: bytes and contiguous buffers in place, anything else through
// one copy as bytes(). A contiguous buffer holds exactly the bytes that bytes()
// would copy; every other case, errors included, is left to bytes().
PyObject* decode_data(PyObject* data, const Limits& limits, KeyCache* keys) {
  if (PyBytes_Check(data)) {
    // Used in place: bytes are immutable and the caller keeps them alive.
    return run(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
               static_cast<std::uint64_t>(PyBytes_GET_SIZE(data)), limits, keys);
  }
  if (PyObject_CheckBuffer(data)) {
    const BufferView view(data);
    if (view.held()) {
      return run(view.data(), view.size(), limits, keys);
    }
    PyErr_Clear();
  }
  Owned copy = Owned::steal(PyBytes_FromObject(data));
  if (!copy) {
    return nullptr;
  }
  return run(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(copy.get())),
             static_cast<std::uint64_t>(PyBytes_GET_SIZE(copy.get())), limits, keys);
}

PyObject* loads_binary_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* data = bind_data("loads_binary()", args, PyVectorcall_NARGS(nargsf), kwnames);
  if (data == nullptr) {
    return nullptr;
  }
  static constexpr Limits format_limits{};
  return decode_data(data, format_limits, nullptr);
}

// A cap on a budget: None for none, else an int of at least 0; caps beyond
// 64 bits are no tighter than none. Returns false with the exception set.
bool read_cap(PyObject* arg, std::int64_t& cap) {
  if (arg == Py_None) {
    return true;
  }
  if (!PyLong_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "a cap must be an int or None, not %.200s",
                 Py_TYPE(arg)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(arg, &overflow);
  if (n == -1 && PyErr_Occurred()) {
    return false;
  }
  if (overflow > 0) {
    cap = INT64_MAX;
    return true;
  }
  if (overflow < 0 || n < 0) {
    PyErr_SetString(PyExc_ValueError, "a cap must not be negative");
    return false;
  }
  cap = n;
  return true;
}

// vesk.Decoder's part in C: the limits of its decodes and its key cache. The
// package's class checks its arguments and names them in its messages, then
// sets the limits with _limit().
struct DecoderObject {
  PyObject_HEAD
  Limits limits;
  KeyCache keys;
};

DecoderObject* as_decoder(PyObject* self) noexcept {
  return reinterpret_cast<DecoderObject*>(self);
}

// _limit(max_cells, max_copy_cells, max_depth): None, or caps on the two
// budgets and a depth of at most max_depth.
PyObject* decoder_limit_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargsf) {
  if (PyVectorcall_NARGS(nargsf) != 3) {
    PyErr_SetString(PyExc_TypeError, "_limit() takes 3 positional arguments");
    return nullptr;
  }
  Limits limits;
  if (!read_cap(args[0], limits.cells) || !read_cap(args[1], limits.copy_cells)) {
    return nullptr;
  }
  std::int64_t depth = max_depth;
  if (!read_cap(args[2], depth)) {
    return nullptr;
  }
  if (depth > static_cast<std::int64_t>(max_depth)) {
    PyErr_Format(PyExc_ValueError, "a depth limit must be at most %u", max_depth);
    return nullptr;
  }
  limits.depth = static_cast<std::uint32_t>(depth);
  as_decoder(self)->limits = limits;
  Py_RETURN_NONE;
}

PyObject* decoder_decode_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  PyObject* data = bind_data("decode()", args, PyVectorcall_NARGS(nargsf), kwnames);
  if (data == nullptr) {
    return nullptr;
  }
  DecoderObject* decoder = as_decoder(self);
  return decode_data(data, decoder->limits, &decoder->keys);
}

// No C++ exception may unwind into the interpreter: one becomes the internal fault.
template <class Call>
PyObject* guarded(Call call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    return raise_internal_fault("unknown internal fault");
  }
}

PyObject* loads_binary(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return loads_binary_impl(args, nargsf, kwnames); });
}

PyObject* decoder_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargsf) {
  return guarded([&] { return decoder_limit_impl(self, args, nargsf); });
}

PyObject* decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  return guarded([&] { return decoder_decode_impl(self, args, nargsf, kwnames); });
}

PyObject* decoder_new(PyTypeObject* type, PyObject*, PyObject*) {
  // Zeroed memory: an empty key cache.
  PyObject* self = type->tp_alloc(type, 0);
  if (self != nullptr) {
    new (&as_decoder(self)->limits) Limits{};
  }
  return self;
}

void decoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_decoder(self)->keys.release();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef loads_binary_def = {
    "loads_binary",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&loads_binary)),
    METH_FASTCALL | METH_KEYWORDS,
    "loads_binary(data)\n--\n\nDecodes VESK binary into dict/list/str/int/float/bool/None.",
};

PyMethodDef decoder_methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decoder_decode)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode($self, data)\n--\n\n"
     "Decodes one document from ``data`` (``bytes`` or anything ``bytes()`` accepts)."},
    {"_limit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decoder_limit)),
     METH_FASTCALL,
     "_limit($self, max_cells, max_copy_cells, max_depth, /)\n--\n\n"
     "Sets the caps of later decodes (None: the format's own)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_doc, const_cast<char*>("The limits and the key cache of vesk.Decoder.")},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    "vesk_native._Decoder",
    static_cast<int>(sizeof(DecoderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    decoder_slots,
};

// Adds `obj` to the module under `name` and appends the name to __all__.
int add_public(PyObject* module, PyObject* name, PyObject* obj) {
  Owned all = Owned::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return -1;
    }
    PyErr_Clear();
    all = Owned::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return -1;
    }
  } else if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyList'",
                 Py_TYPE(all.get())->tp_name);
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) {
    raise_internal_fault("could not append __name__ to __all__");
    return -1;
  }
  return PyObject_SetAttr(module, name, obj);
}

int exec_module_impl(PyObject* module) {
  if (!PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyModule'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  Owned module_name = Owned::steal(PyModule_GetNameObject(module));
  if (!module_name) {
    return -1;
  }
  if (!check_dict_layout()) {
    return -1;
  }
  Owned function =
      Owned::steal(PyCMethod_New(&loads_binary_def, module, module_name.get(), nullptr));
  if (!function) {
    return -1;
  }
  Owned function_name = Owned::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) {
    return -1;
  }
  if (!PyUnicode_Check(function_name.get())) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'PyString'",
                 Py_TYPE(function_name.get())->tp_name);
    return -1;
  }
  if (add_public(module, function_name.get(), function.get()) < 0) {
    return -1;
  }
  // A private entry point: an attribute of the module, not in __all__.
  Owned decoder_type = Owned::steal(PyType_FromSpec(&decoder_spec));
  if (!decoder_type || PyObject_SetAttrString(module, "_Decoder", decoder_type.get()) < 0) {
    return -1;
  }
  PyObject* error_type = vesk_error_type();
  if (error_type == nullptr) {
    return -1;
  }
  Owned error_name = Owned::steal(PyUnicode_FromString("VeskError"));
  if (!error_name) {
    return -1;
  }
  return add_public(module, error_name.get(), error_type);
}

int exec_module(PyObject* module) {
  try {
    return exec_module_impl(module);
  } catch (...) {
    raise_internal_fault("module initialisation failed");
    return -1;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vesk_native",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vesk

PyMODINIT_FUNC PyInit_vesk_native(void) { return PyModuleDef_Init(&vesk::module_def); }
