#include "lib/shared_writer.hpp"

#include <system_error>
#include <unistd.h>

#include "lib/os_error.hpp"
#include "lib/output.hpp"
#include "lib/signal_mask.hpp"

namespace ferrant {

namespace {

// How often a wait that goes on while its destination drains looks at it.
constexpr std::chrono::milliseconds DRAIN_LOOK{100};

// Runs `attempt(until)`, true once done, for each step `step()` gives; once
// the steps are over, one last time without waiting.
template <class Step, class Attempt>
bool in_steps(Step step, Attempt attempt) {
    for (;;) {
        const std::optional<Deadline> until = step();
        if (attempt(until ? *until : WaitClock::now())) return true;
        if (!until) return false;
    }
}

template <class Attempt>
bool in_steps(SharedWriter& writer, const WaitBound& bound, Attempt attempt) {
    return in_steps([&] { return writer.wait_step(bound); }, attempt);
}

// The next step of a wait within `bound` for a destination whose progress
// `watch` follows, `sample` where it is now.
std::optional<Deadline> next_step(StallWatch& watch, const DrainSample& sample,
                                  const WaitBound& bound, Deadline now) {
    const Deadline moved = watch.look(sample, now);
    const Deadline over = bound.deadline ? *bound.deadline : moved + bound.stall;
    if (now >= over) return std::nullopt;
    return std::min(over, now + DRAIN_LOOK);
}

DrainSample sample_of(const BatchLane* lane, const std::optional<std::string>& path) {
    DrainSample sample;
    if (lane) sample.left = lane->released_bytes();
    // A file's writes return as they are done; only standard output can be
    // a pipe, a socket or a terminal.
    if (!path) sample.queued = queued_for_reader(STDOUT_FILENO);
    return sample;
}

void report_unfinished(const BatchLane* lane, const std::optional<std::string>& path) {
    const std::string line = "error writer did not finish in time: " +
                             std::to_string(lane ? lane->unwritten_bytes() : 0) +
                             " bytes not written" + destination_suffix(path);
    (void)write_all(STDERR_FILENO, line.data(), line.size());
}

// A writer thread that a stop left running.
struct LeftRunning {
    std::shared_ptr<WriterEnded> ended;
    std::shared_ptr<BatchLane> lane;
    std::shared_ptr<StallWatch> watch;
    std::optional<std::string> path;
    bool reported = false;
};

// Process-wide, as the registry; made at load and never destroyed, for
// stops late in the exit and a fork step that must not allocate.
struct LeftRunningList {
    std::mutex mutex;
    std::vector<LeftRunning> threads;
};
LeftRunningList* const LEFT_RUNNING = new LeftRunningList;
LeftRunningList& left_running() { return *LEFT_RUNNING; }

// In a forked child their threads do not exist, and the lock may be held:
// the parent's records are abandoned, never touched again.
const OnForkChild LEFT_RUNNING_AFTER_FORK([] {
    LeftRunningList& list = left_running();
    new (&list.mutex) std::mutex();
    new (&list.threads) std::vector<LeftRunning>();
});

void leave_running(LeftRunning thread) {
    LeftRunningList& list = left_running();
    std::lock_guard lock(list.mutex);
    std::erase_if(list.threads, [](const LeftRunning& t) { return t.ended->done(); });
    list.threads.push_back(std::move(thread));
}

}  // namespace

void WriterEnded::set() {
    {
        std::lock_guard lock(mutex);
        flag.store(true, std::memory_order_release);
    }
    cv.notify_all();
}

bool WriterEnded::wait_until(Deadline deadline) {
    std::unique_lock lock(mutex);
    return ferrant::wait_until(cv, lock, deadline, [this] { return done(); });
}

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
    auto [sender, receiver] = make_channel<Action>(WRITER_REQUESTS);
    auto ended = std::make_shared<WriterEnded>();
    auto lane = std::make_shared<BatchLane>();
    WriterSetup setup{std::move(receiver), Destination{path_, day}, clock_};
    setup.lane = lane;
    setup.retention = settings_.retention;
    try {
        const BlockSignalsForNewThreads mask;
        handle_.emplace([setup = std::move(setup), ended]() mutable {
            run_writer(std::move(setup));
            ended->set();
        });
    } catch (const std::system_error& e) {
        return Error::runtime("failed to spawn thread: " + describe(OsError{e.code().value()}));
    }
    requests_ = std::move(sender);
    lane_ = std::move(lane);
    ended_ = std::move(ended);
    return ok_status();
}

void SharedWriter::forget_parent_thread() {
    // Placement new over the old members, without destroying them: the
    // parent's channel, lane and thread handle are leaked on purpose.
    new (&requests_) Sender<Action>();
    new (&lane_) std::shared_ptr<BatchLane>();
    new (&handle_) std::optional<std::thread>();
    new (&handle_mutex_) std::mutex();
    stall_watch_->reset_after_fork();
    generation_ = fork_generation();
}

void SharedWriter::adopt_after_fork() {
    const bool was_stopped = stopping_.load(std::memory_order_acquire);
    forget_parent_thread();
    if (was_stopped) return;  // a stopped writer stays stopped: sends fail
    if (Status spawned = spawn(clock_->local_date()); !spawned) {
        stopping_.store(true, std::memory_order_release);
        const std::string line = "error " + spawned.error().message +
                                 " after fork; lines are dropped" + destination();
        (void)write_all(STDERR_FILENO, line.data(), line.size());
    }
}

SharedWriter::~SharedWriter() { stop(); }

SendStatus SharedWriter::send_batch(ByteBuffer& batch, BatchOptions options,
                                    const WaitBound& bound) {
    SendStatus status = SendStatus::Full;
    (void)in_steps(*this, bound, [&](Deadline until) {
        options.deadline = until;
        status = send_batch(batch, options);
        return status != SendStatus::Full;
    });
    return status;
}

std::optional<AckReceiver> SharedWriter::request_flush(const WaitBound& bound, FlushOutcome* why) {
    if (generation_ != fork_generation()) [[unlikely]]
        adopt_after_fork();
    auto [ack, wait] = make_ack();
    Action request{FlushAck{std::move(ack)}};
    SendStatus status = SendStatus::Full;
    (void)in_steps(*this, bound, [&](Deadline until) {
        SendResult<Action> sent = requests_.push(std::move(request), until);
        status = sent.status;
        if (sent.value) request = std::move(*sent.value);
        return status != SendStatus::Full;
    });
    if (status == SendStatus::Sent) {
        if (lane_) lane_->ring();
        return std::move(wait);
    }
    if (why) *why = status == SendStatus::Full ? FlushOutcome::TimedOut : FlushOutcome::WriterGone;
    return std::nullopt;
}

FlushOutcome SharedWriter::await_flush(AckReceiver& answer, const WaitBound& bound) {
    FlushOutcome outcome = FlushOutcome::TimedOut;
    (void)in_steps(*this, bound, [&](Deadline until) {
        outcome = answer.wait_until(until);
        return outcome != FlushOutcome::TimedOut;
    });
    return outcome;
}

FlushOutcome SharedWriter::flush(const WaitBound& bound) {
    FlushOutcome outcome = FlushOutcome::WriterGone;
    if (std::optional<AckReceiver> wait = request_flush(bound, &outcome))
        outcome = await_flush(*wait, bound);
    return outcome;
}

DrainSample SharedWriter::drain_sample() const { return sample_of(lane_.get(), path_); }

std::optional<Deadline> SharedWriter::wait_step(const WaitBound& bound) {
    const Deadline now = WaitClock::now();
    if (!bound.deadline)
        for (const std::shared_ptr<SharedWriter>& other : bound.watched)
            if (other && other.get() != this) other->look();
    return next_step(*stall_watch_, drain_sample(), bound, now);
}

void SharedWriter::note_flush(FlushOutcome outcome) {
    if (outcome == FlushOutcome::Written) {
        flush_fault_reported_.store(false, std::memory_order_relaxed);
        return;
    }
    // A failed write has its own line from the writer; a writer that ended
    // was stopped on purpose.
    if (outcome != FlushOutcome::TimedOut) return;
    if (flush_fault_reported_.exchange(true, std::memory_order_relaxed)) return;
    const std::string line = "error flush not confirmed in time: " +
                             std::to_string(unwritten_bytes()) + " bytes still waiting" +
                             destination();
    (void)write_all(STDERR_FILENO, line.data(), line.size());
}

std::string SharedWriter::destination() const { return destination_suffix(path_); }

bool SharedWriter::stop(const WaitBound& bound) {
    if (generation_ != fork_generation()) [[unlikely]]
        forget_parent_thread();
    std::lock_guard lock(handle_mutex_);
    if (!handle_) return ended_->done();
    std::thread thread = std::move(*handle_);
    handle_.reset();
    stopping_.store(true, std::memory_order_release);
    // A failed send means the thread has ended, or is stuck with a full
    // channel; either way the wait below decides.
    Action request{Stop{}};
    SendStatus sent = SendStatus::Full;
    (void)in_steps(*this, bound, [&](Deadline until) {
        SendResult<Action> result = requests_.push(std::move(request), until);
        sent = result.status;
        if (result.value) request = std::move(*result.value);
        return sent != SendStatus::Full;
    });
    if (sent == SendStatus::Sent && lane_) lane_->ring();
    if (in_steps(*this, bound, [&](Deadline until) { return ended_->wait_until(until); })) {
        thread.join();
        return true;
    }
    // Held up by its destination: it ends by itself once it has written
    // what it holds, or when the process exits. Only a destination that
    // took nothing for the stall time is reported now; a slow one may still
    // take everything before the exit, which waits for it.
    thread.detach();
    const Deadline now = WaitClock::now();
    const WaitClock::duration stall = bound.deadline ? WRITER_WAIT : bound.stall;
    const bool stalled = now >= stall_watch_->look(drain_sample(), now) + stall;
    if (stalled) report_unfinished(lane_.get(), path_);
    leave_running({ended_, lane_, stall_watch_, path_, stalled});
    return false;
}

std::vector<FlushOutcome> flush_all(const std::vector<std::shared_ptr<SharedWriter>>& writers,
                                    const WaitBound& bound) {
    const WaitBound each = bound.watching(writers);
    std::vector<FlushOutcome> outcomes(writers.size(), FlushOutcome::WriterGone);
    std::vector<std::optional<AckReceiver>> waits;
    waits.reserve(writers.size());
    for (std::size_t i = 0; i < writers.size(); ++i)
        waits.push_back(writers[i]->request_flush(each, &outcomes[i]));
    for (std::size_t i = 0; i < writers.size(); ++i)
        if (waits[i]) outcomes[i] = writers[i]->await_flush(*waits[i], each);
    return outcomes;
}

void finish_left_running(const WaitBound& bound) {
    LeftRunningList& list = left_running();
    std::vector<LeftRunning> threads;
    {
        std::lock_guard lock(list.mutex);
        threads = list.threads;
    }
    for (LeftRunning& left : threads) {
        const bool ended = in_steps(
            [&] { return next_step(*left.watch, sample_of(left.lane.get(), left.path), bound,
                                   WaitClock::now()); },
            [&](Deadline until) { return left.ended->wait_until(until); });
        if (ended || left.reported) continue;
        report_unfinished(left.lane.get(), left.path);
        std::lock_guard lock(list.mutex);
        for (LeftRunning& listed : list.threads)
            if (listed.ended == left.ended) listed.reported = true;
    }
    std::lock_guard lock(list.mutex);
    std::erase_if(list.threads, [](const LeftRunning& t) { return t.ended->done(); });
}

}  // namespace ferrant
