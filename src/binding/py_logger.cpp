// PyLogger: the logger object, its construction and release, its printf
// records and shutdown. ferrant.Logger (py_fields_logger.cpp) shares all of
// it but its level methods.

#include "binding/py_logger.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_gil.hpp"
#include "binding/py_interpolate.hpp"
#include "binding/py_level.hpp"
#include "binding/py_logger_state.hpp"
#include "binding/py_printf_record.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_record_line.hpp"
#include "binding/py_service_fields.hpp"
#include "binding/py_text.hpp"
#include "lib/registry.hpp"
#include "lib/settings.hpp"

namespace ferrant {

// ---- construction ----------------------------------------------------------

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

void build_heads(std::string* heads, std::size_t* sizes, const LineLayout& layout,
                 const WriterSettings& settings, const std::optional<std::string_view>& name) {
    const std::string name_field = name ? render_name_field(*name, settings) : std::string();
    for (const Rank rank : {Rank::Error, Rank::Warn, Rank::Info, Rank::Debug, Rank::Trace}) {
        const unsigned r = rank_index(rank);
        heads[r] = record_head(layout, rank, name_field);
        sizes[r] = heads[r].size();
        heads[r].append(kPiecePad, '\0');
    }
}

void build_heads(LoggerState& logger, const std::optional<std::string_view>& name) {
    build_heads(logger.heads, logger.head_size, *logger.layout, logger.writer->settings(), name);
}

PyObject* make_logger(PyObject* type_object, std::optional<std::string_view> name,
                      std::optional<std::string> path, Rank rank,
                      std::shared_ptr<const LoggerSource> source, bool explicit_level) {
    const std::uint64_t generation = CONFIG_GENERATION.load(std::memory_order_relaxed);
    Result<std::shared_ptr<SharedWriter>> writer =
        shared_writer(std::move(path), source && source->follows ? Reuse::Current : Reuse::Live);
    if (!writer) return raise(writer.error());
    std::shared_ptr<SharedWriter> shared = writer.take();
    const LineLayout& layout = LineLayout::for_settings(shared->settings());
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    LoggerState* logger = new (state_of(self)) LoggerState{rank, &layout, std::move(shared)};
    const bool with_fields = source != nullptr;
    if (with_fields) {
        FieldLoggerObject* fields = fields_logger(self);
        new (&fields->bound) RenderedFields();
        new (&fields->own) RenderedFields();
        fields->service_id = 0;
        new (&fields->threshold) ThresholdLink{&logger->level, {}, !explicit_level};
        new (&fields->source) std::shared_ptr<const LoggerSource>(std::move(source));
        fields->generation = generation;
        fields->busy = 0;
    }
    bool merged = true;
    try {
        if (name) logger->name.emplace(*name);
        if (with_fields) {
            if (name) fields_logger(self)->threshold.name = *name;
            link_threshold(fields_logger(self)->threshold);
            merged = merge_service_fields(*fields_logger(self));
        }
        if (merged) build_heads(*logger, name);
        bool changed = false;
        if (merged && with_fields && fields_logger(self)->source->follows)
            merged = next_console(nullptr, name, logger->console, changed);
    } catch (...) {
        // Released in the handler, not by a PyRef as the exception unwinds:
        // the release may end the thread (see PyRef), and that forced unwind
        // cannot start inside another exception's unwinding.
        Py_DECREF(self);
        throw;
    }
    if (!merged) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

namespace {

PyObject* TYPE = nullptr;

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

}  // namespace

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
    release_console(std::move(logger->console));
    std::shared_ptr<SharedWriter> writer = std::move(logger->writer);
    logger->~LoggerState();
    type->tp_free(self);
    Py_DECREF(type);
    // The last holder stops the writer, which first writes out its queue.
    drop_writer(std::move(writer));
}

// ---- the printf record -------------------------------------------------------

bool log_without_producer(const LineTarget& target, PyObject* message, PyObject* const* args,
                          Py_ssize_t nargs) {
    ThreadProducer tp;
    std::string_view text;
    if (nargs == 0) {
        if (!utf8_view(message, text)) return false;
    } else {
        if (!interpolate(message, args, nargs, tp.core.scratch)) return false;
        text = tp.core.scratch.view();
    }
    return append_line(tp, target, text, {}, 1, HandOff::Park);
}

bool log_interpolated(ThreadProducer& tp, const LineTarget& target, PyObject* message,
                      PyObject* const* args, Py_ssize_t nargs, std::uint64_t batch_size) {
    // Argument code may log on this thread: it finds an empty scratch slot
    // and uses its own buffer. Nothing here may touch the producer while
    // Python code runs, so a thread ended mid-call unwinds cleanly.
    ByteBuffer scratch = std::move(tp.core.scratch);
    scratch.clear();
    const bool ok = interpolate(message, args, nargs, scratch) &&
                    append_line(tp, target, scratch.view(), {}, batch_size);
    tp.core.scratch = std::move(scratch);
    tp.core.scratch.clear();
    return ok;
}

bool printf_console(const ConsoleCopy& console, Rank rank, PyObject* message,
                    PyObject* const* args, Py_ssize_t nargs) {
    const LineTarget target = console_target(console, rank);
    ThreadProducer* tp = console_thread_producer();
    if (!tp) {
        if (PyErr_Occurred()) return false;
        return log_without_producer(target, message, args, nargs);
    }
    return printf_line(*tp, target, message, args, nargs,
                       BATCH_SIZE.load(std::memory_order_relaxed));
}

bool printf_captured(LoggerState* logger, Rank rank, PyObject* message, PyObject* const* args,
                     Py_ssize_t nargs) {
    if (!printf_write(logger, rank, message, args, nargs)) return false;
    CapturedRecord record{message};
    record.args = args;
    record.nargs = nargs;
    return capture_record(*logger, rank, record);
}

bool log_args(LoggerState* logger, Rank rank, PyObject* message, PyObject* const* args,
              Py_ssize_t nargs) {
    return printf_record(logger, rank, message, args, nargs);
}

namespace {

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
    if (!guarded([&] { return printf_record(state_of(self), rank, message, args, nargs); }))
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

}  // namespace

// ---- shutdown --------------------------------------------------------------

namespace {

// The thread's console lines handed over and written out; the console's
// writer is shared with other loggers and not stopped. False with an
// exception set.
bool flush_console(const ConsoleCopy& console) {
    // Held: another thread may replace the logger's copy meanwhile.
    std::shared_ptr<SharedWriter> writer = console.writer;
    if (ThreadProducer* tp = existing_console_producer()) {
        const HandOff how = tp->batch_writer == writer ? HandOff::Wait : HandOff::Park;
        if (!hand_off(*tp, how)) return false;
    }
    const FlushOutcome outcome = without_gil([&] { return writer->flush(writer_wait()); });
    writer->note_flush(outcome);
    drop_writer(std::move(writer));
    return true;
}

}  // namespace

PyObject* logger_shutdown(PyObject* self, PyObject*) {
    PyRef hold = PyRef::borrow(self);
    LoggerState* logger = state_of(self);
    if (ThreadProducer* tp = existing_thread_producer()) {
        // Another writer's lines go to it without waiting on it.
        const HandOff how = tp->batch_writer == logger->writer ? HandOff::Wait : HandOff::Park;
        if (!hand_off(*tp, how)) return nullptr;
    }
    if (logger->console && !flush_console(*logger->console)) return nullptr;
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

// ---- the type --------------------------------------------------------------

namespace {

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

}  // namespace

PyObject* logger_type() {
    if (!TYPE) TYPE = PyType_FromSpec(&TYPE_SPEC);
    return TYPE;
}

bool init_logger() {
    if (!MESSAGE_KEY && !(MESSAGE_KEY = PyUnicode_InternFromString("message"))) return false;
    return intern(NEW_PARAMS) && intern(GET_PARAMS) && init_fields_logger();
}

PyMethodDef GET_LOGGER_DEF = {"get_logger", FAST(boundary<get_logger>), FAST_KW,
                              "get_logger(name, level=...)\n--\n\n"};

}  // namespace ferrant
