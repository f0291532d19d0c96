#pragma once

#include "binding/py_ref.hpp"

#include <cstdint>
#include <optional>

#include "lib/rank.hpp"

namespace ferrant {

struct PyLevelObject {
    PyObject_HEAD
    std::uint8_t value;  // 0 (Trace) .. 4 (Error): see rank_of_level
};

// The PyLevel class, created on first use and kept for the life of the
// process. Returns a borrowed reference, or null with an exception set.
PyObject* level_type();

// Threshold rank from a `level` argument: omitted gives DEFAULT_RANK.
// Nothing, with a TypeError set, for anything that is not a PyLevel.
std::optional<Rank> rank_from_level(const char* function, PyObject* level);

}  // namespace ferrant
