#include "binding/py_exit.hpp"

#include <memory>
#include <vector>

#include "binding/py_errors.hpp"
#include "binding/py_producer.hpp"
#include "binding/registry.hpp"
#include "lib/flush.hpp"

namespace ferrant {

namespace {

std::vector<std::shared_ptr<SharedWriter>> live_writers() {
    Registry& reg = registry();
    std::vector<std::shared_ptr<SharedWriter>> live;
    std::lock_guard lock(reg.mutex);
    for (auto& [key, weak] : reg.writers)
        if (auto writer = weak.lock()) live.push_back(std::move(writer));
    return live;
}

PyObject* flush_at_exit(PyObject*, PyObject*) {
    try {
        if (ThreadProducer* tp = existing_thread_producer()) hand_off(*tp);
        for (auto& writer : live_writers()) flush_and_wait(*writer);
    } catch (...) {
        return raise_current_exception();
    }
    Py_RETURN_NONE;
}

PyMethodDef FLUSH_AT_EXIT_DEF = {"_flush_at_exit", flush_at_exit, METH_NOARGS, nullptr};

PyObject* FLUSH_AT_EXIT = nullptr;

}  // namespace

PyObject* exit_flush_function() { return FLUSH_AT_EXIT; }

bool register_exit_flush() {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    PyRef fn = PyRef::steal(PyCFunction_New(&FLUSH_AT_EXIT_DEF, nullptr));
    if (!fn) return false;
    PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
    if (!done) return false;
    FLUSH_AT_EXIT = fn.release();
    return true;
}

}  // namespace ferrant
