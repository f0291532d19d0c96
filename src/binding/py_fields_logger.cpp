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
#include "binding/py_fields_call.hpp"
#include "binding/py_service_fields.hpp"
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
    fields->own.~RenderedFields();
    using Source = std::shared_ptr<const LoggerSource>;
    fields->source.~Source();
    logger_dealloc(self);
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
    for (const RenderedField& f : parent->own.fields)
        if (std::find(given.begin(), given.end(), f.key) == given.end() &&
            !next.copy(parent->own, f))
            return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!next.render(PyTuple_GET_ITEM(kwnames, i), args[i])) return nullptr;
    if (!next.empty()) next.seal();
    auto* type = Py_TYPE(self);
    PyObject* bound = type->tp_alloc(type, 0);
    if (!bound) return nullptr;
    LoggerState* copy = new (state_of(bound)) LoggerState{logger->level, logger->layout, nullptr};
    FieldLoggerObject* child = fields_logger(bound);
    new (&child->bound) RenderedFields();
    new (&child->own) RenderedFields(std::move(next));
    child->service_id = 0;
    new (&child->threshold) ThresholdLink{&copy->level, {}, parent->threshold.follows_default};
    new (&child->source) std::shared_ptr<const LoggerSource>(parent->source);
    // A parent out of date leaves its child out of date: its first call
    // resolves the writer again.
    child->generation = parent->generation;
    child->busy = 0;
    try {
        child->threshold.name = parent->threshold.name;
        link_threshold(child->threshold);
        if (!merge_service_fields(*child)) {
            Py_DECREF(bound);  // see make_logger
            return nullptr;
        }
        copy->writer = logger->writer;
        copy->name = logger->name;
        copy->bridge = logger->bridge;
        for (unsigned r = 0; r < RANK_SLOTS; ++r) {
            copy->heads[r] = logger->heads[r];
            copy->head_size[r] = logger->head_size[r];
        }
        if (logger->console) copy->console = std::make_unique<ConsoleCopy>(*logger->console);
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
    {"trace", FAST(logger_level_method<LevelMethodKind::Trace>), FAST_KW,
     "trace($self, message, /, *args, **fields)\n--\n\n"},
    {"debug", FAST(logger_level_method<LevelMethodKind::Debug>), FAST_KW,
     "debug($self, message, /, *args, **fields)\n--\n\n"},
    {"info", FAST(logger_level_method<LevelMethodKind::Info>), FAST_KW,
     "info($self, message, /, *args, **fields)\n--\n\n"},
    {"warn", FAST(logger_level_method<LevelMethodKind::Warn>), FAST_KW,
     "warn($self, message, /, *args, **fields)\n--\n\n"},
    {"warning", FAST(logger_level_method<LevelMethodKind::Warning>), FAST_KW,
     "warning($self, message, /, *args, **fields)\n--\n\n"},
    {"error", FAST(logger_level_method<LevelMethodKind::Error>), FAST_KW,
     "error($self, message, /, *args, **fields)\n--\n\n"},
    {"exception", FAST(logger_level_method<LevelMethodKind::Exception>), FAST_KW,
     "exception($self, message, /, *args, **fields)\n--\n\n"},
    {"critical", FAST(logger_level_method<LevelMethodKind::Critical>), FAST_KW,
     "critical($self, message, /, *args, **fields)\n--\n\n"},
    {"fatal", FAST(logger_level_method<LevelMethodKind::Fatal>), FAST_KW,
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

bool takes_every_record(PyObject* object) {
    return FIELDS_TYPE && Py_IS_TYPE(object, reinterpret_cast<PyTypeObject*>(FIELDS_TYPE)) &&
           state_of(object)->level == Rank::Trace;
}

bool init_fields_logger() { return intern(NEW_PARAMS) && intern(GET_PARAMS); }

PyMethodDef GET_FIELDS_LOGGER_DEF = {"_get_logger", FAST(boundary<get_fields_logger>), FAST_KW,
                                     "_get_logger(name, level=...)\n--\n\n"};

}  // namespace ferrant
