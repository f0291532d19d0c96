#pragma once

// The process's producers and parked batches, shared by the owning threads'
// code (py_producer.cpp) and the sweeps over every thread (py_producer_sweep.cpp).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "binding/py_producer.hpp"

namespace ferrant {

inline constexpr std::size_t BATCH_CAPACITY = 4096;

// A batch that found its writer's lane full where the caller must not wait.
struct Parked {
    std::uint64_t owner;  // the producer's id
    std::uint64_t generation;
    std::shared_ptr<SharedWriter> writer;
    ByteBuffer lines;
    std::uint64_t pending;
    BatchDays days;
};

// Every live producer, and the parked batches. Linked and unlinked with the
// GIL held; the mutex lets the flusher read the `opened` stamps without the
// GIL. It is never held while the GIL is given up or waited for.
struct ProducerList {
    std::mutex mutex;
    ThreadProducer* head = nullptr;
    std::vector<Parked> parked;
    std::size_t parked_bytes = 0;
    // Read without the mutex, so that opening a batch costs no lock while
    // nothing is parked.
    std::atomic<std::size_t> parked_count{0};
};

// Bytes of lines parked by switches between writers before a switch waits
// for the stalled writer after all. Teardown parks whatever it holds.
inline constexpr std::size_t PARK_LIMIT = 16u << 20;

inline ProducerList& producers() {
    static auto* list = new ProducerList();  // never destroyed: threads outlive statics
    return *list;
}

// Leaves `p` with an empty batch after its lines were taken out.
void reset_batch(ThreadProducer& p);

// Keeps lines for `writer` until the flusher can hand them over; a batch
// without lines only holds the writer for the flusher to let go.
void park(std::uint64_t owner, std::shared_ptr<SharedWriter>&& writer, ByteBuffer&& lines,
          std::uint64_t pending, const BatchDays& days);

}  // namespace ferrant
