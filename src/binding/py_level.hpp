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

// As rank_from_level, for the package's loggers, which also take a level's
// name in any case ("critical" is error) and a `logging` level number (as
// the bridge maps them). `level` is given. Nothing, with TypeError or
// ValueError set, for anything else.
std::optional<Rank> rank_from_any_level(const char* function, PyObject* level);

// The PyLevel member of a rank (borrowed; the class exists).
PyObject* level_of_rank(Rank rank);

}  // namespace ferrant
