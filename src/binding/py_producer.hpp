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
    // Set while the owner's hand-off waits for room without the GIL. The
    // record then outlives a teardown of its thread state: the thread can
    // only come back to it by unwinding.
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
};

// How a hand-off waits when the writer's channel is full.
enum class HandOff {
    Release,  // gives the GIL up for the wait (the caller's own batch)
    Hold,     // keeps it: thread-state teardown, where it must not change hands
};

// The calling thread's producer, created on first use and released (its
// pending lines handed over) when the thread's state is cleared, which
// happens before Thread.join() returns. Null with an exception set when it
// cannot be created; null without one once the thread is being torn down.
ThreadProducer* thread_producer();

// The calling thread's producer if it has one.
ThreadProducer* existing_thread_producer();

// In a forked child: the forking thread's producer carries on there, and the
// list's lock may have been held by a thread that is not there.
void adopt_producers_after_fork();

// Sends the open batch, if any, to the writer it belongs to. A send to a
// writer that has ended drops it without a report.
void hand_off(ThreadProducer& producer, HandOff how = HandOff::Release);

// Opens a batch for `writer`, first handing over lines of another writer.
void open_batch(ThreadProducer& producer, const std::shared_ptr<SharedWriter>& writer,
                HandOff how = HandOff::Release);

inline void claim_batch(ThreadProducer& producer, const std::shared_ptr<SharedWriter>& writer,
                        HandOff how = HandOff::Release) {
    if (producer.batch_writer != writer) [[unlikely]]
        open_batch(producer, writer, how);
}

// Releases a writer reference. The last one stops the writer's thread, which
// first writes out everything queued: that wait gives the GIL up.
void drop_writer(std::shared_ptr<SharedWriter>&& writer);

// An open batch taken out of its producer, and the writer it belongs to.
struct TakenBatch {
    std::shared_ptr<SharedWriter> writer;
    ByteBuffer lines;
};

// Every producer's open batch, the caller's own included (GIL held). Each
// producer is left with an empty batch, so its thread may go on logging.
std::vector<TakenBatch> take_all_batches();

// For the flusher. Without the GIL: whether some batch opened at least
// Flusher::AGE_TICKS epochs before `epoch` is still open.
bool any_batch_due(std::uint64_t epoch);
// With the GIL: hands off every due batch whose writer has room right now;
// the others are tried again at a later epoch.
void hand_off_due_batches(std::uint64_t epoch);

}  // namespace ferrant
