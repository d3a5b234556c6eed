/* Test helper: makes exactly one allocation fail during one call.

   fail_at(k, func, arg) calls func(arg) with a wrapping allocator on the RAW,
   MEM and OBJ domains that returns NULL for the k-th allocation (counting from
   0) made by the calling thread, and lets every other allocation through. It
   returns (reached, raised, value): whether the k-th allocation happened,
   whether the call raised, and its result or the exception instance. Arming
   and disarming happen in C right around the call, so that no allocation of
   the interpreter's own bookkeeping (frames, tracebacks) is counted. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

static PyMemAllocatorEx wrapped[3];
static const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM,
                                                PYMEM_DOMAIN_OBJ};
static long long countdown = -1; /* allocations left before the failing one; -1: disarmed */
static unsigned long armed_thread;
static int reached;

static int fail_now(void) {
  if (countdown < 0 || PyThread_get_thread_ident() != armed_thread) {
    return 0;
  }
  if (countdown-- > 0) {
    return 0;
  }
  reached = 1;
  return 1;
}

static void* hook_malloc(void* ctx, size_t size) {
  PyMemAllocatorEx* a = ctx;
  return fail_now() ? NULL : a->malloc(a->ctx, size);
}

static void* hook_calloc(void* ctx, size_t n, size_t size) {
  PyMemAllocatorEx* a = ctx;
  return fail_now() ? NULL : a->calloc(a->ctx, n, size);
}

static void* hook_realloc(void* ctx, void* p, size_t size) {
  PyMemAllocatorEx* a = ctx;
  return fail_now() ? NULL : a->realloc(a->ctx, p, size);
}

static void hook_free(void* ctx, void* p) {
  PyMemAllocatorEx* a = ctx;
  a->free(a->ctx, p);
}

/* The hooks stay installed for the life of the process: blocks allocated while
   they are in place are freed through them, and they only delegate. */
static void install(void) {
  for (int i = 0; i < 3; ++i) {
    PyMem_GetAllocator(domains[i], &wrapped[i]);
    PyMemAllocatorEx hook = {&wrapped[i], hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_SetAllocator(domains[i], &hook);
  }
}

static PyObject* fail_at(PyObject* self, PyObject* args) {
  long long k;
  PyObject* func;
  PyObject* arg;
  if (!PyArg_ParseTuple(args, "LOO", &k, &func, &arg)) {
    return NULL;
  }
  if (k < 0) {
    PyErr_SetString(PyExc_ValueError, "k must not be negative");
    return NULL;
  }
  reached = 0;
  armed_thread = PyThread_get_thread_ident();
  countdown = k;
  PyObject* result = PyObject_CallOneArg(func, arg);
  countdown = -1;
  int raised = result == NULL;
  if (raised) {
    PyObject *type, *tb;
    PyErr_Fetch(&type, &result, &tb);
    PyErr_NormalizeException(&type, &result, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
  }
  return Py_BuildValue("(OON)", reached ? Py_True : Py_False, raised ? Py_True : Py_False,
                       result);
}

static PyMethodDef methods[] = {
    {"fail_at", fail_at, METH_VARARGS, "fail_at(k, func, arg) -> (reached, raised, value)"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_allocfail", NULL, -1, methods};

PyMODINIT_FUNC PyInit__allocfail(void) {
  install();
  return PyModule_Create(&module);
}
