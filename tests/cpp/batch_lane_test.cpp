#include "lib/batch_lane.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using ferrant::BatchLane;
using ferrant::ByteBuffer;
using ferrant::SendStatus;

using ferrant::testing::LockGate;

namespace {

ByteBuffer batch(const std::string& text, std::size_t capacity = 64) {
    ByteBuffer b(capacity);
    b.append(text);
    return b;
}

// Every batch queued, as text with a "!" for a prompt one; written out at
// once, as far as the lane's room goes.
std::vector<std::string> take(BatchLane& lane) {
    std::vector<std::string> got;
    lane.drain([&](std::string_view chunk, bool prompt) { got.emplace_back(std::string(chunk) + (prompt ? "!" : "")); });
    lane.release_bytes(lane.taken_bytes());
    return got;
}

BatchLane::PushOptions no_wait() {
    BatchLane::PushOptions o;
    o.never_wait = true;
    return o;
}

}  // namespace

TEST(BatchLane, BatchesArriveInOrderWithTheirPromptFlag) {
    BatchLane lane(1 << 20);
    for (const char* text : {"a\n", "b\n", "c\n"}) {
        ByteBuffer b = batch(text);
        BatchLane::PushOptions o;
        o.prompt = text[0] == 'b';
        ASSERT_EQ(lane.push(b, o), SendStatus::Sent);
        EXPECT_EQ(b.capacity(), 0u);
    }
    EXPECT_EQ(lane.queued(), 3u);
    EXPECT_EQ(take(lane), (std::vector<std::string>{"a\n", "b\n!", "c\n"}));
    EXPECT_EQ(lane.queued(), 0u);
    EXPECT_TRUE(take(lane).empty());
}

TEST(BatchLane, EmptiedBuffersComeBackAsSpares) {
    BatchLane lane(1 << 20);
    ByteBuffer small = batch("x\n", 4096);
    ByteBuffer huge = batch("y\n", 1 << 20);
    ASSERT_EQ(lane.push(small, {}), SendStatus::Sent);
    ASSERT_EQ(lane.push(huge, {}), SendStatus::Sent);
    take(lane);
    ByteBuffer next = batch("z\n");
    ByteBuffer spare;
    ASSERT_EQ(lane.push(next, {}, &spare), SendStatus::Sent);
    EXPECT_EQ(spare.capacity(), 4096u);
    EXPECT_TRUE(spare.empty());
    // The huge one was freed, not kept: nothing more comes back.
    ByteBuffer again = batch("w\n");
    ByteBuffer none;
    ASSERT_EQ(lane.push(again, {}, &none), SendStatus::Sent);
    EXPECT_EQ(none.capacity(), 0u);
}

TEST(BatchLane, QueuedBytesBoundTheLaneButAnEmptyLaneTakesAnyBatch) {
    BatchLane lane(10);
    ByteBuffer big = batch(std::string(25, 'x'));
    ASSERT_EQ(lane.push(big, no_wait()), SendStatus::Sent);
    ByteBuffer next = batch("yy");
    EXPECT_EQ(lane.push(next, no_wait()), SendStatus::Full);
    EXPECT_EQ(next.view(), "yy");  // left as it was
    take(lane);
    ASSERT_EQ(lane.push(next, no_wait()), SendStatus::Sent);
    ByteBuffer third = batch(std::string(7, 'z'));
    EXPECT_EQ(lane.push(third, no_wait()), SendStatus::Sent);  // 2 bytes queued, under 10
    ByteBuffer fourth = batch("w");
    EXPECT_EQ(lane.push(fourth, no_wait()), SendStatus::Sent);  // 9 queued, under 10
    ByteBuffer fifth = batch("v");
    EXPECT_EQ(lane.push(fifth, no_wait()), SendStatus::Full);  // 10 queued
    EXPECT_EQ(take(lane), (std::vector<std::string>{"yy", "zzzzzzz", "w"}));
    EXPECT_EQ(lane.push(fifth, no_wait()), SendStatus::Sent);
}

// Bytes the writer took but has not written yet still count: room opens as
// they leave it, piece by piece.
TEST(BatchLane, RoomOpensAsTheWriterReleasesBytesNotAsItTakesThem) {
    BatchLane lane(10);
    ByteBuffer first = batch(std::string(8, 'a'));
    ByteBuffer second = batch("bb");
    ASSERT_EQ(lane.push(first, no_wait()), SendStatus::Sent);
    ASSERT_EQ(lane.push(second, no_wait()), SendStatus::Sent);
    lane.drain([](std::string_view, bool) {});
    EXPECT_EQ(lane.taken_bytes(), 10u);
    EXPECT_EQ(lane.unwritten_bytes(), 10u);
    ByteBuffer third = batch("c");
    // Empty of batches, but full by bytes held: an empty lane still takes one.
    ASSERT_EQ(lane.push(third, no_wait()), SendStatus::Sent);
    ByteBuffer fourth = batch("d");
    EXPECT_EQ(lane.push(fourth, no_wait()), SendStatus::Full);
    lane.release_bytes(4);
    EXPECT_EQ(lane.unwritten_bytes(), 7u);
    EXPECT_EQ(lane.push(fourth, no_wait()), SendStatus::Sent);
    // Never backwards: a smaller figure later changes nothing.
    lane.release_bytes(2);
    EXPECT_EQ(lane.unwritten_bytes(), 8u);
}

TEST(BatchLane, SlotsBoundTheLane) {
    BatchLane lane(SIZE_MAX);
    for (std::size_t i = 0; i < BatchLane::kSlots; ++i) {
        ByteBuffer b = batch("x");
        ASSERT_EQ(lane.push(b, no_wait()), SendStatus::Sent) << i;
    }
    ByteBuffer over = batch("y");
    EXPECT_EQ(lane.push(over, no_wait()), SendStatus::Full);
    EXPECT_EQ(take(lane).size(), BatchLane::kSlots);
    EXPECT_EQ(lane.push(over, no_wait()), SendStatus::Sent);
}

TEST(BatchLane, DeadlineGivesUpOnAFullLane) {
    BatchLane lane(1);
    ByteBuffer first = batch("a");
    ASSERT_EQ(lane.push(first, {}), SendStatus::Sent);
    BatchLane::PushOptions o;
    o.deadline = ferrant::deadline_in(30ms);
    ByteBuffer second = batch("b");
    EXPECT_EQ(lane.push(second, o), SendStatus::Full);
    EXPECT_GE(ferrant::WaitClock::now(), *o.deadline);
    EXPECT_EQ(second.view(), "b");
}

TEST(BatchLane, WaitingSenderGivesUpItsLockAndGetsRoom) {
    BatchLane lane(1);
    ByteBuffer first = batch("a");
    ASSERT_EQ(lane.push(first, {}), SendStatus::Sent);
    std::mutex interpreter;
    std::atomic<bool> sent{false};
    LockGate gate(interpreter);
    std::thread sender([&] {
        std::lock_guard hold(interpreter);
        BatchLane::PushOptions o;
        o.gate = &gate;
        ByteBuffer second = batch("b");
        EXPECT_EQ(lane.push(second, o), SendStatus::Sent);
        sent = true;
    });
    // The sender waits without the lock: taking it here proves it.
    while (gate.left == 0) std::this_thread::sleep_for(1ms);
    { std::lock_guard taken(interpreter); }
    EXPECT_FALSE(sent);
    EXPECT_EQ(take(lane), std::vector<std::string>{"a"});
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(gate.left, 1);
    EXPECT_EQ(gate.entered, 1);
    EXPECT_EQ(take(lane), std::vector<std::string>{"b"});
}

// A waiting sender looks at its gate about every 0.1 s: the caller's lock is
// taken for it, and a refusal (a signal handler raised) ends the wait with
// the batch left as it was.
TEST(BatchLane, WaitingSenderPollsItsGateAndStopsWhenItRefuses) {
    BatchLane lane(1);
    ByteBuffer first = batch("a");
    ASSERT_EQ(lane.push(first, {}), SendStatus::Sent);
    std::mutex interpreter;
    LockGate gate(interpreter);
    gate.refuse_after = 3;
    std::atomic<int> status{-1};
    const auto start = ferrant::WaitClock::now();
    std::thread sender([&] {
        std::lock_guard hold(interpreter);
        BatchLane::PushOptions o;
        o.gate = &gate;
        ByteBuffer second = batch("b");
        status = static_cast<int>(lane.push(second, o));
        EXPECT_EQ(second.view(), "b");
    });
    sender.join();
    const auto waited = ferrant::WaitClock::now() - start;
    EXPECT_EQ(status, static_cast<int>(SendStatus::Interrupted));
    EXPECT_EQ(gate.polled, 3);
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 2s);
    EXPECT_EQ(gate.left, gate.entered);
    EXPECT_EQ(take(lane), std::vector<std::string>{"a"});
}

// A writer with nothing to do is woken by the first batch; one that holds
// bytes and waits for its own deadline costs producers no wake-up, and only a
// ring (a request) ends its wait early.
struct WriterWait {
    bool wake_on_batch;
    bool ring;  // else a push
    bool ends_early;
};

class LaneWriterWait : public ::testing::TestWithParam<WriterWait> {};

TEST_P(LaneWriterWait, EndsAsItsKindSays) {
    const WriterWait c = GetParam();
    BatchLane lane;
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] { lane.wait_for_work(ferrant::deadline_in(c.ends_early ? 10s : 300ms), c.wake_on_batch); });
    if (c.wake_on_batch)
        EXPECT_TRUE(ferrant::testing::eventually([&] { return lane.writer_asleep(); }));
    else
        std::this_thread::sleep_for(20ms);
    if (c.ring) {
        lane.ring();
    } else {
        ByteBuffer b = batch("a");
        EXPECT_EQ(lane.push(b, {}), SendStatus::Sent);
    }
    writer.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    if (c.ends_early)
        EXPECT_LT(waited, 5s);
    else
        EXPECT_GE(waited, 300ms);
    EXPECT_FALSE(lane.writer_asleep());
}

INSTANTIATE_TEST_SUITE_P(BatchLane, LaneWriterWait,
                         ::testing::Values(WriterWait{true, false, true}, WriterWait{false, false, false},
                                           WriterWait{false, true, true}, WriterWait{true, true, true}));

TEST(BatchLane, CloseFailsWaitingAndLaterSenders) {
    BatchLane lane(1);
    ByteBuffer first = batch("a");
    ASSERT_EQ(lane.push(first, {}), SendStatus::Sent);
    std::atomic<int> status{-1};
    std::thread sender([&] {
        ByteBuffer second = batch("b");
        status = static_cast<int>(lane.push(second, {}));
        EXPECT_EQ(second.view(), "b");
    });
    std::this_thread::sleep_for(20ms);
    lane.close();
    sender.join();
    EXPECT_EQ(status, static_cast<int>(SendStatus::Disconnected));
    ByteBuffer later = batch("c");
    EXPECT_EQ(lane.push(later, no_wait()), SendStatus::Disconnected);
    EXPECT_EQ(later.view(), "c");
}

TEST(BatchLane, ManySendersOneWriterLoseAndReorderNothing) {
    constexpr int kSenders = 4;
    constexpr int kBatches = 3000;
    BatchLane lane(4096);  // small: senders keep waiting for room
    std::atomic<int> done{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            ByteBuffer spare;
            for (int i = 0; i < kBatches; ++i) {
                ByteBuffer b = std::move(spare);
                b.clear();
                b.append(std::to_string(s) + " " + std::to_string(i) + "\n");
                spare = ByteBuffer();
                ASSERT_EQ(lane.push(b, {}, &spare), SendStatus::Sent);
            }
            ++done;
        });
    }
    std::vector<int> next(kSenders, 0);
    int total = 0;
    const auto check = [&](std::string_view chunk, bool) {
        const std::string text(chunk);
        const int s = std::stoi(text);
        const int i = std::stoi(text.substr(text.find(' ') + 1));
        EXPECT_EQ(i, next[s]) << "sender " << s;
        next[s] = i + 1;
        ++total;
    };
    while (done < kSenders) {
        lane.drain(check);
        lane.release_bytes(lane.taken_bytes());
    }
    for (auto& t : senders) t.join();
    lane.drain(check);
    EXPECT_EQ(total, kSenders * kBatches);
}

// The writer takes the senders' lock to sleep and wake; a sender that must
// not wait meanwhile still finds the room there is.
TEST(BatchLane, NeverWaitSenderIsNotRefusedByTheWritersLock) {
    BatchLane lane(SIZE_MAX);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            lane.wait_for_work(ferrant::deadline_in(10us), false);
            lane.drain([](std::string_view, bool) {});
            lane.release_bytes(lane.taken_bytes());
        }
    });
    std::thread ringer([&] {
        while (!stop.load()) lane.ring();
    });
    int refused = 0;
    for (int i = 0; i < 20000; ++i) {
        ByteBuffer b = batch("x\n");
        if (lane.push(b, no_wait()) != SendStatus::Sent) ++refused;
        // Never more than a few queued, far from the slot bound.
        while (lane.queued() > 8) std::this_thread::yield();
    }
    stop = true;
    ringer.join();
    writer.join();
    EXPECT_EQ(refused, 0);
}
