#include "binding/py_level_methods.hpp"

#include <algorithm>
#include <vector>

#include "binding/py_boundary.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_fields_call.hpp"
#include "binding/py_logger.hpp"
#include "binding/py_logging_call.hpp"
#include "binding/py_logging_record.hpp"
#include "binding/py_route_table.hpp"
#include "binding/py_stdlib_logging.hpp"
#include "lib/rank.hpp"

namespace ferrant {

namespace {

struct MethodSpec {
    std::size_t index;
    long levelno;    // 0 for log(), whose first argument is the level
    bool exception;  // exc_info defaults to True
    bool warns;      // the deprecated warn()
};

constexpr MethodSpec SPECS[LEVEL_METHOD_COUNT] = {
    {0, 10, false, false}, {1, 20, false, false}, {2, 30, false, false},
    {3, 30, false, true},  {4, 40, false, false}, {5, 40, true, false},
    {6, 50, false, false}, {7, 50, false, false}, {8, 0, false, false},
};

// The place of DEBUG to CRITICAL in Route::answers; -1 for other levels.
constexpr int level_slot(long levelno) {
    return levelno % 10 == 0 && levelno >= 10 && levelno <= 50 ? static_cast<int>(levelno / 10) - 1
                                                              : -1;
}

// Raw references, never released: nothing may be released at static
// destruction, after the interpreter is gone.
PyObject* ORIGINALS[LEVEL_METHOD_COUNT] = {};
// Each method's level as the int object logging's _cache is keyed by.
PyObject* LEVEL_KEYS[LEVEL_METHOD_COUNT] = {};

struct MethodNames {
    PyObject* loggers;
    PyObject* logger_for;
    PyObject* warning;
    PyObject* emit;
    PyObject* handle;
};

MethodNames M{};

// ferrant.Handler's mapping of logging's numbers to its Logger's methods.
Rank rank_for(long levelno) {
    if (levelno >= 40) return Rank::Error;
    if (levelno >= 30) return Rank::Warn;
    if (levelno >= 20) return Rank::Info;
    if (levelno >= 10) return Rank::Debug;
    return Rank::Trace;
}

// A vectorcall argument array: on the stack when it is short.
class Stack {
public:
    explicit Stack(std::size_t size) {
        if (size > std::size(small_)) {
            large_.resize(size);
            data_ = large_.data();
        }
    }
    PyObject** data() { return data_; }

private:
    PyObject* small_[24];
    std::vector<PyObject*> large_;
    PyObject** data_ = small_;
};

// The call as the stdlib makes it: its own method with `self` in front. For
// warn(), which has warned already, self.warning(...) as warn() calls it.
PyObject* stdlib_call(const MethodSpec& m, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    Stack stack(static_cast<std::size_t>(total) + 1);
    PyObject** s = stack.data();
    s[0] = self;
    std::copy(args, args + total, s + 1);
    if (m.warns)
        return PyObject_VectorcallMethod(M.warning, s, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames);
    PyObject* original = ORIGINALS[m.index];
    if (!original) {
        PyErr_SetString(PyExc_RuntimeError, "logging's own level method is not known");
        return nullptr;
    }
    return PyObject_Vectorcall(original, s, static_cast<std::size_t>(nargs) + 1, kwnames);
}

enum class Outcome { Written, Stdlib, Failed };

// An Exception leaves the record to the stdlib, which meets it again and
// reports it its way; anything else reaches the caller.
Outcome stdlib_or_failed() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Outcome::Failed;
    PyErr_Clear();
    return Outcome::Stdlib;
}

// The Logger the Handler writes `name`'s records through, as emit finds it.
Outcome take_logger(RouteTarget& target, PyObject* name) {
    if (target.logger && takes_every_record(target.logger.get())) return Outcome::Written;
    PyRef loggers = PyRef::steal(PyObject_GetAttr(target.handler.get(), M.loggers));
    if (!loggers) return stdlib_or_failed();
    if (PyDict_CheckExact(loggers.get())) {
        PyObject* log = PyDict_GetItemWithError(loggers.get(), name);
        if (log && takes_every_record(log)) {
            target.logger = PyRef::borrow(log);
            return Outcome::Written;
        }
        if (PyErr_Occurred()) return stdlib_or_failed();
    }
    PyRef made = PyRef::steal(PyObject_CallMethodOneArg(target.handler.get(), M.logger_for, name));
    if (!made) return stdlib_or_failed();
    if (!takes_every_record(made.get())) return Outcome::Stdlib;
    target.logger = std::move(made);
    return Outcome::Written;
}

// Handler k failed to write: as in the stdlib, where emit catches what
// writing raised, it gets a LogRecord, made now, for handleError (or, for a
// lone surrogate, for emit again, which escapes it), and the handlers after
// it get the record.
Outcome after_failure(Route& route, PyObject* self, const LoggingCall& call, long levelno,
                      PyObject* level_key, std::size_t k) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) ||
        PyErr_ExceptionMatches(PyExc_RecursionError))
        return Outcome::Failed;
    PyRef pending = take_raised_exception();
    PyRef record = stdlib_record(self, level_key, route.name.get(), call);
    if (!record) return Outcome::Failed;
    PyRef handler = PyRef::borrow(route.targets[k].handler.get());
    if (PyErr_GivenExceptionMatches(pending.get(), PyExc_UnicodeEncodeError)) {
        PyRef done = PyRef::steal(PyObject_CallMethodOneArg(handler.get(), M.emit, record.get()));
        if (!done) return Outcome::Failed;
    } else {
        raise_again(std::move(pending));
        if (!report_to_handler(handler.get(), record.get())) return Outcome::Failed;
    }
    for (std::size_t j = k + 1; j < route.targets.size(); ++j) {
        if (levelno < route.targets[j].level) continue;
        PyRef next = PyRef::borrow(route.targets[j].handler.get());
        PyRef done = PyRef::steal(PyObject_CallMethodOneArg(next.get(), M.handle, record.get()));
        if (!done) return Outcome::Failed;
    }
    return Outcome::Written;
}

// Field values held for the call: code run while writing (a value's str())
// may change the `extra` dict they came from.
class HeldFields {
public:
    HeldFields(PyObject** values, Py_ssize_t count) : values_(values), count_(count) {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_INCREF(values_[i]);
    }
    ~HeldFields() noexcept(false) {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_DECREF(values_[i]);
    }
    HeldFields(const HeldFields&) = delete;
    HeldFields& operator=(const HeldFields&) = delete;

private:
    PyObject** values_;
    Py_ssize_t count_;
};

// A record whose message is not a str: getMessage's str(msg), once per
// handler as there. False with an exception set.
[[gnu::noinline]] bool write_object_message(PyObject* logger, Rank rank, PyObject* const* stack,
                                            Py_ssize_t nargs, PyObject* kwnames) {
    const PyRef held = PyRef::borrow(logger);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    Stack copy(static_cast<std::size_t>(total));
    PyObject** s = copy.data();
    std::copy(stack, stack + total, s);
    PyRef text = PyRef::steal(PyObject_Str(stack[0]));
    if (!text) return false;
    s[0] = text.get();
    PyRef done = PyRef::steal(log_through(logger, rank, s, nargs, kwnames));
    return static_cast<bool>(done);
}

// The record written through each Handler on the way, as Handler.emit
// writes it, with `stack` (the message, its arguments, then the values of
// `kwnames`) as the call to each Handler's Logger.
Outcome write_through_targets(Route& route, PyObject* self, const LoggingCall& call,
                              long levelno, PyObject* level_key, PyObject* const* stack,
                              PyObject* kwnames) {
    // Every Logger first: taking one may fail, and nothing is written yet.
    for (RouteTarget& target : route.targets) {
        if (levelno < target.level) continue;
        if (const Outcome taken = take_logger(target, route.name.get());
            taken != Outcome::Written) [[unlikely]]
            return taken;
    }
    const bool exact = PyUnicode_CheckExact(stack[0]);
    const Rank rank = rank_for(levelno);
    for (std::size_t k = 0; k < route.targets.size(); ++k) {
        const RouteTarget& target = route.targets[k];
        if (levelno < target.level) continue;
        if (!exact) [[unlikely]] {
            if (!write_object_message(target.logger.get(), rank, stack, call.nargs, kwnames))
                return after_failure(route, self, call, levelno, level_key, k);
            continue;
        }
        // Held: code the record runs may replace the target's Logger. Raw
        // references here, with the GIL surely held: a PyRef's release would
        // first ask whether this thread holds it.
        PyObject* logger = Py_NewRef(target.logger.get());
        PyObject* done = log_through(logger, rank, stack, call.nargs, kwnames);
        Py_DECREF(logger);
        if (!done) [[unlikely]]
            return after_failure(route, self, call, levelno, level_key, k);
        Py_DECREF(done);
    }
    return Outcome::Written;
}

// A call with keywords: the `extra` attributes the Handler writes as
// fields, and the exception as `exc`, after the message and its arguments.
[[gnu::noinline]] Outcome write_with_fields(Route& route, PyObject* self, const LoggingCall& call,
                                            long levelno, PyObject* level_key) {
    PyRef exc = exception_written(call);
    const Py_ssize_t extra =
        call.extra && call.extra != Py_None ? PyDict_GET_SIZE(call.extra) : 0;
    Stack stack(static_cast<std::size_t>(call.nargs + extra + 1));
    PyObject** s = stack.data();
    std::copy(call.args, call.args + call.nargs, s);
    PyRef kwnames;
    const Py_ssize_t fields = fields_written(call, exc.get(), s, kwnames);
    if (fields < 0) return Outcome::Failed;
    const HeldFields held(s + call.nargs, fields);
    return write_through_targets(route, self, call, levelno, level_key, s, kwnames.get());
}

// The body of every native level method. The level is decided as
// isEnabledFor decides it, from the logger's own `disabled` and `_cache`;
// an enabled record that the stdlib would hand to ferrant.Handlers only, in a
// call whose arguments they would write as they come, is written here; every
// other call is the stdlib's.
PyObject* run(const MethodSpec& m, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (m.warns && PyErr_WarnEx(PyExc_DeprecationWarning,
                                "The 'warn' method is deprecated, use 'warning' instead", 1) < 0)
        return nullptr;
    if (!stdlib_logging()) [[unlikely]]
        return stdlib_call(m, self, args, nargsf, kwnames);
    long levelno = m.levelno;
    PyObject* level_key = LEVEL_KEYS[m.index];
    Py_ssize_t at = 0;
    if (m.levelno == 0) {
        if (nargs < 2 || !PyLong_CheckExact(args[0])) return stdlib_call(m, self, args, nargsf, kwnames);
        int overflow = 0;
        levelno = PyLong_AsLongAndOverflow(args[0], &overflow);
        if (overflow) return stdlib_call(m, self, args, nargsf, kwnames);
        level_key = args[0];
        at = 1;
    } else if (nargs < 1) [[unlikely]] {
        return stdlib_call(m, self, args, nargsf, kwnames);
    }
    const RouteHold route(route_for(self));
    if (!route.get()) [[unlikely]]
        return PyErr_Occurred() ? nullptr : stdlib_call(m, self, args, nargsf, kwnames);
    if (!route->plain) return stdlib_call(m, self, args, nargsf, kwnames);
    if (route->disabled) Py_RETURN_NONE;
    switch (cached_level(*route.get(), level_key, level_slot(levelno))) {
        case 1: break;
        case 0: Py_RETURN_NONE;
        // Not cached yet: the stdlib's isEnabledFor fills the cache.
        case -1: return stdlib_call(m, self, args, nargsf, kwnames);
        default: return nullptr;
    }
    if (!route->native || route->found == 0) return stdlib_call(m, self, args, nargsf, kwnames);
    if (!way_unchanged(*route.get())) [[unlikely]] {
        forget_route(self);
        return stdlib_call(m, self, args, nargsf, kwnames);
    }
    LoggingCall call;
    call.args = args + at;
    call.nargs = nargs - at;
    if (kwnames && !read_keywords(kwnames, args + nargs, call))
        return stdlib_call(m, self, args, nargsf, kwnames);
    if (m.exception && !call.exc_info) call.exc_info = Py_True;
    if (!plain_call(call)) [[unlikely]] {
        bool native;
        if (!natively_written(call, native)) return nullptr;
        if (!native) return stdlib_call(m, self, args, nargsf, kwnames);
    }
    const bool fields = call.exc_info || (call.extra && call.extra != Py_None);
    const Outcome outcome =
        fields ? write_with_fields(*route.get(), self, call, levelno, level_key)
               : write_through_targets(*route.get(), self, call, levelno, level_key, call.args,
                                       nullptr);
    switch (outcome) {
        case Outcome::Written: Py_RETURN_NONE;
        case Outcome::Failed: return nullptr;
        case Outcome::Stdlib: break;
    }
    return stdlib_call(m, self, args, nargsf, kwnames);
}

template <std::size_t I>
PyObject* level_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
    return guarded([&] { return run(SPECS[I], self, args, nargsf, kwnames); });
}

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int FAST_KW = METH_FASTCALL | METH_KEYWORDS;

#define NATIVE_DOC "\n--\n\n" \
    "logging's own, accelerated by ferrant: a record that reaches ferrant.Handlers only is " \
    "written without a LogRecord."

PyMethodDef DEFS[LEVEL_METHOD_COUNT] = {
    {"debug", FAST(level_method<0>), FAST_KW,
     "debug($self, msg, *args, **kwargs)" NATIVE_DOC},
    {"info", FAST(level_method<1>), FAST_KW, "info($self, msg, *args, **kwargs)" NATIVE_DOC},
    {"warning", FAST(level_method<2>), FAST_KW,
     "warning($self, msg, *args, **kwargs)" NATIVE_DOC},
    {"warn", FAST(level_method<3>), FAST_KW, "warn($self, msg, *args, **kwargs)" NATIVE_DOC},
    {"error", FAST(level_method<4>), FAST_KW, "error($self, msg, *args, **kwargs)" NATIVE_DOC},
    {"exception", FAST(level_method<5>), FAST_KW,
     "exception($self, msg, *args, exc_info=True, **kwargs)" NATIVE_DOC},
    {"critical", FAST(level_method<6>), FAST_KW,
     "critical($self, msg, *args, **kwargs)" NATIVE_DOC},
    {"fatal", FAST(level_method<7>), FAST_KW, "fatal($self, msg, *args, **kwargs)" NATIVE_DOC},
    {"log", FAST(level_method<8>), FAST_KW,
     "log($self, level, msg, *args, **kwargs)" NATIVE_DOC},
};

}  // namespace

PyMethodDef* level_method_def(std::size_t index) { return &DEFS[index]; }

void keep_original(std::size_t index, PyObject* function) {
    Py_XSETREF(ORIGINALS[index], Py_NewRef(function));
}

PyObject* original_method(std::size_t index) { return ORIGINALS[index]; }

bool is_native_level_method(PyObject* object) {
    if (!Py_IS_TYPE(object, &PyMethodDescr_Type)) return false;
    const PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(object)->d_method;
    return def >= DEFS && def < DEFS + LEVEL_METHOD_COUNT;
}

bool init_level_methods() {
    if (M.loggers) return true;
    for (std::size_t i = 0; i < LEVEL_METHOD_COUNT; ++i)
        if (SPECS[i].levelno && !(LEVEL_KEYS[i] = PyLong_FromLong(SPECS[i].levelno)))
            return false;
    return (M.loggers = PyUnicode_InternFromString("_loggers")) &&
           (M.logger_for = PyUnicode_InternFromString("_logger_for")) &&
           (M.warning = PyUnicode_InternFromString("warning")) &&
           (M.emit = PyUnicode_InternFromString("emit")) &&
           (M.handle = PyUnicode_InternFromString("handle"));
}

}  // namespace ferrant
