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

// A Logger's fields, each rendered once for its writer's layout when bound;
// `rendered` holds them all, in order, as a call copies them.
struct BoundField {
    std::string key;
    std::uint64_t bit;  // key_bit
    std::size_t begin;
    std::size_t end;
};

struct BoundFields {
    std::string rendered;
    std::vector<BoundField> fields;
    std::uint64_t mask = 0;  // the fields' key bits
};

static_assert(std::is_nothrow_default_constructible_v<BoundFields> &&
              std::is_nothrow_move_constructible_v<BoundFields>);

// A Logger is a PyLogger's object with its bound fields after it: the code
// that takes a PyLogger's state serves both.
struct FieldLoggerObject {
    PyLoggerObject base;
    BoundFields bound;
    ThresholdLink threshold;  // its level, for set_level
};

PyObject* TYPE = nullptr;
PyObject* FIELDS_TYPE = nullptr;

LoggerState* state_of(PyObject* self) { return &reinterpret_cast<PyLoggerObject*>(self)->state; }
BoundFields* bound_of(PyObject* self) { return &reinterpret_cast<FieldLoggerObject*>(self)->bound; }
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

PyObject* make_logger(PyObject* type_object, std::optional<std::string_view> name,
                      std::optional<std::string> path, Rank rank) {
    Result<std::shared_ptr<SharedWriter>> writer = shared_writer(std::move(path));
    if (!writer) return raise(writer.error());
    std::shared_ptr<SharedWriter> shared = writer.take();
    const WriterSettings& settings = shared->settings();
    const LineLayout& layout = LineLayout::for_settings(settings);
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    LoggerState* logger = new (state_of(self)) LoggerState(rank, &layout, std::move(shared));
    if (type_object == FIELDS_TYPE) {
        new (bound_of(self)) BoundFields();
        new (threshold_of(self)) ThresholdLink{&logger->level, {}, nullptr, nullptr};
    }
    try {
        if (type_object == FIELDS_TYPE) {
            if (name) threshold_of(self)->name = *name;
            link_threshold(*threshold_of(self));
        }
        const std::string name_field = name ? render_name_field(*name, settings) : std::string();
        for (const Rank rank : {Rank::Error, Rank::Warn, Rank::Info, Rank::Debug, Rank::Trace}) {
            const unsigned r = rank_index(rank);
            logger->heads[r] = record_head(*logger->layout, rank, name_field);
            logger->head_size[r] = logger->heads[r].size();
            logger->heads[r].append(kPiecePad, '\0');
        }
    } catch (...) {
        // Released in the handler, not by a PyRef as the exception unwinds:
        // the release may end the thread (see PyRef), and that forced unwind
        // cannot start inside another exception's unwinding.
        Py_DECREF(self);
        throw;
    }
    return self;
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
    return make_logger(FIELDS_TYPE, name, std::move(path), *rank);
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
    return make_logger(FIELDS_TYPE, name, default_path_cell().get(), *rank);
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
    unlink_threshold(*threshold_of(self));
    threshold_of(self)->~ThresholdLink();
    bound_of(self)->~BoundFields();
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
    const FlushOutcome outcome = without_gil([&] { return writer.flush(writer_deadline()); });
    writer.note_flush(outcome);
    if (logger->writer.use_count() == 1) without_gil([&] { writer.stop(); });
    Py_RETURN_NONE;
}

// ---- Logger: records with fields --------------------------------------------

bool named_in(std::string_view key, PyObject* kwnames) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
        if (key_text(PyTuple_GET_ITEM(kwnames, i)) == key) return true;
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
void append_bound(ByteBuffer& buf, const BoundFields& bound, const CallFields& call) {
    const std::uint64_t later = (call.context ? call.context->mask : 0) | call.mask;
    if (!(bound.mask & later)) {
        buf.append(bound.rendered);
        return;
    }
    for (const BoundField& f : bound.fields) {
        if (f.bit & later) {
            if (call.context && call.context->has(f.key, f.bit)) continue;
            if ((f.bit & call.mask) && named_in(f.key, call.kwnames)) continue;
        }
        buf.append(bound.rendered.data() + f.begin, f.end - f.begin);
    }
}

void append_context(ByteBuffer& buf, const ContextFields& context, unsigned slot,
                    const CallFields& call) {
    if (!(context.mask & call.mask)) {
        buf.append(context.rendered[slot]);
        return;
    }
    for (const ContextField& f : context.fields)
        if (!(f.bit & call.mask) || !named_in(f.key, call.kwnames)) context.append(buf, f, slot);
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
    append_bound(buf, *bound_of(self), call);
    if (call.context) append_context(buf, *call.context, layout.slot, call);
    if (call.kwnames) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call.kwnames); ++i)
            if (i != call.exc_info_at &&
                !append_field(buf, layout, key_text(PyTuple_GET_ITEM(call.kwnames, i)),
                              call.values[i]))
                return false;
    }
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
    const BoundFields& bound = *bound_of(self);
    ok = append_line_with_fields_in_place(
        tp, target, text,
        [&](ByteBuffer& line) {
            append_bound(line, bound, call);
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
            for (Py_ssize_t i = 0; i < n; ++i)
                if (i != call.exc_info_at &&
                    !append_field(line, layout, key_text(PyTuple_GET_ITEM(call.kwnames, i)),
                                  call.values[i]))
                    return false;
            return true;
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
    const BoundFields& bound = *bound_of(self);
    const bool call_fields = n > (call.exc_info_at >= 0 ? 1 : 0);
    if (!call_fields && !call.exc && !call.context && bound.fields.empty())
        return log_args(logger, rank, message, args, nargs);
    if (call_fields && (call.context || !bound.fields.empty())) call.mask = call_mask;
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

// (message, /, *args, **fields)
PyObject* call_fields_level(Rank rank, const char* method, PyObject* self, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames, bool handled = false) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 0) [[unlikely]] {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument 'message' (pos 1)", method);
        return nullptr;
    }
    PyObject* message = args[0];
    if (!PyUnicode_Check(message)) [[unlikely]] {
        argument_type_error(method, "message", "str", message);
        return nullptr;
    }
    if (state_of(self)->level < rank) Py_RETURN_NONE;
    if (!guarded([&] {
            return log_fields(self, rank, message, args + 1, nargs - 1, kwnames, handled);
        }))
        return nullptr;
    Py_RETURN_NONE;
}

template <Rank R>
PyObject* fields_level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return call_fields_level(R, METHOD_NAMES[rank_index(R)], self, args, nargsf, kwnames);
}

PyObject* fields_warning_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return call_fields_level(Rank::Warn, "warning", self, args, nargsf, kwnames);
}

PyObject* exception_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
    return call_fields_level(Rank::Error, "exception", self, args, nargsf, kwnames, true);
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
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view key;
        if (!field_key(PyTuple_GET_ITEM(kwnames, i), key)) return nullptr;
    }
    const LoggerState* logger = state_of(self);
    const BoundFields& old = *bound_of(self);
    BoundFields next;
    for (const BoundField& f : old.fields) {
        if (n && named_in(f.key, kwnames)) continue;
        const std::size_t begin = next.rendered.size();
        next.rendered.append(old.rendered, f.begin, f.end - f.begin);
        next.fields.push_back({f.key, f.bit, begin, next.rendered.size()});
        next.mask |= f.bit;
    }
    ByteBuffer field;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key_object = PyTuple_GET_ITEM(kwnames, i);
        const std::string_view key = key_text(key_object);
        field.clear();
        if (!append_field(field, *logger->layout, key, args[i])) return nullptr;
        const std::size_t begin = next.rendered.size();
        next.rendered.append(field.view());
        const std::uint64_t bit = key_bit(key_object);
        next.fields.push_back({std::string(key), bit, begin, next.rendered.size()});
        next.mask |= bit;
    }
    auto* type = Py_TYPE(self);
    PyObject* bound = type->tp_alloc(type, 0);
    if (!bound) return nullptr;
    LoggerState* copy = new (state_of(bound)) LoggerState(logger->level, logger->layout, nullptr);
    new (bound_of(bound)) BoundFields(std::move(next));
    new (threshold_of(bound)) ThresholdLink{&copy->level, {}, nullptr, nullptr};
    try {
        threshold_of(bound)->name = threshold_of(self)->name;
        link_threshold(*threshold_of(bound));
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
    {"trace", FAST(fields_level_method<Rank::Trace>), FAST_KW,
     "trace($self, message, /, *args, **fields)\n--\n\n"},
    {"debug", FAST(fields_level_method<Rank::Debug>), FAST_KW,
     "debug($self, message, /, *args, **fields)\n--\n\n"},
    {"info", FAST(fields_level_method<Rank::Info>), FAST_KW,
     "info($self, message, /, *args, **fields)\n--\n\n"},
    {"warn", FAST(fields_level_method<Rank::Warn>), FAST_KW,
     "warn($self, message, /, *args, **fields)\n--\n\n"},
    {"warning", FAST(fields_warning_method), FAST_KW,
     "warning($self, message, /, *args, **fields)\n--\n\n"},
    {"error", FAST(fields_level_method<Rank::Error>), FAST_KW,
     "error($self, message, /, *args, **fields)\n--\n\n"},
    {"exception", FAST(exception_method), FAST_KW,
     "exception($self, message, /, *args, **fields)\n--\n\n"},
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

PyMethodDef GET_LOGGER_DEF = {"get_logger", FAST(boundary<get_logger>), FAST_KW,
                              "get_logger(name, level=...)\n--\n\n"};

PyMethodDef GET_FIELDS_LOGGER_DEF = {"_get_logger", FAST(boundary<get_fields_logger>), FAST_KW,
                                     "_get_logger(name, level=...)\n--\n\n"};

}  // namespace ferrant
