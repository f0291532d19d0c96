#pragma once

#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"

namespace ferrant {

// Writes `message % args` into `out`, which must be empty. Exact ints, floats
// and strs are rendered here without creating Python objects; every template
// or argument this code does not reproduce byte for byte goes to the
// interpreter's own `%`. `args` holds n >= 1 arguments; a tuple of them is
// built only for the interpreter's `%`. Returns false with a Python exception
// set on error; the content of `out` is then meaningless.
bool interpolate(PyObject* message, PyObject* const* args, Py_ssize_t n, ByteBuffer& out);

// Replaces the content of `out` with the UTF-8 of `message % operand`.
// Returns false with a Python exception set on error.
bool fallback_format(ByteBuffer& out, PyObject* message, PyObject* operand);

}  // namespace ferrant
