#pragma once

#include <atomic>
#include <memory>
#include <pthread.h>
#include <vector>

#include "binding/py_ref.hpp"
#include "lib/fork_state.hpp"
#include "lib/producer.hpp"
#include "lib/shared_writer.hpp"

namespace ferrant {

// A Python thread's producer record and the writer its open batch belongs
// to. Everything here is touched with the GIL held, by the owning thread or
// by one that hands the batch off for it (the flusher, the exit paths), except
// `opened`, which the flusher reads without the GIL.
struct ThreadProducer {
    Producer core;
    std::shared_ptr<SharedWriter> batch_writer;  // set while a batch is open
    pthread_t owner = pthread_self();
    // A producer copied into a forked child from another thread holds that
    // thread's lines, which the parent writes: the child must drop them.
    std::uint64_t generation = fork_generation();
    // The flusher's epoch when the open batch began; 0 while none is open.
    std::atomic<std::uint64_t> opened{0};
    // Tells this producer's parked batches from other threads'; never reused.
    std::uint64_t id = next_id();
    // Set while the owner's hand-off waits for room without the GIL, or for
    // the writers once the process is ending. The record then outlives a
    // teardown of its thread state: the thread can only come back to it by
    // unwinding.
    bool sending = false;
    // The next batch buffer, handed back by a writer.
    ByteBuffer spare;
    // Links in the process-wide list of producers.
    ThreadProducer* prev = nullptr;
    ThreadProducer* next = nullptr;
    bool linked = false;

    ThreadProducer() = default;
    ThreadProducer(const ThreadProducer&) = delete;
    ThreadProducer& operator=(const ThreadProducer&) = delete;

private:
    static std::uint64_t next_id() {
        static std::atomic<std::uint64_t> last{0};
        return last.fetch_add(1, std::memory_order_relaxed) + 1;
    }
};

// What a hand-off does when the writer's lane is full.
enum class HandOff {
    // Waits for room with the GIL given up, running signal handlers every
    // 0.1 s: the caller's own full batch for the writer it logs to.
    Wait,
    // Never waits: the batch is parked, and the flusher hands it over once
    // the writer has room. For lines of another writer than the one a call
    // logs to (one destination's stall must not hold up another's calls),
    // and for thread-state teardown, where the GIL must not change hands.
    Park,
};

// The calling thread's producer, created on first use and released (its
// pending lines handed over) when the thread's state is cleared, which
// happens before Thread.join() returns. Null with an exception set when it
// cannot be created; null without one once the thread is being torn down.
ThreadProducer* thread_producer();

// The calling thread's producer if it has one.
ThreadProducer* existing_thread_producer();

// The calling thread's second producer, for the console's copies of its
// records (see py_console.hpp); made, kept and released as the first one.
ThreadProducer* console_thread_producer();
ThreadProducer* existing_console_producer();

// Sends the open batch, if any, to the writer it belongs to. A send to a
// writer that has ended drops it without a report. False, with the Python
// exception set, when a signal handler raised during the wait: the lines
// then stay in the open batch.
[[nodiscard]] bool hand_off(ThreadProducer& producer, HandOff how = HandOff::Wait);

// Opens a batch for `writer`: lines of another writer are handed over
// without waiting for it (parked when it has no room), and lines parked
// earlier for `writer` continue in the new batch, so that a thread's lines
// keep their order. False with an exception set as for hand_off.
[[nodiscard]] bool open_batch(ThreadProducer& producer, const std::shared_ptr<SharedWriter>& writer,
                              HandOff how = HandOff::Wait);

[[nodiscard]] inline bool claim_batch(ThreadProducer& producer,
                                      const std::shared_ptr<SharedWriter>& writer,
                                      HandOff how = HandOff::Wait) {
    if (producer.batch_writer != writer) [[unlikely]]
        return open_batch(producer, writer, how);
    return true;
}

// Releases a writer reference. The last one stops the writer's thread, which
// first writes out everything queued: that wait gives the GIL up.
void drop_writer(std::shared_ptr<SharedWriter>&& writer);

// An open batch taken out of its producer, and the writer it belongs to.
struct TakenBatch {
    std::shared_ptr<SharedWriter> writer;
    ByteBuffer lines;
    BatchDays days;
    std::uint64_t owner = 0;    // the producer's id
    std::uint64_t pending = 0;  // its lines
};

// Parks a taken batch that could not be sent: the flusher hands it over
// later, and its thread's next batch for the writer continues it. GIL held.
void park_taken(TakenBatch&& batch);

// Every producer's open batch, the caller's own included, and every parked
// batch (GIL held). Each producer is left with an empty batch, so its thread
// may go on logging.
std::vector<TakenBatch> take_all_batches();

// The parked batches alone; needs no GIL (after finalisation).
std::vector<TakenBatch> take_parked_batches();

// For the flusher. Without the GIL: whether some batch opened at least
// Flusher::AGE_TICKS epochs before `epoch` is still open.
bool any_batch_due(std::uint64_t epoch);
// With the GIL: hands off every due batch, and every parked one, whose
// writer has room right now; the others are tried again at a later epoch.
void hand_off_due_batches(std::uint64_t epoch);

}  // namespace ferrant
