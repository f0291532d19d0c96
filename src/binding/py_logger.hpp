#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// The PyLogger class, created on first use. Borrowed reference or null.
PyObject* logger_type();

extern PyMethodDef GET_LOGGER_DEF;

// Prepares the keyword names; false with an exception set.
bool init_logger();

}  // namespace ferrant
