#include "binding/py_stdlib_logging.hpp"

#include <memory>
#include <vector>

namespace ferrant {

namespace {

// What a logger's record goes through before its handlers: the level methods
// (warn, exception and fatal call the others through `self`), the level
// test, the caller lookup, the record's making and handling. The instance
// check covers these; the type check also the attribute access, the truth
// test of `while c:`, and the data attributes read, which a plain type leaves
// to the instance.
constexpr const char* LOGGER_METHODS[] = {
    "debug",        "info",       "warning",      "warn",  "error",  "exception",
    "critical",     "fatal",      "log",          "isEnabledFor",    "getEffectiveLevel",
    "findCaller",   "makeRecord", "_log",         "handle", "filter", "callHandlers",
};
constexpr const char* LOGGER_TYPE_ONLY[] = {
    "__getattribute__", "__getattr__", "__setattr__", "__delattr__", "__bool__", "__len__",
    "name", "level", "parent", "propagate", "handlers", "disabled", "_cache", "filters",
};

// What callHandlers and Handler.handle call on the handler, and what emit
// calls for a record's logger.
constexpr const char* HANDLER_METHODS[] = {"handle", "emit", "_logger_for", "_make"};
constexpr const char* HANDLER_TYPE_ONLY[] = {
    "__getattribute__", "__getattr__", "__setattr__", "__delattr__",
    "level", "formatter", "filters", "_loggers",
};

// What making a record and reading it back run.
constexpr const char* RECORD_NAMES[] = {"__new__", "__init__", "getMessage", "__setattr__",
                                        "__getattribute__"};

constexpr std::size_t LOGGER_METHOD_COUNT = std::size(LOGGER_METHODS);
constexpr std::size_t LOGGER_NAME_COUNT = LOGGER_METHOD_COUNT + std::size(LOGGER_TYPE_ONLY);
constexpr std::size_t HANDLER_METHOD_COUNT = std::size(HANDLER_METHODS);
constexpr std::size_t HANDLER_NAME_COUNT = HANDLER_METHOD_COUNT + std::size(HANDLER_TYPE_ONLY);
constexpr std::size_t RECORD_NAME_COUNT = std::size(RECORD_NAMES);
static_assert(LOGGER_NAME_COUNT <= StdlibLogging::LOGGER_SLOTS);
static_assert(HANDLER_NAME_COUNT <= StdlibLogging::HANDLER_SLOTS);
static_assert(RECORD_NAME_COUNT <= StdlibLogging::RECORD_SLOTS);

// Interned once; immortal.
struct Names {
    PyObject* logger[LOGGER_NAME_COUNT] = {};
    PyObject* handler[HANDLER_NAME_COUNT] = {};
    PyObject* record[RECORD_NAME_COUNT] = {};
};

Names* NAMES = nullptr;

// Interns `names` into `out`, from `out`'s first empty slot on.
template <std::size_t N>
bool intern_into(PyObject** out, std::size_t& at, const char* const (&names)[N]) {
    for (const char* name : names)
        if (!(out[at++] = PyUnicode_InternFromString(name))) return false;
    return true;
}

Names* names() {
    if (NAMES) return NAMES;
    auto made = std::make_unique<Names>();
    std::size_t logger = 0, handler = 0, record = 0;
    if (!intern_into(made->logger, logger, LOGGER_METHODS) ||
        !intern_into(made->logger, logger, LOGGER_TYPE_ONLY) ||
        !intern_into(made->handler, handler, HANDLER_METHODS) ||
        !intern_into(made->handler, handler, HANDLER_TYPE_ONLY) ||
        !intern_into(made->record, record, RECORD_NAMES))
        return nullptr;
    return NAMES = made.release();
}

StdlibLogging* REFS = nullptr;

// Clears an Exception (an odd attribute, say) so that the caller answers
// "not plain"; anything else (KeyboardInterrupt) stays set.
bool cleared_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// `type`'s attribute as a class lookup finds it, or null without an
// exception when it has none. False with an exception set on other errors.
bool class_attribute(PyObject* type, PyObject* name, PyRef& out) {
    out = PyRef::steal(PyObject_GetAttr(type, name));
    if (out) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

bool fill(PyObject* type, PyObject* const* names, std::size_t count, PyRef* out) {
    for (std::size_t i = 0; i < count; ++i)
        if (!class_attribute(type, names[i], out[i])) return false;
    return true;
}

enum class Kind { Logger, Handler, Record };

struct Verdict {
    PyRef type;
    Kind kind;
    unsigned tag;
    bool plain;
};

std::vector<Verdict>& verdicts() {
    static auto* kept = new std::vector<Verdict>();
    return *kept;
}

// Whether `type` resolves every name as the expected class does.
bool resolves_as_expected(PyTypeObject* type, PyObject* const* names, std::size_t count,
                          const PyRef* expected, bool& plain) {
    plain = false;
    if (!Py_IS_TYPE(type, &PyType_Type)) return true;  // a metaclass may look up otherwise
    for (std::size_t i = 0; i < count; ++i) {
        PyRef found;
        if (!class_attribute(reinterpret_cast<PyObject*>(type), names[i], found))
            return cleared_exception();
        if (found.get() != expected[i].get()) return true;
    }
    plain = true;
    return true;
}

bool plain_type(Kind kind, PyTypeObject* type, unsigned& tag) {
    tag = 0;
    StdlibLogging* refs = REFS;
    Names* n = NAMES;
    if (!refs || !n) return false;
    for (const Verdict& v : verdicts())
        if (v.kind == kind && v.type.get() == reinterpret_cast<PyObject*>(type) &&
            v.tag != 0 && v.tag == type->tp_version_tag) {
            tag = v.tag;
            return v.plain;
        }
    bool plain = false;
    bool ok = false;
    switch (kind) {
        case Kind::Logger:
            ok = resolves_as_expected(type, n->logger, LOGGER_NAME_COUNT, refs->logger_expected,
                                      plain);
            break;
        case Kind::Handler:
            ok = type == reinterpret_cast<PyTypeObject*>(refs->handler_type.get()) &&
                 resolves_as_expected(type, n->handler, HANDLER_NAME_COUNT,
                                      refs->handler_expected, plain);
            break;
        case Kind::Record:
            ok = resolves_as_expected(type, n->record, RECORD_NAME_COUNT, refs->record_expected,
                                      plain);
            break;
    }
    if (!ok) {
        if (PyErr_Occurred()) PyErr_Clear();
        return false;
    }
    // The lookups above gave the type a version tag if it can have one; it
    // changes with any later change of the type or of a base.
    tag = type->tp_version_tag;
    if (tag == 0) return plain;
    auto& kept = verdicts();
    for (Verdict& v : kept)
        if (v.kind == kind && v.type.get() == reinterpret_cast<PyObject*>(type)) {
            v.tag = tag;
            v.plain = plain;
            return plain;
        }
    kept.push_back({PyRef::borrow(reinterpret_cast<PyObject*>(type)), kind, tag, plain});
    return plain;
}

// Whether `object.name` is the class's `attribute` bound to `object`.
bool bound_from_class(PyObject* object, PyObject* name, PyObject* attribute, bool& same) {
    same = false;
    PyRef found = PyRef::steal(PyObject_GetAttr(object, name));
    if (!found) return cleared_exception();
    PyObject* f = found.get();
    if (PyFunction_Check(attribute)) {
        same = PyMethod_Check(f) && PyMethod_GET_FUNCTION(f) == attribute &&
               PyMethod_GET_SELF(f) == object;
    } else if (Py_IS_TYPE(attribute, &PyMethodDescr_Type)) {
        const PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(attribute)->d_method;
        same = PyCFunction_Check(f) && PyCFunction_GET_SELF(f) == object &&
               PyCFunction_GET_FUNCTION(f) == def->ml_meth;
    }
    return true;
}

bool methods_untouched(PyObject* object, PyObject* const* names, std::size_t count,
                       bool& clean) {
    clean = false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    for (std::size_t i = 0; i < count; ++i) {
        PyRef attribute;
        if (!class_attribute(type, names[i], attribute)) return cleared_exception();
        if (!attribute) return true;
        bool same;
        if (!bound_from_class(object, names[i], attribute.get(), same)) return false;
        if (!same) return true;
    }
    clean = true;
    return true;
}

}  // namespace

StdlibLogging* stdlib_logging() { return REFS; }

void set_stdlib_logging(StdlibLogging* refs) {
    StdlibLogging* old = REFS;
    REFS = refs;
    delete old;
}

bool expect_current_classes(StdlibLogging& refs) {
    Names* n = names();
    if (!n) return false;
    forget_type_verdicts();
    return fill(refs.logger_type.get(), n->logger, LOGGER_NAME_COUNT, refs.logger_expected) &&
           fill(refs.handler_type.get(), n->handler, HANDLER_NAME_COUNT,
                refs.handler_expected) &&
           fill(refs.record_type.get(), n->record, RECORD_NAME_COUNT, refs.record_expected);
}

bool plain_logger_type(PyTypeObject* type, unsigned& tag) {
    return plain_type(Kind::Logger, type, tag);
}

bool plain_handler_type(PyTypeObject* type, unsigned& tag) {
    return plain_type(Kind::Handler, type, tag);
}

bool plain_record_type(PyTypeObject* type, unsigned& tag) {
    return plain_type(Kind::Record, type, tag);
}

bool logger_methods_untouched(PyObject* object, bool& clean) {
    return methods_untouched(object, NAMES->logger, LOGGER_METHOD_COUNT, clean);
}

bool handler_methods_untouched(PyObject* object, bool& clean) {
    return methods_untouched(object, NAMES->handler, HANDLER_METHOD_COUNT, clean);
}

void forget_type_verdicts() {
    // Moved out first: releasing a type may run code that asks again.
    std::vector<Verdict> old;
    old.swap(verdicts());
}

}  // namespace ferrant
