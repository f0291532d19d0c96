#include "binding/py_logger.hpp"

namespace ferrant {

namespace {

PyObject* TYPE = nullptr;

PyObject* not_yet(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "loggers are not available yet");
    return nullptr;
}

PyObject* not_yet_fast(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return not_yet(nullptr, nullptr);
}

PyObject* logger_new(PyTypeObject*, PyObject*, PyObject*) { return not_yet(nullptr, nullptr); }

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef METHODS[] = {
    {"shutdown", not_yet, METH_NOARGS, "shutdown($self)\n--\n\n"},
    {"trace", FAST(not_yet_fast), METH_FASTCALL | METH_KEYWORDS, "trace($self, message, *args)\n--\n\n"},
    {"debug", FAST(not_yet_fast), METH_FASTCALL | METH_KEYWORDS, "debug($self, message, *args)\n--\n\n"},
    {"info", FAST(not_yet_fast), METH_FASTCALL | METH_KEYWORDS, "info($self, message, *args)\n--\n\n"},
    {"warn", FAST(not_yet_fast), METH_FASTCALL | METH_KEYWORDS, "warn($self, message, *args)\n--\n\n"},
    {"warning", FAST(not_yet_fast), METH_FASTCALL | METH_KEYWORDS, "warning($self, message, *args)\n--\n\n"},
    {"error", FAST(not_yet_fast), METH_FASTCALL | METH_KEYWORDS, "error($self, message, *args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(logger_new)},
    {Py_tp_methods, METHODS},
    {Py_tp_doc, const_cast<char*>("PyLogger(name, path=None, level=...)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec SPEC = {"ferrant._logger.PyLogger", sizeof(PyObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SLOTS};

}  // namespace

PyObject* logger_type() {
    if (!TYPE) TYPE = PyType_FromSpec(&SPEC);
    return TYPE;
}

bool init_logger() { return true; }

PyMethodDef GET_LOGGER_DEF = {"get_logger", FAST(not_yet_fast), METH_FASTCALL | METH_KEYWORDS,
                              "get_logger(name, level=...)\n--\n\n"};

}  // namespace ferrant
