#include "binding/py_args.hpp"

namespace ferrant {

bool intern(Params& params) {
    for (Py_ssize_t i = 0; i < params.count; ++i) {
        if (params.interned[i]) continue;
        params.interned[i] = PyUnicode_InternFromString(params.names[i]);
        if (!params.interned[i]) return false;
    }
    return true;
}

namespace {

Py_ssize_t find_param(const Params& params, PyObject* key) {
    for (Py_ssize_t i = 0; i < params.count; ++i)
        if (params.interned[i] == key) return i;
    for (Py_ssize_t i = 0; i < params.count; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, params.interned[i]) == 0) return i;
    }
    return -1;
}

bool too_many(const Params& params, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", params.function,
                 params.count, params.count == 1 ? "" : "s", given);
    return false;
}

bool assign_keyword(const Params& params, PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t i = find_param(params, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", params.function,
                     key);
        return false;
    }
    if (out[i]) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                     params.function, params.names[i], i + 1);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_required(const Params& params, PyObject** out) {
    for (Py_ssize_t i = 0; i < params.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         params.function, params.names[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_fastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > params.count) return too_many(params, nargs + nkw);
    for (Py_ssize_t i = 0; i < params.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!assign_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out))
            return false;
    }
    return check_required(params, out);
}

bool bind_tuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs > params.count) return too_many(params, nargs + nkw);
    for (Py_ssize_t i = 0; i < params.count; ++i)
        out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!assign_keyword(params, key, value, out)) return false;
        }
    }
    return check_required(params, out);
}

bool argument_type_error(const char* function, const char* name, const char* expected,
                         PyObject* got) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function, name,
                 expected, got == Py_None ? "None" : Py_TYPE(got)->tp_name);
    return false;
}

}  // namespace ferrant
