#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "lib/action.hpp"
#include "lib/batch_lane.hpp"
#include "lib/channel.hpp"
#include "lib/fork_state.hpp"
#include "lib/local_time.hpp"
#include "lib/result.hpp"
#include "lib/stall_watch.hpp"
#include "lib/wait_clock.hpp"
#include "lib/writer_settings.hpp"
#include "lib/writer_thread.hpp"

namespace ferrant {

// How long a flush or a stop waits for the writer unless told otherwise.
inline constexpr std::chrono::seconds WRITER_WAIT{5};

// How long, at the exit, a destination may take no bytes before the waits
// for its writer give up on it.
inline constexpr std::chrono::seconds EXIT_STALL{5};

// Once the exit has begun, the stall time its waits go by (ns); 0 before.
// Stops that come late in the exit (loggers released as modules are torn
// down) wait the same way.
inline std::atomic<std::int64_t> EXIT_STALL_NS{0};

// The exit has begun: from now on waits for writers last while their
// destinations take bytes, until one has taken none for `stall`. The first
// call decides.
inline void begin_exit(WaitClock::duration stall = EXIT_STALL) {
    std::int64_t none = 0;
    EXIT_STALL_NS.compare_exchange_strong(none, stall.count(), std::memory_order_acq_rel);
}

class SharedWriter;

// Set by a writer thread as its last step; waited for by stops.
struct WriterEnded {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> flag{false};
    bool done() const { return flag.load(std::memory_order_acquire); }
    void set();
    bool wait_until(Deadline deadline);
};

// How long a wait for a writer lasts: until a fixed deadline, or for as long
// as the writer's destination takes bytes, until it has taken none for
// `stall`. Every step of such a wait is bounded, and the wait goes on only
// while the destination moves.
struct WaitBound {
    static WaitBound until(Deadline at) { return WaitBound{at, {}, {}}; }
    static WaitBound while_draining(WaitClock::duration stall) {
        return WaitBound{std::nullopt, stall, {}};
    }

    // The same bound, whose every step also looks at `writers`: several
    // writers waited for one after the other each have their stall judged
    // as it happens, not when their turn comes.
    WaitBound watching(std::span<const std::shared_ptr<SharedWriter>> writers) const {
        WaitBound with = *this;
        with.watched = writers;
        return with;
    }

    std::optional<Deadline> deadline;  // absent: while draining
    WaitClock::duration stall{};
    std::span<const std::shared_ptr<SharedWriter>> watched;
};

// `timeout` from now.
inline Deadline writer_deadline(WaitClock::duration timeout = WRITER_WAIT) {
    return deadline_in(timeout);
}

// WRITER_WAIT from now, or once the exit has begun, while the destination
// drains.
inline WaitBound writer_wait() {
    const std::int64_t stall = EXIT_STALL_NS.load(std::memory_order_acquire);
    if (stall != 0) return WaitBound::while_draining(WaitClock::duration(stall));
    return WaitBound::until(writer_deadline());
}

// One destination's writer: its thread, the lane its batches travel on, the
// channel of its requests and the line settings fixed at creation. Shared
// through std::shared_ptr; the last release stops the thread after
// everything queued has been written, or the wait for that has run out.
class SharedWriter {
public:
    // Starts the writer thread for `path` (absent: standard output) with
    // `day` as its first date. Fails only when the thread cannot be started.
    static Result<std::shared_ptr<SharedWriter>> start(
        std::optional<std::string> path, LocalDate day, WriterSettings settings,
        std::shared_ptr<const WriterClock> clock = system_writer_clock());

    SharedWriter(const SharedWriter&) = delete;
    SharedWriter& operator=(const SharedWriter&) = delete;
    ~SharedWriter();

    using BatchOptions = BatchLane::PushOptions;

    // Queues `batch`, whole lines, leaving it empty; waits while the lane is
    // full as `options` say. Anything but Sent leaves `batch` as it was
    // (Disconnected: the thread has ended, the lines are the caller's to
    // drop). With `spare`, an emptied buffer may come back in it. In a
    // forked child the first send starts the child's own writer thread.
    SendStatus send_batch(ByteBuffer& batch, const BatchOptions& options = {},
                          ByteBuffer* spare = nullptr) {
        if (generation_ != fork_generation()) [[unlikely]]
            adopt_after_fork();
        if (!lane_) [[unlikely]]
            return SendStatus::Disconnected;
        // A writer with nothing to do is woken by the push itself.
        return lane_->push(batch, options, spare);
    }

    // The same, waiting for room within `bound` (options.deadline unused).
    SendStatus send_batch(ByteBuffer& batch, BatchOptions options, const WaitBound& bound);

    // Asks the writer to write out everything sent so far; the answer comes
    // through the returned receiver. Empty when the request could not be
    // queued within `bound` or the writer has ended (`why` says which).
    std::optional<AckReceiver> request_flush(const WaitBound& bound, FlushOutcome* why = nullptr);
    std::optional<AckReceiver> request_flush(Deadline deadline, FlushOutcome* why = nullptr) {
        return request_flush(WaitBound::until(deadline), why);
    }

    // The answer to a request of this writer's, waited for within `bound`.
    FlushOutcome await_flush(AckReceiver& answer, const WaitBound& bound);

    // Requests a flush and waits for the answer, within `bound`.
    FlushOutcome flush(const WaitBound& bound);
    FlushOutcome flush(Deadline deadline) { return flush(WaitBound::until(deadline)); }

    // Ends the thread after everything queued before has been written,
    // waiting for that within `bound`. A thread still busy then is left to
    // end on its own, and the bytes it still holds are counted in
    // unwritten_bytes(); it says so on standard error when its destination
    // took nothing for the stall time (WRITER_WAIT for a fixed bound), and
    // finish_left_running() waits for it at the exit. Idempotent; a
    // concurrent call waits until the first is done. True when it ended.
    bool stop(const WaitBound& bound);
    bool stop(Deadline deadline) { return stop(WaitBound::until(deadline)); }
    bool stop() { return stop(writer_wait()); }

    // Where the destination has got, for the waits' stall watch.
    DrainSample drain_sample() const;
    // Shows the stall watch where the destination has got now.
    void look() { (void)stall_watch_->look(drain_sample(), WaitClock::now()); }

    // How long a wait within `bound` may go on before it looks again: a
    // short step, at most to the deadline or the end of the stall time.
    // Absent once the wait is over: the deadline passed, or the destination
    // has taken no bytes for the stall time. While draining, looks at
    // bound.watched too.
    std::optional<Deadline> wait_step(const WaitBound& bound);

    // True once stop() has begun or the thread has ended without it (its
    // channel lost every sender, or it could not be restarted after a fork):
    // nothing sent from now on will be written.
    bool stopped_or_failed() const {
        return stopping_.load(std::memory_order_acquire) || ended_->done();
    }

    // Bytes of lines handed over and neither written nor dropped yet.
    std::uint64_t unwritten_bytes() const { return lane_ ? lane_->unwritten_bytes() : 0; }

    // The destination as error lines name it: ` for standard output` or
    // ` for "<path>"`, quoted and escaped.
    std::string destination() const;

    // Reports a flush that failed or ran out of time, once until a flush
    // succeeds again; a flush that wrote ends the episode.
    void note_flush(FlushOutcome outcome);

    const WriterSettings& settings() const { return settings_; }

private:
    struct Token {};

public:
    SharedWriter(Token, std::optional<std::string> path, WriterSettings settings,
                 std::shared_ptr<const WriterClock> clock);

private:
    // Creates the channel and lane and starts the thread for `day`.
    Status spawn(LocalDate day);
    // In a forked child: the parent's thread does not exist here and the
    // locks of its channel and lane may be held; all are abandoned, never
    // touched again.
    void forget_parent_thread();
    void adopt_after_fork();

    const std::optional<std::string> path_;
    const std::shared_ptr<const WriterClock> clock_;
    std::uint64_t generation_ = fork_generation();
    Sender<Action> requests_;
    std::shared_ptr<BatchLane> lane_;
    std::mutex handle_mutex_;
    std::optional<std::thread> handle_;
    const WriterSettings settings_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> flush_fault_reported_{false};
    std::shared_ptr<WriterEnded> ended_ = std::make_shared<WriterEnded>();
    // Shared with the thread's record when a stop leaves it running.
    std::shared_ptr<StallWatch> stall_watch_ = std::make_shared<StallWatch>();
};

// Asks every writer to write out what it was sent, all requests out before
// the first answer is awaited, so that they work in parallel, each within
// `bound` (each writer's stall judged by its own progress). The outcomes
// come in the writers' order.
std::vector<FlushOutcome> flush_all(const std::vector<std::shared_ptr<SharedWriter>>& writers,
                                    const WaitBound& bound);

// Waits within `bound` for the writer threads that stops left running, as
// for writers: the release of a writer's last logger gives up on a slow
// destination after WRITER_WAIT, and its thread writes on by itself. One
// whose destination stalls says so on standard error, once.
void finish_left_running(const WaitBound& bound);

}  // namespace ferrant
