#include "binding/py_errors.hpp"

#include <cxxabi.h>
#include <exception>
#include <new>

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

// The forced unwind of pthread_exit carries no C++ object, so its catch
// clause binds a reference to null: the documented idiom, which the
// undefined-behaviour sanitizer would otherwise report.
[[gnu::no_sanitize("undefined")]] PyObject* raise_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;  // a thread being ended by pthread_exit must keep unwinding
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

Error python_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    return Error::python();
}

}  // namespace ferrant
