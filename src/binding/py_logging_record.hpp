#pragma once

#include "binding/py_logging_call.hpp"
#include "binding/py_ref.hpp"

namespace ferrant {

// The rare way of an accelerated call: a handler failed to write its record,
// and the stdlib's LogRecord is made after all, for handleError and for the
// handlers after it.

// The LogRecord `_log` would make for the call on `logger` (whose level
// methods are plain): the caller found by its findCaller, which sees no frame
// of ours, the record made by its makeRecord. `level` is the level as an int
// object, `name` the logger's name. Call with no exception pending; null
// with one set.
PyRef stdlib_record(PyObject* logger, PyObject* level, PyObject* name, const LoggingCall& call);

// Hands the pending exception (an Exception) to handler.handleError(record)
// as Handler.emit does: as the exception being handled, its traceback
// beginning at the caller's frame. Nothing is pending after; false with an
// exception set when handleError raised.
bool report_to_handler(PyObject* handler, PyObject* record);

// Interns the method names; false with an exception set.
bool init_record_names();

}  // namespace ferrant
