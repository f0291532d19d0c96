#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

extern PyMethodDef BASIC_CONFIG_DEF;

// Prepares the keyword names; false with an exception set.
bool init_basic_config();

}  // namespace ferrant
