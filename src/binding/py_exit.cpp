#include "binding/py_exit.hpp"

#include <atomic>
#include <memory>
#include <vector>

#include "binding/py_boundary.hpp"
#include "binding/py_flusher.hpp"
#include "binding/py_gil.hpp"
#include "binding/py_producer.hpp"
#include "lib/registry.hpp"
#include "lib/shared_writer.hpp"

namespace ferrant {

namespace {

// Queues every batch within `bound`, waiting for room where it must. A
// batch still without room then is dropped, its bytes reported with its
// writer's other unwritten ones.
void send_all(std::vector<TakenBatch>& batches, const WaitBound& bound, WaitGate* gate) {
    for (TakenBatch& batch : batches) {
        SharedWriter::BatchOptions options;
        options.gate = gate;
        options.days = batch.days;
        (void)batch.writer->send_batch(batch.lines, options, bound);
    }
}

// Each writer whose flush did not come back in time says so, once.
void report(const std::vector<std::shared_ptr<SharedWriter>>& writers,
            const std::vector<FlushOutcome>& outcomes) {
    for (std::size_t i = 0; i < writers.size(); ++i) writers[i]->note_flush(outcomes[i]);
}

}  // namespace

void write_out_everything(const WaitBound& bound) {
    std::vector<TakenBatch> batches = take_all_batches();
    {
        // Every writer is watched from here on, whichever one a step waits
        // for: each stall is judged by that writer's own progress.
        std::vector<std::shared_ptr<SharedWriter>> watched = live_writers();
        for (auto& writer : watched) writer->look();
        {
            // Signals do not cut the exit's own wait short; its bound does.
            GilRelease gate(false);
            send_all(batches, bound.watching(watched), &gate);
        }
        for (TakenBatch& batch : batches) drop_writer(std::move(batch.writer));
        for (auto& writer : watched) drop_writer(std::move(writer));
    }
    std::vector<std::shared_ptr<SharedWriter>> writers = live_writers();
    const std::vector<FlushOutcome> outcomes = without_gil([&] {
        std::vector<FlushOutcome> flushed = flush_all(writers, bound);
        finish_left_running(bound);
        return flushed;
    });
    report(writers, outcomes);
    for (auto& writer : writers) drop_writer(std::move(writer));
}

namespace {

PyObject* flush_at_exit(PyObject*, PyObject*) {
    // A worker's SIGTERM handler stays: a terminate() that comes while this
    // runs must wait for the flush too.
    stop_flusher();
    begin_exit();
    write_out_everything(writer_wait());
    Py_RETURN_NONE;
}

// After finalisation: no Python here, and no GIL to hold. Lines parked as
// thread states were cleared go out now. Out of memory at the very end
// loses them: nothing more can be done.
void flush_after_finalisation() {
    (void)quietly([] {
        begin_exit();
        std::vector<TakenBatch> parked = take_parked_batches();
        std::vector<std::shared_ptr<SharedWriter>> writers = live_writers();
        const WaitBound bound = writer_wait();
        send_all(parked, bound.watching(writers), nullptr);
        parked.clear();
        report(writers, flush_all(writers, bound));
        finish_left_running(bound);
    });
}

PyMethodDef FLUSH_AT_EXIT_DEF = {"_flush_at_exit", boundary<flush_at_exit>, METH_NOARGS,
                             "_flush_at_exit()\n--\n\n"};

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
