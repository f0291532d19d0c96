#include "lib/writer_thread.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lib/output.hpp"
#include "lib/dated_file.hpp"
#include "test_support.hpp"

using namespace std::chrono_literals;
using ferrant::Action;
using ferrant::FlushOutcome;
using ferrant::ByteBuffer;
using ferrant::Destination;
using ferrant::WriterSetup;
using ferrant::LocalDate;
using ferrant::make_ack;
using ferrant::make_channel;
using ferrant::Output;
using ferrant::testing::eventually;
using ferrant::testing::FakeClock;
using ferrant::testing::read_file;
using ferrant::testing::StderrCapture;
using ferrant::testing::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr LocalDate kDay{2024, 3, 5};

// The destination as the report names it: standard output, or the quoted file.
std::string destination(const std::string& file) {
    return file.empty() ? " for standard output\n" : " for \"" + file + "\"\n";
}

std::string error_line(int code, const std::string& file) {
    return "error " + std::string(std::strerror(code)) + " (os error " + std::to_string(code) +
           ")" + destination(file);
}

ByteBuffer chunk(const std::string& text) {
    ByteBuffer b;
    b.append(text);
    return b;
}

// A writer thread on its own channel and lane, with a clock the test moves. Timeouts
// are long unless asked for, so periodic checks run only when the test sends.
class Harness {
public:
    explicit Harness(std::optional<std::string> path,
                     std::chrono::nanoseconds idle_wait = std::chrono::hours(1),
                     bool stdout_open = true, ferrant::RetentionPolicy retention = {})
        : clock_(std::make_shared<FakeClock>(kDay)) {
        auto [tx, rx] = make_channel<Action>(ferrant::WRITER_REQUESTS);
        tx_ = std::move(tx);
        WriterSetup c{std::move(rx), Destination{std::move(path), kDay, stdout_open}, clock_,
                      idle_wait};
        c.lane = lane_;
        c.retention = retention;
        thread_ = std::thread(ferrant::run_writer, std::move(c));
    }
    ~Harness() { join(); }

    // A request rings the lane, as SharedWriter does.
    bool send(Action a) {
        if (tx_.send(std::move(a)).has_value()) return false;
        lane_->ring();
        return true;
    }
    // A batch, on the lane as the producers send it.
    bool write(const std::string& text, bool prompt = false, ferrant::BatchDays days = {}) {
        ByteBuffer b = chunk(text);
        ferrant::BatchLane::PushOptions o;
        o.prompt = prompt;
        o.days = days;
        return lane_->push(b, o) == ferrant::SendStatus::Sent;
    }
    bool write(const std::string& text, ferrant::BatchDays days) { return write(text, false, days); }
    FlushOutcome flush(std::chrono::milliseconds limit = 5000ms) {
        auto [ack, waiter] = make_ack();
        if (!send(ferrant::FlushAck{std::move(ack)})) return FlushOutcome::WriterGone;
        return waiter.wait_until(ferrant::deadline_in(limit));
    }
    // Returns once the thread has handled everything sent so far, including
    // the check that follows, and waits for the next action: a clock moved
    // now is first seen by the check after the next action.
    void settle() { ASSERT_EQ(quiesce(), FlushOutcome::Written); }
    // As settle, for a flush that may fail.
    FlushOutcome quiesce() {
        const FlushOutcome answer = flush();
        EXPECT_TRUE(eventually([&] { return lane_->writer_asleep() && lane_->queued() == 0; }));
        return answer;
    }
    void stop_and_join() {
        EXPECT_TRUE(send(ferrant::Stop{}));
        join();
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    FakeClock& clock() { return *clock_; }
    ferrant::BatchLane& lane() { return *lane_; }
    ferrant::Sender<Action>& sender() { return tx_; }

private:
    std::shared_ptr<FakeClock> clock_;
    ferrant::Sender<Action> tx_;
    std::shared_ptr<ferrant::BatchLane> lane_ = std::make_shared<ferrant::BatchLane>();
    std::thread thread_;
};

TEST(WriterThread, LargeChunkFollowsBufferedBytesInOrder) {
    TempDir tmp;
    StderrCapture err;
    const std::string big(Output::BUFFER_SIZE + 7, 'x');
    {
        Harness w(tmp / "app.log");
        ASSERT_TRUE(w.write("head\n"));
        ASSERT_TRUE(w.write(big));
        ASSERT_TRUE(w.write("tail\n"));
        w.stop_and_join();
    }
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "head\n" + big + "tail\n");
    EXPECT_EQ(err.finish(), "");
}

TEST(WriterThread, PromptChunkIsWrittenOutWithoutWaitingForTheCheck) {
    TempDir tmp;
    Harness w(tmp / "app.log");  // no periodic check for an hour
    ASSERT_TRUE(w.write("buffered\n"));
    ASSERT_TRUE(w.write("waited\n", true));
    EXPECT_TRUE(eventually([&] {
        return read_file(tmp / "app_20240305.log") == "buffered\nwaited\n";
    }));
    w.stop_and_join();
}

// No flush, check or prompt: an idle writer is woken by the batch and writes
// it out, then sleeps until the next one wakes it again.
TEST(WriterThread, BatchGoesOutOnceNothingMoreIsQueued) {
    TempDir tmp;
    Harness w(tmp / "app.log");  // no periodic check for an hour
    std::string expected;
    for (const char* line : {"first\n", "second\n"}) {
        EXPECT_TRUE(eventually([&] { return w.lane().writer_asleep(); }));
        ASSERT_TRUE(w.write(line));
        expected += line;
        EXPECT_TRUE(eventually([&] { return read_file(tmp / "app_20240305.log") == expected; }, 2000ms));
    }
    w.stop_and_join();
}

TEST(WriterThread, FlushAckComesOnlyAfterPrecedingWritesReachTheFile) {
    TempDir tmp;
    Harness w(tmp / "app.log");
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        ASSERT_TRUE(w.write(line));
        expected += line;
    }
    ASSERT_EQ(w.flush(), FlushOutcome::Written);
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), expected);
    w.stop_and_join();
}

TEST(WriterThread, StopDrainsEverythingQueuedBeforeIt) {
    TempDir tmp;
    StderrCapture err;
    std::string expected;
    {
        Harness w(tmp / "app.log");
        for (int i = 0; i < 20000; ++i) {
            const std::string line = std::to_string(i) + "\n";
            ASSERT_TRUE(w.write(line));
            expected += line;
        }
        w.stop_and_join();
        EXPECT_FALSE(w.write("late\n"));
    }
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), expected);
    EXPECT_EQ(err.finish(), "");
}

// A disconnection rings nothing: the thread sees it when it next wakes.
TEST(WriterThread, DisconnectionWritesOutBufferedBytes) {
    TempDir tmp;
    StderrCapture err;
    {
        Harness w(tmp / "app.log", 20ms);
        ASSERT_TRUE(w.write("last words\n"));
        { auto gone = std::move(w.sender()); }
        w.join();
    }
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "last words\n");
    EXPECT_EQ(err.finish(), "");
}

// The action that triggers a check is written before the check switches files.
ferrant::BatchDays days(std::int64_t day, std::int64_t earlier = ferrant::kNoDay,
                       std::size_t split = 0) {
    return {day, earlier, split};
}

// The clock moves the writer to a new day's file, even with nothing to
// write; set back, it leaves the writer where it is: only batches of an
// earlier day go there.
TEST(WriterThread, ClockMovesTheWriterOnButNeverBack) {
    TempDir tmp;
    const std::string day1 = tmp / "logs/app_20240305.log";
    const std::string day2 = tmp / "logs/app_20240306.log";
    {
        Harness w(tmp / "logs/app.log");
        w.settle();
        ASSERT_TRUE(w.write("a\n"));
        w.settle();
        w.clock().advance(+1);
        ASSERT_TRUE(w.write("b\n"));
        ASSERT_TRUE(w.write("c\n"));
        w.settle();
        EXPECT_EQ(read_file(day1), "a\nb\n");
        EXPECT_EQ(read_file(day2), "c\n");

        w.clock().advance(-1);
        ASSERT_TRUE(w.write("d\n"));
        ASSERT_TRUE(w.write("e\n"));
        w.stop_and_join();
    }
    EXPECT_EQ(read_file(day1), "a\nb\n");
    EXPECT_EQ(read_file(day2), "c\nd\ne\n");
}

// Each part of a batch goes to the file of its day; a late batch of an
// earlier day is appended to that day's file and the writer goes back to
// the latest day at its next check.
TEST(WriterThread, BatchesGoToTheFilesOfTheirDays) {
    TempDir tmp;
    const std::int64_t d1 = ferrant::days_from_civil(kDay);
    const std::string day1 = tmp / "app_20240305.log";
    const std::string day2 = tmp / "app_20240306.log";
    const std::string day4 = tmp / "app_20240308.log";
    StderrCapture err;
    {
        Harness w(tmp / "app.log");
        w.clock().advance(+1, 0);  // as the producers' clock: no check yet
        ASSERT_TRUE(w.write("a1\nb2\n", days(d1 + 1, d1, 3)));  // split at the day's end
        ASSERT_TRUE(w.write("c1\n", days(d1)));                  // late
        w.settle();
        EXPECT_EQ(read_file(day1), "a1\nc1\n");
        w.clock().advance(0);
        w.settle();
        ASSERT_TRUE(w.write("d?\n"));                        // the check went back
        ASSERT_TRUE(w.write("e4\n", days(d1 + 3)));              // days skipped
        w.stop_and_join();
    }
    EXPECT_EQ(read_file(day1), "a1\nc1\n");
    EXPECT_EQ(read_file(day2), "b2\nd?\n");
    EXPECT_EQ(read_file(day4), "e4\n");
    EXPECT_FALSE(fs::exists(tmp / "app_20240307.log"));
    EXPECT_EQ(err.finish(), "");
}

// A batch of an earlier day while the clock reads that day too: the clock
// was set back by days, and the writer stays with it rather than returning.
TEST(WriterThread, ClockSetBackByDaysTakesTheWriterWithTheRecords) {
    TempDir tmp;
    const std::int64_t d1 = ferrant::days_from_civil(kDay);
    {
        Harness w(tmp / "app.log");
        w.clock().advance(+2);
        ASSERT_TRUE(w.write("ahead\n", days(d1 + 2)));
        w.settle();
        w.clock().advance(-2);
        ASSERT_TRUE(w.write("right\n", days(d1)));
        w.settle();
        w.clock().advance(0);
        ASSERT_TRUE(w.write("still\n"));
        w.stop_and_join();
    }
    EXPECT_EQ(read_file(tmp / "app_20240307.log"), "ahead\n");
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "right\nstill\n");
}

// The previous day is compressed only once its late batches have had time
// to arrive, and then with them.
TEST(WriterThread, PreviousDayIsCompressedAfterItsLateBatches) {
    TempDir tmp;
    const std::int64_t d1 = ferrant::days_from_civil(kDay);
    const std::string day1 = tmp / "app_20240305.log";
    ferrant::RetentionPolicy policy;
    policy.compress = true;
    Harness w(tmp / "app.log", std::chrono::hours(1), true, policy);
    ASSERT_TRUE(w.write("early\n", days(d1)));
    w.settle();
    w.clock().advance(+1, 0);
    ASSERT_TRUE(w.write("next day\n", days(d1 + 1)));
    ASSERT_TRUE(w.write("late\n", days(d1)));
    w.settle();
    w.clock().advance(0, 2'000'000'000);
    w.settle();
    EXPECT_EQ(read_file(day1), "early\nlate\n");
    EXPECT_FALSE(fs::exists(day1 + ".gz"));
    w.clock().advance(0, 1'000'000'000);
    w.settle();
    EXPECT_TRUE(eventually([&] { return fs::exists(day1 + ".gz") && !fs::exists(day1); }));
    w.stop_and_join();
}

TEST(WriterThread, MonotonicClockGoingBackDoesNotTriggerACheck) {
    TempDir tmp;
    Harness w(tmp / "app.log");
    w.settle();
    w.clock().advance(+1, static_cast<std::uint64_t>(-2'000'000'000));
    ASSERT_TRUE(w.write("a\n"));
    ASSERT_EQ(w.flush(), FlushOutcome::Written);
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "a\n");
    EXPECT_FALSE(fs::exists(tmp / "app_20240306.log"));
    w.stop_and_join();
}

TEST(WriterThread, IdleTimeoutFlushesAndSwitchesWithoutTraffic) {
    TempDir tmp;
    Harness w(tmp / "app.log", 20ms);
    w.settle();
    ASSERT_TRUE(w.write("quiet\n"));
    w.clock().advance(+1);
    EXPECT_TRUE(eventually([&] { return fs::exists(tmp / "app_20240306.log"); }));
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "quiet\n");
    w.stop_and_join();
}

std::string resolved_line(std::uint64_t lost, const std::string& file) {
    return "error resolved: " + std::to_string(lost) + " bytes lost" + destination(file);
}

// Makes writes past `limit` bytes of any file fail with EFBIG after writing
// what fits, which is how a filling disk tears a write.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        if (::setrlimit(RLIMIT_FSIZE, &lowered) != 0) throw std::runtime_error("setrlimit");
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit saved_{};
    void (*old_handler_)(int) = SIG_DFL;
};

// The file is as large as the process may make it, so every write fails
// whole, as on a full disk (the dated name takes no device, /dev/full
// included).
TEST(WriterThread, FullDiskReportsOnceDropsAndResumesWhenTheFileIsReplaced) {
    TempDir tmp;
    const std::string target = tmp / "app_20240305.log";
    const std::string line = std::string(1023, 'x') + "\n";
    constexpr rlim_t kFull = 256 * 1024;
    std::string full;
    while (full.size() < kFull) full += line;
    ferrant::testing::write_file(target, full);
    StderrCapture err;
    FileSizeLimit limit(kFull);
    Harness w(tmp / "app.log");
    std::uint64_t sent = 0;
    // Three times the buffer: every overflow retries and fails.
    for (int i = 0; i < 3 * 1024; ++i) {
        ASSERT_TRUE(w.write(line));
        sent += line.size();
    }
    EXPECT_EQ(w.quiesce(), FlushOutcome::Failed);
    // Checks during the fault reopen, fail again and stay quiet.
    for (int i = 0; i < 3; ++i) {
        w.clock().advance(0);
        ASSERT_TRUE(w.write(line));
        sent += line.size();
        EXPECT_EQ(w.quiesce(), FlushOutcome::Failed);
    }
    // Nothing was dropped since the previous flush request.
    EXPECT_EQ(w.quiesce(), FlushOutcome::Written);

    fs::remove(target);
    ferrant::testing::write_file(target, "");
    w.clock().advance(0);
    ASSERT_TRUE(w.write("back\n"));
    EXPECT_TRUE(eventually([&] { return read_file(target) == "back\n"; }));
    EXPECT_EQ(w.flush(), FlushOutcome::Written);
    w.stop_and_join();
    EXPECT_EQ(read_file(target), "back\n");
    EXPECT_EQ(err.finish(), error_line(EFBIG, target) + resolved_line(sent, target));
}

struct BlockedCase {
    const char* name;
    const char* path;  // configured path, under the test directory
    const char* blocker;
    bool blocker_is_dir;
    int code;
    bool retry_at_check;  // else the flush request retries
};

class WriterUnopenable : public ::testing::TestWithParam<BlockedCase> {};

TEST_P(WriterUnopenable, StartsWritingOnceTheDestinationCanBeOpened) {
    const BlockedCase& c = GetParam();
    TempDir tmp;
    if (c.blocker_is_dir)
        fs::create_directory(tmp / c.blocker);
    else
        ferrant::testing::write_file(tmp / c.blocker, "");
    StderrCapture err;
    Harness w(tmp / c.path);
    ASSERT_TRUE(w.write("early\n"));
    EXPECT_EQ(w.flush(), FlushOutcome::Failed);
    ASSERT_TRUE(w.write("again\n"));
    EXPECT_EQ(w.quiesce(), FlushOutcome::Failed);

    fs::remove(tmp / c.blocker);
    const std::string target = ferrant::dated_path(tmp / c.path, kDay);
    if (c.retry_at_check) {
        w.clock().advance(0);
        ASSERT_TRUE(w.write("late\n"));
        EXPECT_TRUE(eventually([&] { return read_file(target) == "late\n"; }));
    } else {
        ASSERT_TRUE(w.write("late\n"));
        EXPECT_EQ(w.flush(), FlushOutcome::Written);
    }
    w.stop_and_join();
    EXPECT_EQ(read_file(target), "late\n");
    EXPECT_EQ(err.finish(), error_line(c.code, target) + resolved_line(12, target));
}

INSTANTIATE_TEST_SUITE_P(
    Blockers, WriterUnopenable,
    ::testing::Values(
        BlockedCase{"parent_is_a_file", "blocker/app.log", "blocker", false, EEXIST, true},
        BlockedCase{"ancestor_is_a_file", "blocker/sub/app.log", "blocker", false, ENOTDIR, true},
        BlockedCase{"target_is_a_directory", "app.log", "app_20240305.log", true, EISDIR, true},
        BlockedCase{"flush_request_retries", "blocker/app.log", "blocker", false, EEXIST, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A path holding a line feed or a quote still gives one report line each,
// naming the file so that it reads back with the text escapes.
TEST(WriterThread, ReportNamesAHostilePathOnOneLine) {
    TempDir tmp;
    const std::string blocker = tmp / "odd\n\"dir\"";
    ferrant::testing::write_file(blocker, "");
    StderrCapture err;
    {
        Harness w(blocker + "/app.log");
        ASSERT_TRUE(w.write("lost\n"));
        EXPECT_EQ(w.quiesce(), FlushOutcome::Failed);
        fs::remove(blocker);
        w.clock().advance(0);
        ASSERT_TRUE(w.write("kept\n"));
        w.settle();
        w.stop_and_join();
    }
    const std::string file = tmp.path() + "/odd\\n\\\"dir\\\"/app_20240305.log";
    EXPECT_EQ(err.finish(), error_line(EEXIST, file) + resolved_line(5, file));
}

// Descriptor 1 closed when the writer was made, and taken since by a file of
// the application: the writer reports once and that file stays untouched.
TEST(WriterThread, StandardOutputClosedAtCreationWritesNowhere) {
    TempDir tmp;
    const std::string app_file = tmp / "data";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int fd = ::open(app_file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(saved, 0);
    ASSERT_GE(fd, 0);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    StderrCapture err;
    {
        Harness w(std::nullopt, std::chrono::hours(1), false);
        const std::string line = std::string(99, 's') + "\n";
        for (int i = 0; i < 30'000; ++i) ASSERT_TRUE(w.write(line));  // overflows the buffer
        EXPECT_EQ(w.quiesce(), FlushOutcome::Failed);
        ASSERT_TRUE(w.write(line));
        EXPECT_EQ(w.quiesce(), FlushOutcome::Failed);
        w.stop_and_join();
    }
    const std::string report = err.finish();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    EXPECT_EQ(read_file(app_file).size(), 0u);
    EXPECT_EQ(report, error_line(EBADF, ""));
}

// A clean-up job removing the log directory: the next check recreates it and
// what was still buffered goes to the new file.
TEST(WriterThread, RemovedDirectoryIsRecreatedAtTheNextCheck) {
    TempDir tmp;
    StderrCapture err;
    Harness w(tmp / "logs/app.log");
    ASSERT_TRUE(w.write("a\n"));
    w.settle();
    fs::remove_all(tmp / "logs");
    ASSERT_TRUE(w.write("b\n"));
    w.clock().advance(0);
    ASSERT_TRUE(w.write("c\n"));
    EXPECT_EQ(w.flush(), FlushOutcome::Written);
    w.stop_and_join();
    EXPECT_EQ(read_file(tmp / "logs/app_20240305.log"), "b\nc\n");
    EXPECT_EQ(err.finish(), "");
}

TEST(WriterThread, NewDayFileUnopenableKeepsTheOldFileUntilItOpens) {
    TempDir tmp;
    const std::string day1 = tmp / "app_20240305.log";
    const std::string day2 = tmp / "app_20240306.log";
    fs::create_directory(day2);
    StderrCapture err;
    Harness w(tmp / "app.log");
    ASSERT_TRUE(w.write("before\n"));
    w.settle();
    w.clock().advance(+1);
    ASSERT_TRUE(w.write("still old day\n"));
    w.settle();
    w.clock().advance(0);
    ASSERT_TRUE(w.write("more\n"));
    w.settle();
    EXPECT_EQ(read_file(day1), "before\nstill old day\nmore\n");

    fs::remove(day2);
    w.clock().advance(0);
    ASSERT_TRUE(w.write("new day\n"));
    w.settle();
    w.stop_and_join();
    EXPECT_EQ(read_file(day1), "before\nstill old day\nmore\n");
    EXPECT_EQ(read_file(day2), "new day\n");
    EXPECT_EQ(err.finish(), error_line(EISDIR, day2) + resolved_line(0, day2));
}

struct TornCase {
    const char* name;
    std::vector<std::string> chunks;
    rlim_t limit;     // cuts a line in the middle
    bool line_fits;   // the rest of the cut line fits the buffer
    bool moved;       // the file is moved away before writing resumes
};

std::vector<std::string> numbered_lines(int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back("record " + std::to_string(i) + " " + std::string(i % 97, 'p') + "\n");
    return out;
}

class WriterTornWrite : public ::testing::TestWithParam<TornCase> {};

// A write the disk cuts short: the file must hold whole lines only, the next
// line must start at a line start, and written plus lost is everything sent.
TEST_P(WriterTornWrite, FileKeepsWholeLinesAndCountsTheRest) {
    const TornCase& c = GetParam();
    TempDir tmp;
    const std::string target = tmp / "app_20240305.log";
    std::string sent;
    for (const std::string& chunk : c.chunks) sent += chunk;
    ASSERT_NE(sent[c.limit - 1], '\n');
    StderrCapture err;
    Harness w(tmp / "app.log");
    w.settle();
    {
        FileSizeLimit limit(c.limit);
        for (const std::string& chunk : c.chunks) ASSERT_TRUE(w.write(chunk));
        EXPECT_EQ(w.quiesce(), FlushOutcome::Failed);
    }
    const std::string moved_to = tmp / "moved.log";
    if (c.moved) fs::rename(target, moved_to);
    w.clock().advance(0);
    ASSERT_TRUE(w.write("after\n"));
    // Dropping the rest of the cut line at the reopen is a loss the flush
    // request hears of; a lone line feed is no data.
    EXPECT_EQ(w.flush(),
              c.moved && c.line_fits ? FlushOutcome::Failed : FlushOutcome::Written);
    w.stop_and_join();

    if (c.moved) {
        // The cut line's rest would start the new file mid-line: dropped.
        EXPECT_EQ(read_file(moved_to), sent.substr(0, c.limit));
        EXPECT_EQ(read_file(target), "after\n");
        EXPECT_EQ(err.finish(),
                  error_line(EFBIG, target) + resolved_line(sent.size() - c.limit, target));
        return;
    }
    // The line the limit cut is finished, or, when too long to keep, ended
    // by a lone line feed.
    const std::size_t line_end = sent.find('\n', c.limit - 1) + 1;
    const std::string kept = c.line_fits ? sent.substr(0, line_end) : sent.substr(0, c.limit) + "\n";
    const std::uint64_t lost = sent.size() - (c.line_fits ? line_end : c.limit);
    EXPECT_EQ(read_file(target), kept + "after\n");
    EXPECT_EQ(err.finish(), error_line(EFBIG, target) + resolved_line(lost, target));
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, WriterTornWrite,
    ::testing::Values(
        TornCase{"mid_line_in_the_buffer", numbered_lines(4000), 100'001, true, false},
        TornCase{"mid_line_of_a_direct_chunk",
                 {"head\n", std::string(Output::BUFFER_SIZE, 'd') + "\nshort\n", "tail\n"},
                 Output::BUFFER_SIZE / 2, true, false},
        TornCase{"mid_line_of_a_huge_line",
                 {"head\n", std::string(3 * Output::BUFFER_SIZE, 'h') + "\n"},
                 Output::BUFFER_SIZE / 2, false, false},
        TornCase{"file_moved_away", numbered_lines(4000), 100'001, true, true},
        TornCase{"file_with_huge_line_moved_away",
                 {"head\n", std::string(3 * Output::BUFFER_SIZE, 'h') + "\n"},
                 Output::BUFFER_SIZE / 2, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Plant { Symlink, DanglingSymlink, Fifo, FifoWithReader };

struct PlantCase {
    const char* name;
    Plant plant;
};

class WriterPlantedDay : public ::testing::TestWithParam<PlantCase> {};

// Tomorrow's name is known today: whatever is planted there is refused with
// one report, the day's lines stay in the previous day's file, and the new
// day starts once the plant is gone. A FIFO must not hold the writer up.
TEST_P(WriterPlantedDay, IsRefusedUntilRemoved) {
    TempDir tmp;
    const std::string day1 = tmp / "app_20240305.log";
    const std::string day2 = tmp / "app_20240306.log";
    const std::string secret = tmp / "secret";
    ferrant::testing::write_file(secret, "secret\n");
    int reader = -1;
    switch (GetParam().plant) {
        case Plant::Symlink: fs::create_symlink(secret, day2); break;
        case Plant::DanglingSymlink: fs::create_symlink(tmp / "nowhere", day2); break;
        case Plant::FifoWithReader:
        case Plant::Fifo: ASSERT_EQ(::mkfifo(day2.c_str(), 0600), 0); break;
    }
    if (GetParam().plant == Plant::FifoWithReader) {
        reader = ::open(day2.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
    }
    StderrCapture err;
    Harness w(tmp / "app.log");
    ASSERT_TRUE(w.write("a\n"));
    w.settle();
    w.clock().advance(+1);
    ASSERT_TRUE(w.write("b\n"));
    w.settle();
    w.clock().advance(0);
    ASSERT_TRUE(w.write("c\n"));
    w.settle();
    EXPECT_EQ(read_file(day1), "a\nb\nc\n");

    fs::remove(day2);
    w.clock().advance(0);
    ASSERT_TRUE(w.write("d\n"));
    w.settle();
    w.stop_and_join();
    EXPECT_EQ(read_file(day1), "a\nb\nc\n");
    EXPECT_EQ(read_file(day2), "d\n");
    EXPECT_EQ(read_file(secret), "secret\n");
    EXPECT_FALSE(fs::exists(tmp / "nowhere"));
    if (reader >= 0) {
        char byte;
        EXPECT_EQ(::read(reader, &byte, 1), 0);  // no data, and no writer left
        ::close(reader);
    }
    EXPECT_EQ(err.finish(), "error Not a regular file" + destination(day2) + resolved_line(0, day2));
}

INSTANTIATE_TEST_SUITE_P(
    Plants, WriterPlantedDay,
    ::testing::Values(PlantCase{"symlink", Plant::Symlink},
                      PlantCase{"dangling_symlink", Plant::DanglingSymlink},
                      PlantCase{"fifo", Plant::Fifo},
                      PlantCase{"fifo_with_reader", Plant::FifoWithReader}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
