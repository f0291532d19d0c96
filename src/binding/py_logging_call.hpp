#pragma once

#include "binding/py_ref.hpp"

namespace ferrant {

// A call of a logging.Logger level method as the native path reads it: the
// message and its arguments, and the keywords `_log` takes.
struct LoggingCall {
    PyObject* const* args = nullptr;  // the message, then its arguments
    Py_ssize_t nargs = 0;             // >= 1
    PyObject* exc_info = nullptr;     // null: not given
    PyObject* extra = nullptr;
    PyObject* stack_info = nullptr;
    PyObject* stacklevel = nullptr;
};

// Takes the keywords of a call into `call`. False when one is not a keyword
// of `_log` (the stdlib then raises its TypeError) or `msg` by name.
bool read_keywords(PyObject* kwnames, PyObject* const* values, LoggingCall& call);

// Whether the stdlib would write the call through its handlers the way the
// native path writes it: no stack to capture, a stacklevel findCaller takes
// as it is, a message whose interpolation the Logger's matches (a str; a lone
// argument that is a Mapping only when it is a dict), an `extra` that
// makeRecord accepts and an `exc_info` read as `_log` reads it. False with an
// exception set only for one that must reach the caller.
bool natively_written(const LoggingCall& call, bool& native);

// Types that are surely no Mapping: LogRecord tests a lone argument with
// isinstance(arg, collections.abc.Mapping), which these spare.
inline bool surely_not_mapping(PyObject* arg) {
    return PyUnicode_CheckExact(arg) || PyLong_CheckExact(arg) || PyFloat_CheckExact(arg) ||
           PyBool_Check(arg) || arg == Py_None || PyTuple_CheckExact(arg) ||
           PyList_CheckExact(arg) || PyBytes_CheckExact(arg);
}

// The common call, its message and arguments only, is written natively as
// it comes unless its lone argument may be a Mapping that is no dict.
inline bool plain_call(const LoggingCall& call) {
    return !call.exc_info && !call.extra && !call.stack_info && !call.stacklevel &&
           (call.nargs != 2 || surely_not_mapping(call.args[1]) || PyDict_Check(call.args[1]));
}

// What ferrant.Handler writes as the field `exc` for the call's exc_info:
// an exception, or null for none. Call after natively_written said yes.
PyRef exception_written(const LoggingCall& call);

// The record's fields as the Handler writes them, after the call's message
// and arguments in `stack`: the `extra` entries it keeps, then the
// exception. `kwnames` gets their names (null for none); `stack` must have
// room for call.nargs + the extra's size + 1, and the extra's keys must be
// exact strs (natively_written checks both). The number of fields, or -1
// with an exception set.
Py_ssize_t fields_written(const LoggingCall& call, PyObject* exc, PyObject** stack,
                          PyRef& kwnames);

// Interns the keyword names; false with an exception set.
bool init_call_names();

}  // namespace ferrant
