#include "binding/py_producer.hpp"

#include <utility>

namespace ferrant {

namespace {

constexpr const char* CAPSULE_NAME = "ferrant._logger.producer";

// Initial-exec: a plain pointer read, not a call into the TLS resolver.
[[gnu::tls_model("initial-exec")]] thread_local ThreadProducer* CURRENT = nullptr;

// Marks a thread whose producer has been released during its teardown.
ThreadProducer* const TORN_DOWN = reinterpret_cast<ThreadProducer*>(alignof(ThreadProducer));

// Runs when the thread's state dict is cleared: by the thread itself as it
// ends, or by the main thread for daemon threads during finalisation.
void release_producer(PyObject* capsule) {
    auto* producer = static_cast<ThreadProducer*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (!producer) {
        PyErr_Clear();
        return;
    }
    try {
        if (producer->generation == fork_generation())
            hand_off(*producer);
        else
            producer->batch_writer.reset();
    } catch (...) {
        // Out of memory while replacing the batch: the lines are lost.
    }
    const bool own = pthread_equal(producer->owner, pthread_self());
    delete producer;
    if (own) CURRENT = TORN_DOWN;
}

[[gnu::noinline]] ThreadProducer* create_producer() {
    PyObject* dict = PyThreadState_GetDict();
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "no thread state to keep the producer in");
        return nullptr;
    }
    auto owned = std::make_unique<ThreadProducer>();
    PyRef capsule = PyRef::steal(PyCapsule_New(owned.get(), CAPSULE_NAME, release_producer));
    if (!capsule) return nullptr;
    ThreadProducer* producer = owned.release();
    CURRENT = producer;
    if (PyDict_SetItemString(dict, CAPSULE_NAME, capsule.get()) < 0) {
        capsule = PyRef();  // releases the producer
        CURRENT = nullptr;
        return nullptr;
    }
    return producer;
}

}  // namespace

ThreadProducer* thread_producer() {
    ThreadProducer* producer = CURRENT;
    if (producer > TORN_DOWN) [[likely]]
        return producer;
    if (producer == TORN_DOWN) return nullptr;
    return create_producer();
}

ThreadProducer* existing_thread_producer() {
    ThreadProducer* producer = CURRENT;
    return producer > TORN_DOWN ? producer : nullptr;
}

void adopt_producer_after_fork() {
    if (ThreadProducer* producer = existing_thread_producer()) producer->generation = fork_generation();
}

void hand_off(ThreadProducer& producer) {
    Producer& core = producer.core;
    std::shared_ptr<SharedWriter> writer = std::move(producer.batch_writer);
    if (core.line_buf.empty()) return;
    ByteBuffer batch = std::move(core.line_buf);
    core.pending = 0;
    std::optional<Action> reuse;
    if (writer) writer->send(Write{std::move(batch)}, &reuse);
    if (reuse)
        if (auto* spare = std::get_if<Write>(&*reuse)) core.line_buf = std::move(spare->chunk);
    core.line_buf.reserve(4096);
}

}  // namespace ferrant
