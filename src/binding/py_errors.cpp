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

PyRef unprintable(PyObject* value) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
#if PY_VERSION_HEX >= 0x030C0000
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    PyTypeObject* type = Py_TYPE(raised.get());
#else
    PyObject *type_object, *exc_value, *traceback;
    PyErr_Fetch(&type_object, &exc_value, &traceback);
    PyRef held_type = PyRef::steal(type_object), held_value = PyRef::steal(exc_value),
          held_tb = PyRef::steal(traceback);
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
#endif
    return PyRef::steal(
        PyUnicode_FromFormat("<unprintable %s: %s>", Py_TYPE(value)->tp_name, type->tp_name));
}

}  // namespace ferrant
