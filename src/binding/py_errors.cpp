#include "binding/py_errors.hpp"

namespace ferrant {

PyObject* raise(const Error& error) {
    switch (error.kind) {
    case ErrorKind::Python:
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        break;
    case ErrorKind::Runtime:
        PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
        break;
    }
    return nullptr;
}

Error python_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    return Error::python();
}

bool unprintable_text(PyObject* value, std::string& out) {
    PyObject* type = PyErr_Occurred();
    if (!type || !PyErr_GivenExceptionMatches(type, PyExc_Exception)) return false;
    out = "<unprintable ";
    out += Py_TYPE(value)->tp_name;
    out += ": ";
    out += reinterpret_cast<PyTypeObject*>(type)->tp_name;
    out += '>';
    PyErr_Clear();
    return true;
}

}  // namespace ferrant
