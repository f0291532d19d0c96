/* The physical floor for a level method: the same call shape as a logger
 * method (METH_FASTCALL|METH_KEYWORDS on a type with no instance __dict__,
 * so CPython 3.11 specialises the call site the same way) doing nothing. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
} Empty;

static PyObject *empty_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    (void)self;
    (void)args;
    (void)nargs;
    (void)kwnames;
    Py_RETURN_NONE;
}

#define EMPTY_FN ((PyCFunction)(void (*)(void))empty_method)
#define FAST_KW (METH_FASTCALL | METH_KEYWORDS)

static PyMethodDef empty_methods[] = {
    {"info", EMPTY_FN, FAST_KW, NULL},
    {"debug", EMPTY_FN, FAST_KW, NULL},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject EmptyType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_ferrant_floor.Empty",
    .tp_basicsize = sizeof(Empty),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = PyType_GenericNew,
    .tp_methods = empty_methods,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_ferrant_floor", NULL, -1, NULL,
};

PyMODINIT_FUNC PyInit__ferrant_floor(void) {
    if (PyType_Ready(&EmptyType) < 0) return NULL;
    PyObject *m = PyModule_Create(&floor_module);
    if (m == NULL) return NULL;
    Py_INCREF(&EmptyType);
    if (PyModule_AddObject(m, "Empty", (PyObject *)&EmptyType) < 0) {
        Py_DECREF(&EmptyType);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
