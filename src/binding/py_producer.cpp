#include "binding/py_producer.hpp"

#include <mutex>
#include <utility>

#include "binding/py_boundary.hpp"
#include "binding/py_exit.hpp"
#include "binding/py_flusher.hpp"
#include "binding/py_gil.hpp"
#include "binding/py_producer_list.hpp"
#include "lib/ending.hpp"

namespace ferrant {

namespace {

constexpr const char* CAPSULE_NAME = "ferrant._logger.producer";
constexpr const char* CONSOLE_CAPSULE_NAME = "ferrant._logger.console_producer";

// Initial-exec: a plain pointer read, not a call into the TLS resolver.
[[gnu::tls_model("initial-exec")]] thread_local ThreadProducer* CURRENT = nullptr;
// The producer of the console's copies of the thread's records: a batch
// belongs to one writer, and a copy alternating with its record in one batch
// would hand the batch over at every record.
[[gnu::tls_model("initial-exec")]] thread_local ThreadProducer* CONSOLE_CURRENT = nullptr;

// Marks a thread whose producer has been released during its teardown.
ThreadProducer* const TORN_DOWN = reinterpret_cast<ThreadProducer*>(alignof(ThreadProducer));

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

// Lines this producer parked for `writer`, back into its empty batch.
void unpark(ThreadProducer& producer, const std::shared_ptr<SharedWriter>& writer) {
    ProducerList& list = producers();
    if (list.parked_count.load(std::memory_order_relaxed) == 0) [[likely]]
        return;
    std::shared_ptr<SharedWriter> held;  // released after the lock
    std::lock_guard lock(list.mutex);
    for (auto it = list.parked.begin(); it != list.parked.end(); ++it) {
        // An entry without lines only holds a writer for the flusher to let go.
        if (it->owner != producer.id || it->writer != writer || it->lines.empty() ||
            it->generation != fork_generation())
            continue;
        list.parked_bytes -= it->lines.size();
        if (producer.spare.capacity() == 0) producer.spare = std::move(producer.core.line_buf);
        producer.core.line_buf = std::move(it->lines);
        producer.core.pending = it->pending;
        producer.core.days = it->days;
        held = std::move(it->writer);
        list.parked.erase(it);
        list.parked_count.store(list.parked.size(), std::memory_order_relaxed);
        // These lines have waited already: due at the flusher's next look.
        producer.opened.store(1, std::memory_order_relaxed);
        return;
    }
}

// Parks what cannot go to `writer` now; the batch has left the producer.
// False when it is over the limit and not `forced`; `writer` and `batch`
// are then untouched.
bool send_or_park(ThreadProducer& producer, std::shared_ptr<SharedWriter>& writer,
                  ByteBuffer& batch, std::uint64_t pending, const BatchDays& days, bool forced) {
    SharedWriter::BatchOptions options;
    options.never_wait = true;
    options.days = days;
    if (writer->send_batch(batch, options) != SendStatus::Full) {
        // Stopping a writer waits for it: not here, where the GIL stays.
        if (writer.use_count() == 1)
            park(producer.id, std::move(writer), ByteBuffer(), 0, {});
        writer.reset();
        return true;
    }
    if (!forced) {
        ProducerList& list = producers();
        std::lock_guard lock(list.mutex);
        if (list.parked_bytes + batch.size() > PARK_LIMIT) return false;
    }
    park(producer.id, std::move(writer), std::move(batch), pending, days);
    return true;
}

// Runs when the thread's state dict is cleared: by the thread itself as it
// ends, or by the main thread for daemon threads during finalisation.
// `slot` is the owner's slot, touched only by the owner.
void release_producer(PyObject* capsule, const char* name, ThreadProducer*& slot) {
    auto* producer = static_cast<ThreadProducer*>(PyCapsule_GetPointer(capsule, name));
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
        if (own) slot = TORN_DOWN;
        return;
    }
    // Here the GIL must not change hands and nothing may wait: the
    // interpreter is clearing thread states. Out of memory while parking the
    // batch loses the lines.
    (void)quietly([&] {
        if (!inherited)
            (void)hand_off(*producer, HandOff::Park);
        else
            producer->batch_writer.reset();
    });
    delete producer;
    if (own) slot = TORN_DOWN;
}

void release_record_producer(PyObject* capsule) {
    release_producer(capsule, CAPSULE_NAME, CURRENT);
}

void release_console_producer(PyObject* capsule) {
    release_producer(capsule, CONSOLE_CAPSULE_NAME, CONSOLE_CURRENT);
}

[[gnu::noinline]] ThreadProducer* create_producer(const char* name, PyCapsule_Destructor release,
                                                  ThreadProducer*& slot) {
    PyObject* dict = PyThreadState_GetDict();
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "no thread state to keep the producer in");
        return nullptr;
    }
    auto owned = std::make_unique<ThreadProducer>();
    PyRef capsule = PyRef::steal(PyCapsule_New(owned.get(), name, release));
    if (!capsule) return nullptr;
    ThreadProducer* producer = owned.release();
    link(producer);
    slot = producer;
    if (PyDict_SetItemString(dict, name, capsule.get()) < 0) {
        capsule = PyRef();  // releases the producer
        slot = nullptr;
        return nullptr;
    }
    return producer;
}

}  // namespace

void reset_batch(ThreadProducer& p) {
    p.core.pending = 0;
    p.core.clear_days();
    p.opened.store(0, std::memory_order_relaxed);
    p.core.line_buf = std::move(p.spare);
    p.core.line_buf.reserve(BATCH_CAPACITY);
}

void park(std::uint64_t owner, std::shared_ptr<SharedWriter>&& writer, ByteBuffer&& lines,
          std::uint64_t pending, const BatchDays& days) {
    ProducerList& list = producers();
    std::lock_guard lock(list.mutex);
    list.parked_bytes += lines.size();
    list.parked.push_back(
        {owner, fork_generation(), std::move(writer), std::move(lines), pending, days});
    list.parked_count.store(list.parked.size(), std::memory_order_relaxed);
}

ThreadProducer* thread_producer() {
    ThreadProducer* producer = CURRENT;
    if (producer > TORN_DOWN) [[likely]]
        return producer;
    if (producer == TORN_DOWN) return nullptr;
    return create_producer(CAPSULE_NAME, release_record_producer, CURRENT);
}

ThreadProducer* existing_thread_producer() {
    ThreadProducer* producer = CURRENT;
    return producer > TORN_DOWN ? producer : nullptr;
}

ThreadProducer* console_thread_producer() {
    ThreadProducer* producer = CONSOLE_CURRENT;
    if (producer > TORN_DOWN) [[likely]]
        return producer;
    if (producer == TORN_DOWN) return nullptr;
    return create_producer(CONSOLE_CAPSULE_NAME, release_console_producer, CONSOLE_CURRENT);
}

ThreadProducer* existing_console_producer() {
    ThreadProducer* producer = CONSOLE_CURRENT;
    return producer > TORN_DOWN ? producer : nullptr;
}

namespace {

// In a forked child: the forking thread's producer carries on there, and the
// list's lock may have been held by a thread that is not there. The parked
// batches of the parent are dropped where they are next met.
const OnForkChild PRODUCERS_AFTER_FORK([] {
    new (&producers().mutex) std::mutex();
    if (ThreadProducer* producer = existing_thread_producer()) producer->generation = fork_generation();
    if (ThreadProducer* producer = existing_console_producer())
        producer->generation = fork_generation();
});

}  // namespace

void drop_writer(std::shared_ptr<SharedWriter>&& writer) {
    if (writer && writer.use_count() == 1) {
        without_gil([&] { writer.reset(); });
        return;
    }
    writer.reset();
}

namespace {

// Out of line: the log call's path pays one load for it.
[[gnu::noinline]] void write_out_while_ending(ThreadProducer& producer) {
    // Waits without the GIL, as a send does: kept alive through a teardown.
    struct Sending {
        ThreadProducer& p;
        explicit Sending(ThreadProducer& p) : p(p) { p.sending = true; }
        ~Sending() { p.sending = false; }
    } sending(producer);
    write_out_everything(writer_wait());
}

}  // namespace

bool hand_off(ThreadProducer& producer, HandOff how) {
    Producer& core = producer.core;
    std::shared_ptr<SharedWriter> writer = std::move(producer.batch_writer);
    const std::uint64_t opened = producer.opened.exchange(0, std::memory_order_relaxed);
    if (core.line_buf.empty()) {
        if (how == HandOff::Wait)
            drop_writer(std::move(writer));
        else if (writer && writer.use_count() == 1)
            park(producer.id, std::move(writer), ByteBuffer(), 0, {});
        return true;
    }
    // The record is consistent before anything can wait: another thread
    // holding the GIL meanwhile finds an empty batch.
    ByteBuffer batch = std::move(core.line_buf);
    const std::uint64_t pending = core.pending;
    const BatchDays days = core.days;
    reset_batch(producer);
    if (!writer) return true;
    if (how == HandOff::Park) {
        (void)send_or_park(producer, writer, batch, pending, days, true);
        return true;
    }
    ByteBuffer spare;
    GilRelease gate;
    SharedWriter::BatchOptions options;
    options.gate = &gate;
    options.days = days;
    producer.sending = true;
    const SendStatus status = writer->send_batch(batch, options, &spare);
    producer.sending = false;
    if (spare.capacity() != 0 && producer.spare.capacity() == 0) producer.spare = std::move(spare);
    if (status == SendStatus::Interrupted) [[unlikely]] {
        // As a blocking queue.put: the handler's exception propagates. The
        // lines stay, to go out once the writer has room, or at exit.
        if (producer.spare.capacity() == 0) producer.spare = std::move(core.line_buf);
        core.line_buf = std::move(batch);
        core.pending = pending;
        core.days = days;
        producer.batch_writer = std::move(writer);
        producer.opened.store(opened ? opened : 1, std::memory_order_relaxed);
        return false;
    }
    drop_writer(std::move(writer));
    // After a SIGTERM the process may end by the signal's default action at
    // any moment: this call returns once every record, every thread's, is out.
    if (process_ending()) [[unlikely]]
        write_out_while_ending(producer);
    return true;
}

bool open_batch(ThreadProducer& producer, const std::shared_ptr<SharedWriter>& writer,
                HandOff how) {
    if (producer.batch_writer && !producer.core.line_buf.empty()) {
        // Another writer's lines: a stalled destination must not hold up a
        // call to this one.
        std::shared_ptr<SharedWriter> other = std::move(producer.batch_writer);
        const std::uint64_t opened = producer.opened.exchange(0, std::memory_order_relaxed);
        ByteBuffer batch = std::move(producer.core.line_buf);
        const std::uint64_t pending = producer.core.pending;
        const BatchDays days = producer.core.days;
        reset_batch(producer);
        if (!send_or_park(producer, other, batch, pending, days, how == HandOff::Park)) {
            // Too much parked already: this switch waits for the stalled
            // writer after all, as a call to it would.
            if (producer.spare.capacity() == 0) producer.spare = std::move(producer.core.line_buf);
            producer.core.line_buf = std::move(batch);
            producer.core.pending = pending;
            producer.core.days = days;
            producer.batch_writer = std::move(other);
            producer.opened.store(opened, std::memory_order_relaxed);
            if (!hand_off(producer, how)) return false;
        }
    } else if (!hand_off(producer, how)) {
        return false;
    }
    unpark(producer, writer);
    producer.batch_writer = writer;
    if (producer.opened.load(std::memory_order_relaxed) == 0)
        producer.opened.store(flusher_epoch(), std::memory_order_relaxed);
    ensure_flusher();
    return true;
}

}  // namespace ferrant
