#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ferrant {

// Owns one reference to a PyObject (or nothing). Construct with steal() for a
// new reference and borrow() for a borrowed one; release() hands it back.
class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* o) { return PyRef(o); }
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    // A daemon thread ended by pthread_exit during finalisation unwinds
    // through here without the GIL: the reference is then leaked, not
    // released behind the interpreter's back. Not noexcept: releasing may run
    // a __del__ that gives the GIL away, and the thread may then be ended
    // inside this destructor; its forced unwind must pass through.
    ~PyRef() noexcept(false) {
        if (obj_ && PyGILState_Check()) Py_DECREF(obj_);
    }

    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace ferrant
