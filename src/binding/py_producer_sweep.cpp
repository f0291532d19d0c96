// What the flusher and the exit do with every thread's batches.

#include <mutex>
#include <utility>

#include "binding/py_flusher.hpp"
#include "binding/py_producer.hpp"
#include "binding/py_producer_list.hpp"
#include "lib/flusher.hpp"

namespace ferrant {

std::vector<TakenBatch> take_parked_batches() {
    std::vector<TakenBatch> taken;
    std::vector<Parked> parked;
    {
        ProducerList& list = producers();
        std::lock_guard lock(list.mutex);
        parked.swap(list.parked);
        list.parked_bytes = 0;
        list.parked_count.store(0, std::memory_order_relaxed);
    }
    // The parent's lines in a forked child are the parent's to write.
    for (Parked& p : parked)
        if (p.generation == fork_generation())
            taken.push_back({std::move(p.writer), std::move(p.lines), p.days, p.owner, p.pending});
    return taken;
}

std::vector<TakenBatch> take_all_batches() {
    std::vector<TakenBatch> taken = take_parked_batches();
    ProducerList& list = producers();
    std::lock_guard lock(list.mutex);
    for (ThreadProducer* p = list.head; p; p = p->next) {
        if (p->generation != fork_generation() || p->sending || p->core.in_use) continue;
        if (p->core.line_buf.empty() || !p->batch_writer) continue;
        taken.push_back({std::move(p->batch_writer), std::move(p->core.line_buf), p->core.days,
                         p->id, p->core.pending});
        reset_batch(*p);
    }
    return taken;
}

void park_taken(TakenBatch&& batch) {
    if (batch.lines.empty() || !batch.writer) return;
    park(batch.owner, std::move(batch.writer), std::move(batch.lines), batch.pending, batch.days);
    ensure_flusher();
}

bool any_batch_due(std::uint64_t epoch) {
    ProducerList& list = producers();
    if (list.parked_count.load(std::memory_order_relaxed) != 0) return true;
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
        // Never waits: a writer that cannot take a batch now gets it at a
        // later epoch, and the GIL stays with this thread meanwhile. The
        // lines have waited long enough: the writer writes them out at once.
        SharedWriter::BatchOptions options;
        options.never_wait = true;
        options.prompt = true;
        for (auto it = list.parked.begin(); it != list.parked.end();) {
            const bool stale = it->generation != fork_generation();
            const std::size_t size = it->lines.size();
            options.days = it->days;
            if (!stale && size != 0 &&
                it->writer->send_batch(it->lines, options) == SendStatus::Full) {
                ++it;
                continue;
            }
            // Sent, its writer ended, or the parent's lines in a forked child.
            list.parked_bytes -= size;
            released.push_back(std::move(it->writer));
            it = list.parked.erase(it);
        }
        list.parked_count.store(list.parked.size(), std::memory_order_relaxed);
        for (ThreadProducer* p = list.head; p; p = p->next) {
            if (!Flusher::is_due(p->opened.load(std::memory_order_relaxed), epoch)) continue;
            if (p->generation != fork_generation() || p->sending || p->core.in_use) continue;
            if (p->core.line_buf.empty() || !p->batch_writer) {
                p->opened.store(0, std::memory_order_relaxed);
                released.push_back(std::move(p->batch_writer));
                continue;
            }
            options.days = p->core.days;
            if (p->batch_writer->send_batch(p->core.line_buf, options) == SendStatus::Full) continue;
            released.push_back(std::move(p->batch_writer));
            reset_batch(*p);
        }
    }
    for (auto& writer : released) drop_writer(std::move(writer));
}

}  // namespace ferrant
