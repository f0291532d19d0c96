#include "lib/writer_thread.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "lib/output.hpp"
#include "lib/rotate.hpp"
#include "test_support.hpp"

using namespace std::chrono_literals;
using ferrant::Action;
using ferrant::AckWait;
using ferrant::ByteBuffer;
using ferrant::Context;
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

std::string error_line(int code) {
    return "error " + std::string(std::strerror(code)) + " (os error " + std::to_string(code) +
           ")\n";
}

ferrant::Write chunk(const std::string& text) {
    ByteBuffer b;
    b.append(text);
    return ferrant::Write{std::move(b)};
}

// A writer thread on its own channel, with a clock the test moves. Timeouts
// are long unless asked for, so periodic checks run only when the test sends.
class Harness {
public:
    explicit Harness(std::optional<std::string> path,
                     std::chrono::nanoseconds idle_wait = std::chrono::hours(1))
        : clock_(std::make_shared<FakeClock>(kDay)) {
        auto [tx, rx] = make_channel<Action>(ferrant::WRITER_CHANNEL_CAPACITY);
        tx_ = std::move(tx);
        Context c{std::move(rx), std::move(path), kDay, clock_, idle_wait};
        thread_ = std::thread(ferrant::run_writer, std::move(c));
    }
    ~Harness() { join(); }

    bool send(Action a) { return !tx_.send(std::move(a)).has_value(); }
    bool write(const std::string& text) { return send(chunk(text)); }
    AckWait flush(std::chrono::milliseconds limit = 5000ms) {
        auto [ack, waiter] = make_ack();
        if (!send(ferrant::FlushAck{std::move(ack)})) return AckWait::Disconnected;
        return waiter.wait_for(limit);
    }
    // Returns once the thread has handled everything sent so far, including
    // the check that follows, and waits for the next action: a clock moved
    // now is first seen by the check after the next action.
    void settle() {
        ASSERT_EQ(flush(), AckWait::Signalled);
        ASSERT_TRUE(eventually([&] { return tx_.receiver_idle(); }));
    }
    void stop_and_join() {
        EXPECT_TRUE(send(ferrant::Stop{}));
        join();
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    FakeClock& clock() { return *clock_; }
    ferrant::Sender<Action>& sender() { return tx_; }

private:
    std::shared_ptr<FakeClock> clock_;
    ferrant::Sender<Action> tx_;
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

TEST(WriterThread, FlushAckComesOnlyAfterPrecedingWritesReachTheFile) {
    TempDir tmp;
    Harness w(tmp / "app.log");
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        ASSERT_TRUE(w.write(line));
        expected += line;
    }
    ASSERT_EQ(w.flush(), AckWait::Signalled);
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

TEST(WriterThread, DisconnectionWritesOutBufferedBytes) {
    TempDir tmp;
    StderrCapture err;
    {
        Harness w(tmp / "app.log");
        ASSERT_TRUE(w.write("last words\n"));
        { auto gone = std::move(w.sender()); }
        w.join();
    }
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "last words\n");
    EXPECT_EQ(err.finish(), "");
}

// The action that triggers a check is written before the check switches files.
TEST(WriterThread, SwitchesFilesWhenTheDateMovesEitherWay) {
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
        w.settle();
        // Less than a second later: no check, however the date reads.
        w.clock().advance(+1, 500'000'000);
        ASSERT_TRUE(w.write("f\n"));
        w.stop_and_join();
    }
    EXPECT_EQ(read_file(day1), "a\nb\ne\nf\n");
    EXPECT_EQ(read_file(day2), "c\nd\n");
}

TEST(WriterThread, MonotonicClockGoingBackDoesNotTriggerACheck) {
    TempDir tmp;
    Harness w(tmp / "app.log");
    w.settle();
    w.clock().advance(+1, static_cast<std::uint64_t>(-2'000'000'000));
    ASSERT_TRUE(w.write("a\n"));
    ASSERT_EQ(w.flush(), AckWait::Signalled);
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

TEST(WriterThread, UnopenablePathReportsOneErrorLineAndRefusesSends) {
    TempDir tmp;
    ferrant::testing::write_file(tmp / "blocker", "");
    StderrCapture err;
    Harness w(tmp / "blocker/app.log");
    w.join();
    EXPECT_FALSE(w.write("lost\n"));
    EXPECT_EQ(w.flush(), AckWait::Disconnected);
    EXPECT_EQ(err.finish(), error_line(EEXIST));
}

TEST(WriterThread, FailingFlushDisconnectsTheWaiterAndReportsOnce) {
    TempDir tmp;
    fs::create_symlink("/dev/full", tmp / "app_20240305.log");
    StderrCapture err;
    Harness w(tmp / "app.log");
    ASSERT_TRUE(w.write("doomed\n"));
    EXPECT_EQ(w.flush(), AckWait::Disconnected);
    w.join();
    EXPECT_FALSE(w.write("lost\n"));
    EXPECT_EQ(err.finish(), error_line(ENOSPC));
}

TEST(WriterThread, FailingOpenAtDateChangeKeepsOldFileData) {
    TempDir tmp;
    fs::create_directory(tmp / "app_20240306.log");
    StderrCapture err;
    Harness w(tmp / "app.log");
    ASSERT_TRUE(w.write("before\n"));
    w.settle();
    w.clock().advance(+1);
    ASSERT_TRUE(w.write("still old day\n"));
    w.join();
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "before\nstill old day\n");
    EXPECT_EQ(err.finish(), error_line(EISDIR));
}

}  // namespace
