#pragma once

#include "binding/py_ref.hpp"
#include "lib/byte_buffer.hpp"
#include "lib/result.hpp"

namespace ferrant {

// Writes `message % args` into `out`, which must be empty. Exact ints, floats
// and strs are rendered here without creating Python objects; every template
// or argument this code does not reproduce byte for byte goes to the
// interpreter's own `%`. `args` holds n >= 1 arguments; a tuple of them is
// built only for the interpreter's `%`. On error the content of `out` is
// meaningless.
Status interpolate(PyObject* message, PyObject* const* args, Py_ssize_t n, ByteBuffer& out);

// Replaces the content of `out` with the UTF-8 of `message % operand`.
Status fallback_format(ByteBuffer& out, PyObject* message, PyObject* operand);

}  // namespace ferrant
