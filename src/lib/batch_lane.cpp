#include "lib/batch_lane.hpp"

#include <utility>

namespace ferrant {

namespace {

// A sender waiting for room looks again this often even unwoken.
constexpr std::chrono::milliseconds ROOM_RECHECK{10};

}  // namespace

BatchLane::BatchLane(std::size_t max_bytes)
    : max_bytes_(max_bytes),
      slots_(std::make_unique<Slot[]>(kSlots)),
      spares_(std::make_unique<ByteBuffer[]>(kSpares)) {}

bool BatchLane::full_now() {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t pushed = pushed_bytes_.load(std::memory_order_relaxed);
    if (tail - seen_head_ < kSlots && (tail == seen_head_ || pushed - seen_released_ < max_bytes_))
        return false;
    seen_head_ = head_.load(std::memory_order_seq_cst);
    seen_released_ = released_bytes_.load(std::memory_order_acquire);
    if (tail == seen_head_) return false;
    return tail - seen_head_ >= kSlots || pushed - seen_released_ >= max_bytes_;
}

void BatchLane::release_bytes(std::uint64_t released) {
    if (released <= released_bytes_.load(std::memory_order_relaxed)) return;
    // Sequentially consistent, as made_room's read of the flag.
    released_bytes_.store(released, std::memory_order_seq_cst);
    made_room();
}

std::uint64_t BatchLane::unwritten_bytes() const {
    const std::uint64_t released = released_bytes_.load(std::memory_order_acquire);
    const std::uint64_t pushed = pushed_bytes_.load(std::memory_order_acquire);
    return pushed > released ? pushed - released : 0;
}

SendStatus BatchLane::push(ByteBuffer& batch, const PushOptions& options, ByteBuffer* spare) {
    std::unique_lock lock(push_mutex_, std::defer_lock);
    bool left = false;
    if (!lock.try_lock()) {
        // Every holder keeps the lock for a few moves (waiting for room gives
        // it up), so a caller that must not wait still takes it: failing here
        // would report a lane with room as full, and park a batch that the
        // writer could take now.
        if (options.gate && !options.never_wait) {
            options.gate->leave();
            left = true;
        }
        lock.lock();
    }
    SendStatus status = SendStatus::Sent;
    bool wake = false;
    if (closed_.load(std::memory_order_acquire)) {
        status = SendStatus::Disconnected;
    } else if (full_now()) {
        if (options.never_wait) {
            status = SendStatus::Full;
        } else {
            if (options.gate && !left) {
                lock.unlock();
                options.gate->leave();
                left = true;
                lock.lock();
            }
            Deadline next_poll = WaitClock::now() + WaitGate::POLL_INTERVAL;
            while (!closed_.load(std::memory_order_acquire)) {
                sender_waiting_.store(true, std::memory_order_seq_cst);
                if (!full_now()) break;
                const Deadline now = WaitClock::now();
                if (options.deadline && now >= *options.deadline) {
                    status = SendStatus::Full;
                    break;
                }
                if (options.gate && now >= next_poll) {
                    // The lane's lock is free while the caller's own is taken.
                    lock.unlock();
                    const bool go_on = options.gate->poll();
                    lock.lock();
                    if (!go_on) {
                        status = SendStatus::Interrupted;
                        break;
                    }
                    next_poll = WaitClock::now() + WaitGate::POLL_INTERVAL;
                    continue;
                }
                Deadline until = now + ROOM_RECHECK;
                if (options.deadline && *options.deadline < until) until = *options.deadline;
                wait_until(room_, lock, until);
            }
            sender_waiting_.store(false, std::memory_order_relaxed);
            if (status == SendStatus::Sent && closed_.load(std::memory_order_acquire))
                status = SendStatus::Disconnected;
        }
    }
    if (status == SendStatus::Sent) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        Slot& slot = slots_[tail % kSlots];
        pushed_bytes_.store(pushed_bytes_.load(std::memory_order_relaxed) + batch.size(),
                            std::memory_order_relaxed);
        slot.chunk = std::move(batch);
        slot.prompt = options.prompt;
        slot.days = options.days;
        tail_.store(tail + 1, std::memory_order_release);
        // One producer wakes a sleeping writer; the next finds it awake.
        wake = writer_asleep_.load(std::memory_order_relaxed);
        if (wake) writer_asleep_.store(false, std::memory_order_relaxed);
        if (spare) {
            const std::size_t head = spare_head_.load(std::memory_order_relaxed);
            if (head == seen_spare_tail_) seen_spare_tail_ = spare_tail_.load(std::memory_order_acquire);
            if (head != seen_spare_tail_) {
                *spare = std::move(spares_[head % kSpares]);
                spare_head_.store(head + 1, std::memory_order_release);
            }
        }
    }
    lock.unlock();
    if (wake) writer_wake_.notify_one();
    // May not return (see WaitGate): no lock may be held.
    if (left) options.gate->enter();
    return status;
}

void BatchLane::wait_for_work(Deadline deadline, bool wake_on_batch) {
    std::unique_lock lock(push_mutex_);
    while (!rung_ && !(wake_on_batch && tail_.load(std::memory_order_relaxed) !=
                                            head_.load(std::memory_order_relaxed))) {
        writer_asleep_.store(wake_on_batch, std::memory_order_relaxed);
        const bool in_time = wait_until(writer_wake_, lock, deadline);
        writer_asleep_.store(false, std::memory_order_relaxed);
        if (!in_time) break;
    }
    rung_ = false;
}

void BatchLane::ring() {
    {
        std::lock_guard lock(push_mutex_);
        rung_ = true;
    }
    writer_wake_.notify_one();
}

void BatchLane::made_room() {
    // With the head stored before it, pairs with the sender's flag-then-check:
    // either it sees the new head or this sees its flag.
    if (!sender_waiting_.load(std::memory_order_seq_cst)) return;
    { std::lock_guard lock(push_mutex_); }
    room_.notify_all();
}

void BatchLane::recycle(ByteBuffer&& chunk) {
    ByteBuffer buffer(std::move(chunk));
    if (buffer.capacity() == 0 || buffer.capacity() > kMaxReused) return;
    const std::size_t tail = spare_tail_.load(std::memory_order_relaxed);
    if (tail - spare_head_.load(std::memory_order_acquire) >= kSpares) return;
    buffer.clear();
    spares_[tail % kSpares] = std::move(buffer);
    spare_tail_.store(tail + 1, std::memory_order_release);
}

void BatchLane::close() {
    closed_.store(true, std::memory_order_seq_cst);
    { std::lock_guard lock(push_mutex_); }
    room_.notify_all();
}

}  // namespace ferrant
