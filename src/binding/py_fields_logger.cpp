// ferrant.Logger: a PyLogger's state with bound fields, a source it follows,
// and level methods that take fields (py_fields_call.cpp writes the record).

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_level.hpp"
#include "binding/py_logger.hpp"
#include "binding/py_logger_state.hpp"
#include "binding/py_text.hpp"
#include "binding/py_field_keys.hpp"
#include "lib/settings.hpp"

namespace ferrant {

namespace {

PyObject* FIELDS_TYPE = nullptr;

// ---- construction ----------------------------------------------------------

// A Logger's level: a PyLevel, a name or a logging number; omitted, the
// one set_level or basic_config chose for its name.
std::optional<Rank> fields_logger_rank(const char* function, PyObject* level,
                                       std::optional<std::string_view> name) {
    if (level) return rank_from_any_level(function, level);
    return initial_threshold(name.value_or(std::string_view()));
}

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
Params NEW_PARAMS = {"Logger", NEW_NAMES, 3, 1, NEW_INTERNED};

PyObject* fields_logger_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* a[3];
    if (!bind_tuple(NEW_PARAMS, args, kwargs, a)) return nullptr;
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

void fields_logger_dealloc(PyObject* self) {
    FieldLoggerObject* fields = fields_logger(self);
    unlink_threshold(fields->threshold);
    fields->threshold.~ThresholdLink();
    fields->bound.~RenderedFields();
    using Source = std::shared_ptr<const LoggerSource>;
    fields->source.~Source();
    logger_dealloc(self);
}

// ---- the level methods -------------------------------------------------------

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

// ---- bind and level ------------------------------------------------------------


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
    // The keys as they are written, to find the bound ones given again.
    std::vector<std::string> given;
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view key;
        std::string storage;
        if (!field_key(PyTuple_GET_ITEM(kwnames, i), key, storage)) return nullptr;
        given.emplace_back(key);
    }
    RenderedFields next;
    for (const RenderedField& f : parent->bound.fields)
        if (std::find(given.begin(), given.end(), f.key) == given.end())
            next.copy(parent->bound, f);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!next.render(PyTuple_GET_ITEM(kwnames, i), args[i])) return nullptr;
    if (!next.empty()) next.seal();
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

// ---- the type --------------------------------------------------------------

PyGetSetDef FIELDS_GETSET[] = {
    {"level", boundary<logger_level>, nullptr, "The threshold, as set_level last set it.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int FAST_KW = METH_FASTCALL | METH_KEYWORDS;

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

PyObject* fields_logger_type() {
    if (!FIELDS_TYPE) FIELDS_TYPE = PyType_FromSpec(&FIELDS_TYPE_SPEC);
    return FIELDS_TYPE;
}

bool init_fields_logger() { return intern(NEW_PARAMS) && intern(GET_PARAMS); }

PyMethodDef GET_FIELDS_LOGGER_DEF = {"_get_logger", FAST(boundary<get_fields_logger>), FAST_KW,
                                     "_get_logger(name, level=...)\n--\n\n"};

}  // namespace ferrant
