#include "binding/py_level.hpp"

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"

#include <cctype>
#include <string_view>

namespace ferrant {

namespace {

// Indexed by level value.
constexpr const char* MEMBER_NAMES[RANK_COUNT] = {"Trace", "Debug", "Info", "Warn", "Error"};
constexpr const char* REPRS[RANK_COUNT] = {"PyLevel.Trace", "PyLevel.Debug", "PyLevel.Info",
                                           "PyLevel.Warn", "PyLevel.Error"};

PyObject* TYPE = nullptr;

PyObject* level_repr(PyObject* self) {
    return PyUnicode_FromString(REPRS[reinterpret_cast<PyLevelObject*>(self)->value]);
}

PyObject* level_int(PyObject* self) {
    return PyLong_FromLong(reinterpret_cast<PyLevelObject*>(self)->value);
}

PyType_Slot SLOTS[] = {
    {Py_tp_repr, reinterpret_cast<void*>(boundary<level_repr>)},
    {Py_nb_int, reinterpret_cast<void*>(boundary<level_int>)},
    {0, nullptr},
};

PyType_Spec TYPE_SPEC = {
    "ferrant._logger.PyLevel",
    sizeof(PyLevelObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    SLOTS,
};

// Members go straight into the type's dict: the type is immutable to Python.
bool add_members(PyTypeObject* type) {
    for (std::uint8_t value = 0; value < RANK_COUNT; ++value) {
        PyRef member = PyRef::steal(type->tp_alloc(type, 0));
        if (!member) return false;
        reinterpret_cast<PyLevelObject*>(member.get())->value = value;
        if (PyDict_SetItemString(type->tp_dict, MEMBER_NAMES[value], member.get()) < 0)
            return false;
    }
    PyType_Modified(type);
    return true;
}

}  // namespace

PyObject* level_type() {
    if (TYPE) return TYPE;
    PyRef type = PyRef::steal(PyType_FromSpec(&TYPE_SPEC));
    if (!type || !add_members(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
    TYPE = type.release();
    return TYPE;
}

namespace {

constexpr struct {
    std::string_view name;
    Rank rank;
} LEVEL_NAMES[] = {
    {"trace", Rank::Trace}, {"debug", Rank::Debug}, {"info", Rank::Info},
    {"warn", Rank::Warn},   {"warning", Rank::Warn}, {"error", Rank::Error},
    {"critical", Rank::Error},
};

std::optional<Rank> rank_of_name(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return std::nullopt;
    const std::string_view name(data, static_cast<std::size_t>(size));
    for (const auto& entry : LEVEL_NAMES) {
        if (entry.name.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; same && i < name.size(); ++i)
            same = std::tolower(static_cast<unsigned char>(name[i])) == entry.name[i];
        if (same) return entry.rank;
    }
    PyErr_Format(PyExc_ValueError,
                 "unknown level name %R: trace, debug, info, warn, warning, error or critical",
                 text);
    return std::nullopt;
}

// logging's numbers: CRITICAL and ERROR are error, WARNING warn, INFO info,
// DEBUG debug, anything below (NOTSET, custom TRACE levels) trace.
std::optional<Rank> rank_of_number(PyObject* number) {
    int overflow = 0;
    const long n = PyLong_AsLongAndOverflow(number, &overflow);
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow) return overflow > 0 ? Rank::Error : Rank::Trace;
    if (n >= 40) return Rank::Error;
    if (n >= 30) return Rank::Warn;
    if (n >= 20) return Rank::Info;
    if (n >= 10) return Rank::Debug;
    return Rank::Trace;
}

}  // namespace

std::optional<Rank> rank_from_any_level(const char* function, PyObject* level) {
    if (Py_IS_TYPE(level, reinterpret_cast<PyTypeObject*>(TYPE)))
        return rank_of_level(reinterpret_cast<PyLevelObject*>(level)->value);
    if (PyUnicode_Check(level)) return rank_of_name(level);
    if (PyLong_Check(level) && !PyBool_Check(level)) return rank_of_number(level);
    argument_type_error(function, "level", "PyLevel, str or int", level);
    return std::nullopt;
}

PyObject* level_of_rank(Rank rank) {
    const auto value = static_cast<unsigned>(RANK_COUNT - rank_index(rank));
    return PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(TYPE)->tp_dict,
                                MEMBER_NAMES[value]);
}

std::optional<Rank> rank_from_level(const char* function, PyObject* level) {
    if (!level) return DEFAULT_RANK;
    if (Py_IS_TYPE(level, reinterpret_cast<PyTypeObject*>(TYPE)))
        return rank_of_level(reinterpret_cast<PyLevelObject*>(level)->value);
    argument_type_error(function, "level", "PyLevel", level);
    return std::nullopt;
}

}  // namespace ferrant
