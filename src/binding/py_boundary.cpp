#include "binding/py_boundary.hpp"

#include <cxxabi.h>
#include <exception>
#include <new>

namespace ferrant {

// The forced unwind carries no C++ object, so its catch clause binds a
// reference to null: the documented idiom, which the undefined-behaviour
// sanitizer would otherwise report.
[[gnu::no_sanitize("undefined")]] void rethrow_if_forced_unwind() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

void raise_current_exception() {
    rethrow_if_forced_unwind();
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace ferrant
