#pragma once

#include <cstddef>

#include "binding/py_dict_watch.hpp"
#include "binding/py_ref.hpp"

namespace ferrant {

// The parts of the standard library's logging, and of ferrant.Handler, that
// the accelerated level methods rely on: taken by accelerate_logging(),
// dropped when it is turned off. Process-wide (the module is single-phase),
// touched with the GIL held.
struct StdlibLogging {
    PyRef module_dict;      // logging's globals: _logRecordFactory, _srcfile
    DictStamp globals;      // of module_dict, since the record factory was last seen default
    PyRef logger_type;      // logging.Logger
    PyRef record_type;      // logging.LogRecord, the default record factory
    PyRef mapping_type;     // collections.abc.Mapping, as LogRecord tests a lone argument
    PyRef lock;             // logging._lock
    PyRef handler_type;     // ferrant.Handler
    PyRef plain_formatter;  // the Handler's own formatter
    PyRef refused_keys;     // `extra` keys makeRecord refuses: a record's own, message, asctime
    PyRef skipped_keys;     // attributes the Handler never writes as fields

    // What plain types resolve these names to (null: nothing), as the
    // classes were once accelerated.
    static constexpr std::size_t LOGGER_SLOTS = 32, HANDLER_SLOTS = 16, RECORD_SLOTS = 8;
    PyRef logger_expected[LOGGER_SLOTS];
    PyRef handler_expected[HANDLER_SLOTS];
    PyRef record_expected[RECORD_SLOTS];
};

// Null while the accelerator is off.
StdlibLogging* stdlib_logging();

// Takes ownership; null drops what was held.
void set_stdlib_logging(StdlibLogging* refs);

// Fills the expected attributes of `refs` from its classes. False with an
// exception set.
bool expect_current_classes(StdlibLogging& refs);

// Whether objects of `type` behave as logging.Logger's for the level methods:
// every method the call path of a record goes through, and the attribute
// access and truth of the object, are logging.Logger's own (RootLogger's and
// most subclasses' are). The answer holds while the type's version tag is the
// one `tag` receives (0: none was assigned, so nothing may be cached).
bool plain_logger_type(PyTypeObject* type, unsigned& tag);
// The same for ferrant.Handler (whose subclasses are not plain) and for
// logging.LogRecord.
bool plain_handler_type(PyTypeObject* type, unsigned& tag);
bool plain_record_type(PyTypeObject* type, unsigned& tag);

// Whether no instance attribute of `object` stands in for one of the methods
// its type gives it (a mock patched onto one logger, say). False with an
// exception set only when an attribute lookup raised what is not an
// AttributeError; `clean` tells the answer.
bool logger_methods_untouched(PyObject* object, bool& clean);
bool handler_methods_untouched(PyObject* object, bool& clean);

// Forgets the answers kept for types.
void forget_type_verdicts();

}  // namespace ferrant
