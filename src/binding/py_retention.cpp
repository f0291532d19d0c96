#include "binding/py_retention.hpp"

#include <cstdint>

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"
#include "lib/settings.hpp"

namespace ferrant {

namespace {

// Called only by the package's basic_config, whose arguments these are.
constexpr const char* FN = "basic_config";
constexpr long long MAX_DAYS = INT32_MAX;

bool convert_days(PyObject* value, RetentionPolicy& p) {
    if (value == Py_None) return true;
    // bool is an int to Python, but True as a day count is a mistake.
    if (!PyLong_Check(value) || PyBool_Check(value))
        return argument_type_error(FN, "retention_days", "int or None", value);
    int overflow = 0;
    const long long days = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (days == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || days < 1 || days > MAX_DAYS) {
        PyErr_Format(PyExc_ValueError, "retention_days must be between 1 and %lld, not %R",
                     MAX_DAYS, value);
        return false;
    }
    p.days = static_cast<std::uint32_t>(days);
    return true;
}

PyObject* days_object(const RetentionPolicy& p) {
    if (!p.days) return Py_NewRef(Py_None);
    return PyLong_FromUnsignedLong(*p.days);
}

// Returns the settings it replaced, so that a caller can put them back.
PyObject* set_retention(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "_set_retention() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    RetentionPolicy policy;
    if (!convert_days(args[0], policy)) return nullptr;
    if (!PyBool_Check(args[1])) {
        (void)argument_type_error(FN, "compress", "bool", args[1]);
        return nullptr;
    }
    policy.compress = args[1] == Py_True;

    const RetentionPolicy previous = default_retention_cell().get();
    PyRef days = PyRef::steal(days_object(previous));
    if (!days) return nullptr;
    PyRef result = PyRef::steal(PyTuple_Pack(2, days.get(), previous.compress ? Py_True : Py_False));
    if (!result) return nullptr;
    default_retention_cell().set(policy);
    return result.release();
}

}  // namespace

PyMethodDef SET_RETENTION_DEF = {
    "_set_retention",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<set_retention>)),
    METH_FASTCALL,
    "_set_retention(retention_days, compress, /)\n--\n\n",
};

}  // namespace ferrant
