#pragma once

#include <cstddef>
#include <iterator>

#include "binding/py_ref.hpp"

namespace ferrant {

// The level methods the accelerator puts on logging.Logger, in this order.
inline constexpr const char* LEVEL_METHOD_NAMES[] = {
    "debug", "info", "warning", "warn", "error", "exception", "critical", "fatal", "log",
};
inline constexpr std::size_t LEVEL_METHOD_COUNT = std::size(LEVEL_METHOD_NAMES);

// The definition of the native one, for a method descriptor of logging.Logger.
PyMethodDef* level_method_def(std::size_t index);

// The stdlib's own method, which the native one calls for every record it
// does not write itself. Kept once taken: a bound native method may outlive
// the accelerator.
void keep_original(std::size_t index, PyObject* function);
PyObject* original_method(std::size_t index);

// Whether `object` is a descriptor of one of the native methods.
bool is_native_level_method(PyObject* object);

// Interns what the methods look up; false with an exception set.
bool init_level_methods();

}  // namespace ferrant
