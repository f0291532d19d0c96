#pragma once

#include "binding/py_ref.hpp"
#include "lib/rank.hpp"

namespace ferrant {

// The PyLogger class, created on first use. Borrowed reference or null.
PyObject* logger_type();

// The Logger class (records with fields), created on first use. Borrowed
// reference or null.
PyObject* fields_logger_type();

extern PyMethodDef GET_LOGGER_DEF;
// get_logger returning a Logger.
extern PyMethodDef GET_FIELDS_LOGGER_DEF;

// Prepares the keyword names; false with an exception set.
bool init_logger();

// For the logging accelerator: a record written through `logger` (a Logger)
// as its level method of `rank` writes it, called with `args` (the message
// first) and `kwnames` as that method takes them. Null with an exception set.
PyObject* log_through(PyObject* logger, Rank rank, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// Whether `object` is a Logger whose threshold lets every record through.
bool takes_every_record(PyObject* object);

}  // namespace ferrant
