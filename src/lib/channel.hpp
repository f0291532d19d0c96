#pragma once

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <algorithm>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace ferrant {

namespace detail {

// Everything a channel's ends share. Plain fields under one mutex, so that a
// forked child can drop or rebuild the whole state without calling into a
// lock that a vanished thread may hold.
template <class T>
struct ChannelState {
    ChannelState(std::size_t cap, std::size_t max_weight_, std::size_t (*weigh_)(const T&))
        : slots(static_cast<T*>(::operator new(cap * sizeof(T), std::align_val_t{alignof(T)}))),
          capacity(cap),
          max_weight(max_weight_),
          weigh(weigh_) {
        returned.reserve(kMaxReturned);
    }

    // Values the receiver hands back for senders to reuse (emptied buffers),
    // passed under the lock both sides take anyway.
    static constexpr std::size_t kMaxReturned = 512;
    std::vector<T> returned;

    // Full: no free slot, or the queued values weigh their limit already (a
    // value is always accepted into an empty channel, whatever it weighs).
    bool full() const { return count == capacity || (count > 0 && queued_weight >= max_weight); }

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
    std::size_t max_weight;
    std::size_t (*weigh)(const T&);  // null: values weigh nothing
    std::size_t queued_weight = 0;
    std::size_t head = 0;
    std::size_t count = 0;
    std::size_t senders = 1;
    std::size_t blocked_senders = 0;
    bool receiver_alive = true;
    bool receiver_waiting = false;
};

// Takes the channel's lock, first spinning a few microseconds: the other
// side holds it only briefly, and a sleep on it would cost a wake-up by the
// kernel (an interrupt to the other core) on top.
inline void acquire(std::unique_lock<std::mutex>& lock) {
    for (int i = 0; i < 200; ++i) {
        if (lock.try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    lock.lock();
}

}  // namespace detail

enum class RecvStatus { Value, Timeout, Disconnected };

template <class T>
struct Received {
    RecvStatus status;
    std::optional<T> value;  // present exactly when status is Value
};

template <class T>
class Receiver;

// Lets a sender give up a lock of its own (the interpreter's) while it waits
// for room. Both are called without the channel's lock held; after leave(),
// enter() always follows before the send returns.
class WaitGate {
public:
    virtual void leave() = 0;
    virtual void enter() = 0;

protected:
    ~WaitGate() = default;
};

enum class SendStatus { Sent, Full, Disconnected };

template <class T>
struct SendResult {
    SendStatus status;
    std::optional<T> value;  // the value back, unless it was queued
};

template <class T>
struct SendOptions {
    bool urgent = true;          // wake a sleeping receiver at once
    std::size_t lazy_wake = 1;   // otherwise, once this many values are queued
    std::optional<T>* reuse = nullptr;  // receives a value handed back
    bool never_wait = false;     // a full channel fails at once (Full)
    std::optional<std::chrono::steady_clock::time_point> deadline;  // give up waiting then (Full)
    WaitGate* gate = nullptr;    // around the wait for room
};

// Sending end of a bounded many-producer single-consumer FIFO. Copies share
// the channel; the receiver sees a disconnection once every copy is gone.
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

    // Queues `value`, waiting without limit while the channel is full.
    // Returns an empty optional on success. When the receiver is gone (before
    // or during the wait), or this sender is empty, nothing is queued and the
    // value comes back.
    //
    // A sleeping receiver is woken at once for an urgent value; otherwise only
    // once `lazy_wake` values are queued, so that a steady stream costs one
    // wake-up per that many sends rather than one per send. A receiver that
    // waits with a timeout finds the rest when it wakes on its own.
    //
    // With `reuse`, a value the receiver handed back is moved into it.
    [[nodiscard]] std::optional<T> send(T&& value, bool urgent = true,
                                        std::size_t lazy_wake = 1, std::optional<T>* reuse = nullptr) {
        SendOptions<T> options;
        options.urgent = urgent;
        options.lazy_wake = lazy_wake;
        options.reuse = reuse;
        return std::move(push(std::move(value), options).value);
    }

    // The same with a choice of how to wait for room (SendOptions).
    SendResult<T> push(T&& value, const SendOptions<T>& options) {
        if (!state_) [[unlikely]]
            return {SendStatus::Disconnected, std::optional<T>(std::move(value))};
        auto& s = *state_;
        std::unique_lock lock(s.mutex, std::defer_lock);
        detail::acquire(lock);
        if (s.receiver_alive && s.full()) [[unlikely]] {
            if (options.never_wait) return {SendStatus::Full, std::optional<T>(std::move(value))};
            if (options.gate) {
                lock.unlock();
                options.gate->leave();
                lock.lock();
            }
            const bool room = wait_for_room(lock, options.deadline);
            if (!room || !s.receiver_alive) {
                const SendStatus status = s.receiver_alive ? SendStatus::Full : SendStatus::Disconnected;
                lock.unlock();
                if (options.gate) options.gate->enter();
                return {status, std::optional<T>(std::move(value))};
            }
            const bool wake = insert(lock, std::move(value), options);
            if (wake) s.not_empty.notify_one();
            // May not return: the caller's thread can be ended here, so no
            // lock may be held.
            if (options.gate) options.gate->enter();
            return {SendStatus::Sent, std::nullopt};
        }
        if (!s.receiver_alive) return {SendStatus::Disconnected, std::optional<T>(std::move(value))};
        const bool wake = insert(lock, std::move(value), options);
        if (wake) s.not_empty.notify_one();
        return {SendStatus::Sent, std::nullopt};
    }

    // Wakes the receiver if it is waiting, for values it takes from
    // elsewhere (the `ready` test of recv_all).
    void wake() {
        if (!state_) return;
        auto& s = *state_;
        bool waiting;
        {
            std::unique_lock lock(s.mutex, std::defer_lock);
            detail::acquire(lock);
            waiting = s.receiver_waiting;
        }
        if (waiting) s.not_empty.notify_one();
    }

    // True while the receiver is blocked waiting for a value; lets a caller
    // know the consumer has finished everything it took so far.
    bool receiver_idle() const {
        std::lock_guard lock(state_->mutex);
        return state_->receiver_waiting && state_->count == 0;
    }

    // True once the receiver has been released: every send fails from then on.
    bool receiver_gone() const {
        std::lock_guard lock(state_->mutex);
        return !state_->receiver_alive;
    }

private:
    // Waits until the channel has room or its receiver is gone; false when
    // the deadline passed first.
    bool wait_for_room(std::unique_lock<std::mutex>& lock,
                       std::optional<std::chrono::steady_clock::time_point> deadline) {
        auto& s = *state_;
        while (s.receiver_alive && s.full()) {
            if (s.receiver_waiting) s.not_empty.notify_one();
            ++s.blocked_senders;
            if (deadline) {
                const auto woke = s.not_full.wait_until(lock, *deadline);
                --s.blocked_senders;
                if (woke == std::cv_status::timeout && s.receiver_alive && s.full()) return false;
            } else {
                // Timed only to keep clear of the untimed wait's libstdc++ 12
                // symbol, which would raise the wheels' minimum glibc to 2.35.
                s.not_full.wait_for(lock, std::chrono::seconds(1));
                --s.blocked_senders;
            }
        }
        return true;
    }

    // Queues the value and unlocks; true when the receiver must be woken.
    bool insert(std::unique_lock<std::mutex>& lock, T&& value, const SendOptions<T>& options) {
        auto& s = *state_;
        if (s.weigh) s.queued_weight += s.weigh(value);
        ::new (static_cast<void*>(s.slots + (s.head + s.count) % s.capacity)) T(std::move(value));
        ++s.count;
        if (options.reuse && !s.returned.empty()) {
            options.reuse->emplace(std::move(s.returned.back()));
            s.returned.pop_back();
        }
        const bool wake = s.receiver_waiting && (options.urgent || s.count >= options.lazy_wake);
        lock.unlock();
        return wake;
    }

    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::size_t, std::size_t,
                                                          std::size_t (*)(const U&));
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

    // The oldest queued value; Timeout when none arrives within `timeout`;
    // Disconnected when every sender is gone and nothing is queued. A value
    // in `give_back` is offered to senders for reuse (dropped when enough
    // are waiting already). The writer takes values with recv_all; this
    // allocates, for callers that want one at a time.
    template <class Rep, class Period>
    Received<T> recv_timeout(std::chrono::duration<Rep, Period> timeout,
                             std::optional<T>* give_back = nullptr) {
        std::vector<T> back;
        if (give_back && *give_back) {
            back.push_back(std::move(**give_back));
            give_back->reset();
        }
        std::vector<T> out;
        const RecvStatus status = recv_all(timeout, out, back, 1);
        if (status != RecvStatus::Value) return {status, std::nullopt};
        return {status, std::optional<T>(std::move(out.front()))};
    }

    // The queued values, oldest first and at most `most` of them, appended
    // to `out` in one hold of the lock, so that a sender rarely finds the
    // receiver holding it. Waits up to `timeout` for the first; Value when
    // `out` got some. The values in `give_back` are offered to senders for
    // reuse (the excess dropped) and `give_back` is left empty. With room
    // for `most` more in `out`, nothing allocates. The wait also ends, with
    // Value and nothing taken, once `ready()` (asked under the lock, so that
    // a wake() after it became true is not missed) holds.
    template <class Rep, class Period, class Ready = bool (*)()>
    RecvStatus recv_all(std::chrono::duration<Rep, Period> timeout, std::vector<T>& out,
                        std::vector<T>& give_back, std::size_t most = SIZE_MAX,
                        Ready ready = [] { return false; }) {
        assert(state_ && most > 0);
        auto& s = *state_;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock lock(s.mutex, std::defer_lock);
        detail::acquire(lock);
        offer(give_back);
        while (s.count == 0) {
            if (ready()) return ended(lock, give_back, RecvStatus::Value);
            if (s.senders == 0) return ended(lock, give_back, RecvStatus::Disconnected);
            s.receiver_waiting = true;
            const auto woke = s.not_empty.wait_until(lock, deadline);
            s.receiver_waiting = false;
            if (woke == std::cv_status::timeout && s.count == 0)
                return ended(lock, give_back, ready() ? RecvStatus::Value : RecvStatus::Timeout);
        }
        const std::size_t take = std::min(s.count, most);
        // The only step that may throw, before anything is taken.
        out.reserve(out.size() + take);
        static_assert(std::is_nothrow_move_constructible_v<T>);
        for (std::size_t i = 0; i < take; ++i) {
            T* slot = s.slots + s.head;
            if (s.weigh) s.queued_weight -= s.weigh(*slot);
            out.push_back(std::move(*slot));
            slot->~T();
            s.head = (s.head + 1) % s.capacity;
            --s.count;
        }
        const bool wake = s.blocked_senders > 0;
        lock.unlock();
        // Outside the lock: dropping a value may free memory.
        give_back.clear();
        if (wake) s.not_full.notify_all();
        return RecvStatus::Value;
    }

    // Offers the values in `give_back` to senders for reuse now, rather than
    // with the next receive; the excess is dropped and `give_back` left empty.
    void give_back(std::vector<T>& give_back) {
        assert(state_);
        {
            std::unique_lock lock(state_->mutex, std::defer_lock);
            detail::acquire(lock);
            offer(give_back);
        }
        give_back.clear();
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
    // Dropping what was not offered may free memory: outside the lock.
    static RecvStatus ended(std::unique_lock<std::mutex>& lock, std::vector<T>& give_back,
                            RecvStatus status) {
        lock.unlock();
        give_back.clear();
        return status;
    }

    // Under the lock. Moves what fits into the senders' pool.
    void offer(std::vector<T>& values) {
        auto& s = *state_;
        for (T& value : values) {
            if (s.returned.size() >= s.kMaxReturned) break;
            s.returned.push_back(std::move(value));
        }
    }

    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> make_channel(std::size_t, std::size_t,
                                                          std::size_t (*)(const U&));
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    std::shared_ptr<detail::ChannelState<T>> state_;
};

// A channel whose ring of `capacity` slots is allocated here, once. With
// `weigh`, senders also wait while the queued values weigh `max_weight` or
// more, which bounds the memory a slow receiver lets pile up.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity,
                                               std::size_t max_weight = SIZE_MAX,
                                               std::size_t (*weigh)(const T&) = nullptr) {
    assert(capacity > 0);
    auto state = std::make_shared<detail::ChannelState<T>>(capacity, max_weight, weigh);
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace ferrant
