#include "binding/py_level.hpp"

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"

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

std::optional<Rank> rank_from_level(const char* function, PyObject* level) {
    if (!level) return DEFAULT_RANK;
    if (Py_IS_TYPE(level, reinterpret_cast<PyTypeObject*>(TYPE)))
        return rank_of_level(reinterpret_cast<PyLevelObject*>(level)->value);
    argument_type_error(function, "level", "PyLevel", level);
    return std::nullopt;
}

}  // namespace ferrant
