#include "binding/py_flush.hpp"

#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

#include "binding/py_boundary.hpp"
#include "binding/py_gil.hpp"
#include "binding/py_producer.hpp"
#include "lib/registry.hpp"

namespace ferrant {

namespace {

// Every thread's open batch and every parked one handed to its writer, and
// every live writer asked to write out what it holds, all within `timeout`
// seconds. Nothing is stopped: loggers go on as before. True when every
// writer confirmed in time; a writer that did not says so on standard error.
PyObject* flush(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"timeout", nullptr};
    double timeout = 5.0;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw > 1) {
        PyErr_SetString(PyExc_TypeError, "flush() takes at most 1 argument");
        return nullptr;
    }
    PyObject* given = nullptr;
    if (nargs == 1) given = args[0];
    if (nkw == 1) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
        if (PyUnicode_CompareWithASCIIString(key, names[0]) != 0) {
            PyErr_Format(PyExc_TypeError, "flush() got an unexpected keyword argument '%S'", key);
            return nullptr;
        }
        given = args[nargs];
    }
    if (given) {
        if (PyBool_Check(given) || !(PyFloat_Check(given) || PyLong_Check(given))) {
            PyErr_Format(PyExc_TypeError, "flush() argument 'timeout' must be a number, not %.100s",
                         Py_TYPE(given)->tp_name);
            return nullptr;
        }
        timeout = PyFloat_AsDouble(given);
        if (timeout == -1.0 && PyErr_Occurred()) return nullptr;
        if (!(timeout >= 0) || !std::isfinite(timeout)) {
            PyErr_SetString(PyExc_ValueError, "timeout must be a finite number of seconds, 0 or more");
            return nullptr;
        }
    }
    const Deadline deadline =
        deadline_in(std::chrono::duration_cast<WaitClock::duration>(
            std::chrono::duration<double>(timeout)));
    std::vector<TakenBatch> batches = take_all_batches();
    {
        GilRelease gate(false);
        for (TakenBatch& batch : batches) {
            SharedWriter::BatchOptions options;
            options.deadline = deadline;
            options.gate = &gate;
            options.days = batch.days;
            options.prompt = true;
            (void)batch.writer->send_batch(batch.lines, options);
        }
    }
    bool written = true;
    for (TakenBatch& batch : batches) {
        // Sent, or its writer has ended; else out of time: kept, in order.
        if (!batch.lines.empty() && !batch.writer->stopped_or_failed()) {
            written = false;
            park_taken(std::move(batch));
        }
        drop_writer(std::move(batch.writer));
    }
    std::vector<std::shared_ptr<SharedWriter>> writers = live_writers();
    const std::vector<FlushOutcome> outcomes =
        without_gil([&] { return flush_all(writers, WaitBound::until(deadline)); });
    for (std::size_t i = 0; i < writers.size(); ++i) {
        writers[i]->note_flush(outcomes[i]);
        if (outcomes[i] == FlushOutcome::TimedOut || outcomes[i] == FlushOutcome::Failed)
            written = false;
    }
    for (auto& writer : writers) drop_writer(std::move(writer));
    return Py_NewRef(written ? Py_True : Py_False);
}

}  // namespace

PyMethodDef FLUSH_DEF = {
    "_flush", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<flush>)),
    METH_FASTCALL | METH_KEYWORDS, "_flush(timeout=5.0)\n--\n\n"};

}  // namespace ferrant
