#include "lib/channel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using ferrant::make_channel;
using ferrant::RecvStatus;

namespace {

ferrant::Deadline in(ferrant::WaitClock::duration d) { return ferrant::deadline_in(d); }

int recv_int(ferrant::Receiver<int>& rx) {
    auto got = rx.recv_timeout(5s);
    EXPECT_EQ(got.status, RecvStatus::Value);
    return got.value.value_or(-1);
}

}  // namespace

TEST(Channel, FifoAcrossRingWrapAround) {
    auto [tx, rx] = make_channel<int>(3);
    int next_in = 0, next_out = 0;
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 2; ++i) ASSERT_FALSE(tx.send(next_in++));
        for (int i = 0; i < 2; ++i) EXPECT_EQ(recv_int(rx), next_out++);
    }
}

TEST(Channel, FullChannelBlocksSenderUntilReceive) {
    auto [tx, rx] = make_channel<int>(2);
    ASSERT_FALSE(tx.send(1));
    ASSERT_FALSE(tx.send(2));
    std::atomic<bool> sent{false};
    std::thread t([&, tx = tx]() mutable {
        EXPECT_FALSE(tx.send(3));
        sent = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(sent.load());
    EXPECT_EQ(recv_int(rx), 1);
    t.join();
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(recv_int(rx), 2);
    EXPECT_EQ(recv_int(rx), 3);
}

TEST(Channel, SendAfterReceiverGoneHandsValueBack) {
    auto [tx, rx] = make_channel<std::unique_ptr<int>>(4);
    EXPECT_FALSE(tx.receiver_gone());
    rx.close();
    EXPECT_TRUE(tx.receiver_gone());
    auto value = std::make_unique<int>(7);
    int* raw = value.get();
    auto back = tx.send(std::move(value));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->get(), raw);
}

TEST(Channel, BlockedSenderFailsWhenReceiverGoes) {
    auto [tx, rx] = make_channel<std::unique_ptr<int>>(1);
    ASSERT_FALSE(tx.send(std::make_unique<int>(1)));
    auto value = std::make_unique<int>(2);
    int* raw = value.get();
    std::optional<std::unique_ptr<int>> back;
    std::thread t([&, tx = tx]() mutable { back = tx.send(std::move(value)); });
    std::this_thread::sleep_for(50ms);
    rx.close();
    t.join();
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->get(), raw);
}

TEST(Channel, ReceiveTimesOutOnEmptyChannel) {
    auto [tx, rx] = make_channel<int>(4);
    const auto start = std::chrono::steady_clock::now();
    auto got = rx.recv_timeout(60ms);
    EXPECT_EQ(got.status, RecvStatus::Timeout);
    EXPECT_FALSE(got.value.has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
}

TEST(Channel, DisconnectsOnlyAfterEverySenderGoneAndQueueDrained) {
    auto [tx, rx] = make_channel<int>(4);
    auto copy = tx;
    ASSERT_FALSE(tx.send(1));
    { auto gone = std::move(tx); }
    EXPECT_EQ(recv_int(rx), 1);
    EXPECT_EQ(rx.recv_timeout(10ms).status, RecvStatus::Timeout);
    ASSERT_FALSE(copy.send(2));
    { auto gone = std::move(copy); }
    EXPECT_EQ(recv_int(rx), 2);
    EXPECT_EQ(rx.recv_timeout(10ms).status, RecvStatus::Disconnected);
}

TEST(Channel, WaitingReceiverWakesWhenLastSenderGoes) {
    auto [tx, rx] = make_channel<int>(4);
    RecvStatus status = RecvStatus::Value;
    std::chrono::steady_clock::duration waited{};
    std::thread t([&, rx = std::move(rx)]() mutable {
        const auto start = std::chrono::steady_clock::now();
        status = rx.recv_timeout(10s).status;
        waited = std::chrono::steady_clock::now() - start;
    });
    std::this_thread::sleep_for(50ms);
    { auto gone = std::move(tx); }
    t.join();
    EXPECT_EQ(status, RecvStatus::Disconnected);
    EXPECT_LT(waited, 5s);
}

TEST(Channel, ManySendersKeepTheirOwnOrderAndLoseNothing) {
    constexpr int kSenders = 8;
    constexpr int kEach = 5000;
    auto [tx, rx] = make_channel<std::pair<int, int>>(16);
    std::latch start(kSenders);
    std::vector<std::thread> threads;
    for (int s = 0; s < kSenders; ++s) {
        threads.emplace_back([&start, s, tx = tx]() mutable {
            start.arrive_and_wait();
            for (int i = 0; i < kEach; ++i) EXPECT_FALSE(tx.send({s, i}));
        });
    }
    { auto gone = std::move(tx); }
    std::vector<int> next(kSenders, 0);
    int total = 0;
    for (;;) {
        auto got = rx.recv_timeout(5s);
        if (got.status != RecvStatus::Value) {
            EXPECT_EQ(got.status, RecvStatus::Disconnected);
            break;
        }
        auto [s, i] = *got.value;
        EXPECT_EQ(i, next[s]) << "sender " << s;
        next[s] = i + 1;
        ++total;
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(total, kSenders * kEach);
}

// One receive takes what is queued, oldest first, up to the limit asked for;
// the rest stays queued.
TEST(Channel, ReceiveAllTakesTheQueueInOrderUpToTheLimit) {
    auto [tx, rx] = make_channel<std::size_t>(4);
    for (std::size_t v : {10, 20, 30, 40}) EXPECT_FALSE(tx.send(std::size_t{v}).has_value());
    std::vector<std::size_t> got;
    ASSERT_EQ(rx.recv_all(in(1s), got, 3), RecvStatus::Value);
    EXPECT_EQ(got, (std::vector<std::size_t>{10, 20, 30}));
    EXPECT_FALSE(tx.send(std::size_t{60}).has_value());
    ASSERT_EQ(rx.recv_all(in(1s), got), RecvStatus::Value);
    EXPECT_EQ(got, (std::vector<std::size_t>{10, 20, 30, 40, 60}));
    EXPECT_EQ(rx.recv_all(in(20ms), got), RecvStatus::Timeout);
}

// A full channel makes a sender wait until its deadline, then gives the
// value back; room before the deadline queues it.
TEST(Channel, DeadlineGivesUpOnAFullChannel) {
    auto [tx, rx] = make_channel<int>(1);
    ASSERT_FALSE(tx.send(1));
    const auto start = ferrant::WaitClock::now();
    auto late = tx.push(2, in(100ms));
    EXPECT_GE(ferrant::WaitClock::now() - start, 90ms);
    EXPECT_EQ(late.status, ferrant::SendStatus::Full);
    EXPECT_EQ(late.value, 2);
    std::thread receiver([&] {
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(rx.recv_timeout(1s).value, 1);
    });
    EXPECT_EQ(tx.push(3, in(5s)).status, ferrant::SendStatus::Sent);
    receiver.join();
    EXPECT_EQ(rx.recv_timeout(1s).value, 3);
    rx.close();
    EXPECT_EQ(tx.push(4, in(1s)).status, ferrant::SendStatus::Disconnected);
}

TEST(Channel, ReceiveAllReportsTheLastSenderGone) {
    auto [tx, rx] = make_channel<int>(4);
    EXPECT_FALSE(tx.send(7).has_value());
    tx = ferrant::Sender<int>();
    std::vector<int> got;
    ASSERT_EQ(rx.recv_all(in(1s), got), RecvStatus::Value);
    EXPECT_EQ(got, std::vector<int>{7});
    EXPECT_EQ(rx.recv_all(in(1s), got), RecvStatus::Disconnected);
}

TEST(Channel, ReceiveEndsWhenReadyAndAWakeArrives) {
    auto [tx, rx] = make_channel<int>(4);
    std::atomic<bool> elsewhere{false};
    std::thread other([&] {
        std::this_thread::sleep_for(20ms);
        elsewhere = true;
        tx.wake();
    });
    std::vector<int> out;
    // Without the wake the receive would sleep its full minute.
    EXPECT_EQ(rx.recv_all(in(60s), out, SIZE_MAX, [&] { return elsewhere.load(); }),
              RecvStatus::Value);
    EXPECT_TRUE(out.empty());
    other.join();
    // A queued value is still taken first.
    ASSERT_FALSE(tx.send(7));
    EXPECT_EQ(rx.recv_all(in(1s), out, SIZE_MAX, [] { return true; }), RecvStatus::Value);
    EXPECT_EQ(out, std::vector<int>{7});
}
