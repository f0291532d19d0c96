#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// The level methods of a ferrant.Logger, (message, /, *args, **fields).
enum class LevelMethodKind { Trace, Debug, Info, Warn, Warning, Error, Exception, Critical, Fatal };

template <LevelMethodKind K>
PyObject* logger_level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);

}  // namespace ferrant
