#pragma once

#include "binding/py_ref.hpp"
#include "lib/rank.hpp"

namespace ferrant {

// The level methods of a ferrant.Logger, (message, /, *args, **fields).
enum class LevelMethodKind { Trace, Debug, Info, Warn, Warning, Error, Exception, Critical, Fatal };

template <LevelMethodKind K>
PyObject* logger_level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);

// For the logging accelerator: a record written through `logger` (a Logger)
// as its level method of `rank` writes it, called with `args` (the message
// first) and `kwnames` as that method takes them. Null with an exception set.
PyObject* log_through(PyObject* logger, Rank rank, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// Whether `object` is a Logger whose threshold lets every record through.
bool takes_every_record(PyObject* object);

}  // namespace ferrant
