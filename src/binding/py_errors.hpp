#pragma once

#include <string>

#include "binding/py_ref.hpp"
#include "lib/result.hpp"

namespace ferrant {

// Turns a core error into the pending Python exception. Always returns null
// so callers can `return raise(err);`.
PyObject* raise(const Error& error);

// After an interpreter call failed: makes sure an exception is set.
Error python_error();

// With an exception pending from str() or isoformat() of `value`: the text
// written instead, "<unprintable TYPE: EXCEPTION>", the exception cleared.
// False, the exception left pending, when it is not an Exception
// (KeyboardInterrupt, SystemExit).
bool unprintable_text(PyObject* value, std::string& out);

// The pending exception, normalised and with its traceback attached, taken
// out of the thread state; null when none is pending.
PyRef take_raised_exception();

// Makes `exc` (an exception instance, or null for none) the pending one.
void raise_again(PyRef exc);

}  // namespace ferrant
