#include "lib/clock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "lib/producer.hpp"
#include "lib/tsc.hpp"
#include "test_support.hpp"

namespace {

using ferrant::MonoSource;
using ferrant::TscPair;
using ferrant::TscScale;
using ferrant::testing::MonoSourceReset;
using ferrant::testing::select_mono_source;

constexpr std::uint64_t kGHz3 = 3'000'000'000;

TEST(TscScale, ConvertsAtTheMeasuredRate) {
    const TscPair first{1'000'000, 7'000'000'000, 60};
    const TscPair last{1'000'000 + kGHz3, 8'000'000'000, 60};
    const auto scale = ferrant::tsc_scale(first, last);
    ASSERT_TRUE(scale);
    EXPECT_EQ(scale->to_ns(last.tsc), last.ns);
    EXPECT_NEAR(double(scale->to_ns(last.tsc + kGHz3) - last.ns), 1e9, 1.0);
    EXPECT_NEAR(double(scale->to_ns(last.tsc + 3) - last.ns), 1.0, 1.0);
    // A year of ticks: the 128-bit product neither overflows nor loses the rate.
    const std::uint64_t year = 365ull * 86400;
    EXPECT_NEAR(double(scale->to_ns(last.tsc + year * kGHz3) - last.ns), year * 1e9, year * 1e-9 * 1e9);
}

TEST(TscScale, CounterBelowTheBaseKeepsDifferences) {
    const TscScale scale{1ull << 40, 5'000'000'000, (1ull << 32) / 3};
    const std::uint64_t a = scale.to_ns(scale.base_tsc - 3100);
    const std::uint64_t b = scale.to_ns(scale.base_tsc - 100);
    EXPECT_NEAR(double(b - a), 1000.0, 1.0);
}

struct ScaleCase {
    const char* what;
    TscPair first, last;
    bool precise, scaled;
};

class TscPairs : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(TscPairs, PrecisionAndPlausibility) {
    const ScaleCase& k = GetParam();
    EXPECT_EQ(ferrant::tsc_pairs_precise(k.first, k.last), k.precise);
    EXPECT_EQ(ferrant::tsc_scale(k.first, k.last).has_value(), k.scaled);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TscPairs,
    ::testing::Values(
        // 10^8 ticks carry 100 ticks of pairing uncertainty, not 101.
        ScaleCase{"AtTheLimit", {0, 0, 50}, {100'000'000, 33'333'333, 50}, true, true},
        ScaleCase{"TooWide", {0, 0, 50}, {100'000'000, 33'333'333, 51}, false, true},
        ScaleCase{"Backwards", {200, 0, 1}, {100, 33'333'333, 1}, false, false},
        ScaleCase{"Standstill", {200, 0, 1}, {200, 33'333'333, 1}, false, false},
        ScaleCase{"NoTimePassed", {0, 5, 0}, {100'000'000, 5, 0}, true, false},
        ScaleCase{"TenMHz", {0, 0, 0}, {10'000'000, 1'000'000'000, 0}, true, true},
        ScaleCase{"BelowTenMHz", {0, 0, 0}, {9'999'999, 1'000'000'000, 0}, true, false},
        ScaleCase{"HundredGHz", {0, 0, 0}, {100'000'000'000, 1'000'000'000, 0}, true, true},
        ScaleCase{"AboveHundredGHz", {0, 0, 0}, {100'000'000'001, 1'000'000'000, 0}, true, false}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(TscAllowed, ClocksourceIsTscExactly) {
    EXPECT_TRUE(ferrant::clocksource_is_tsc("tsc\n"));
    EXPECT_TRUE(ferrant::clocksource_is_tsc("tsc"));
    EXPECT_FALSE(ferrant::clocksource_is_tsc("kvm-clock\n"));
    EXPECT_FALSE(ferrant::clocksource_is_tsc("tsc-early\n"));
    EXPECT_FALSE(ferrant::clocksource_is_tsc(""));
}

TEST(TscAllowed, FirstFlagsLineNeedsBothWholeWords) {
    const std::string head = "processor\t: 0\nvendor_id\t: GenuineIntel\n";
    EXPECT_TRUE(ferrant::cpu_flags_allow_tsc(head + "flags\t\t: fpu tsc constant_tsc nonstop_tsc\n"));
    EXPECT_TRUE(ferrant::cpu_flags_allow_tsc("flags\t\t: nonstop_tsc x constant_tsc"));
    EXPECT_FALSE(ferrant::cpu_flags_allow_tsc(head + "flags\t\t: fpu tsc constant_tsc\n"));
    EXPECT_FALSE(ferrant::cpu_flags_allow_tsc(head + "flags\t\t: constant_tsc nonstop_tsc_x\n"));
    EXPECT_FALSE(ferrant::cpu_flags_allow_tsc(head + "flags\t\t: constant_tsc xnonstop_tsc\n"));
    EXPECT_FALSE(ferrant::cpu_flags_allow_tsc(head));
    EXPECT_FALSE(ferrant::cpu_flags_allow_tsc(
        head + "flags\t\t: constant_tsc\n\nprocessor\t: 1\nflags\t\t: constant_tsc nonstop_tsc\n"));
}

// mono_ns read between two CLOCK_MONOTONIC readings must fall between them,
// give or take `slack`; preemption only widens the bracket.
void expect_bracketed(std::uint64_t slack, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        const std::uint64_t before = ferrant::monotonic_ns();
        const std::uint64_t m = ferrant::mono_ns();
        const std::uint64_t after = ferrant::monotonic_ns();
        ASSERT_GE(m + slack, before) << "round " << i;
        ASSERT_LE(m, after + slack) << "round " << i;
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

TEST(MonoClock, ForcedFallbackIsClockMonotonic) {
    MonoSourceReset restore;
    ASSERT_TRUE(select_mono_source(MonoSource::Monotonic));
    expect_bracketed(0, 200);
    EXPECT_EQ(ferrant::mono_source(), MonoSource::Monotonic);
}

TEST(MonoClock, CalibratingReadsClockMonotonic) {
    MonoSourceReset restore;
    ::unsetenv("FERRANT_CLOCK");
    ferrant::reset_mono_source();
    (void)ferrant::mono_ns();
    if (ferrant::mono_source() == MonoSource::Monotonic) GTEST_SKIP() << "no usable counter here";
    // Well within the shortest calibration.
    for (int i = 0; i < 100 && ferrant::mono_source() == MonoSource::Calibrating; ++i) {
        const std::uint64_t before = ferrant::monotonic_ns();
        const std::uint64_t m = ferrant::mono_ns();
        const std::uint64_t after = ferrant::monotonic_ns();
        if (ferrant::mono_source() != MonoSource::Calibrating) break;
        ASSERT_GE(m, before);
        ASSERT_LE(m, after);
    }
}

TEST(MonoClock, CounterFollowsClockMonotonic) {
    MonoSourceReset restore;
    if (!select_mono_source(MonoSource::Tsc)) GTEST_SKIP() << "no usable counter here";
    // One part in a million over the few seconds since calibration, plus the
    // pairing of the calibration itself.
    expect_bracketed(20'000, 2000);
    EXPECT_EQ(ferrant::mono_source(), MonoSource::Tsc);
}

TEST(MonoClock, ResetDecidesAgain) {
    MonoSourceReset restore;
    ASSERT_TRUE(select_mono_source(MonoSource::Monotonic));
    ferrant::reset_mono_source();
    EXPECT_EQ(ferrant::mono_source(), MonoSource::Undecided);
    ::unsetenv("FERRANT_CLOCK");
    (void)ferrant::mono_ns();
    EXPECT_NE(ferrant::mono_source(), MonoSource::Undecided);
}

// Threads that decide and calibrate at once: one of them publishes the
// counter, and no reading strays from CLOCK_MONOTONIC meanwhile.
TEST(MonoClock, ThreadsCalibratingTogether) {
    MonoSourceReset restore;
    ::unsetenv("FERRANT_CLOCK");
    ferrant::reset_mono_source();
    std::latch start(4);
    std::atomic<int> strays{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            const std::uint64_t give_up = ferrant::monotonic_ns() + 20'000'000'000u;
            for (int i = 0; i < 400 || ferrant::mono_source() == MonoSource::Calibrating; ++i) {
                const std::uint64_t before = ferrant::monotonic_ns();
                const std::uint64_t m = ferrant::mono_ns();
                const std::uint64_t after = ferrant::monotonic_ns();
                if (m + 20'000 < before || m > after + 20'000) ++strays;
                if (before > give_up) break;
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(strays.load(), 0);
    EXPECT_NE(ferrant::mono_source(), MonoSource::Calibrating);
    EXPECT_NE(ferrant::mono_source(), MonoSource::Undecided);
}

class ProducerOnClock : public ::testing::TestWithParam<MonoSource> {
protected:
    MonoSourceReset restore_;
};

// A producer's times track the wall clock on either source: within the
// bracket of two real-time readings, and never a second off after many
// extrapolations.
TEST_P(ProducerOnClock, CurrentTimeTracksTheWallClock) {
    if (!select_mono_source(GetParam())) GTEST_SKIP() << "no usable counter here";
    ferrant::Producer p;
    const auto to_ns = [](ferrant::WallTime t) { return t.secs * 1'000'000'000u + t.nanos; };
    for (int i = 0; i < 150; ++i) {
        const std::uint64_t before = to_ns(ferrant::wall_now());
        const std::uint64_t t = to_ns(p.current_time());
        const std::uint64_t after = to_ns(ferrant::wall_now());
        // The anchor's extrapolation may drift from a slewed real-time clock
        // by a little within its second.
        ASSERT_GE(t + 1'000'000, before) << "call " << i;
        ASSERT_LE(t, after + 1'000'000) << "call " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, ProducerOnClock,
                         ::testing::Values(MonoSource::Monotonic, MonoSource::Tsc),
                         [](const auto& info) {
                             return info.param == MonoSource::Tsc ? "Tsc" : "Monotonic";
                         });

}  // namespace
