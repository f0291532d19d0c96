#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <variant>

#include "lib/wait_clock.hpp"

namespace ferrant {

namespace detail {

struct AckState {
    std::mutex mutex;
    std::condition_variable cv;
    bool answered = false;
    bool wrote = false;
    bool sender_gone = false;
};

}  // namespace detail

// What became of a flush request. A caller told Failed or TimedOut has
// lines that may never arrive; WriterGone means the writer had ended.
enum class FlushOutcome { Written, Failed, TimedOut, WriterGone };

class AckReceiver;

// The writer's end of a flush request; move-only. Destroying it unanswered
// tells the waiter at once that no answer will come (WriterGone).
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

    // Answers and releases this end; a waiter that has gone is not an error.
    void answer(bool wrote) {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->answered = true;
            state_->wrote = wrote;
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

    // The answer, if it arrives before `deadline`.
    FlushOutcome wait_until(Deadline deadline) {
        std::unique_lock lock(state_->mutex);
        const bool done = ferrant::wait_until(state_->cv, lock, deadline,
                                              [&] { return state_->answered || state_->sender_gone; });
        if (!done) return FlushOutcome::TimedOut;
        if (!state_->answered) return FlushOutcome::WriterGone;
        return state_->wrote ? FlushOutcome::Written : FlushOutcome::Failed;
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

// The requests on a writer's channel (batches of lines travel on its lane).
struct FlushAck {
    AckSender ack;  // answered once everything sent before is written out
};
struct Stop {};

using Action = std::variant<FlushAck, Stop>;

}  // namespace ferrant
