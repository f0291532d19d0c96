#include "lib/flusher.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using ferrant::Flusher;

namespace {

// One fake batch, stamped with the epoch it opened in, behind a mutex that
// plays the interpreter lock (the sweep takes it, as the real one does).
std::mutex gil;
std::atomic<std::uint64_t> opened{0};
std::atomic<int> sweeps{0};
std::atomic<int> dues{0};

bool due(std::uint64_t epoch) {
    ++dues;
    return Flusher::is_due(opened.load(), epoch);
}

void sweep(std::uint64_t epoch) {
    std::lock_guard lock(gil);
    if (Flusher::is_due(opened.load(), epoch)) {
        opened = 0;
        ++sweeps;
    }
}

template <class P>
bool eventually(P done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(Flusher, DueOnlyAfterEnoughEpochs) {
    EXPECT_FALSE(Flusher::is_due(0, 100));  // no batch open
    EXPECT_FALSE(Flusher::is_due(10, 10));
    EXPECT_FALSE(Flusher::is_due(10, 10 + Flusher::AGE_TICKS - 1));
    EXPECT_TRUE(Flusher::is_due(10, 10 + Flusher::AGE_TICKS));
}

TEST(Flusher, SweepsAnOpenBatchAfterItsAgeAndStopsPromptly) {
    Flusher flusher;
    sweeps = 0;
    opened = 0;
    ASSERT_TRUE(flusher.start(due, sweep, 5ms));
    EXPECT_TRUE(flusher.start(due, sweep, 5ms));  // already running
    EXPECT_TRUE(flusher.running());
    const int before = dues.load();
    ASSERT_TRUE(eventually([&] { return dues.load() > before + 3; }));
    EXPECT_EQ(sweeps.load(), 0);  // nothing open: the GIL is never asked for

    {
        std::lock_guard lock(gil);
        opened = flusher.epoch();
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return sweeps.load() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5ms * (Flusher::AGE_TICKS - 1));
    EXPECT_EQ(opened.load(), 0u);

    flusher.stop();
    EXPECT_FALSE(flusher.running());
    flusher.stop();  // idempotent
    const std::uint64_t epoch = flusher.epoch();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(flusher.epoch(), epoch);
}

TEST(Flusher, StopWaitsForASweepThatWaitsForTheLock) {
    Flusher flusher;
    sweeps = 0;
    std::unique_lock held(gil);
    opened = flusher.epoch();
    ASSERT_TRUE(flusher.start(due, sweep, 2ms));
    // The sweep is stuck on the lock this thread holds; stopping without
    // giving it up would never return, so give it up as the binding does.
    std::this_thread::sleep_for(30ms);
    held.unlock();
    flusher.stop();
    EXPECT_EQ(sweeps.load(), 1);
    // It starts again after a stop.
    opened = flusher.epoch();
    ASSERT_TRUE(flusher.start(due, sweep, 2ms));
    ASSERT_TRUE(eventually([&] { return sweeps.load() == 2; }));
    flusher.stop();
}
