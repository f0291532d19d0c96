#pragma once

#include "binding/py_ref.hpp"

#include <cstddef>

namespace ferrant {

// Parameter names of one callable, interned once so that keyword lookup is a
// pointer comparison in the common case.
struct Params {
    const char* function;        // for messages: "basic_config"
    const char* const* names;    // nparams entries
    Py_ssize_t count;
    Py_ssize_t required;         // leading parameters that must be given
    PyObject** interned;         // count entries, filled by intern()
};

// Returns false with an exception set when interning fails.
bool intern(Params& params);

// Binds a vectorcall argument list to `params`. On success out[i] is a
// borrowed reference or null for an omitted parameter. On failure a
// TypeError worded like CPython's own is set and false returned.
bool bind_fastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// The same for a classic (tuple, dict) call.
bool bind_tuple(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// Sets "f() argument 'name' must be <expected>, not <type>" and returns false.
bool argument_type_error(const char* function, const char* name, const char* expected,
                         PyObject* got);

}  // namespace ferrant
