#include "binding/py_errors.hpp"

namespace ferrant {

PyObject* raise(const Error& error) {
    switch (error.kind) {
    case ErrorKind::Python:
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        break;
    case ErrorKind::Memory:
        PyErr_NoMemory();
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

}  // namespace ferrant
