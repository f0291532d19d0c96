#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/wait_clock.hpp"

namespace ferrant {

namespace detail {

// Everything a channel's ends share. Plain fields under one mutex, so that a
// forked child can drop the whole state without calling into a lock that a
// vanished thread may hold.
template <class T>
struct ChannelState {
    explicit ChannelState(std::size_t cap)
        : slots(static_cast<T*>(::operator new(cap * sizeof(T), std::align_val_t{alignof(T)}))),
          capacity(cap) {}

    // Values still queued when the last end goes are discarded here: a
    // receiver that ended leaves them in place until then.
    ~ChannelState() {
        for (std::size_t i = 0; i < count; ++i) slots[(head + i) % capacity].~T();
        ::operator delete(slots, std::align_val_t{alignof(T)});
    }

    ChannelState(const ChannelState&) = delete;
    ChannelState& operator=(const ChannelState&) = delete;

    std::mutex mutex;
    std::condition_variable not_empty;
    std::condition_variable not_full;
    T* slots;
    std::size_t capacity;
    std::size_t head = 0;
    std::size_t count = 0;
    std::size_t senders = 1;
    bool receiver_alive = true;
    bool receiver_waiting = false;
};

}  // namespace detail

enum class RecvStatus { Value, Timeout, Disconnected };

template <class T>
struct Received {
    RecvStatus status;
    std::optional<T> value;  // present exactly when status is Value
};

template <class T>
class Receiver;

// Full: no room before the deadline (or at once, when asked not to wait).
// Interrupted: the caller's own check (a signal handler that raised) ended
// the wait.
enum class SendStatus { Sent, Full, Disconnected, Interrupted };

template <class T>
struct SendResult {
    SendStatus status;
    std::optional<T> value;  // the value back, unless it was queued
};

// Sending end of a bounded many-producer single-consumer FIFO of requests.
// Copies share the channel; the receiver sees a disconnection once every
// copy is gone.
template <class T>
class Sender {
public:
    Sender() = default;
    Sender(const Sender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(const Sender& other) {
        if (this != &other) {
            Sender copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    Sender& operator=(Sender&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~Sender() { release(); }

    // Queues `value`, waiting while the channel is full until `deadline`.
    // The value comes back unless it was queued: Full when the deadline
    // passed, Disconnected when the receiver is gone (before or during the
    // wait) or this sender is empty.
    SendResult<T> push(T&& value, Deadline deadline) {
        if (!state_) [[unlikely]]
            return {SendStatus::Disconnected, std::optional<T>(std::move(value))};
        auto& s = *state_;
        std::unique_lock lock(s.mutex);
        wait_until(s.not_full, lock, deadline, [&] { return !s.receiver_alive || s.count < s.capacity; });
        if (!s.receiver_alive) return {SendStatus::Disconnected, std::optional<T>(std::move(value))};
        if (s.count == s.capacity) return {SendStatus::Full, std::optional<T>(std::move(value))};
        ::new (static_cast<void*>(s.slots + (s.head + s.count) % s.capacity)) T(std::move(value));
        ++s.count;
        const bool wake = s.receiver_waiting;
        lock.unlock();
        if (wake) s.not_empty.notify_one();
        return {SendStatus::Sent, std::nullopt};
    }

    // The same waiting at most `timeout`; an empty optional once queued.
    [[nodiscard]] std::optional<T> send(T&& value, WaitClock::duration timeout = std::chrono::seconds(5)) {
        return std::move(push(std::move(value), deadline_in(timeout)).value);
    }

    // Wakes the receiver if it is waiting, for values it takes from
    // elsewhere (the `ready` test of recv_all).
    void wake() {
        if (!state_) return;
        auto& s = *state_;
        bool waiting;
        {
            std::lock_guard lock(s.mutex);
            waiting = s.receiver_waiting;
        }
        if (waiting) s.not_empty.notify_one();
    }

    // True once the receiver has been released: every send fails from then on.
    bool receiver_gone() const {
        std::lock_guard lock(state_->mutex);
        return !state_->receiver_alive;
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::size_t);
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    void release() {
        if (!state_) return;
        bool wake;
        {
            std::lock_guard lock(state_->mutex);
            wake = --state_->senders == 0 && state_->receiver_waiting;
        }
        if (wake) state_->not_empty.notify_one();
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

// Receiving end; move-only. Releasing it makes every blocked and later send
// fail at once.
template <class T>
class Receiver {
public:
    Receiver() = default;
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { close(); }

    // The oldest queued value, waiting up to `timeout` for one.
    Received<T> recv_timeout(WaitClock::duration timeout) {
        std::vector<T> out;
        const RecvStatus status = recv_all(deadline_in(timeout), out, 1);
        if (status != RecvStatus::Value) return {status, std::nullopt};
        return {status, std::optional<T>(std::move(out.front()))};
    }

    // The queued values, oldest first and at most `most` of them, appended
    // to `out` in one hold of the lock. Waits until `deadline` for the
    // first; Value when `out` got some; Disconnected once every sender is
    // gone and nothing is queued. With room for `most` more in `out`,
    // nothing allocates. The wait also ends, with Value and nothing taken,
    // once `ready()` (asked under the lock, so that a wake() after it became
    // true is not missed) holds.
    template <class Ready = bool (*)()>
    RecvStatus recv_all(Deadline deadline, std::vector<T>& out, std::size_t most = SIZE_MAX,
                        Ready ready = [] { return false; }) {
        assert(state_ && most > 0);
        auto& s = *state_;
        std::unique_lock lock(s.mutex);
        while (s.count == 0) {
            if (ready()) return RecvStatus::Value;
            if (s.senders == 0) return RecvStatus::Disconnected;
            s.receiver_waiting = true;
            const bool in_time = wait_until(s.not_empty, lock, deadline);
            s.receiver_waiting = false;
            if (!in_time && s.count == 0) return ready() ? RecvStatus::Value : RecvStatus::Timeout;
        }
        take(lock, out, most);
        return RecvStatus::Value;
    }

    // The same without waiting: Timeout when nothing is queued.
    RecvStatus try_recv_all(std::vector<T>& out, std::size_t most = SIZE_MAX) {
        assert(state_ && most > 0);
        std::unique_lock lock(state_->mutex);
        if (state_->count == 0)
            return state_->senders == 0 ? RecvStatus::Disconnected : RecvStatus::Timeout;
        take(lock, out, most);
        return RecvStatus::Value;
    }

    // Releases this end now; queued values stay until the channel goes.
    void close() {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
        }
        state_->not_full.notify_all();
        state_.reset();
    }

private:
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::size_t);
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    // Moves up to `most` queued values into `out` and releases `lock`.
    void take(std::unique_lock<std::mutex>& lock, std::vector<T>& out, std::size_t most) {
        auto& s = *state_;
        const std::size_t n = std::min(s.count, most);
        // The only step that may throw, before anything is taken.
        out.reserve(out.size() + n);
        static_assert(std::is_nothrow_move_constructible_v<T>);
        for (std::size_t i = 0; i < n; ++i) {
            T* slot = s.slots + s.head;
            out.push_back(std::move(*slot));
            slot->~T();
            s.head = (s.head + 1) % s.capacity;
            --s.count;
        }
        lock.unlock();
        s.not_full.notify_all();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

// A channel whose ring of `capacity` slots is allocated here, once.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity) {
    assert(capacity > 0);
    auto state = std::make_shared<detail::ChannelState<T>>(capacity);
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace ferrant
