#include "binding/py_producer.hpp"

#include <mutex>
#include <utility>

#include "binding/py_flusher.hpp"
#include "binding/py_gil.hpp"
#include "lib/flusher.hpp"

namespace ferrant {

namespace {

constexpr const char* CAPSULE_NAME = "ferrant._logger.producer";
constexpr std::size_t BATCH_CAPACITY = 4096;

// Initial-exec: a plain pointer read, not a call into the TLS resolver.
[[gnu::tls_model("initial-exec")]] thread_local ThreadProducer* CURRENT = nullptr;

// Marks a thread whose producer has been released during its teardown.
ThreadProducer* const TORN_DOWN = reinterpret_cast<ThreadProducer*>(alignof(ThreadProducer));

// Every live producer. Linked and unlinked with the GIL held; the mutex lets
// the flusher read the `opened` stamps without the GIL. It is never held
// while the GIL is given up or waited for.
struct ProducerList {
    std::mutex mutex;
    ThreadProducer* head = nullptr;
};

ProducerList& producers() {
    static auto* list = new ProducerList();  // never destroyed: threads outlive statics
    return *list;
}

void link(ThreadProducer* p) {
    ProducerList& list = producers();
    std::lock_guard lock(list.mutex);
    p->next = list.head;
    if (list.head) list.head->prev = p;
    list.head = p;
    p->linked = true;
}

void unlink(ThreadProducer* p) {
    ProducerList& list = producers();
    std::lock_guard lock(list.mutex);
    if (!p->linked) return;
    if (p->prev)
        p->prev->next = p->next;
    else
        list.head = p->next;
    if (p->next) p->next->prev = p->prev;
    p->prev = p->next = nullptr;
    p->linked = false;
}

// Leaves `p` with an empty batch after its lines were taken out.
void reset_batch(ThreadProducer& p) {
    p.core.pending = 0;
    p.opened.store(0, std::memory_order_relaxed);
    p.core.line_buf = std::move(p.spare);
    p.core.line_buf.reserve(BATCH_CAPACITY);
}

// Runs when the thread's state dict is cleared: by the thread itself as it
// ends, or by the main thread for daemon threads during finalisation.
void release_producer(PyObject* capsule) {
    auto* producer = static_cast<ThreadProducer*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (!producer) {
        PyErr_Clear();
        return;
    }
    unlink(producer);
    const bool own = pthread_equal(producer->owner, pthread_self());
    const bool inherited = producer->generation != fork_generation();
    if (producer->sending && !inherited) {
        // A daemon thread waiting for room without the GIL: it can only come
        // back here unwinding, through frames that still refer to the record.
        if (own) CURRENT = TORN_DOWN;
        return;
    }
    try {
        // Here the GIL must not change hands: the interpreter is clearing
        // thread states.
        if (!inherited)
            hand_off(*producer, HandOff::Hold);
        else
            producer->batch_writer.reset();
    } catch (...) {
        // Out of memory while replacing the batch: the lines are lost.
    }
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
    link(producer);
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

void adopt_producers_after_fork() {
    new (&producers().mutex) std::mutex();
    if (ThreadProducer* producer = existing_thread_producer()) producer->generation = fork_generation();
}

void drop_writer(std::shared_ptr<SharedWriter>&& writer) {
    if (writer && writer.use_count() == 1) {
        without_gil([&] { writer.reset(); });
        return;
    }
    writer.reset();
}

void hand_off(ThreadProducer& producer, HandOff how) {
    Producer& core = producer.core;
    std::shared_ptr<SharedWriter> writer = std::move(producer.batch_writer);
    producer.opened.store(0, std::memory_order_relaxed);
    if (core.line_buf.empty()) {
        if (how == HandOff::Release) drop_writer(std::move(writer));
        return;
    }
    // The record is consistent before anything can wait: another thread
    // holding the GIL meanwhile finds an empty batch.
    ByteBuffer batch = std::move(core.line_buf);
    reset_batch(producer);
    if (!writer) return;
    if (how == HandOff::Hold) {
        (void)writer->send(Write{std::move(batch)});
        return;
    }
    std::optional<Action> reuse;
    GilRelease gate;
    producer.sending = true;
    (void)writer->send(Write{std::move(batch)}, &reuse, &gate);
    producer.sending = false;
    if (reuse && producer.spare.capacity() == 0)
        if (auto* spare = std::get_if<Write>(&*reuse)) producer.spare = std::move(spare->chunk);
    drop_writer(std::move(writer));
}

void open_batch(ThreadProducer& producer, const std::shared_ptr<SharedWriter>& writer,
                HandOff how) {
    hand_off(producer, how);
    producer.batch_writer = writer;
    producer.opened.store(flusher_epoch(), std::memory_order_relaxed);
    ensure_flusher();
}

std::vector<TakenBatch> take_all_batches() {
    std::vector<TakenBatch> taken;
    ProducerList& list = producers();
    std::lock_guard lock(list.mutex);
    for (ThreadProducer* p = list.head; p; p = p->next) {
        if (p->generation != fork_generation() || p->sending || p->core.in_use) continue;
        if (p->core.line_buf.empty() || !p->batch_writer) continue;
        taken.push_back({std::move(p->batch_writer), std::move(p->core.line_buf)});
        reset_batch(*p);
    }
    return taken;
}

bool any_batch_due(std::uint64_t epoch) {
    ProducerList& list = producers();
    std::lock_guard lock(list.mutex);
    for (ThreadProducer* p = list.head; p; p = p->next)
        if (Flusher::is_due(p->opened.load(std::memory_order_relaxed), epoch)) return true;
    return false;
}

void hand_off_due_batches(std::uint64_t epoch) {
    std::vector<std::shared_ptr<SharedWriter>> released;
    {
        ProducerList& list = producers();
        std::lock_guard lock(list.mutex);
        for (ThreadProducer* p = list.head; p; p = p->next) {
            if (!Flusher::is_due(p->opened.load(std::memory_order_relaxed), epoch)) continue;
            if (p->generation != fork_generation() || p->sending || p->core.in_use) continue;
            if (p->core.line_buf.empty() || !p->batch_writer) {
                p->opened.store(0, std::memory_order_relaxed);
                released.push_back(std::move(p->batch_writer));
                continue;
            }
            // Never waits: a writer that cannot take the batch now gets it at
            // a later epoch, and the GIL stays with this thread meanwhile.
            SendOptions<Action> options;
            options.never_wait = true;
            // Its lines have waited long enough: the writer writes them out at
            // once rather than at its next periodic flush.
            SendResult<Action> sent =
                p->batch_writer->push(Write{std::move(p->core.line_buf), true}, options);
            if (sent.status == SendStatus::Full) {
                p->core.line_buf = std::move(std::get<Write>(*sent.value).chunk);
                continue;
            }
            released.push_back(std::move(p->batch_writer));
            reset_batch(*p);
        }
    }
    for (auto& writer : released) drop_writer(std::move(writer));
}

}  // namespace ferrant
