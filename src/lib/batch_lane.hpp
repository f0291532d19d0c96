#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "lib/byte_buffer.hpp"
#include "lib/channel.hpp"
#include "lib/record_day.hpp"
#include "lib/wait_clock.hpp"

namespace ferrant {

// Lets a sender give up a lock of its own (the interpreter's) while it waits
// for room. Called without the lane's lock held; after leave(), enter()
// always follows before the push returns, unless poll() or enter() ends the
// thread (an unwind).
class WaitGate {
public:
    virtual void leave() = 0;
    virtual void enter() = 0;
    // Between leave() and enter(), about every POLL_INTERVAL: false ends the
    // wait (Interrupted), e.g. when a signal handler raised.
    virtual bool poll() = 0;

    static constexpr std::chrono::milliseconds POLL_INTERVAL{100};

protected:
    ~WaitGate() = default;
};

// Batches of lines on their way to one writer thread. A ring the writer
// reads without a lock, so that handing a batch over costs the producer a
// few plain stores into lines the writer rarely touches, rather than a
// channel lock whose line the writer took last. Producers take turns on a
// mutex of their own; emptied buffers come back through a second, smaller
// ring. Requests (flushes, the stop) still go through the writer's channel,
// and the writer takes everything here before it answers one.
class BatchLane {
public:
    static constexpr std::size_t kSlots = 4096;  // batches queued at most
    static constexpr std::size_t kSpares = 256;  // emptied buffers kept
    // Larger buffers (a batch that held a huge record) are freed, not kept.
    static constexpr std::size_t kMaxReused = 16 * 1024;
    // Bytes of lines the lane and the writer's output hold together before
    // senders wait: a writer held up by a slow destination must not let the
    // producers' batches grow the process.
    static constexpr std::size_t MAX_BYTES = 16u << 20;

    // Senders wait while the bytes handed over and not yet written (or
    // dropped) reach `max_bytes` (a batch is always taken into an empty
    // lane, whatever it holds).
    explicit BatchLane(std::size_t max_bytes = MAX_BYTES);
    BatchLane(const BatchLane&) = delete;
    BatchLane& operator=(const BatchLane&) = delete;

    struct PushOptions {
        bool prompt = false;      // the writer writes it out at once
        bool never_wait = false;  // a full lane fails at once (Full)
        std::optional<Deadline> deadline;  // then Full
        WaitGate* gate = nullptr; // given up around any wait, polled in it
        BatchDays days;           // whose files its lines go to
    };

    // Queues `batch` (left empty) and, with `spare`, moves an emptied buffer
    // into it when one is kept. Anything but Sent leaves `batch` as it was.
    SendStatus push(ByteBuffer& batch, const PushOptions& options, ByteBuffer* spare = nullptr);

    // Batches queued; exact on the writer's side, a hint elsewhere.
    std::size_t queued() const {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }

    // Writer's side. Calls `write(chunk, prompt, days)` for every batch
    // queued when it starts, oldest first, and recycles its buffer; returns
    // the number taken.
    template <class F>
    std::size_t drain(F&& write);

    // Writer's side: bytes taken by drain so far, all batches together.
    std::uint64_t taken_bytes() const { return taken_bytes_; }
    // Writer's side: of the bytes taken, this many have left the writer
    // (written or dropped); room for senders opens as they go, so that a
    // slow destination slows every call a little rather than a few a lot.
    void release_bytes(std::uint64_t released);

    // Bytes handed over and not yet written or dropped; a hint.
    std::uint64_t unwritten_bytes() const;

    // Bytes that have left the writer, written or dropped; any thread.
    std::uint64_t released_bytes() const { return released_bytes_.load(std::memory_order_acquire); }

    // Writer's side: waits until `deadline` or a ring(); with
    // `wake_on_batch`, also until a batch is queued, the first push into the
    // empty lane waking it. Without it, producers never pay for a wake-up.
    void wait_for_work(Deadline deadline, bool wake_on_batch);

    // Wakes the writer wherever it waits, for a request on its channel.
    void ring();

    // True while the writer waits to be woken by a batch; a hint.
    bool writer_asleep() const { return writer_asleep_.load(std::memory_order_relaxed); }

    // The writer has ended: pushes fail from now on and waiting ones give up.
    void close();

private:
    struct Slot {
        ByteBuffer chunk;
        bool prompt = false;
        BatchDays days;
    };

    bool full_now();
    // Frees a waiting sender once the writer made room.
    void made_room();
    void recycle(ByteBuffer&& chunk);

    // Written by the writer with every batch; producers read them only
    // when the lane looks full or their spares are used up.
    alignas(64) std::atomic<std::size_t> head_{0};
    std::atomic<std::uint64_t> released_bytes_{0};
    std::atomic<std::size_t> spare_tail_{0};
    std::uint64_t taken_bytes_ = 0;  // the writer's own

    // Read by producers with every batch, written rarely.
    alignas(64) std::atomic<bool> closed_{false};
    std::atomic<bool> sender_waiting_{false};

    // Producers' side, under push_mutex_.
    alignas(64) std::mutex push_mutex_;
    std::condition_variable room_;
    // The writer sleeps on push_mutex_ too: a producer learns whether to wake
    // it under the lock it takes anyway, and no wake-up can be lost.
    std::condition_variable writer_wake_;
    std::atomic<bool> writer_asleep_{false};  // written under push_mutex_
    bool rung_ = false;
    std::atomic<std::size_t> tail_{0};
    std::atomic<std::size_t> spare_head_{0};
    std::size_t seen_head_ = 0;  // head_ as last read: room is known without it
    std::size_t seen_spare_tail_ = 0;
    std::atomic<std::uint64_t> pushed_bytes_{0};  // written under push_mutex_
    std::uint64_t seen_released_ = 0;
    const std::size_t max_bytes_;

    alignas(64) std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<ByteBuffer[]> spares_;
};

template <class F>
std::size_t BatchLane::drain(F&& write) {
    std::size_t head = head_.load(std::memory_order_relaxed);
    const std::size_t tail = tail_.load(std::memory_order_acquire);
    const std::size_t taken = tail - head;
    for (; head != tail; ++head) {
        Slot& slot = slots_[head % kSlots];
        taken_bytes_ += slot.chunk.size();
        if constexpr (std::is_invocable_v<F, std::string_view, bool, const BatchDays&>)
            write(slot.chunk.view(), slot.prompt, std::as_const(slot.days));
        else
            write(slot.chunk.view(), slot.prompt);
        recycle(std::move(slot.chunk));
        // Sequentially consistent, as made_room's read of the flag.
        head_.store(head + 1, std::memory_order_seq_cst);
        made_room();
    }
    return taken;
}

}  // namespace ferrant
