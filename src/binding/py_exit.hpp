#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// Registers the interpreter-exit hand-off: the main thread's pending lines
// go to their writer and every live writer is flushed. False with an
// exception set on failure.
bool register_exit_flush();

// The function registered with atexit (borrowed; lives for the process).
PyObject* exit_flush_function();

}  // namespace ferrant
