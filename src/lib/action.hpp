#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <variant>

#include "lib/byte_buffer.hpp"

namespace ferrant {

namespace detail {

struct AckState {
    std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;
    bool sender_gone = false;
};

}  // namespace detail

enum class AckWait { Signalled, Disconnected, TimedOut };

class AckReceiver;

// Sending end of a one-slot signal channel; move-only. Destroying it without
// signal() tells the waiter at once that no signal will come.
class AckSender {
public:
    AckSender(AckSender&&) noexcept = default;
    AckSender& operator=(AckSender&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    AckSender(const AckSender&) = delete;
    AckSender& operator=(const AckSender&) = delete;
    ~AckSender() { release(); }

    // Signals and releases this end; a waiter that has gone is not an error.
    void signal() {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->signalled = true;
        }
        release();
    }

private:
    friend std::pair<AckSender, AckReceiver> make_ack();
    explicit AckSender(std::shared_ptr<detail::AckState> s) : state_(std::move(s)) {}

    void release() {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->sender_gone = true;
        }
        state_->cv.notify_all();
        state_.reset();
    }

    std::shared_ptr<detail::AckState> state_;
};

class AckReceiver {
public:
    AckReceiver(AckReceiver&&) noexcept = default;
    AckReceiver& operator=(AckReceiver&&) noexcept = default;
    AckReceiver(const AckReceiver&) = delete;
    AckReceiver& operator=(const AckReceiver&) = delete;

    // Takes the signal if it arrives within `timeout`.
    template <class Rep, class Period>
    AckWait wait_for(std::chrono::duration<Rep, Period> timeout) {
        return wait_until(std::chrono::steady_clock::now() + timeout);
    }

    // Takes the signal if it arrives before `deadline`.
    AckWait wait_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(state_->mutex);
        const bool done = state_->cv.wait_until(
            lock, deadline, [&] { return state_->signalled || state_->sender_gone; });
        if (!done) return AckWait::TimedOut;
        if (state_->signalled) {
            state_->signalled = false;
            return AckWait::Signalled;
        }
        return AckWait::Disconnected;
    }

private:
    friend std::pair<AckSender, AckReceiver> make_ack();
    explicit AckReceiver(std::shared_ptr<detail::AckState> s) : state_(std::move(s)) {}

    std::shared_ptr<detail::AckState> state_;
};

inline std::pair<AckSender, AckReceiver> make_ack() {
    auto state = std::make_shared<detail::AckState>();
    return {AckSender(state), AckReceiver(state)};
}

// The messages on a writer's channel.
struct Write {
    ByteBuffer chunk;     // whole lines, written verbatim
    bool prompt = false;  // lines that waited already: write them out at once
};
struct FlushAck {
    AckSender ack;  // signalled once everything sent before is written out
};
struct Stop {};

using Action = std::variant<Write, FlushAck, Stop>;

}  // namespace ferrant
