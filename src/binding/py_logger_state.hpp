#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "binding/py_console.hpp"
#include "binding/py_record_line.hpp"
#include "binding/py_ref.hpp"
#include "binding/py_rendered_fields.hpp"
#include "binding/py_thresholds.hpp"
#include "lib/line_format.hpp"
#include "lib/rank.hpp"
#include "lib/shared_writer.hpp"

// What a logger object holds, for the files that make loggers, log through
// them and keep them up to date. A PyLogger is a LoggerState; a Logger is
// that state with its bound fields, its source and its place in the level
// links after it, so the code that takes a PyLogger's state serves both.

namespace ferrant {

// The C++ side of a PyLogger. Built by make_logger as soon as the object is
// allocated, before anything can fail, and destroyed by its dealloc: a
// logger always holds a whole one.
struct LoggerState {
    Rank level;  // threshold: records of a greater rank are dropped
    const LineLayout* layout;
    std::shared_ptr<SharedWriter> writer;
    // Per rank, level text + name field + message key, pre-rendered for the
    // writer's layout so a record copies them in one piece; kPiecePad NULs
    // follow each, so that a short one is copied in one move.
    std::string heads[RANK_SLOTS] = {};
    std::size_t head_size[RANK_SLOTS] = {};
    // For a capture of the records (ferrant.testing): the name as given,
    // and whether the records are the stdlib's, written by ferrant.Handler.
    std::optional<std::string> name{};
    bool bridge = false;
    // Set while its records are copied to the console (py_console.hpp): a
    // record tests it once, after its line.
    std::unique_ptr<ConsoleCopy> console{};
};

static_assert(std::is_nothrow_constructible_v<LoggerState, Rank, const LineLayout*,
                                              std::shared_ptr<SharedWriter>>);

// Inline, not behind a pointer: the log call reads the state at fixed
// offsets from the object.
struct PyLoggerObject {
    PyObject_HEAD
    LoggerState state;
};

// What a Logger was made from, shared by the loggers bound from it: its
// writer is resolved from this again when the configuration changes.
struct LoggerSource {
    std::optional<std::string> name{};
    // Where the logger writes when it does not follow basic_config.
    std::optional<std::string> path;
    bool follows = false;  // the destination basic_config last set
};

struct FieldLoggerObject {
    PyLoggerObject base;
    // What its lines carry: the service's fields, then its own (py_service_fields.hpp).
    RenderedFields bound;
    RenderedFields own;              // bound by bind()
    std::uint64_t service_id;        // the service's set `bound` was merged from
    ThresholdLink threshold;  // its level, for set_level
    std::shared_ptr<const LoggerSource> source;
    // The CONFIG_GENERATION its writer was resolved at.
    std::uint64_t generation;
    // Calls on this logger under way (GIL held): the state is only replaced
    // while none but the replacing one is, since a call that runs Python code
    // or waits holds pointers into it.
    unsigned busy;
};

inline LoggerState* state_of(PyObject* self) {
    return &reinterpret_cast<PyLoggerObject*>(self)->state;
}
inline FieldLoggerObject* fields_logger(PyObject* self) {
    return reinterpret_cast<FieldLoggerObject*>(self);
}

inline LineTarget target_of(const LoggerState* logger, Rank rank) {
    const unsigned r = rank_index(rank);
    return {logger->writer, *logger->layout, {logger->heads[r].data(), logger->head_size[r]}};
}

// `name` argument: None gives no name, a str is taken as it is. False with
// TypeError set.
bool convert_name(const char* function, PyObject* arg, std::optional<std::string_view>& out);

// Per rank: level text, name field and message key for the state's writer.
void build_heads(LoggerState& logger, const std::optional<std::string_view>& name);
// The same for `layout` and `settings`, into RANK_SLOTS heads and sizes.
void build_heads(std::string* heads, std::size_t* sizes, const LineLayout& layout,
                 const WriterSettings& settings, const std::optional<std::string_view>& name);

// A new logger object of `type` for `path` (absent: standard output). A
// Logger has a `source`; a PyLogger has none. `explicit_level`: made with a
// level, which basic_config's default then leaves alone.
PyObject* make_logger(PyObject* type, std::optional<std::string_view> name,
                      std::optional<std::string> path, Rank rank,
                      std::shared_ptr<const LoggerSource> source = nullptr,
                      bool explicit_level = true);

// The record of a printf call, after the level check: PyLogger's level
// methods, and a Logger's record without fields. False with an exception set.
bool log_args(LoggerState* logger, Rank rank, PyObject* message, PyObject* const* args,
              Py_ssize_t nargs);

// Brings a Logger's writer up to date with the configuration; see
// py_logger_refresh.cpp. False with an exception set.
[[gnu::noinline, gnu::cold]] bool refresh(PyObject* self);

// shutdown() and the release of a logger's state, for both types.
PyObject* logger_shutdown(PyObject* self, PyObject*);
void logger_dealloc(PyObject* self);

}  // namespace ferrant
