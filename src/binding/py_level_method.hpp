#pragma once

// A ferrant.Logger's level method, shared by its common call and the
// messages that take a second try.

#include "binding/py_ref.hpp"
#include "lib/rank.hpp"

namespace ferrant {

// What a level method of a Logger is: its rank, its name for errors, and
// whether its record carries the exception being handled.
struct LevelMethod {
    Rank rank;
    const char* name;
    bool handled;
};

enum class Retry { Allowed, Done };

// (message, /, *args, **fields): the whole call, its threshold included.
PyObject* call_fields_level(const LevelMethod& method, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames, Retry retry = Retry::Allowed);

// A message that is no str: written as its str(), as the stdlib writes it.
[[gnu::cold]] PyObject* log_object_message(const LevelMethod& method, PyObject* self,
                                           PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames, Retry retry);

// After a first try that failed and wrote nothing: a message or argument
// with a lone surrogate is written once more, escaped.
[[gnu::cold]] PyObject* retry_printable(const LevelMethod& method, PyObject* self,
                                        PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);

[[gnu::cold]] PyObject* missing_message(const LevelMethod& method);

}  // namespace ferrant
