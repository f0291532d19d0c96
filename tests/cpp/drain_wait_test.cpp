#include "lib/stall_watch.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lib/dated_file.hpp"
#include "lib/shared_writer.hpp"
#include "test_support.hpp"

using namespace std::chrono_literals;
using ferrant::Deadline;
using ferrant::DrainSample;
using ferrant::FlushOutcome;
using ferrant::SharedWriter;
using ferrant::StallWatch;
using ferrant::WaitBound;
using ferrant::testing::eventually;
using ferrant::testing::read_file;
using ferrant::testing::StderrCapture;
using ferrant::testing::TempDir;

namespace {

struct SecondLook {
    const char* name;
    DrainSample first;
    DrainSample second;
    bool progressed;
};

class StallWatchLooks : public ::testing::TestWithParam<SecondLook> {};

TEST_P(StallWatchLooks, ProgressIsBytesLeavingOrTheReaderTaking) {
    const SecondLook& p = GetParam();
    StallWatch watch;
    const Deadline t0 = ferrant::WaitClock::now();
    const Deadline t1 = t0 + 1s;
    EXPECT_EQ(watch.look(p.first, t0), t0);  // the first look counts
    EXPECT_EQ(watch.look(p.second, t1), p.progressed ? t1 : t0);
    // A third look alike moves nothing.
    EXPECT_EQ(watch.look(p.second, t1 + 1s), p.progressed ? t1 : t0);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, StallWatchLooks,
    ::testing::Values(
        SecondLook{"NothingMoved", {100, 4096}, {100, 4096}, false},
        SecondLook{"BytesLeftTheWriter", {100, std::nullopt}, {4196, std::nullopt}, true},
        // A new lane after a fork counts from 0 again.
        SecondLook{"LaneStartedAgain", {5000, std::nullopt}, {10, std::nullopt}, true},
        // The writer is blocked in one write(2) while the reader empties the pipe.
        SecondLook{"ReaderTookFromTheQueue", {100, 4096}, {100, 3840}, true},
        // Only the writer can fill the queue, and that shows in `left`.
        SecondLook{"QueueGrewAlone", {100, 1000}, {100, 3000}, false},
        SecondLook{"QueueAppeared", {100, std::nullopt}, {100, 10}, false},
        SecondLook{"QueueVanished", {100, 50}, {100, std::nullopt}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StallWatch, ProgressIsSeenProcessWide) {
    StallWatch watch;
    const Deadline later = ferrant::WaitClock::now() + 3600s;
    (void)watch.look({1, std::nullopt}, later);
    EXPECT_EQ(ferrant::latest_progress(), later);
    (void)watch.look({1, std::nullopt}, later + 1s);  // no progress: no news
    EXPECT_EQ(ferrant::latest_progress(), later);
}

TEST(QueuedForReader, PipeSocketAndFile) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::write(p[1], std::string(1000, 'x').data(), 1000), 1000);
    EXPECT_EQ(ferrant::queued_for_reader(p[1]), 1000u);  // the write end sees it
    char buf[300];
    ASSERT_EQ(::read(p[0], buf, sizeof buf), 300);
    EXPECT_EQ(ferrant::queued_for_reader(p[1]), 700u);
    ::close(p[0]);
    ::close(p[1]);

    int s[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
    ASSERT_EQ(::write(s[0], "abc\n", 4), 4);
    const std::optional<std::uint64_t> unsent = ferrant::queued_for_reader(s[0]);
    ASSERT_TRUE(unsent.has_value());
    EXPECT_GT(*unsent, 0u);
    ::close(s[0]);
    ::close(s[1]);

    TempDir tmp;
    const int file = ::open((tmp / "f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    EXPECT_FALSE(ferrant::queued_for_reader(file).has_value());
    ::close(file);
    EXPECT_FALSE(ferrant::queued_for_reader(-1).has_value());
}

// Descriptor 1 on a one-page pipe whose other end the test reads, for a
// writer made meanwhile. Nothing is printed while it is in place: a full
// pipe would hold the test up.
class StdoutPipe {
public:
    StdoutPipe() {
        std::fflush(stdout);
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        (void)::fcntl(p[1], F_SETPIPE_SZ, 4096);
        saved_ = ::dup(STDOUT_FILENO);
        ::dup2(p[1], STDOUT_FILENO);
        ::close(p[1]);
        read_end_ = p[0];
    }
    ~StdoutPipe() {
        restore();
        ::close(read_end_);
    }
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    // Reads `chunk` bytes every `every` until `total` bytes have come,
    // counting them in `so_far`.
    std::string read_slowly(std::size_t total, std::size_t chunk, std::chrono::milliseconds every,
                            std::atomic<std::size_t>* so_far = nullptr) {
        std::string got;
        std::vector<char> buf(chunk);
        while (got.size() < total) {
            std::this_thread::sleep_for(every);
            const ssize_t n = ::read(read_end_, buf.data(), buf.size());
            if (n <= 0) break;
            got.append(buf.data(), static_cast<std::size_t>(n));
            if (so_far) so_far->store(got.size());
        }
        return got;
    }

private:
    int saved_ = -1;
    int read_end_ = -1;
};

std::string lines(int count, char fill) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::to_string(i) + std::string(95, fill) + "\n";
    return text;
}

bool send(SharedWriter& writer, const std::string& text) {
    ferrant::ByteBuffer batch;
    batch.append(text);
    return writer.send_batch(batch) == ferrant::SendStatus::Sent;
}

struct SlowReader {
    int lines;
    std::size_t chunk;
    std::chrono::milliseconds every;
    const char* name;
};

class DrainingFlush : public ::testing::TestWithParam<SlowReader> {};

// The reader takes everything, but over several stall times: a fixed bound
// of one stall time gives up, a wait that goes by progress gets every line.
TEST_P(DrainingFlush, LastsWhileTheReaderTakesBytes) {
    const SlowReader& reader = GetParam();
    const std::string text = lines(reader.lines, 'd');
    FlushOutcome fixed = FlushOutcome::Written, draining = FlushOutcome::TimedOut;
    std::string got;
    {
        StdoutPipe out;
        auto started = SharedWriter::start(std::nullopt, ferrant::current_local_date(), {});
        ASSERT_TRUE(started.ok());
        std::shared_ptr<SharedWriter> writer = started.take();
        ASSERT_TRUE(send(*writer, text));
        std::thread read([&] { got = out.read_slowly(text.size(), reader.chunk, reader.every); });
        fixed = writer->flush(ferrant::deadline_in(300ms));
        draining = writer->flush(WaitBound::while_draining(300ms));
        read.join();
        writer->stop(ferrant::deadline_in(5s));
        out.restore();
    }
    EXPECT_EQ(fixed, FlushOutcome::TimedOut);
    EXPECT_EQ(draining, FlushOutcome::Written);
    EXPECT_EQ(got, text);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, DrainingFlush,
    ::testing::Values(
        // A write(2) of whole pages returns every 40 ms or so.
        SlowReader{1000, 4096, 40ms, "PageAtATime"},
        // A page empties only every ~700 ms, more than the stall time: the
        // writer sits in one write(2) meanwhile, and the pipe's shrinking
        // queue is what shows the reader taking.
        SlowReader{120, 256, 45ms, "FewBytesAtATime"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DrainingWait, StalledDestinationEndsAfterTheStallTimeAndStaysJudged) {
    TempDir tmp;
    const std::string text = lines(200, 's');
    std::vector<FlushOutcome> outcomes;
    bool stopped = true;
    std::optional<Deadline> again;
    std::string report;
    {
        StdoutPipe out;
        auto to_stdout = SharedWriter::start(std::nullopt, ferrant::current_local_date(), {});
        auto to_file = SharedWriter::start(tmp / "f.log", ferrant::current_local_date(), {});
        ASSERT_TRUE(to_stdout.ok() && to_file.ok());
        const std::vector<std::shared_ptr<SharedWriter>> writers{to_stdout.take(), to_file.take()};
        ASSERT_TRUE(send(*writers[0], text));
        ASSERT_TRUE(send(*writers[1], text));
        StderrCapture err;
        const WaitBound bound = WaitBound::while_draining(200ms);
        outcomes = ferrant::flush_all(writers, bound);
        // Judged stalled once: the next wait gives up at once.
        again = writers[0]->wait_step(bound);
        stopped = writers[0]->stop(bound);
        report = err.finish();
        // Let the detached thread write the rest and end.
        std::thread drain([&] { (void)out.read_slowly(text.size(), 1 << 16, 1ms); });
        EXPECT_TRUE(eventually([&] { return writers[0]->unwritten_bytes() == 0; }));
        drain.join();
        writers[1]->stop(ferrant::deadline_in(5s));
        std::this_thread::sleep_for(50ms);
        out.restore();
    }
    EXPECT_EQ(outcomes, (std::vector<FlushOutcome>{FlushOutcome::TimedOut, FlushOutcome::Written}));
    EXPECT_FALSE(again.has_value());
    EXPECT_FALSE(stopped);
    EXPECT_EQ(report.rfind("error writer did not finish in time: ", 0), 0u) << report;
    EXPECT_NE(report.find(" bytes not written for standard output\n"), std::string::npos);
    EXPECT_EQ(read_file(ferrant::dated_path(tmp / "f.log", ferrant::current_local_date())), text);
}

// A release gives up on a slow reader after its fixed wait, without a word:
// the thread writes on, and the exit's wait for it gets every line.
TEST(LeftRunning, ExitWaitsForAThreadAStopLeftToASlowReader) {
    const std::string text = lines(1000, 'r');
    bool stopped = true;
    std::string got, report;
    std::atomic<std::size_t> so_far{0};
    std::size_t read_by_return = 0;
    {
        StdoutPipe out;
        auto started = SharedWriter::start(std::nullopt, ferrant::current_local_date(), {});
        ASSERT_TRUE(started.ok());
        std::shared_ptr<SharedWriter> writer = started.take();
        ASSERT_TRUE(send(*writer, text));
        std::thread read([&] { got = out.read_slowly(text.size(), 4096, 40ms, &so_far); });
        StderrCapture err;
        stopped = writer->stop(ferrant::deadline_in(200ms));
        writer.reset();
        ferrant::finish_left_running(WaitBound::while_draining(300ms));
        read_by_return = so_far.load();
        report = err.finish();
        read.join();
        out.restore();
    }
    EXPECT_FALSE(stopped);
    EXPECT_EQ(report, "");
    // The thread had ended: all was read but what the one-page pipe holds
    // and a page the reader may have in hand, not yet counted.
    EXPECT_GE(read_by_return + 2 * 4096, text.size());
    EXPECT_EQ(got, text);
}

TEST(LeftRunning, StalledThreadIsReportedOnceAtTheExit) {
    const std::string text = lines(200, 'q');
    std::string at_stop, at_exit;
    {
        StdoutPipe out;
        auto started = SharedWriter::start(std::nullopt, ferrant::current_local_date(), {});
        ASSERT_TRUE(started.ok());
        std::shared_ptr<SharedWriter> writer = started.take();
        ASSERT_TRUE(send(*writer, text));
        {
            StderrCapture err;
            // Shorter than WRITER_WAIT: too soon to call it a stall.
            (void)writer->stop(ferrant::deadline_in(200ms));
            writer.reset();
            at_stop = err.finish();
        }
        {
            StderrCapture err;
            ferrant::finish_left_running(WaitBound::while_draining(200ms));
            ferrant::finish_left_running(WaitBound::while_draining(200ms));
            at_exit = err.finish();
        }
        // The thread writes the rest and ends.
        (void)out.read_slowly(text.size(), 1 << 16, 1ms);
        std::this_thread::sleep_for(50ms);
        out.restore();
    }
    EXPECT_EQ(at_stop, "");
    EXPECT_EQ(at_exit.rfind("error writer did not finish in time: ", 0), 0u) << at_exit;
    EXPECT_EQ(at_exit.find('\n'), at_exit.size() - 1) << at_exit;  // one line
    EXPECT_NE(at_exit.find(" bytes not written for standard output"), std::string::npos);
}

TEST(WriterWait, FixedBeforeTheExitDrainingAfter) {
    ASSERT_EQ(ferrant::EXIT_STALL_NS.load(), 0);
    EXPECT_TRUE(ferrant::writer_wait().deadline.has_value());
    ferrant::begin_exit(2s);
    ferrant::begin_exit(7s);  // the first call decides
    const WaitBound during = ferrant::writer_wait();
    ferrant::EXIT_STALL_NS.store(0);
    EXPECT_FALSE(during.deadline.has_value());
    EXPECT_EQ(during.stall, 2s);
}

}  // namespace
