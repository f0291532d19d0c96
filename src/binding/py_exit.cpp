#include "binding/py_exit.hpp"

#include <chrono>
#include <memory>
#include <vector>

#include "binding/py_errors.hpp"
#include "binding/py_flusher.hpp"
#include "binding/py_gil.hpp"
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

}  // namespace

void write_out_everything(std::chrono::steady_clock::time_point deadline) {
    std::vector<TakenBatch> batches = take_all_batches();
    for (TakenBatch& batch : batches) {
        SendOptions<Action> options;
        GilRelease gate;
        options.deadline = deadline;
        options.gate = &gate;
        (void)batch.writer->push(Write{std::move(batch.lines)}, options);
    }
    for (TakenBatch& batch : batches) drop_writer(std::move(batch.writer));
    std::vector<std::shared_ptr<SharedWriter>> writers = live_writers();
    without_gil([&] { flush_all_and_wait(writers, deadline); });
    for (auto& writer : writers) drop_writer(std::move(writer));
}

namespace {

PyObject* flush_at_exit(PyObject*, PyObject*) {
    try {
        // A worker's SIGTERM handler stays: a terminate() that comes while
        // this runs must wait for the flush too.
        stop_flusher();
        write_out_everything(std::chrono::steady_clock::now() + FLUSH_WAIT);
    } catch (...) {
        return raise_current_exception();
    }
    Py_RETURN_NONE;
}

// After finalisation: no Python here, and no GIL to hold.
void flush_after_finalisation() {
    try {
        std::vector<std::shared_ptr<SharedWriter>> writers = live_writers();
        flush_all_and_wait(writers, std::chrono::steady_clock::now() + FLUSH_WAIT);
    } catch (...) {
        // Out of memory at the very end: nothing more can be done.
    }
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
    if (Py_AtExit(flush_after_finalisation) < 0) {
        PyErr_SetString(PyExc_RuntimeError, "no room for another exit function");
        return false;
    }
    FLUSH_AT_EXIT = fn.release();
    return true;
}

}  // namespace ferrant
