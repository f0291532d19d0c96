#pragma once

#include <memory>
#include <pthread.h>

#include "binding/py_ref.hpp"
#include "lib/fork_state.hpp"
#include "lib/producer.hpp"
#include "lib/shared_writer.hpp"

namespace ferrant {

// A Python thread's producer record and the writer its pending lines belong
// to. The pending batch holds that writer alive, so lines are never orphaned.
struct ThreadProducer {
    Producer core;
    std::shared_ptr<SharedWriter> batch_writer;  // set while lines are pending
    pthread_t owner = pthread_self();
    // A producer copied into a forked child from another thread holds that
    // thread's lines, which the parent writes: the child must drop them.
    std::uint64_t generation = fork_generation();
};

// The calling thread's producer, created on first use and released (its
// pending lines handed over) when the thread's state is cleared, which
// happens before Thread.join() returns. Null with an exception set when it
// cannot be created; null without one once the thread is being torn down.
ThreadProducer* thread_producer();

// The calling thread's producer if it has one.
ThreadProducer* existing_thread_producer();

// In a forked child: the forking thread's producer carries on there.
void adopt_producer_after_fork();

// Sends the pending lines, if any, to the writer they belong to. A send to a
// writer that has ended drops them without a report.
void hand_off(ThreadProducer& producer);

// Makes `writer` the owner of the pending batch, first handing over lines
// that belong to another writer.
inline void claim_batch(ThreadProducer& producer, const std::shared_ptr<SharedWriter>& writer) {
    if (producer.batch_writer != writer) [[unlikely]] {
        hand_off(producer);
        producer.batch_writer = writer;
    }
}

}  // namespace ferrant
