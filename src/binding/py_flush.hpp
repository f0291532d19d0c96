#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// ferrant._logger._flush(timeout=5.0), for the package's ferrant.flush.
extern PyMethodDef FLUSH_DEF;

}  // namespace ferrant
