#include "binding/py_logger.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"
#include "binding/py_context_fields.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_exception_field.hpp"
#include "binding/py_fields.hpp"
#include "binding/py_gil.hpp"
#include "binding/py_interpolate.hpp"
#include "binding/py_level.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_record_line.hpp"
#include "binding/py_text.hpp"
#include "binding/py_thresholds.hpp"
#include "lib/registry.hpp"
#include "lib/settings.hpp"
#include "lib/line_format.hpp"
#include "lib/rank.hpp"

namespace ferrant {

namespace {

// The C++ side of a PyLogger. Built by make_logger as soon as the object is
// allocated, before anything can fail, and destroyed by logger_dealloc: a
// PyLogger always holds a whole one.
struct LoggerState {
    Rank level;  // threshold: records of a greater rank are dropped
    const LineLayout* layout;
    std::shared_ptr<SharedWriter> writer;
    // Per rank, level text + name field + message key, pre-rendered for the
    // writer's layout so a record copies them in one piece; kPiecePad NULs
    // follow each, so that a short one is copied in one move.
    std::string heads[RANK_SLOTS] = {};
    std::size_t head_size[RANK_SLOTS] = {};
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
    std::optional<std::string> name;
    // Where the logger writes when it does not follow basic_config.
    std::optional<std::string> path;
    bool follows = false;  // the destination basic_config last set
};

// A Logger is a PyLogger's object with its bound fields after it: the code
// that takes a PyLogger's state serves both.
struct FieldLoggerObject {
    PyLoggerObject base;
    RenderedFields bound;
    ThresholdLink threshold;  // its level, for set_level
    std::shared_ptr<const LoggerSource> source;
    // The CONFIG_GENERATION its writer was resolved at.
    std::uint64_t generation;
    // Calls on this logger under way (GIL held): the state is only replaced
    // while none but the replacing one is, since a call that runs Python code
    // or waits holds pointers into it.
    unsigned busy;
};

PyObject* TYPE = nullptr;
PyObject* FIELDS_TYPE = nullptr;

LoggerState* state_of(PyObject* self) { return &reinterpret_cast<PyLoggerObject*>(self)->state; }
FieldLoggerObject* fields_logger(PyObject* self) { return reinterpret_cast<FieldLoggerObject*>(self); }
RenderedFields* bound_of(PyObject* self) { return &fields_logger(self)->bound; }
ThresholdLink* threshold_of(PyObject* self) {
    return &reinterpret_cast<FieldLoggerObject*>(self)->threshold;
}

// ---- construction ----------------------------------------------------------

// `name`: None gives no name, a str is taken as it is.
bool convert_name(const char* function, PyObject* arg, std::optional<std::string_view>& out) {
    if (arg == Py_None) {
        out.reset();
        return true;
    }
    if (!PyUnicode_Check(arg)) return argument_type_error(function, "name", "str or None", arg);
    std::string_view text;
    if (!utf8_view(arg, text)) return false;
    out = text;
    return true;
}

// Per rank: level text, name field and message key for `writer`'s layout.
void build_heads(LoggerState& logger, const std::optional<std::string_view>& name) {
    const WriterSettings& settings = logger.writer->settings();
    const std::string name_field = name ? render_name_field(*name, settings) : std::string();
    for (const Rank rank : {Rank::Error, Rank::Warn, Rank::Info, Rank::Debug, Rank::Trace}) {
        const unsigned r = rank_index(rank);
        logger.heads[r] = record_head(*logger.layout, rank, name_field);
        logger.head_size[r] = logger.heads[r].size();
        logger.heads[r].append(kPiecePad, '\0');
    }
}

// A Logger has a `source`; a PyLogger has none. `explicit_level`: made with
// a level, which basic_config's default then leaves alone.
PyObject* make_logger(PyObject* type_object, std::optional<std::string_view> name,
                      std::optional<std::string> path, Rank rank,
                      std::shared_ptr<const LoggerSource> source = nullptr,
                      bool explicit_level = true) {
    const std::uint64_t generation = CONFIG_GENERATION.load(std::memory_order_relaxed);
    Result<std::shared_ptr<SharedWriter>> writer =
        shared_writer(std::move(path), source && source->follows ? Reuse::Current : Reuse::Live);
    if (!writer) return raise(writer.error());
    std::shared_ptr<SharedWriter> shared = writer.take();
    const LineLayout& layout = LineLayout::for_settings(shared->settings());
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    LoggerState* logger = new (state_of(self)) LoggerState(rank, &layout, std::move(shared));
    if (type_object == FIELDS_TYPE) {
        FieldLoggerObject* fields = fields_logger(self);
        new (&fields->bound) RenderedFields();
        new (&fields->threshold) ThresholdLink{&logger->level, {}, !explicit_level};
        new (&fields->source) std::shared_ptr<const LoggerSource>(std::move(source));
        fields->generation = generation;
        fields->busy = 0;
    }
    try {
        if (type_object == FIELDS_TYPE) {
            if (name) threshold_of(self)->name = *name;
            link_threshold(*threshold_of(self));
        }
        build_heads(*logger, name);
    } catch (...) {
        // Released in the handler, not by a PyRef as the exception unwinds:
        // the release may end the thread (see PyRef), and that forced unwind
        // cannot start inside another exception's unwinding.
        Py_DECREF(self);
        throw;
    }
    return self;
}

// The source of a Logger made now.
std::shared_ptr<const LoggerSource> source_of(std::optional<std::string_view> name,
                                              const std::optional<std::string>& path,
                                              bool follows) {
    auto source = std::make_shared<LoggerSource>();
    if (name) source->name.emplace(*name);
    source->path = path;
    source->follows = follows;
    return source;
}

constexpr const char* NEW_NAMES[] = {"name", "path", "level"};
PyObject* NEW_INTERNED[3] = {};
Params NEW_PARAMS = {"PyLogger", NEW_NAMES, 3, 1, NEW_INTERNED};

PyObject* logger_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!bind_tuple(NEW_PARAMS, args, kwargs, a)) return nullptr;
    std::optional<std::string_view> name;
    std::optional<std::string> path;
    if (!convert_name("PyLogger", a[0], name)) return nullptr;
    if (!convert_optional_path("PyLogger", a[1], path)) return nullptr;
    const std::optional<Rank> rank = rank_from_level("PyLogger", a[2]);
    if (!rank) return nullptr;
    return make_logger(TYPE, name, std::move(path), *rank);
}

// A Logger's level: a PyLevel, a name or a logging number; omitted, the
// one set_level or basic_config chose for its name.
std::optional<Rank> fields_logger_rank(const char* function, PyObject* level,
                                       std::optional<std::string_view> name) {
    if (level) return rank_from_any_level(function, level);
    return initial_threshold(name.value_or(std::string_view()));
}

PyObject* FIELDS_NEW_INTERNED[3] = {};
Params FIELDS_NEW_PARAMS = {"Logger", NEW_NAMES, 3, 1, FIELDS_NEW_INTERNED};

PyObject* fields_logger_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!bind_tuple(FIELDS_NEW_PARAMS, args, kwargs, a)) return nullptr;
    std::optional<std::string_view> name;
    std::optional<std::string> path;
    if (!convert_name("Logger", a[0], name)) return nullptr;
    if (!convert_optional_path("Logger", a[1], path)) return nullptr;
    const std::optional<Rank> rank = fields_logger_rank("Logger", a[2], name);
    if (!rank) return nullptr;
    auto source = source_of(name, path, false);
    return make_logger(FIELDS_TYPE, name, std::move(path), *rank, std::move(source),
                       a[2] != nullptr);
}

constexpr const char* GET_NAMES[] = {"name", "level"};
PyObject* GET_INTERNED[2] = {};
Params GET_PARAMS = {"get_logger", GET_NAMES, 2, 1, GET_INTERNED};

PyObject* get_logger(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (!bind_fastcall(GET_PARAMS, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    std::optional<std::string_view> name;
    if (!convert_name("get_logger", a[0], name)) return nullptr;
    const std::optional<Rank> rank = rank_from_level("get_logger", a[1]);
    if (!rank) return nullptr;
    return make_logger(TYPE, name, default_path_cell().get(), *rank);
}

PyObject* get_fields_logger(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    PyObject* a[2];
    if (!bind_fastcall(GET_PARAMS, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    std::optional<std::string_view> name;
    if (!convert_name("get_logger", a[0], name)) return nullptr;
    const std::optional<Rank> rank = fields_logger_rank("get_logger", a[1], name);
    if (!rank) return nullptr;
    return make_logger(FIELDS_TYPE, name, default_path_cell().get(), *rank,
                       source_of(name, std::nullopt, true), a[1] != nullptr);
}

// ---- release ---------------------------------------------------------------

void logger_dealloc(PyObject* self) {
    LoggerState* logger = state_of(self);
    PyTypeObject* type = Py_TYPE(self);
    const bool handed = quietly([logger] {
        // If this logger and this thread's open batch are the writer's last
        // holders, the lines go out before the writer is stopped.
        ThreadProducer* producer = existing_thread_producer();
        // Parked rather than waited for: a dealloc has no caller to raise to.
        if (producer && logger->writer && producer->batch_writer == logger->writer &&
            logger->writer.use_count() == 2)
            (void)hand_off(*producer, HandOff::Park);
    });
    if (!handed) PyErr_Clear();
    std::shared_ptr<SharedWriter> writer = std::move(logger->writer);
    logger->~LoggerState();
    type->tp_free(self);
    Py_DECREF(type);
    // The last holder stops the writer, which first writes out its queue.
    drop_writer(std::move(writer));
}

void fields_logger_dealloc(PyObject* self) {
    FieldLoggerObject* fields = fields_logger(self);
    unlink_threshold(fields->threshold);
    fields->threshold.~ThresholdLink();
    fields->bound.~RenderedFields();
    using Source = std::shared_ptr<const LoggerSource>;
    fields->source.~Source();
    logger_dealloc(self);
}

// ---- the log call ----------------------------------------------------------

LineTarget target_of(LoggerState* logger, Rank rank) {
    const unsigned r = rank_index(rank);
    return {logger->writer, *logger->layout, {logger->heads[r].data(), logger->head_size[r]}};
}

// A record made while this thread's producer is being torn down goes out on
// its own, through a producer of its own, without giving the GIL up: the
// interpreter is clearing this thread's state.
[[gnu::noinline]] bool log_without_producer(LoggerState* logger, Rank rank,
                                            PyObject* message, PyObject* const* args,
                                            Py_ssize_t nargs) {
    ThreadProducer tp;
    std::string_view text;
    if (nargs == 0) {
        if (!utf8_view(message, text)) return false;
    } else {
        if (!interpolate(message, args, nargs, tp.core.scratch)) return false;
        text = tp.core.scratch.view();
    }
    return append_line(tp, target_of(logger, rank), text, 1, HandOff::Park);
}

// The body of every level method, after the message has been checked.
// Returns false with a Python exception set.
bool log_args(LoggerState* logger, Rank rank, PyObject* message, PyObject* const* args,
              Py_ssize_t nargs) {
    if (logger->level < rank) return true;
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    ThreadProducer* tp = thread_producer();
    if (!tp) [[unlikely]] {
        if (PyErr_Occurred()) return false;
        return log_without_producer(logger, rank, message, args, nargs);
    }
    const LineTarget target = target_of(logger, rank);
    if (nargs == 0) {
        std::string_view text;
        if (!utf8_view(message, text)) return false;
        return append_line(*tp, target, text, batch_size);
    }
    switch (append_interpolated_line(*tp, target, message, args, nargs, batch_size)) {
        case Rendered::Done: return true;
        case Rendered::Failed: return false;
        case Rendered::Declined: break;
    }
    // Argument code may log on this thread: it finds an empty scratch slot
    // and uses its own buffer. Nothing here may touch the producer while
    // Python code runs, so a thread ended mid-call unwinds cleanly.
    ByteBuffer scratch = std::move(tp->core.scratch);
    scratch.clear();
    const bool ok = interpolate(message, args, nargs, scratch) &&
                    append_line(*tp, target, scratch.view(), batch_size);
    tp->core.scratch = std::move(scratch);
    tp->core.scratch.clear();
    return ok;
}

template <Rank R>
PyObject* level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames);

// Indexed by rank.
constexpr const char* METHOD_NAMES[RANK_SLOTS] = {"", "error", "warn", "info", "debug", "trace"};
PyObject* MESSAGE_KEY = nullptr;

[[gnu::noinline]] bool bind_message_keyword(const char* method, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (key != MESSAGE_KEY && PyUnicode_Compare(key, MESSAGE_KEY) != 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", method,
                         key);
            return false;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'message'",
                         method);
            return false;
        }
    }
    return true;
}

PyObject* call_level(Rank rank, const char* method, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* message;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) [[unlikely]] {
        if (!bind_message_keyword(method, nargs, kwnames)) return nullptr;
        message = args[nargs];
    } else if (nargs == 0) [[unlikely]] {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'message' (pos 1)", method);
        return nullptr;
    } else {
        message = args[0];
        ++args;
        --nargs;
    }
    if (!PyUnicode_Check(message)) [[unlikely]] {
        argument_type_error(method, "message", "str", message);
        return nullptr;
    }
    if (!guarded([&] { return log_args(state_of(self), rank, message, args, nargs); }))
        return nullptr;
    Py_RETURN_NONE;
}

template <Rank R>
PyObject* level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    return call_level(R, METHOD_NAMES[rank_index(R)], self, args, nargsf, kwnames);
}

PyObject* warning_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
    return call_level(Rank::Warn, "warning", self, args, nargsf, kwnames);
}

// ---- shutdown --------------------------------------------------------------

PyObject* logger_shutdown(PyObject* self, PyObject*) {
    PyRef hold = PyRef::borrow(self);
    LoggerState* logger = state_of(self);
    if (ThreadProducer* tp = existing_thread_producer()) {
        // Another writer's lines go to it without waiting on it.
        const HandOff how = tp->batch_writer == logger->writer ? HandOff::Wait : HandOff::Park;
        if (!hand_off(*tp, how)) return nullptr;
    }
    SharedWriter& writer = *logger->writer;
    const FlushOutcome outcome = without_gil([&] { return writer.flush(writer_wait()); });
    writer.note_flush(outcome);
    if (logger->writer.use_count() == 1) {
        without_gil([&] { writer.stop(); });
        // A Logger of this destination starts a writer again at its next record.
        config_changed();
    }
    Py_RETURN_NONE;
}

// ---- Logger: records with fields --------------------------------------------

// Whether a field of the call is written under `key`.
bool named_in(std::string_view key, PyObject* kwnames) {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    if (key.empty() || key[0] != '@') {
        // A key written as it is was given as it is.
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* given = PyTuple_GET_ITEM(kwnames, i);
            if (PyUnicode_IS_COMPACT_ASCII(given) && key_text(given) == key) return true;
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* given = PyTuple_GET_ITEM(kwnames, i);
        if (is_exc_info(given)) continue;
        std::string_view written;
        std::string storage;
        if (!field_key(given, written, storage)) {
            PyErr_Clear();  // out of memory: taken as another key
            continue;
        }
        if (written == key) return true;
    }
    return false;
}

// What a Logger's call adds to its bound fields.
struct CallFields {
    PyObject* kwnames = nullptr;  // keys checked; null for none
    PyObject* const* values = nullptr;
    Py_ssize_t exc_info_at = -1;  // exc_info's place in kwnames: not a field
    std::uint64_t mask = 0;       // the fields' key bits, when something may clash
    PyObject* exc = nullptr;      // the exception written last, or null
    const ContextFields* context = nullptr;
    CallKeys keys;                // as check_call_keys left them
};

// A bound field is left out when the context or the call gives its key
// again; the masks spare the string compares unless two keys may match.
void append_bound(ByteBuffer& buf, const RenderedFields& bound, unsigned slot,
                  const CallFields& call) {
    if (bound.empty()) return;
    const std::uint64_t later = (call.context ? call.context->mask : 0) | call.mask;
    if (!(bound.mask & later)) {
        buf.append(bound.rendered[slot]);
        return;
    }
    for (const RenderedField& f : bound.fields) {
        if (f.bit & later) {
            if (call.context && call.context->has(f.key, f.bit)) continue;
            if ((f.bit & call.mask) && named_in(f.key, call.kwnames)) continue;
        }
        bound.append(buf, f, slot);
    }
}

void append_context(ByteBuffer& buf, const ContextFields& context, unsigned slot,
                    const CallFields& call) {
    if (!(context.mask & call.mask)) {
        buf.append(context.rendered[slot]);
        return;
    }
    for (const RenderedField& f : context.fields)
        if (!(f.bit & call.mask) || !named_in(f.key, call.kwnames)) context.append(buf, f, slot);
}

// The call's fields, each key as field_key writes it.
bool append_call_fields(ByteBuffer& buf, const LineLayout& layout, const CallFields& call) {
    std::string storage;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call.kwnames); ++i) {
        if (i == call.exc_info_at) continue;
        std::string_view key;
        if (!field_key(PyTuple_GET_ITEM(call.kwnames, i), key, storage) ||
            !append_field(buf, layout, key, call.values[i]))
            return false;
    }
    return true;
}

// Renders the message and then the fields into `buf` (empty), and appends the
// line: bound fields, the context's, the call's, the exception. Values' str()
// (and the traceback's formatting) may run Python code that logs on this
// thread: `buf` is then no buffer that code can reach.
bool write_with_fields(ThreadProducer& tp, ByteBuffer& buf, PyObject* self, Rank rank,
                       PyObject* message, PyObject* const* args, Py_ssize_t nargs,
                       const CallFields& call, std::uint64_t batch_size, HandOff how) {
    LoggerState* logger = state_of(self);
    const LineLayout& layout = *logger->layout;
    std::string_view text;
    if (nargs == 0) {
        if (!utf8_view(message, text)) return false;
    } else if (!interpolate(message, args, nargs, buf)) {
        return false;
    }
    const std::size_t message_end = buf.size();
    append_bound(buf, *bound_of(self), layout.slot, call);
    if (call.context) append_context(buf, *call.context, layout.slot, call);
    if (call.kwnames && !append_call_fields(buf, layout, call)) return false;
    if (call.exc && !append_exception_field(buf, layout, call.exc)) return false;
    if (nargs != 0) text = buf.view().substr(0, message_end);
    return append_line_with_fields(tp, target_of(logger, rank), text,
                                   buf.view().substr(message_end), batch_size, how);
}

// Whether the record can be written straight into the batch: no exception
// to format, a message that needs no interpolation or only that of exact
// str, int and float arguments, and plain field values.
bool fields_in_place(PyObject* message, PyObject* const* args, Py_ssize_t nargs,
                     const CallFields& call) {
    if (call.exc) return false;
    if (nargs) {
        // A str subclass may have its own `%`.
        if (!PyUnicode_CheckExact(message)) return false;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            if (!PyUnicode_CheckExact(args[i]) && !PyLong_CheckExact(args[i]) &&
                !PyFloat_CheckExact(args[i]))
                return false;
    }
    if (call.kwnames)
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call.kwnames); ++i)
            if (i != call.exc_info_at && !plain_field_value(call.values[i])) return false;
    return true;
}

// The line of write_with_fields, for a call fields_in_place accepts: no
// Python code can run, so the scratch (for an interpolated message) and
// the batch are this call's until the line is done.
bool write_fields_in_place(ThreadProducer& tp, PyObject* self, Rank rank, PyObject* message,
                           PyObject* const* args, Py_ssize_t nargs, const CallFields& call,
                           std::uint64_t batch_size) {
    LoggerState* logger = state_of(self);
    const LineTarget target = target_of(logger, rank);
    // Interpolating may allocate, and a collection run then may log on this
    // thread: it finds an empty scratch slot, and the batch is claimed only
    // after, so that its writer stays the one this line goes to.
    ByteBuffer scratch = std::move(tp.core.scratch);
    scratch.clear();
    std::string_view text;
    bool ok = true;
    if (nargs == 0)
        ok = utf8_view(message, text);
    else if ((ok = interpolate(message, args, nargs, scratch)))
        text = scratch.view();
    // May wait without the GIL, and a signal handler may then log on this
    // thread: `text` is in this call's own buffer.
    if (ok) ok = claim_batch(tp, target.writer);
    if (!ok) {
        scratch.clear();
        tp.core.scratch = std::move(scratch);
        return false;
    }
    const LineLayout& layout = *logger->layout;
    const RenderedFields& bound = *bound_of(self);
    ok = append_line_with_fields_in_place(
        tp, target, text,
        [&](ByteBuffer& line) {
            append_bound(line, bound, layout.slot, call);
            if (call.context) append_context(line, *call.context, layout.slot, call);
            if (!call.kwnames) return true;
            KeyPieces keys;
            const Py_ssize_t n = PyTuple_GET_SIZE(call.kwnames);
            if (call_key_pieces(call.kwnames, call.keys, layout, keys)) {
                for (Py_ssize_t i = 0; i < n; ++i)
                    if (i != call.exc_info_at &&
                        !append_plain_field(line, layout, keys.text + keys.begin[i],
                                            keys.begin[i + 1] - keys.begin[i], call.values[i]))
                        return false;
                return true;
            }
            return append_call_fields(line, layout, call);
        },
        batch_size);
    scratch.clear();
    tp.core.scratch = std::move(scratch);
    return ok;
}

// `handled`: the record carries the exception being handled unless the call
// says otherwise with exc_info (Logger.exception).
// The level was checked by the caller.
[[gnu::always_inline]] inline bool log_fields(PyObject* self, Rank rank, PyObject* message,
                                              PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, bool handled) {
    LoggerState* logger = state_of(self);
    CallFields call;
    call.values = args + nargs;
    const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::uint64_t call_mask = 0;
    if (n) {
        // Every key before any value's code runs: a bad one writes nothing.
        CallKeys keys;
        if (!check_call_keys(kwnames, keys)) return false;
        call.keys = keys;
        call.exc_info_at = keys.exc_info_at;
        call_mask = keys.mask;
        call.kwnames = kwnames;
    }
    PyRef exc;
    if (handled || call.exc_info_at >= 0) {
        if (!exception_for(call.exc_info_at >= 0 ? call.values[call.exc_info_at] : Py_True, exc))
            return false;
        call.exc = exc.get();
    }
    PyRef context_hold;
    if (!current_context_fields(context_hold, call.context)) return false;
    const RenderedFields& bound = *bound_of(self);
    const bool call_fields = n > (call.exc_info_at >= 0 ? 1 : 0);
    if (!call_fields && !call.exc && !call.context && bound.empty())
        return log_args(logger, rank, message, args, nargs);
    if (call_fields && (call.context || !bound.empty())) call.mask = call_mask;
    ThreadProducer* tp = thread_producer();
    if (!tp) [[unlikely]] {
        if (PyErr_Occurred()) return false;
        ThreadProducer own;
        return write_with_fields(own, own.core.scratch, self, rank, message, args, nargs, call, 1,
                                 HandOff::Park);
    }
    const std::uint64_t batch_size = BATCH_SIZE.load(std::memory_order_relaxed);
    if (fields_in_place(message, args, nargs, call)) {
        const bool ok = write_fields_in_place(*tp, self, rank, message, args, nargs, call,
                                              batch_size);
        Py_XDECREF(context_hold.release());
        return ok;
    }
    // As in log_args: code run for a value finds an empty scratch slot.
    ByteBuffer scratch = std::move(tp->core.scratch);
    scratch.clear();
    const bool ok = write_with_fields(*tp, scratch, self, rank, message, args, nargs, call,
                                      batch_size, HandOff::Wait);
    tp->core.scratch = std::move(scratch);
    tp->core.scratch.clear();
    // Released here, with the GIL surely held: PyRef's own release would
    // first ask whether this thread holds it.
    Py_XDECREF(context_hold.release());
    return ok;
}

// A Logger's writer as the configuration now says: the one basic_config
// last set (with its current settings) for a logger that follows it, and for
// the others their own destination's, should their writer have been stopped.
// The state is replaced whole, only while no other call on this logger is
// under way; otherwise a later call does it. False with an exception set.
[[gnu::noinline, gnu::cold]] bool refresh(PyObject* self) {
    FieldLoggerObject* lg = fields_logger(self);
    LoggerState* logger = state_of(self);
    const std::uint64_t generation = CONFIG_GENERATION.load(std::memory_order_relaxed);
    if (lg->busy > 1) return true;
    const LoggerSource& source = *lg->source;
    if (!source.follows && !logger->writer->stopped_or_failed()) {
        lg->generation = generation;
        return true;
    }
    // May run Python code (the SIGTERM offer), and another call may begin.
    Result<std::shared_ptr<SharedWriter>> found = shared_writer(
        source.follows ? default_path_cell().get() : source.path,
        source.follows ? Reuse::Current : Reuse::Live);
    if (!found) return raise(found.error());
    if (lg->busy > 1) return true;
    std::shared_ptr<SharedWriter> writer = found.take();
    if (writer != logger->writer) {
        LoggerState next(logger->level, &LineLayout::for_settings(writer->settings()),
                         std::move(writer));
        build_heads(next, source.name);
        using std::swap;
        swap(logger->layout, next.layout);
        swap(logger->writer, next.writer);
        for (unsigned r = 0; r < RANK_SLOTS; ++r) {
            swap(logger->heads[r], next.heads[r]);
            swap(logger->head_size[r], next.head_size[r]);
        }
        lg->generation = generation;
        // The last holder's release stops the old writer, waiting for it
        // without the GIL: after the logger is whole again.
        drop_writer(std::move(next.writer));
        return true;
    }
    lg->generation = generation;
    return true;
}

// Counts a call on a Logger as under way.
class Busy {
public:
    explicit Busy(unsigned& count) : count_(count) { ++count_; }
    ~Busy() { --count_; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    unsigned& count_;
};

// `message % args` (the stdlib's way, a single non-empty dict as the
// mapping) with lone surrogates spelt as backslash escapes.
PyRef printable_message(PyObject* message, PyObject* const* args, Py_ssize_t nargs) {
    PyRef text;
    if (nargs == 0) {
        text = PyRef::borrow(message);
    } else {
        PyRef operand;
        if (nargs == 1 && PyDict_Check(args[0]) && PyDict_GET_SIZE(args[0]) > 0) {
            operand = PyRef::borrow(args[0]);
        } else {
            operand = PyRef::steal(PyTuple_New(nargs));
            if (!operand) return {};
            for (Py_ssize_t i = 0; i < nargs; ++i)
                PyTuple_SET_ITEM(operand.get(), i, Py_NewRef(args[i]));
        }
        text = PyRef::steal(PyNumber_Remainder(message, operand.get()));
        if (!text) return {};
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "message formatting returned %.200s, not str",
                         Py_TYPE(text.get())->tp_name);
            return {};
        }
    }
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    if (!bytes) return {};
    return PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                             PyBytes_GET_SIZE(bytes.get()), nullptr));
}

// str(message) for a message that is not a str, as the stdlib writes it;
// a str() that fails gives a placeholder naming the types. Null with an
// exception set for one that is not an Exception (KeyboardInterrupt).
PyRef message_text(PyObject* message) {
    PyRef text = PyRef::steal(PyObject_Str(message));
    return text ? std::move(text) : unprintable(message);
}

// What a level method of a Logger is: its rank, its name for errors, and
// whether its record carries the exception being handled.
struct LevelMethod {
    Rank rank;
    const char* name;
    bool handled;
};

constexpr LevelMethod TRACE_METHOD{Rank::Trace, "trace", false};
constexpr LevelMethod DEBUG_METHOD{Rank::Debug, "debug", false};
constexpr LevelMethod INFO_METHOD{Rank::Info, "info", false};
constexpr LevelMethod WARN_METHOD{Rank::Warn, "warn", false};
constexpr LevelMethod WARNING_METHOD{Rank::Warn, "warning", false};
constexpr LevelMethod ERROR_METHOD{Rank::Error, "error", false};
constexpr LevelMethod EXCEPTION_METHOD{Rank::Error, "exception", true};
// logging's CRITICAL, and its alias FATAL: ferrant's most severe level.
constexpr LevelMethod CRITICAL_METHOD{Rank::Error, "critical", false};
constexpr LevelMethod FATAL_METHOD{Rank::Error, "fatal", false};

enum class Retry { Allowed, Done };

PyObject* call_fields_level(const LevelMethod& method, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames, Retry retry = Retry::Allowed);

// The call again with `message` in place of its message and `kept` of its
// positional arguments after it (all, or none once they are in `message`).
PyObject* call_again(const LevelMethod& method, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, Py_ssize_t kept, PyObject* message, PyObject* kwnames,
                     Retry retry) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> again;
    again.reserve(static_cast<std::size_t>(1 + kept + nkw));
    again.push_back(message);
    again.insert(again.end(), args + 1, args + 1 + kept);
    again.insert(again.end(), args + nargs, args + nargs + nkw);
    return call_fields_level(method, self, again.data(), 1 + kept, kwnames, retry);
}

[[gnu::noinline, gnu::cold]] PyObject* log_object_message(const LevelMethod& method,
                                                          PyObject* self, PyObject* const* args,
                                                          Py_ssize_t nargs, PyObject* kwnames,
                                                          Retry retry) {
    PyRef text = message_text(args[0]);
    if (!text) return nullptr;
    return call_again(method, self, args, nargs, nargs - 1, text.get(), kwnames, retry);
}

// After a first try that failed and wrote nothing: a message or argument
// with a lone surrogate is written once more, escaped.
[[gnu::noinline, gnu::cold]] PyObject* retry_printable(const LevelMethod& method, PyObject* self,
                                                       PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    PyRef printable = printable_message(args[0], args + 1, nargs - 1);
    if (!printable) return nullptr;
    return call_again(method, self, args, nargs, 0, printable.get(), kwnames, Retry::Done);
}

[[gnu::noinline, gnu::cold]] PyObject* missing_message(const LevelMethod& method) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument 'message' (pos 1)",
                 method.name);
    return nullptr;
}

// (message, /, *args, **fields)
PyObject* call_fields_level(const LevelMethod& method, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames, Retry retry) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 0) [[unlikely]]
        return missing_message(method);
    if (state_of(self)->level < method.rank) Py_RETURN_NONE;
    FieldLoggerObject* lg = fields_logger(self);
    const Busy busy(lg->busy);
    if (lg->generation != CONFIG_GENERATION.load(std::memory_order_relaxed)) [[unlikely]]
        if (!guarded([&] { return refresh(self); })) return nullptr;
    PyObject* message = args[0];
    if (!PyUnicode_Check(message)) [[unlikely]]
        return log_object_message(method, self, args, nargs, kwnames, retry);
    if (!guarded([&] {
            return log_fields(self, method.rank, message, args + 1, nargs - 1, kwnames,
                              method.handled);
        })) [[unlikely]] {
        if (retry == Retry::Done) return nullptr;
        return retry_printable(method, self, args, nargs, kwnames);
    }
    Py_RETURN_NONE;
}

template <const LevelMethod& M>
PyObject* fields_level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return call_fields_level(M, self, args, nargsf, kwnames);
}

// bind(**fields): a new Logger on the same writer, with the fields rendered
// now and appended to this one's; a key bound again moves to the end with
// its new value.
PyObject* logger_bind(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0) {
        PyErr_SetString(PyExc_TypeError, "bind() takes no positional arguments");
        return nullptr;
    }
    const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const LoggerState* logger = state_of(self);
    const FieldLoggerObject* parent = fields_logger(self);
    RenderedFields next;
    for (const RenderedField& f : parent->bound.fields)
        if (!n || !named_in(f.key, kwnames)) next.copy(parent->bound, f);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!next.render(PyTuple_GET_ITEM(kwnames, i), args[i])) return nullptr;
    auto* type = Py_TYPE(self);
    PyObject* bound = type->tp_alloc(type, 0);
    if (!bound) return nullptr;
    LoggerState* copy = new (state_of(bound)) LoggerState(logger->level, logger->layout, nullptr);
    FieldLoggerObject* child = fields_logger(bound);
    new (&child->bound) RenderedFields(std::move(next));
    new (&child->threshold) ThresholdLink{&copy->level, {}, parent->threshold.follows_default};
    new (&child->source) std::shared_ptr<const LoggerSource>(parent->source);
    // A parent out of date leaves its child out of date: its first call
    // resolves the writer again.
    child->generation = parent->generation;
    child->busy = 0;
    try {
        child->threshold.name = parent->threshold.name;
        link_threshold(child->threshold);
        copy->writer = logger->writer;
        for (unsigned r = 0; r < RANK_SLOTS; ++r) {
            copy->heads[r] = logger->heads[r];
            copy->head_size[r] = logger->head_size[r];
        }
    } catch (...) {
        Py_DECREF(bound);  // see make_logger
        throw;
    }
    return bound;
}

PyObject* logger_level(PyObject* self, void*) {
    return Py_NewRef(level_of_rank(state_of(self)->level));
}

PyGetSetDef FIELDS_GETSET[] = {
    {"level", boundary<logger_level>, nullptr, "The threshold, as set_level last set it.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int FAST_KW = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef METHODS[] = {
    {"shutdown", boundary<logger_shutdown>, METH_NOARGS, "shutdown($self)\n--\n\n"},
    {"trace", FAST(level_method<Rank::Trace>), FAST_KW, "trace($self, message, *args)\n--\n\n"},
    {"debug", FAST(level_method<Rank::Debug>), FAST_KW, "debug($self, message, *args)\n--\n\n"},
    {"info", FAST(level_method<Rank::Info>), FAST_KW, "info($self, message, *args)\n--\n\n"},
    {"warn", FAST(level_method<Rank::Warn>), FAST_KW, "warn($self, message, *args)\n--\n\n"},
    {"warning", FAST(warning_method), FAST_KW, "warning($self, message, *args)\n--\n\n"},
    {"error", FAST(level_method<Rank::Error>), FAST_KW, "error($self, message, *args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(boundary<logger_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(logger_dealloc)},
    {Py_tp_methods, METHODS},
    {Py_tp_doc, const_cast<char*>("PyLogger(name, path=None, level=...)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec TYPE_SPEC = {"ferrant._logger.PyLogger", sizeof(PyLoggerObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, SLOTS};

PyMethodDef FIELDS_METHODS[] = {
    {"shutdown", boundary<logger_shutdown>, METH_NOARGS, "shutdown($self)\n--\n\n"},
    {"bind", FAST(boundary<logger_bind>), FAST_KW, "bind($self, /, **fields)\n--\n\n"},
    {"trace", FAST(fields_level_method<TRACE_METHOD>), FAST_KW,
     "trace($self, message, /, *args, **fields)\n--\n\n"},
    {"debug", FAST(fields_level_method<DEBUG_METHOD>), FAST_KW,
     "debug($self, message, /, *args, **fields)\n--\n\n"},
    {"info", FAST(fields_level_method<INFO_METHOD>), FAST_KW,
     "info($self, message, /, *args, **fields)\n--\n\n"},
    {"warn", FAST(fields_level_method<WARN_METHOD>), FAST_KW,
     "warn($self, message, /, *args, **fields)\n--\n\n"},
    {"warning", FAST(fields_level_method<WARNING_METHOD>), FAST_KW,
     "warning($self, message, /, *args, **fields)\n--\n\n"},
    {"error", FAST(fields_level_method<ERROR_METHOD>), FAST_KW,
     "error($self, message, /, *args, **fields)\n--\n\n"},
    {"exception", FAST(fields_level_method<EXCEPTION_METHOD>), FAST_KW,
     "exception($self, message, /, *args, **fields)\n--\n\n"},
    {"critical", FAST(fields_level_method<CRITICAL_METHOD>), FAST_KW,
     "critical($self, message, /, *args, **fields)\n--\n\n"},
    {"fatal", FAST(fields_level_method<FATAL_METHOD>), FAST_KW,
     "fatal($self, message, /, *args, **fields)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FIELDS_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(boundary<fields_logger_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fields_logger_dealloc)},
    {Py_tp_methods, FIELDS_METHODS},
    {Py_tp_getset, FIELDS_GETSET},
    {Py_tp_doc, const_cast<char*>("Logger(name, path=None, level=...)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec FIELDS_TYPE_SPEC = {"ferrant.Logger", sizeof(FieldLoggerObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, FIELDS_SLOTS};

}  // namespace

PyObject* logger_type() {
    if (!TYPE) TYPE = PyType_FromSpec(&TYPE_SPEC);
    return TYPE;
}

PyObject* fields_logger_type() {
    if (!FIELDS_TYPE) FIELDS_TYPE = PyType_FromSpec(&FIELDS_TYPE_SPEC);
    return FIELDS_TYPE;
}

bool init_logger() {
    if (!MESSAGE_KEY && !(MESSAGE_KEY = PyUnicode_InternFromString("message"))) return false;
    return intern(NEW_PARAMS) && intern(GET_PARAMS) && intern(FIELDS_NEW_PARAMS);
}

PyObject* log_through(PyObject* logger, Rank rank, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr const LevelMethod* BY_RANK[RANK_SLOTS] = {
        nullptr, &ERROR_METHOD, &WARN_METHOD, &INFO_METHOD, &DEBUG_METHOD, &TRACE_METHOD};
    return call_fields_level(*BY_RANK[rank_index(rank)], logger, args, nargs, kwnames);
}

bool takes_every_record(PyObject* object) {
    return FIELDS_TYPE && Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(FIELDS_TYPE)) &&
           state_of(object)->level == Rank::Trace;
}

PyMethodDef GET_LOGGER_DEF = {"get_logger", FAST(boundary<get_logger>), FAST_KW,
                              "get_logger(name, level=...)\n--\n\n"};

PyMethodDef GET_FIELDS_LOGGER_DEF = {"_get_logger", FAST(boundary<get_fields_logger>), FAST_KW,
                                     "_get_logger(name, level=...)\n--\n\n"};

}  // namespace ferrant
