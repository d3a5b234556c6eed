/* The floor of decoding: the cost of building the result's objects and nothing else.
 *
 * flatten(obj) walks a decoded result once, untimed, and writes it as one
 * sequential tape of fixed-size records: strings already in the interpreter's
 * internal form (their characters copied, in tape order, into one buffer beside
 * the records, so that building reads memory front to back), a repeated
 * string object as the index of its first building, and every dict as the index
 * of its key sequence. build(tape, method) then rebuilds an equal tree from the
 * tape with no parsing and no validation; `method` picks how dicts are made:
 *   0  empty, then one insert per key;
 *   1  presized, then one insert per key;
 *   2  a copy of a template holding the keys, then one replacement per key.
 * Built by bench/run.py for the benchmark only; not part of the package.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

enum { K_NONE, K_FALSE, K_TRUE, K_INT, K_FLOAT, K_STR, K_STR_KEPT, K_STR_REF, K_KEY, K_LIST, K_DICT };
enum { M_EMPTY, M_PRESIZED, M_TEMPLATE, M_COUNT };

typedef struct {
    uint8_t kind;
    uint8_t width;  /* bytes per character of a string: 1, 2 or 4 */
    uint8_t ascii;
    uint32_t n;     /* characters of a string, items of a list, shape of a dict */
    union { long long i; double d; size_t at; } u;  /* a string's characters start at chars + at */
} Rec;

typedef struct {
    Rec *recs;
    Py_ssize_t len, cap;
    Py_ssize_t *shape_keys;  /* the key slots of every shape, one after another */
    Py_ssize_t *shape_start; /* shape s has keys shape_start[s] .. shape_start[s + 1] */
    Py_ssize_t nshapes, nkeys, shapes_cap, keys_cap;
    Py_ssize_t nslots;
    char *chars;
    Py_ssize_t nchars, chars_cap;
} Tape;

/* -- flatten (untimed) -------------------------------------------------- */

typedef struct {
    Tape *t;
    PyObject *uses;   /* id(str) -> number of places the object appears */
    PyObject *slots;  /* id(str) -> slot of its first building */
    PyObject *shapes; /* tuple of key slots -> shape index */
} Flat;

static int grow(void **p, Py_ssize_t *cap, Py_ssize_t need, size_t size) {
    if (need <= *cap) return 0;
    Py_ssize_t c = *cap ? *cap : 1024;
    while (c < need) c *= 2;
    void *q = PyMem_Realloc(*p, (size_t)c * size);
    if (!q) { PyErr_NoMemory(); return -1; }
    *p = q;
    *cap = c;
    return 0;
}

static Rec *emit(Tape *t, uint8_t kind) {
    if (grow((void **)&t->recs, &t->cap, t->len + 1, sizeof(Rec)) < 0) return NULL;
    Rec *r = &t->recs[t->len++];
    memset(r, 0, sizeof *r);
    r->kind = kind;
    return r;
}

static int count_uses(PyObject *uses, PyObject *o) {
    if (PyUnicode_CheckExact(o)) {
        PyObject *id = PyLong_FromVoidPtr(o);
        if (!id) return -1;
        PyObject *seen = PyDict_GetItemWithError(uses, id);
        long n = seen ? PyLong_AsLong(seen) + 1 : 1;
        PyObject *v = PyErr_Occurred() ? NULL : PyLong_FromLong(n);
        int rc = v ? PyDict_SetItem(uses, id, v) : -1;
        Py_XDECREF(v);
        Py_DECREF(id);
        return rc;
    }
    if (PyList_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); i++)
            if (count_uses(uses, PyList_GET_ITEM(o, i)) < 0) return -1;
    } else if (PyDict_CheckExact(o)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(o, &pos, &k, &v))
            if (count_uses(uses, k) < 0 || count_uses(uses, v) < 0) return -1;
    }
    return 0;
}

/* Emits a string: a reference to its slot when built before, else its characters. */
static int flat_str(Flat *f, PyObject *s, int is_key) {
    PyObject *id = PyLong_FromVoidPtr(s);
    if (!id) return -1;
    int rc = -1;
    PyObject *slot = PyDict_GetItemWithError(f->slots, id);
    if (slot) {
        Rec *r = emit(f->t, K_STR_REF);
        if (r) { r->u.i = PyLong_AsLongLong(slot); rc = 0; }
        goto done;
    }
    if (PyErr_Occurred()) goto done;
    long uses = PyLong_AsLong(PyDict_GetItem(f->uses, id));
    int kept = is_key || uses > 1;
    Rec *r = emit(f->t, is_key ? K_KEY : kept ? K_STR_KEPT : K_STR);
    if (!r) goto done;
    r->width = (uint8_t)PyUnicode_KIND(s);
    r->ascii = (uint8_t)PyUnicode_IS_ASCII(s);
    r->n = (uint32_t)PyUnicode_GET_LENGTH(s);
    Py_ssize_t bytes = (Py_ssize_t)r->n * r->width;
    if (grow((void **)&f->t->chars, &f->t->chars_cap, f->t->nchars + bytes, 1) < 0) goto done;
    memcpy(f->t->chars + f->t->nchars, PyUnicode_DATA(s), (size_t)bytes);
    r->u.at = (size_t)f->t->nchars;
    f->t->nchars += bytes;
    rc = 0;
    if (kept) {
        PyObject *v = PyLong_FromSsize_t(f->t->nslots++);
        rc = v ? PyDict_SetItem(f->slots, id, v) : -1;
        Py_XDECREF(v);
    }
done:
    Py_DECREF(id);
    return rc;
}

/* The slot of a string built before, -1 when there is none, -2 on an error. */
static Py_ssize_t slot_of(Flat *f, PyObject *s) {
    PyObject *id = PyLong_FromVoidPtr(s);
    if (!id) return -2;
    PyObject *slot = PyDict_GetItemWithError(f->slots, id);
    Py_DECREF(id);
    return slot ? PyLong_AsSsize_t(slot) : PyErr_Occurred() ? -2 : -1;
}

/* The shape index of a dict's key sequence, registering it on first sight. */
static Py_ssize_t shape_of(Flat *f, PyObject *d) {
    Tape *t = f->t;
    Py_ssize_t n = PyDict_GET_SIZE(d), pos = 0, i = 0;
    PyObject *k, *v, *key = PyTuple_New(n);
    if (!key) return -1;
    while (PyDict_Next(d, &pos, &k, &v)) {
        PyObject *s = PyLong_FromSsize_t(slot_of(f, k));
        if (!s) { Py_DECREF(key); return -1; }
        PyTuple_SET_ITEM(key, i++, s);
    }
    PyObject *known = PyDict_GetItemWithError(f->shapes, key);
    Py_ssize_t shape = known ? PyLong_AsSsize_t(known) : -1;
    if (!known && !PyErr_Occurred()) {
        shape = t->nshapes;
        PyObject *v2 = PyLong_FromSsize_t(shape);
        if (!v2 || PyDict_SetItem(f->shapes, key, v2) < 0
            || grow((void **)&t->shape_start, &t->shapes_cap, shape + 2, sizeof(Py_ssize_t)) < 0
            || grow((void **)&t->shape_keys, &t->keys_cap, t->nkeys + n, sizeof(Py_ssize_t)) < 0) {
            Py_XDECREF(v2);
            shape = -1;
        } else {
            Py_DECREF(v2);
            t->shape_start[shape] = t->nkeys;
            for (i = 0; i < n; i++) t->shape_keys[t->nkeys++] = PyLong_AsSsize_t(PyTuple_GET_ITEM(key, i));
            t->shape_start[shape + 1] = t->nkeys;
            t->nshapes++;
        }
    }
    Py_DECREF(key);
    return shape;
}

static int flat(Flat *f, PyObject *o) {
    Rec *r;
    if (o == Py_None) return emit(f->t, K_NONE) ? 0 : -1;
    if (o == Py_False) return emit(f->t, K_FALSE) ? 0 : -1;
    if (o == Py_True) return emit(f->t, K_TRUE) ? 0 : -1;
    if (PyLong_CheckExact(o)) {
        long long i = PyLong_AsLongLong(o);
        if (i == -1 && PyErr_Occurred()) return -1;
        if (!(r = emit(f->t, K_INT))) return -1;
        r->u.i = i;
        return 0;
    }
    if (PyFloat_CheckExact(o)) {
        if (!(r = emit(f->t, K_FLOAT))) return -1;
        r->u.d = PyFloat_AS_DOUBLE(o);
        return 0;
    }
    if (PyUnicode_CheckExact(o)) return flat_str(f, o, 0);
    if (PyList_CheckExact(o)) {
        Py_ssize_t n = PyList_GET_SIZE(o);
        if (!(r = emit(f->t, K_LIST))) return -1;
        r->n = (uint32_t)n;
        for (Py_ssize_t i = 0; i < n; i++)
            if (flat(f, PyList_GET_ITEM(o, i)) < 0) return -1;
        return 0;
    }
    if (PyDict_CheckExact(o)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(o, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) {
                PyErr_SetString(PyExc_TypeError, "dict keys must be str");
                return -1;
            }
            Py_ssize_t slot = slot_of(f, k);
            if (slot == -2 || (slot == -1 && flat_str(f, k, 1) < 0)) return -1;
        }
        Py_ssize_t shape = shape_of(f, o);
        if (shape < 0 || !(r = emit(f->t, K_DICT))) return -1;
        r->n = (uint32_t)shape;
        pos = 0;
        while (PyDict_Next(o, &pos, &k, &v))
            if (flat(f, v) < 0) return -1;
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "cannot flatten %.100s", Py_TYPE(o)->tp_name);
    return -1;
}

static void tape_free(PyObject *capsule) {
    Tape *t = PyCapsule_GetPointer(capsule, "floor.tape");
    PyMem_Free(t->recs);
    PyMem_Free(t->shape_keys);
    PyMem_Free(t->shape_start);
    PyMem_Free(t->chars);
    PyMem_Free(t);
}

static PyObject *flatten(PyObject *mod, PyObject *obj) {
    (void)mod;
    Tape *t = PyMem_Calloc(1, sizeof(Tape));
    if (!t) return PyErr_NoMemory();
    PyObject *capsule = PyCapsule_New(t, "floor.tape", tape_free);
    if (!capsule) { PyMem_Free(t); return NULL; }
    Flat f = {t, PyDict_New(), PyDict_New(), PyDict_New()};
    int ok = f.uses && f.slots && f.shapes && count_uses(f.uses, obj) == 0 && flat(&f, obj) == 0;
    Py_XDECREF(f.uses);
    Py_XDECREF(f.slots);
    Py_XDECREF(f.shapes);
    if (!ok) { Py_DECREF(capsule); return NULL; }
    return capsule;
}

/* -- build (timed) ------------------------------------------------------ */

typedef struct {
    const Rec *cur;
    const Tape *t;
    PyObject **slots;
    Py_ssize_t nslots;
    PyObject **templates;
    int method;
} Builder;

static PyObject *make_str(const Builder *b, const Rec *r) {
    Py_UCS4 maxchar = r->ascii ? 127 : r->width == 1 ? 255 : r->width == 2 ? 0xFFFF : 0x10FFFF;
    PyObject *s = PyUnicode_New(r->n, maxchar);
    if (s) memcpy(PyUnicode_DATA(s), b->t->chars + r->u.at, (size_t)r->n * r->width);
    return s;
}

static PyObject *build_value(Builder *b);

static PyObject *template_of(Builder *b, Py_ssize_t shape) {
    if (b->templates[shape]) return b->templates[shape];
    PyObject *d = PyDict_New();
    for (Py_ssize_t i = b->t->shape_start[shape]; d && i < b->t->shape_start[shape + 1]; i++)
        if (PyDict_SetItem(d, b->slots[b->t->shape_keys[i]], Py_None) < 0) Py_CLEAR(d);
    return b->templates[shape] = d;
}

static PyObject *build_dict(Builder *b, Py_ssize_t shape) {
    const Py_ssize_t *key = b->t->shape_keys + b->t->shape_start[shape];
    Py_ssize_t n = b->t->shape_start[shape + 1] - b->t->shape_start[shape];
    PyObject *d;
    if (b->method == M_TEMPLATE) {
        PyObject *tmpl = template_of(b, shape);
        d = tmpl ? PyDict_Copy(tmpl) : NULL;
    } else {
        /* CPython has no public call that presizes a dict. */
        d = b->method == M_PRESIZED ? _PyDict_NewPresized(n) : PyDict_New();
    }
    if (!d) return NULL;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *v = build_value(b);
        int rc = v ? PyDict_SetItem(d, b->slots[key[i]], v) : -1;
        Py_XDECREF(v);
        if (rc < 0) { Py_DECREF(d); return NULL; }
    }
    return d;
}

static PyObject *build_value(Builder *b) {
    const Rec *r = b->cur++;
    PyObject *o;
    for (; r->kind == K_KEY; r = b->cur++)  /* keys met for the first time, kept for the dict that follows */
        if (!(b->slots[b->nslots++] = make_str(b, r))) return NULL;
    switch (r->kind) {
    case K_NONE: Py_RETURN_NONE;
    case K_FALSE: Py_RETURN_FALSE;
    case K_TRUE: Py_RETURN_TRUE;
    case K_INT: return PyLong_FromLongLong(r->u.i);
    case K_FLOAT: return PyFloat_FromDouble(r->u.d);
    case K_STR: return make_str(b, r);
    case K_STR_KEPT:
        if (!(o = make_str(b, r))) return NULL;
        Py_INCREF(o);
        return b->slots[b->nslots++] = o;
    case K_STR_REF:
        o = b->slots[r->u.i];
        Py_INCREF(o);
        return o;
    case K_LIST:
        if (!(o = PyList_New(r->n))) return NULL;
        for (uint32_t i = 0; i < r->n; i++) {
            PyObject *item = build_value(b);
            if (!item) { Py_DECREF(o); return NULL; }
            PyList_SET_ITEM(o, i, item);
        }
        return o;
    default:
        return build_dict(b, r->n);
    }
}

static PyObject *build(PyObject *mod, PyObject *args) {
    (void)mod;
    PyObject *capsule;
    int method;
    if (!PyArg_ParseTuple(args, "Oi", &capsule, &method)) return NULL;
    const Tape *t = PyCapsule_GetPointer(capsule, "floor.tape");
    if (!t) return NULL;
    if (method < 0 || method >= M_COUNT) return PyErr_Format(PyExc_ValueError, "no method %d", method);
    Builder b = {t->recs, t, PyMem_Calloc((size_t)t->nslots + 1, sizeof(PyObject *)), 0,
                 PyMem_Calloc((size_t)t->nshapes + 1, sizeof(PyObject *)), method};
    PyObject *result = b.slots && b.templates ? build_value(&b) : PyErr_NoMemory();
    for (Py_ssize_t i = 0; b.slots && i < b.nslots; i++) Py_XDECREF(b.slots[i]);
    for (Py_ssize_t i = 0; b.templates && i < t->nshapes; i++) Py_XDECREF(b.templates[i]);
    PyMem_Free(b.slots);
    PyMem_Free(b.templates);
    return result;
}

static PyMethodDef methods[] = {
    {"flatten", flatten, METH_O, "flatten(obj) -> tape: the records that rebuild obj."},
    {"build", build, METH_VARARGS, "build(tape, method) -> obj, method 0 empty, 1 presized, 2 template."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "_floor", NULL, -1, methods,
                                          NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&floor_module); }
