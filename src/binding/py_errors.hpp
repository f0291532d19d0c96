#pragma once

#include "binding/py_ref.hpp"
#include "lib/result.hpp"

namespace ferrant {

// Turns a core error into the pending Python exception. Always returns null
// so callers can `return raise(err);`.
PyObject* raise(const Error& error);

// After an interpreter call failed: makes sure an exception is set.
Error python_error();

}  // namespace ferrant
