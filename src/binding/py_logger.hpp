#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// The PyLogger class, created on first use. Borrowed reference or null.
PyObject* logger_type();

// The Logger class (records with fields), created on first use. Borrowed
// reference or null.
PyObject* fields_logger_type();

extern PyMethodDef GET_LOGGER_DEF;
// get_logger returning a Logger.
extern PyMethodDef GET_FIELDS_LOGGER_DEF;

// Prepares the keyword names of both types; false with an exception set.
bool init_logger();
bool init_fields_logger();

}  // namespace ferrant
