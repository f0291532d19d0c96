#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// Makes the module survive fork(): no pending line is inherited twice, no
// lock a vanished thread held stays locked in the child, and writers are
// restarted in the child on first use. False with an exception set.
bool install_fork_handlers();

}  // namespace ferrant
