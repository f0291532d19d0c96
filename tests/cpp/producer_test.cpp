#include "lib/producer.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <string>

#include "lib/live_flags.hpp"
#include "test_support.hpp"

namespace {

using ferrant::ClockSource;
using ferrant::Format;
using ferrant::Producer;
using ferrant::WallTime;
using ferrant::WriterSettings;

// Scripted clocks, shared through plain functions because the sources are
// function pointers.
struct Fake {
    static inline std::uint64_t mono = 0;
    static inline WallTime wall{0, 0};
    static inline int wall_reads = 0;
    static inline std::int32_t offset = 0;
    static inline int offset_lookups = 0;
};
std::uint64_t fake_mono() { return Fake::mono; }
WallTime fake_wall() {
    ++Fake::wall_reads;
    return Fake::wall;
}
std::int32_t fake_offset(std::uint64_t) {
    ++Fake::offset_lookups;
    return Fake::offset;
}
constexpr ClockSource kFake{fake_mono, fake_wall};

struct FakeProducer : Producer {
    FakeProducer() : Producer(&kFake) { stamps.offset_at = fake_offset; }
};

class ProducerTest : public ::testing::Test {
protected:
    void SetUp() override {
        color_ = ferrant::COLOR_LIVE.load();
        json_ = ferrant::JSON_LIVE.load();
        ferrant::COLOR_LIVE.store(true);
        ferrant::JSON_LIVE.store(true);
        Fake::mono = 5000;
        Fake::wall = {1000, 900000000};
        Fake::wall_reads = 0;
        Fake::offset = 0;
        Fake::offset_lookups = 0;
    }
    void TearDown() override {
        ferrant::COLOR_LIVE.store(color_);
        ferrant::JSON_LIVE.store(json_);
    }

    static std::string prefix(Producer& p, std::uint64_t s, std::uint32_t n, WriterSettings w) {
        p.line_buf.clear();
        p.append_time_prefix(s, n, w);
        return std::string(p.line_buf.view());
    }

private:
    bool color_ = false;
    bool json_ = false;
};

constexpr WriterSettings kText{false, false, Format::Text};
constexpr WriterSettings kTextUnix{true, false, Format::Text};
constexpr WriterSettings kColor{false, true, Format::Text};
constexpr WriterSettings kColorUnix{true, true, Format::Text};
constexpr WriterSettings kJson{false, false, Format::Json};
constexpr WriterSettings kJsonUnix{true, false, Format::Json};
// Colour is ignored by the JSON layout.
constexpr WriterSettings kJsonColor{false, true, Format::Json};

struct PrefixCase {
    WriterSettings settings;
    const char* expected;
};

class ExamplePrefix : public ProducerTest, public ::testing::WithParamInterface<PrefixCase> {};

// 2024-03-05T07:08:09.012345678Z in a zone at +05:30.
TEST_P(ExamplePrefix, AppendsAfterExistingLines) {
    Fake::offset = 5 * 3600 + 30 * 60;
    FakeProducer p;
    p.line_buf.append("earlier line\n");
    p.append_time_prefix(1709622489, 12345678, GetParam().settings);
    EXPECT_EQ(p.line_buf.view(), std::string("earlier line\n") + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ExamplePrefix,
    ::testing::Values(
        PrefixCase{kText, "time=2024-03-05T12:38:09.012345+05:30 level="},
        PrefixCase{kTextUnix, "time=1709622489.012345678 level="},
        PrefixCase{kJson, "{\"time\":\"2024-03-05T12:38:09.012345+05:30\",\"level\":\""},
        PrefixCase{kJsonUnix, "{\"time\":1709622489.012345678,\"level\":\""},
        PrefixCase{kJsonColor, "{\"time\":\"2024-03-05T12:38:09.012345+05:30\",\"level\":\""},
        PrefixCase{kColor,
                   "\x1b[2mtime=\x1b[0m2024-03-05T12:38:09.012345+05:30 \x1b[2mlevel=\x1b[0m"},
        PrefixCase{kColorUnix, "\x1b[2mtime=\x1b[0m1709622489.012345678 \x1b[2mlevel=\x1b[0m"}));

struct FractionCase {
    std::uint32_t nanos;
    const char* micros;
    const char* nanos_text;
};

class Fraction : public ProducerTest, public ::testing::WithParamInterface<FractionCase> {};

TEST_P(Fraction, TruncatedFixedWidth) {
    const FractionCase& k = GetParam();
    FakeProducer p;
    EXPECT_EQ(prefix(p, 86399, k.nanos, kText),
              std::string("time=1970-01-01T23:59:59.") + k.micros + "+00:00 level=");
    EXPECT_EQ(prefix(p, 86399, k.nanos, kJsonUnix),
              std::string("{\"time\":86399.") + k.nanos_text + ",\"level\":\"");
}

INSTANTIATE_TEST_SUITE_P(Cases, Fraction,
                         ::testing::Values(FractionCase{0, "000000", "000000000"},
                                           FractionCase{5, "000000", "000000005"},
                                           FractionCase{5000, "000005", "000005000"},
                                           FractionCase{999, "000000", "000000999"},
                                           FractionCase{123456789, "123456", "123456789"},
                                           FractionCase{999999999, "999999", "999999999"}));

TEST_F(ProducerTest, RebuildsOnlyWhenTheSecondChanges) {
    FakeProducer p;
    EXPECT_EQ(p.stamps.second, ~std::uint64_t{0});
    EXPECT_TRUE(p.stamps.text_time.empty());

    p.append_time_prefix(5000, 1, kText);
    EXPECT_EQ(Fake::offset_lookups, 1);
    p.append_time_prefix(5000, 999999999, kColor);
    p.append_time_prefix(5000, 2, kJsonUnix);
    EXPECT_EQ(Fake::offset_lookups, 1);

    p.append_time_prefix(5001, 0, kText);
    p.append_time_prefix(5001, 5, kText);
    EXPECT_EQ(Fake::offset_lookups, 2);

    // Back in time rebuilds as well; the texts then show the earlier second.
    EXPECT_EQ(prefix(p, 4999, 0, kText), "time=1970-01-01T01:23:19.000000+00:00 level=");
    EXPECT_EQ(Fake::offset_lookups, 3);

    // The zone is asked again for each new second only.
    Fake::offset = 3600;
    EXPECT_EQ(prefix(p, 4999, 0, kText), "time=1970-01-01T01:23:19.000000+00:00 level=");
    EXPECT_EQ(prefix(p, 5000, 0, kText), "time=1970-01-01T02:23:20.000000+01:00 level=");
}

struct LateFlagCase {
    WriterSettings settings;
    std::atomic<bool>* flag;
    const char* expected;
    const char* next_second;  // part of the prefix one second later
};

class LateFlag : public ProducerTest, public ::testing::WithParamInterface<LateFlagCase> {};

TEST_P(LateFlag, ForcesOneRebuildWithinTheSecond) {
    const LateFlagCase& k = GetParam();
    k.flag->store(false);
    FakeProducer p;
    EXPECT_EQ(prefix(p, 60, 7000, kText), "time=1970-01-01T00:01:00.000007+00:00 level=");
    EXPECT_EQ(Fake::offset_lookups, 1);

    k.flag->store(true);
    EXPECT_EQ(prefix(p, 60, 7000, k.settings), k.expected);
    EXPECT_EQ(Fake::offset_lookups, 2);
    EXPECT_EQ(prefix(p, 60, 7000, k.settings), k.expected);
    EXPECT_EQ(Fake::offset_lookups, 2);
}

// A flag this thread cannot see yet still gives whole, current prefixes.
TEST_P(LateFlag, UnseenFlagStillGivesCurrentText) {
    const LateFlagCase& k = GetParam();
    k.flag->store(false);
    FakeProducer p;
    EXPECT_EQ(prefix(p, 60, 7000, k.settings), k.expected);
    const std::string next = prefix(p, 61, 7000, k.settings);
    EXPECT_NE(next.find(k.next_second), std::string::npos) << next;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, LateFlag,
    ::testing::Values(
        LateFlagCase{kJson, &ferrant::JSON_LIVE,
                     "{\"time\":\"1970-01-01T00:01:00.000007+00:00\",\"level\":\"",
                     "\"1970-01-01T00:01:01.000007+00:00\",\"level\":\""},
        LateFlagCase{kJsonUnix, &ferrant::JSON_LIVE, "{\"time\":60.000007000,\"level\":\"",
                     "{\"time\":61.000007000,"},
        LateFlagCase{kColor, &ferrant::COLOR_LIVE,
                     "\x1b[2mtime=\x1b[0m1970-01-01T00:01:00.000007+00:00 \x1b[2mlevel=\x1b[0m",
                     "\x1b[0m1970-01-01T00:01:01.000007+00:00 \x1b[2m"},
        LateFlagCase{kColorUnix, &ferrant::COLOR_LIVE,
                     "\x1b[2mtime=\x1b[0m60.000007000 \x1b[2mlevel=\x1b[0m",
                     "\x1b[0m61.000007000 \x1b[2m"}));

// 2^64 - 1 is also the cache's initial mark, so this first call must build.
TEST_F(ProducerTest, LargestSecondOnFirstUse) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    FakeProducer p;
    EXPECT_EQ(prefix(p, kMax, 999999999, kTextUnix),
              "time=" + std::to_string(kMax) + ".999999999 level=");
}

struct AnchorCase {
    const char* name;
    std::uint64_t anchor_mono;
    std::uint64_t now_mono;
    WallTime expected;
    int wall_reads;  // after the anchor taken at creation
};

class Anchor : public ProducerTest, public ::testing::WithParamInterface<AnchorCase> {};

// Anchored at wall 1000.900000000; the wall clock then reads 2000.000000007.
TEST_P(Anchor, ExtrapolatesOrReanchors) {
    const AnchorCase& k = GetParam();
    Fake::mono = k.anchor_mono;
    FakeProducer p;
    ASSERT_EQ(Fake::wall_reads, 1);
    Fake::wall = {2000, 7};
    Fake::mono = k.now_mono;
    EXPECT_EQ(p.current_time(), k.expected);
    EXPECT_EQ(Fake::wall_reads, 1 + k.wall_reads);
    if (k.wall_reads) {
        EXPECT_EQ(p.clock.mono_anchor, k.now_mono);
        EXPECT_EQ(p.clock.wall_secs, 2000u);
        EXPECT_EQ(p.clock.wall_nanos, 7u);
    } else {
        EXPECT_EQ(p.clock.mono_anchor, k.anchor_mono);
    }
}

constexpr std::uint64_t kTop = ~std::uint64_t{0};
INSTANTIATE_TEST_SUITE_P(
    Cases, Anchor,
    ::testing::Values(AnchorCase{"Same", 5000, 5000, {1000, 900000000}, 0},
                      AnchorCase{"BeforeCarry", 5000, 5000 + 99999999, {1000, 999999999}, 0},
                      AnchorCase{"Carry", 5000, 5000 + 100000000, {1001, 0}, 0},
                      AnchorCase{"LastNanosecond", 5000, 5000 + 999999999, {1001, 899999999}, 0},
                      AnchorCase{"OneSecond", 5000, 5000 + 1000000000, {2000, 7}, 1},
                      // A monotonic value below the anchor wraps to a huge elapsed time.
                      AnchorCase{"Backwards", 5000, 4999, {2000, 7}, 1},
                      // Wrapping subtraction across the top of the counter.
                      AnchorCase{"WrapsAround", kTop - 9, 5, {1000, 900000015}, 0},
                      AnchorCase{"WrapsFar", kTop - 9, 1000000000, {2000, 7}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProducerTest, WallClockStepBackShowsAtTheNextReanchor) {
    Fake::wall = {5000, 0};
    FakeProducer p;
    EXPECT_EQ(prefix(p, 5000, 0, kText), "time=1970-01-01T01:23:20.000000+00:00 level=");

    Fake::wall = {5000 - 3600, 250};
    Fake::mono += 999999999;
    WallTime t = p.current_time();
    EXPECT_EQ(t, (WallTime{5000, 999999999}));

    Fake::mono += 1;
    t = p.current_time();
    EXPECT_EQ(t, (WallTime{1400, 250}));
    EXPECT_EQ(prefix(p, t.secs, t.nanos, kText), "time=1970-01-01T00:23:20.000000+00:00 level=");
    EXPECT_EQ(Fake::wall_reads, 2);
}

class SystemClocks : public ::testing::TestWithParam<ferrant::MonoSource> {
protected:
    ferrant::testing::MonoSourceReset restore_;
};

TEST_P(SystemClocks, ProducerIsAnchoredAtCreation) {
    if (!ferrant::testing::select_mono_source(GetParam())) GTEST_SKIP() << "no usable counter here";
    // The counter extrapolates CLOCK_MONOTONIC from its calibration.
    const std::uint64_t slack = GetParam() == ferrant::MonoSource::Tsc ? 20'000 : 0;
    const std::uint64_t mono_before = ferrant::monotonic_ns();
    // time() reads a coarse clock that may lag CLOCK_REALTIME by a tick.
    const std::time_t wall_before = ferrant::wall_now().secs;
    Producer p;
    const std::time_t wall_after = ferrant::wall_now().secs;
    const std::uint64_t mono_after = ferrant::monotonic_ns();
    EXPECT_GE(p.clock.mono_anchor + slack, mono_before);
    EXPECT_LE(p.clock.mono_anchor, mono_after + slack);
    EXPECT_GE(static_cast<std::time_t>(p.clock.wall_secs), wall_before);
    EXPECT_LE(static_cast<std::time_t>(p.clock.wall_secs), wall_after);
    EXPECT_LT(p.clock.wall_nanos, 1000000000u);
    EXPECT_GE(p.line_buf.capacity(), 4096u);
    EXPECT_EQ(p.stamps.second, ~std::uint64_t{0});
}

INSTANTIATE_TEST_SUITE_P(Sources, SystemClocks,
                         ::testing::Values(ferrant::MonoSource::Monotonic, ferrant::MonoSource::Tsc),
                         [](const auto& info) {
                             return info.param == ferrant::MonoSource::Tsc ? "Tsc" : "Monotonic";
                         });

struct TimespecCase {
    std::int64_t sec;
    long nsec;
    WallTime expected;
};

class WallFromTimespec : public ::testing::TestWithParam<TimespecCase> {};

TEST_P(WallFromTimespec, AbsoluteDistanceFromTheEpoch) {
    const TimespecCase& k = GetParam();
    EXPECT_EQ(ferrant::wall_from_timespec(k.sec, k.nsec), k.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WallFromTimespec,
    ::testing::Values(TimespecCase{0, 0, {0, 0}},
                      TimespecCase{1709622489, 12345678, {1709622489, 12345678}},
                      // -0.75 s is 0.75 s before the epoch.
                      TimespecCase{-1, 250000000, {0, 750000000}},
                      TimespecCase{-2, 0, {2, 0}},
                      TimespecCase{-2, 999999999, {1, 1}},
                      TimespecCase{INT64_MIN, 0, {std::uint64_t{1} << 63, 0}},
                      TimespecCase{INT64_MIN, 1, {(std::uint64_t{1} << 63) - 1, 999999999}}));

}  // namespace

namespace {

// 2026-12-09T23:59:59Z and the day it belongs to.
constexpr std::uint64_t kLastSecond = 1'796'860'799;
constexpr std::int64_t kDay = 20'796;

class DayBoundary : public ProducerTest {
protected:
    void SetUp() override {
        ProducerTest::SetUp();
        ferrant::reset_record_days();
    }
    void TearDown() override {
        ferrant::reset_record_days();
        ProducerTest::TearDown();
    }
    static void line(Producer& p, std::uint64_t s) {
        p.append_time_prefix(s, 0, kText);
        p.line_buf.append("x\n");
        ++p.pending;
    }
    // What a hand-off leaves.
    static void hand_off(Producer& p) {
        p.line_buf.clear();
        p.pending = 0;
        p.clear_days();
    }
};

}  // namespace

// The first line of a new day splits the batch where that day begins and
// has it handed off; the batch after carries the day on.
TEST_F(DayBoundary, FirstLineOfANewDaySplitsTheBatchAndHandsItOff) {
    FakeProducer p;
    line(p, kLastSecond - 1);
    line(p, kLastSecond);
    const std::size_t before = p.line_buf.size();
    EXPECT_LT(p.pending, Producer::kHandOffNow);
    EXPECT_EQ(p.days.day, kDay);
    EXPECT_EQ(p.days.split, 0u);

    line(p, kLastSecond + 1);
    EXPECT_EQ(p.days.earlier, kDay);
    EXPECT_EQ(p.days.day, kDay + 1);
    EXPECT_EQ(p.days.split, before);
    EXPECT_GT(p.pending, Producer::kHandOffNow);

    hand_off(p);
    line(p, kLastSecond + 1);
    EXPECT_EQ(p.days.day, kDay + 1);
    EXPECT_EQ(p.days.split, 0u);
}

// A day that begins on an empty batch needs no split.
TEST_F(DayBoundary, NewDayOnAnEmptyBatchNeedsNoSplit) {
    FakeProducer p;
    line(p, kLastSecond);
    hand_off(p);
    line(p, kLastSecond + 1);
    EXPECT_EQ(p.days.day, kDay + 1);
    EXPECT_EQ(p.days.split, 0u);
    EXPECT_LT(p.pending, Producer::kHandOffNow);
}

struct StepCase {
    std::int64_t back;  // seconds before the new day began
    std::int64_t day;   // the day the stamp is filed under, from kDay
};

class StepBack : public DayBoundary, public ::testing::WithParamInterface<StepCase> {};

// Once a day has begun, a stamp up to an hour before it is filed with it;
// further back is a real correction, and the day follows the clock back.
TEST_P(StepBack, KeepsToTheLatestDayWithinAnHour) {
    const std::int64_t midnight = static_cast<std::int64_t>(kLastSecond) + 1;
    EXPECT_EQ(ferrant::record_day(midnight + 5), kDay + 1);
    EXPECT_EQ(ferrant::record_day(midnight - GetParam().back), kDay + GetParam().day);
}

INSTANTIATE_TEST_SUITE_P(Producer, StepBack,
                         ::testing::Values(StepCase{1, 1}, StepCase{3600, 1}, StepCase{3601, 0},
                                           StepCase{86400 * 3, -2}));
