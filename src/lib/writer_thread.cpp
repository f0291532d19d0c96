#include "lib/writer_thread.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include "lib/escape.hpp"
#include "lib/output.hpp"
#include "lib/dated_file.hpp"
#include "lib/retention.hpp"

namespace ferrant {

namespace {

class SystemWriterClock final : public WriterClock {
public:
    // The clock the waits run on, so that a faked one cannot stall the check.
    std::uint64_t mono_ns() const override {
        return static_cast<std::uint64_t>(WaitClock::now().time_since_epoch().count());
    }
    LocalDate local_date() const override { return current_local_date(); }
};

constexpr std::uint64_t TICK_NS = 1'000'000'000;
// A day's file is compressed only this long after the writer moved past it:
// a thread's last batch of the day reaches the writer within about 100 ms
// (the flusher), parked ones as soon as the lane has room.
constexpr std::uint64_t RETENTION_GRACE_NS = 3'000'000'000;

std::int64_t day_number(const LocalDate& d) { return days_from_civil(d); }

// Room in the lane opens as bytes leave the writer, piece by piece: under a
// slow destination every call then waits a little, rather than a few calls
// waiting seconds for a whole megabyte to drain.
void release_room(void* lane, std::size_t backlog) {
    auto* l = static_cast<BatchLane*>(lane);
    const std::uint64_t taken = l->taken_bytes();
    l->release_bytes(taken > backlog ? taken - backlog : 0);
}

void report(const std::string& line) { (void)write_all(STDERR_FILENO, line.data(), line.size()); }

// The thread's output and its fault episodes. An episode starts at the first
// failed open, write or flush (one "error" line) and ends when bytes reach the
// wanted destination again (one line with the count of bytes dropped).
class WriterLoop {
public:
    explicit WriterLoop(WriterSetup& setup)
        : setup_(setup), where_(setup.destination), latest_(where_.day), output_(open_first()),
          retention_(where_.path, setup.retention) {
        // Every output after this one inherits the observer (take_pending).
        if (setup.lane) output_.set_progress(&release_room, setup.lane.get());
        // Just after midnight other processes may still append yesterday's
        // last lines: its file waits for the pass after the grace.
        (void)retention_.start(setup.clock->local_date(),
                               civil_from_days(day_number(where_.day) - 1));
        retention_due_ = setup.clock->mono_ns() + RETENTION_GRACE_NS;
    }

    // A batch's lines go to the files of the days they carry.
    void write(std::string_view chunk, const BatchDays& days) {
        if (!where_.path) return settle(output_.write(chunk));
        const std::size_t split = std::min(days.split, chunk.size());
        if (split) write_for(days.earlier, chunk.substr(0, split));
        write_for(days.day, chunk.substr(split));
    }

    // Writes the buffer out now, outside the periodic check, into the file
    // still at its name: one a clean-up job removed or replaced is opened
    // again first, as the check would.
    void write_buffer() {
        if (where_.path && healthy() && !output_.writes_to(output_at_)) reopen(false);
        settle(output_.write_buffer());
    }

    // Bytes taken in and neither written nor dropped yet.
    std::size_t backlog() const { return output_.buffered(); }

    // False during a fault episode: what is buffered then waits for the
    // periodic check, which reopens the destination first.
    bool healthy() const { return !failing_ && !stale_; }

    // True when everything handed over since the previous call reached the
    // destination.
    bool flush() {
        if (where_.path && (failing_ || stale_)) reopen(false);
        const OsError err = output_.write_buffer();
        settle(err);
        const bool dropped = std::exchange(dropped_since_flush_, false);
        return !err && !dropped;
    }

    void periodic_check() {
        if (where_.path) {
            // The clock only moves the writer on (a day with no lines yet
            // gets its file); back to an earlier day only records take it.
            const LocalDate today = setup_.clock->local_date();
            bool new_day = day_number(today) > day_number(latest_);
            if (new_day) move_on(today);
            // Back from a late batch of an earlier day, whose file the grace
            // must find closed.
            if (where_.day != latest_) new_day = true;
            if (new_day) where_.day = latest_;
            // A clean-up job may have removed or replaced the file or its
            // directory: writing on into the old inode would lose everything.
            if (new_day || failing_ || stale_ ||
                !output_.writes_to(dated_path(*where_.path, where_.day)))
                reopen(new_day);
            if (retention_due_ && setup_.clock->mono_ns() >= *retention_due_ &&
                retention_.start(today, latest_))
                retention_due_.reset();
        }
        settle(output_.write_buffer());
    }

private:
    void write_for(std::int64_t day, std::string_view lines) {
        if (lines.empty()) return;
        if (day != kNoDay && day != day_number(where_.day)) {
            const LocalDate d = civil_from_days(day);
            // A batch of an earlier day is late, unless the clock agrees
            // with it: then the clock was set back, days rather than
            // seconds, and this is the day now.
            if (day > day_number(latest_) || setup_.clock->local_date() == d) move_on(d);
            where_.day = d;
            reopen(true);
        }
        settle(output_.write(lines));
    }

    // The latest day is now `day`; the one before it is finished once its
    // late batches have had time to arrive.
    void move_on(const LocalDate& day) {
        latest_ = day;
        retention_due_ = setup_.clock->mono_ns() + RETENTION_GRACE_NS;
    }

    // The file wanted now; empty for standard output.
    std::string wanted() const {
        return where_.path ? dated_path(*where_.path, where_.day) : std::string();
    }

    Output open_first() {
        OsResult<Output> opened = open_output(where_);
        output_at_ = wanted();
        if (opened) return opened.take();
        stale_ = true;
        fault(opened.error(), output_at_);
        return Output::unopened(opened.error());
    }

    void reopen(bool new_day) {
        // A line this writer tore in the same file is finished by its rest.
        OsResult<Output> next = open_output(where_, !output_.owes_line_rest());
        std::string target = wanted();
        if (!next) {
            fault(next.error(), target);
            stale_ = true;
            // Still usable when the file is where it was opened, e.g. the
            // previous day's file while the new one cannot be opened.
            if (!output_.writes_to(output_at_))
                switch_to(Output::unopened(next.error()), std::move(target), false);
            return;
        }
        stale_ = false;
        switch_to(next.take(), std::move(target), new_day && !failing_);
    }

    // The new output is open before the old one is written out and closed.
    void switch_to(Output next, std::string at, bool finish_old) {
        // At a date change, what is buffered belongs to the previous day.
        if (finish_old) settle(output_.write_buffer());
        next.take_pending(output_);
        note_lost(next.take_dropped());
        output_ = std::move(next);
        output_at_ = std::move(at);
    }

    void settle(OsError err) {
        note_lost(output_.take_dropped());
        const bool progressed = output_.take_progress();
        if (err) return fault(err, output_at_);
        if (progressed && failing_ && !stale_) {
            failing_ = false;
            report("error resolved: " + std::to_string(std::exchange(lost_, 0)) +
                   " bytes lost" + destination_suffix(output_at_));
        }
    }

    void note_lost(std::uint64_t bytes) {
        lost_ += bytes;
        if (bytes) dropped_since_flush_ = true;
    }

    // `file` is the one the failed open or write was for.
    void fault(OsError err, const std::string& file) {
        if (failing_) return;
        failing_ = true;
        report("error " + describe(err) + destination_suffix(file));
    }

    std::string destination_suffix(const std::string& file) const {
        return ferrant::destination_suffix(where_.path ? std::optional<std::string>(file)
                                                         : std::nullopt);
    }

    WriterSetup& setup_;
    Destination& where_;
    // The latest day the writer has reached, by a batch or by its clock:
    // where it writes, but for late batches of earlier days.
    LocalDate latest_;
    std::optional<std::uint64_t> retention_due_;  // mono ns of the next pass
    // The file the current output was opened, or failed to open, under;
    // empty for standard output.
    std::string output_at_;
    bool failing_ = false;   // in an episode, its "error" line printed
    bool stale_ = false;     // the wanted file could not be opened
    std::uint64_t lost_ = 0;
    bool dropped_since_flush_ = false;
    Output output_;
    RetentionWorker retention_;
};

}  // namespace

std::shared_ptr<const WriterClock> system_writer_clock() {
    // Never destroyed: writer threads may outlive static destruction.
    static const auto* clock = new std::shared_ptr<const WriterClock>(
        std::make_shared<SystemWriterClock>());
    return *clock;
}

// While batches keep coming, the thread looks for more this often instead of
// sleeping until a producer wakes it: a wake-up costs the logging thread a
// system call and an interrupt to this core, a timer costs only this thread.
constexpr std::chrono::microseconds BUSY_POLL{100};
// With nothing more queued the buffer goes out, but at most this often while
// batches keep coming: under load many batches share one write(2), and what
// a kill can take stays a few milliseconds of lines.
constexpr std::chrono::milliseconds WRITE_GAP{10};
// Requests taken per receive; room for them is made once.
constexpr std::size_t MAX_TAKEN = 64;

namespace {

// Lets producers see the lane closed however the thread ends.
struct CloseLane {
    BatchLane* lane;
    ~CloseLane() { lane->close(); }
};

}  // namespace

void run_writer(WriterSetup setup) {
    pthread_setname_np(pthread_self(), "ferrant-writer");
    if (!setup.lane) setup.lane = std::make_shared<BatchLane>();
    WriterLoop writer(setup);
    const WriterClock& clock = *setup.clock;
    std::uint64_t last_tick = clock.mono_ns();
    BatchLane* const lane = setup.lane.get();
    const CloseLane close_lane{lane};
    Deadline next_write_out = WaitClock::now();

    // Room for senders opens as bytes leave the writer, not as it takes
    // them: bytes in its buffer still count against the lane's limit.
    const auto release = [&] {
        const std::uint64_t taken = lane->taken_bytes();
        const std::uint64_t held = writer.backlog();
        lane->release_bytes(taken > held ? taken - held : 0);
    };
    const auto tick = [&] {
        const std::uint64_t now = clock.mono_ns();
        if (now < last_tick || now - last_tick < TICK_NS) return;
        last_tick = now;
        writer.periodic_check();
        release();
    };
    const auto write_out = [&] {
        writer.write_buffer();
        release();
        next_write_out = WaitClock::now() + WRITE_GAP;
    };
    // Between batches, as when they came one at a time: a date change seen
    // there sends the next batch to the new day's file.
    const auto take_lane = [&] {
        const bool took = lane->drain([&](std::string_view chunk, bool prompt,
                                          const BatchDays& days) {
                              writer.write(chunk, days);
                              if (prompt) write_out();
                              tick();
                          }) > 0;
        if (took) release();
        return took;
    };
    // Bytes that go out once nothing more is queued; a writer in a fault
    // episode keeps them for its periodic check.
    const auto holding = [&] { return writer.backlog() > 0 && writer.healthy(); };
    std::vector<Action> got;
    got.reserve(MAX_TAKEN);
    bool busy = false;
    for (;;) {
        const Deadline now = WaitClock::now();
        Deadline until = now + setup.idle_wait;
        if (busy)
            until = std::min(until, now + BUSY_POLL);
        else if (holding())
            until = std::min(until, std::max(now, next_write_out));
        // Only a writer with nothing to do is woken by a batch.
        lane->wait_for_work(until, !busy && !holding());
        const RecvStatus status = setup.receiver.try_recv_all(got, MAX_TAKEN);
        busy = take_lane();
        if (status == RecvStatus::Disconnected) {
            (void)writer.flush();
            release();
            return;
        }
        for (Action& action : got) {
            // Batches handed over before a request are written before it is
            // answered.
            if (take_lane()) busy = true;
            if (auto* flush = std::get_if<FlushAck>(&action)) {
                // Failed after a failure or a drop: the caller learns that not
                // all its bytes arrived.
                flush->ack.answer(writer.flush());
                release();
                // Whoever asked is waiting for this answer, not sending more.
                busy = false;
            } else {
                // Whatever was queued after the stop is dropped with `got`.
                (void)writer.flush();
                release();
                return;
            }
            tick();
        }
        if (got.empty()) tick();
        got.clear();
        if (holding() && lane->queued() == 0 && WaitClock::now() >= next_write_out) write_out();
    }
}

}  // namespace ferrant
