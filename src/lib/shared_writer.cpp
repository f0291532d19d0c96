#include "lib/shared_writer.hpp"

#include <system_error>

#include "lib/os_error.hpp"
#include "lib/signal_mask.hpp"

namespace ferrant {

SharedWriter::SharedWriter(Token, std::optional<std::string> path, WriterSettings settings,
                           std::shared_ptr<const WriterClock> clock)
    : path_(std::move(path)), clock_(std::move(clock)), settings_(settings) {}

Result<std::shared_ptr<SharedWriter>> SharedWriter::start(std::optional<std::string> path,
                                                          LocalDate day, WriterSettings settings,
                                                          std::shared_ptr<const WriterClock> clock) {
    auto writer = std::make_shared<SharedWriter>(Token{}, std::move(path), settings, std::move(clock));
    if (Status spawned = writer->spawn(day); !spawned) return spawned.error();
    return writer;
}

Status SharedWriter::spawn(LocalDate day) {
    auto [sender, receiver] =
        make_channel<Action>(WRITER_CHANNEL_CAPACITY);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    auto lane = std::make_shared<BatchLane>(WRITER_CHANNEL_MAX_BYTES);
    Context context{std::move(receiver), path_, day, clock_};
    context.lane = lane;
    try {
        const BlockSignalsForNewThreads mask;
        handle_.emplace([context = std::move(context), ended]() mutable {
            run_writer(std::move(context));
            ended->store(true, std::memory_order_release);
        });
    } catch (const std::system_error& e) {
        return Error::runtime("failed to spawn thread: " + describe(OsError{e.code().value()}));
    }
    sender_ = std::move(sender);
    lane_ = std::move(lane);
    ended_ = std::move(ended);
    return ok_status();
}

void SharedWriter::forget_parent_thread() {
    // Placement new over the old members, without destroying them: the
    // parent's channel, lane and thread handle are leaked on purpose.
    new (&sender_) Sender<Action>();
    new (&lane_) std::shared_ptr<BatchLane>();
    new (&handle_) std::optional<std::thread>();
    new (&handle_mutex_) std::mutex();
    generation_ = fork_generation();
}

void SharedWriter::adopt_after_fork() {
    const bool was_stopped = stopping_.load(std::memory_order_acquire);
    forget_parent_thread();
    if (was_stopped) return;  // a stopped writer stays stopped: sends fail
    if (!spawn(clock_->local_date())) stopping_.store(true, std::memory_order_release);
}

SharedWriter::~SharedWriter() { stop(); }

void SharedWriter::stop() {
    if (generation_ != fork_generation()) [[unlikely]]
        forget_parent_thread();
    std::lock_guard lock(handle_mutex_);
    if (!handle_) return;
    std::thread thread = std::move(*handle_);
    handle_.reset();
    stopping_.store(true, std::memory_order_release);
    // A failed send means the thread has already ended; the join still reaps it.
    (void)sender_.send(Stop{});
    thread.join();
}

}  // namespace ferrant
