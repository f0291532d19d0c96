#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "lib/action.hpp"
#include "lib/batch_lane.hpp"
#include "lib/channel.hpp"
#include "lib/fork_state.hpp"
#include "lib/local_time.hpp"
#include "lib/result.hpp"
#include "lib/writer_settings.hpp"
#include "lib/writer_thread.hpp"

namespace ferrant {

// One destination's writer: the sending end of its channel, its thread and
// the line settings fixed at creation. Shared through std::shared_ptr; the
// last release stops the thread after everything queued has been written.
class SharedWriter {
public:
    // Queued batches that wake a sleeping writer thread.
    static constexpr std::size_t LAZY_WAKE_BATCHES = 256;

    // Creates the channel, starts the writer thread for `path` (absent:
    // standard output) with `day` as its first date, and returns the writer.
    // Fails only when the thread cannot be started.
    static Result<std::shared_ptr<SharedWriter>> start(
        std::optional<std::string> path, LocalDate day, WriterSettings settings,
        std::shared_ptr<const WriterClock> clock = system_writer_clock());

    SharedWriter(const SharedWriter&) = delete;
    SharedWriter& operator=(const SharedWriter&) = delete;
    ~SharedWriter();

    // Queues the action, waiting while the lane (for a batch) or the channel
    // (for a request) is full; with `gate`, the caller's own lock is given
    // up for the wait. False when the thread
    // has ended; the action is then discarded. In a forked child the first
    // send starts the child's own writer thread. With `reuse`, an emptied
    // batch buffer the writer handed back may come out in it.
    bool send(Action&& action, std::optional<Action>* reuse = nullptr, WaitGate* gate = nullptr) {
        SendOptions<Action> options;
        options.reuse = reuse;
        options.gate = gate;
        return push(std::move(action), std::move(options)).status == SendStatus::Sent;
    }

    // The same with every way of waiting the channel offers; the action comes
    // back when it was not queued.
    SendResult<Action> push(Action&& action, SendOptions<Action> options) {
        if (generation_ != fork_generation()) [[unlikely]]
            adopt_after_fork();
        if (auto* write = std::get_if<Write>(&action)) [[likely]]
            return push_batch(std::move(action), *write, options);
        options.urgent = true;
        return sender_.push(std::move(action), options);
    }

    // Ends the thread after everything queued before it has been written.
    // Idempotent; a concurrent call waits until the first has joined.
    void stop();

    // True once stop() has begun or the thread has ended without it (its
    // channel lost every sender, or it could not be restarted after a fork):
    // nothing sent from now on will be written.
    bool stopped_or_failed() const {
        return stopping_.load(std::memory_order_acquire) ||
               ended_->load(std::memory_order_acquire);
    }

    const WriterSettings& settings() const { return settings_; }
    bool unix_ts() const { return settings_.unix_ts; }
    bool color() const { return settings_.color; }
    Format format() const { return settings_.format; }

private:
    struct Token {};

public:
    SharedWriter(Token, std::optional<std::string> path, WriterSettings settings,
                 std::shared_ptr<const WriterClock> clock);

private:
    // Batches go on the lane. They may wait for the writer's own periodic
    // wake-up (about once a second) unless many pile up; prompt ones, like
    // requests, wake it at once.
    SendResult<Action> push_batch(Action&& action, Write& write, const SendOptions<Action>& options) {
        BatchLane::PushOptions lane_options;
        lane_options.prompt = write.prompt;
        lane_options.never_wait = options.never_wait;
        lane_options.deadline = options.deadline;
        lane_options.gate = options.gate;
        if (!lane_) [[unlikely]]
            return {SendStatus::Disconnected, std::optional<Action>(std::move(action))};
        ByteBuffer spare;
        const SendStatus status = lane_->push(write.chunk, lane_options, options.reuse ? &spare : nullptr);
        if (status != SendStatus::Sent) return {status, std::optional<Action>(std::move(action))};
        if (spare.capacity() != 0) options.reuse->emplace(Write{std::move(spare)});
        if (write.prompt || (lane_->writer_asleep() && lane_->queued() >= LAZY_WAKE_BATCHES))
            sender_.wake();
        return {SendStatus::Sent, std::nullopt};
    }

    // Creates the channel and starts the thread for `day`.
    Status spawn(LocalDate day);
    // In a forked child: the parent's thread does not exist here and the
    // locks of its channel and lane may be held; all are abandoned, never
    // touched again.
    void forget_parent_thread();
    void adopt_after_fork();

    const std::optional<std::string> path_;
    const std::shared_ptr<const WriterClock> clock_;
    std::uint64_t generation_ = fork_generation();
    Sender<Action> sender_;
    std::shared_ptr<BatchLane> lane_;
    std::mutex handle_mutex_;
    std::optional<std::thread> handle_;
    const WriterSettings settings_;
    std::atomic<bool> stopping_{false};
    // Set by the thread as its last step; shared because it is written there.
    std::shared_ptr<std::atomic<bool>> ended_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace ferrant
