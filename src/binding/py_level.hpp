#pragma once

#include "binding/py_ref.hpp"

#include <cstdint>

namespace ferrant {

struct PyLevelObject {
    PyObject_HEAD
    std::uint8_t value;
};

// The PyLevel class, created on first use and kept for the life of the
// process. Returns a borrowed reference, or null with an exception set.
PyObject* level_type();

// Threshold rank from a `level` argument: omitted gives 3 (Info). Returns 0
// with a TypeError set for anything that is not a PyLevel.
std::uint8_t rank_from_level(const char* function, PyObject* level);

}  // namespace ferrant
