#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// _accelerate(logging, handler_type, plain_formatter, refused_keys,
// skipped_keys): puts the native level methods on logging.Logger; a second
// call while they are on does nothing.
extern PyMethodDef ACCELERATE_DEF;
// _decelerate(): puts the stdlib's own back.
extern PyMethodDef DECELERATE_DEF;

// Interns what the accelerator looks up; false with an exception set.
bool init_accelerate();

}  // namespace ferrant
