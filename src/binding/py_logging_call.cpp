#include "binding/py_logging_call.hpp"

#include "binding/py_stdlib_logging.hpp"

namespace ferrant {

namespace {

struct CallNames {
    PyObject* exc_info;
    PyObject* extra;
    PyObject* stack_info;
    PyObject* stacklevel;
    PyObject* exc_info_only;  // ("exc_info",)
};

CallNames K{};

bool is_name(PyObject* key, PyObject* name) {
    return key == name || (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0);
}

// An error that must reach the caller (not an Exception) stays set and gives
// false; an Exception is cleared and the call goes to the stdlib.
bool leave_to_stdlib(bool& native) {
    native = false;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// The kinds of exc_info whose reading runs no code: what `_log` does with
// them (an exception becomes its triple, a tuple stays, another true value
// is sys.exc_info()) and what the Handler takes from that are known.
bool plain_exc_info(PyObject* exc_info) {
    return !exc_info || exc_info == Py_None || PyBool_Check(exc_info) ||
           PyLong_CheckExact(exc_info) || PyExceptionInstance_Check(exc_info) ||
           PyTuple_CheckExact(exc_info);
}

}  // namespace

bool init_call_names() {
    if (K.exc_info) return true;
    if (!(K.exc_info = PyUnicode_InternFromString("exc_info")) ||
        !(K.extra = PyUnicode_InternFromString("extra")) ||
        !(K.stack_info = PyUnicode_InternFromString("stack_info")) ||
        !(K.stacklevel = PyUnicode_InternFromString("stacklevel")))
        return false;
    K.exc_info_only = PyTuple_Pack(1, K.exc_info);
    return K.exc_info_only != nullptr;
}

bool read_keywords(PyObject* kwnames, PyObject* const* values, LoggingCall& call) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (is_name(key, K.exc_info))
            call.exc_info = values[i];
        else if (is_name(key, K.extra))
            call.extra = values[i];
        else if (is_name(key, K.stack_info))
            call.stack_info = values[i];
        else if (is_name(key, K.stacklevel))
            call.stacklevel = values[i];
        else
            return false;
    }
    return true;
}

bool natively_written(const LoggingCall& call, bool& native) {
    native = false;
    const StdlibLogging* refs = stdlib_logging();
    if (!refs) return true;
    if (call.stack_info && call.stack_info != Py_None && call.stack_info != Py_False) return true;
    if (call.stacklevel && !PyLong_CheckExact(call.stacklevel)) return true;
    if (!plain_exc_info(call.exc_info)) return true;
    if (call.nargs == 2) [[likely]] {
        PyObject* arg = call.args[1];
        if (!PyDict_Check(arg) && !surely_not_mapping(arg)) [[unlikely]] {
            const int mapping = PyObject_IsInstance(arg, refs->mapping_type.get());
            if (mapping < 0) return leave_to_stdlib(native);
            if (mapping) return true;
        }
    }
    if (call.extra && call.extra != Py_None) {
        if (!PyDict_CheckExact(call.extra)) return true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(call.extra, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return true;
            // makeRecord raises KeyError for these: the stdlib's path says so.
            const int refused = PySet_Contains(refs->refused_keys.get(), key);
            if (refused < 0) return leave_to_stdlib(native);
            if (refused) return true;
        }
    }
    native = true;
    return true;
}

PyRef exception_written(const LoggingCall& call) {
    PyObject* e = call.exc_info;
    if (!e || e == Py_None || e == Py_False) return {};
    if (PyExceptionInstance_Check(e)) return PyRef::borrow(e);
    if (PyTuple_CheckExact(e)) {
        // The Handler reads the value of a triple; an empty tuple is false.
        if (PyTuple_GET_SIZE(e) > 1 && PyExceptionInstance_Check(PyTuple_GET_ITEM(e, 1)))
            return PyRef::borrow(PyTuple_GET_ITEM(e, 1));
        return {};
    }
    // True or a nonzero int: sys.exc_info(), none outside an except block.
    if (e != Py_True && PyObject_IsTrue(e) != 1) return {};
    PyRef handled = PyRef::steal(PyErr_GetHandledException());
    if (handled.get() == Py_None) return {};
    return handled;
}

Py_ssize_t fields_written(const LoggingCall& call, PyObject* exc, PyObject** stack,
                          PyRef& kwnames) {
    kwnames = PyRef();
    const StdlibLogging* refs = stdlib_logging();
    Py_ssize_t count = 0;
    if (call.extra && call.extra != Py_None && refs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(call.extra, &pos, &key, &value)) {
            const int skipped = PySet_Contains(refs->skipped_keys.get(), key);
            if (skipped < 0) return -1;
            if (!skipped) stack[call.nargs + count++] = value;
        }
    }
    if (count == 0) {
        if (!exc) return 0;
        stack[call.nargs] = exc;
        kwnames = PyRef::borrow(K.exc_info_only);
        return 1;
    }
    PyRef names = PyRef::steal(PyTuple_New(count + (exc ? 1 : 0)));
    if (!names) return -1;
    // The same walk again: the set tests above ran no code that could
    // change the dict.
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (i < count && PyDict_Next(call.extra, &pos, &key, &value))
        if (PySet_Contains(refs->skipped_keys.get(), key) == 0)
            PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(key));
    if (exc) {
        PyTuple_SET_ITEM(names.get(), count, Py_NewRef(K.exc_info));
        stack[call.nargs + count++] = exc;
    }
    kwnames = std::move(names);
    return count;
}

}  // namespace ferrant
