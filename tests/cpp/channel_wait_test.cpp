// The ways a send may wait for room: not at all, until a deadline, or with
// the caller's own lock given up through a gate.
#include "lib/channel.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using ferrant::make_channel;
using ferrant::RecvStatus;
using ferrant::SendOptions;
using ferrant::SendStatus;

using ferrant::testing::LockGate;

TEST(ChannelWait, NeverWaitHandsTheValueBackWhenFull) {
    auto [tx, rx] = make_channel<int>(1);
    ASSERT_FALSE(tx.send(1));
    SendOptions<int> options;
    options.never_wait = true;
    auto full = tx.push(2, options);
    EXPECT_EQ(full.status, SendStatus::Full);
    EXPECT_EQ(full.value, 2);
    EXPECT_EQ(rx.recv_timeout(1s).value, 1);
    auto sent = tx.push(3, options);
    EXPECT_EQ(sent.status, SendStatus::Sent);
    EXPECT_FALSE(sent.value);
    rx.close();
    EXPECT_EQ(tx.push(4, options).status, SendStatus::Disconnected);
}

TEST(ChannelWait, DeadlineGivesUpOnAFullChannel) {
    auto [tx, rx] = make_channel<int>(1);
    ASSERT_FALSE(tx.send(1));
    SendOptions<int> options;
    options.deadline = std::chrono::steady_clock::now() + 100ms;
    const auto start = std::chrono::steady_clock::now();
    auto late = tx.push(2, options);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_EQ(late.status, SendStatus::Full);
    EXPECT_EQ(late.value, 2);
    // Room before the deadline: queued.
    options.deadline = std::chrono::steady_clock::now() + 5s;
    std::thread receiver([&] {
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(rx.recv_timeout(1s).value, 1);
    });
    EXPECT_EQ(tx.push(3, options).status, SendStatus::Sent);
    receiver.join();
    EXPECT_EQ(rx.recv_timeout(1s).value, 3);
}

TEST(ChannelWait, GateIsLeftOnlyForAWaitAndEnteredAfterIt) {
    std::mutex gil;
    auto [tx, rx] = make_channel<int>(1);
    LockGate gate(gil);
    SendOptions<int> options;
    options.gate = &gate;
    std::lock_guard held(gil);
    ASSERT_EQ(tx.push(1, options).status, SendStatus::Sent);
    EXPECT_EQ(gate.left, 0);  // room: no wait, the lock stays

    // Full: while the sender waits, another thread can take the lock, and
    // it is the one that makes room.
    std::atomic<bool> other_ran{false};
    std::thread other([&] {
        std::lock_guard lock(gil);
        other_ran = true;
        EXPECT_EQ(rx.recv_timeout(1s).value, 1);
    });
    ASSERT_EQ(tx.push(2, options).status, SendStatus::Sent);
    EXPECT_TRUE(other_ran.load());
    EXPECT_EQ(gate.left, 1);
    EXPECT_EQ(gate.entered, 1);
    other.join();

    // A receiver that goes during the wait: the value comes back, and the
    // lock is held again.
    std::thread closer([&, rx = std::move(rx)]() mutable {
        std::lock_guard lock(gil);
        rx.close();
    });
    auto gone = tx.push(3, options);
    EXPECT_EQ(gone.status, SendStatus::Disconnected);
    EXPECT_EQ(gone.value, 3);
    EXPECT_EQ(gate.left, 2);
    EXPECT_EQ(gate.entered, 2);
    closer.join();
}
