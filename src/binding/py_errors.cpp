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

PyRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

void raise_again(PyRef exc) {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

}  // namespace ferrant
