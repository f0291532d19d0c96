#pragma once

#include "binding/py_ref.hpp"
#include "lib/line_builder.hpp"

namespace ferrant {

// The exception a record carries for `exc_info`, as logging reads it: an
// exception instance is itself, sys.exc_info()'s triple its exception, any
// other true value the one being handled (none outside a handler), a false
// one none; and a str is a traceback already formatted (the empty one none).
// `out` stays empty for none. False with an exception set only when the
// value's truth test raises what is not an Exception.
bool exception_for(PyObject* exc_info, PyRef& out);

// The text the field `exc` holds for `exc` (as exception_for gives it): a
// str as it is, an exception formatted. Null with an exception set.
PyRef exception_text(PyObject* exc);

// Writes the field `exc`, quoted and escaped onto the line: a str as it is,
// an exception as "".join(traceback.format_exception(exc)). False with an
// exception set.
bool put_exception_field(LineBuilder& b, const LineLayout& layout, PyObject* exc);

}  // namespace ferrant
