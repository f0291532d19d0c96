#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// ferrant._logger._set_retention(retention_days, compress): the package's
// basic_config sets the retention of file writers made afterwards through it.
extern PyMethodDef SET_RETENTION_DEF;

}  // namespace ferrant
