#include "lib/timestamp_cache.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "lib/live_flags.hpp"

namespace {

using ferrant::StampVariant;
using ferrant::TimestampCache;

std::int32_t g_offset = 0;
std::int32_t fixed_offset(std::uint64_t) { return g_offset; }

// Leaves both set-only flags as each test found them.
class FlagsGuard : public ::testing::Test {
protected:
    void SetUp() override {
        color_ = ferrant::COLOR_LIVE.load();
        json_ = ferrant::JSON_LIVE.load();
    }
    void TearDown() override {
        ferrant::COLOR_LIVE.store(color_);
        ferrant::JSON_LIVE.store(json_);
    }
    static void set_flags(bool color, bool json) {
        ferrant::COLOR_LIVE.store(color);
        ferrant::JSON_LIVE.store(json);
    }
    static TimestampCache at_offset(std::int32_t offset) {
        g_offset = offset;
        TimestampCache c;
        c.offset_at = fixed_offset;
        return c;
    }

private:
    bool color_ = false;
    bool json_ = false;
};

// Date-time by the C library. Shifting by whole 400-year cycles, which repeat
// the Gregorian calendar exactly, keeps gmtime_r within its range for any
// u64 second count.
std::string reference_date_time(std::uint64_t t, std::int32_t offset) {
    constexpr __int128 kCycle = __int128{146097} * 86400;
    constexpr __int128 kLimit = __int128{100000} * 365 * 86400;
    __int128 local = static_cast<__int128>(t) + offset;
    long long cycles = 0;
    if (local > kLimit) {
        cycles = static_cast<long long>((local - kLimit) / kCycle + 1);
        local -= cycles * kCycle;
    }
    const std::time_t lt = static_cast<std::time_t>(local);
    std::tm tm;
    if (!gmtime_r(&lt, &tm)) return "gmtime_r failed";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d",
                  tm.tm_year + 1900LL + 400LL * cycles, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    return buf;
}

std::string reference_offset(long offset) {
    const long a = offset < 0 ? -offset : offset;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", offset < 0 ? '-' : '+', a / 3600, a / 60 % 60);
    return buf;
}

struct LocalCase {
    std::uint64_t second;
    std::int32_t offset;
    const char* date_time;
    const char* offset_text;
};

class LocalForm : public FlagsGuard, public ::testing::WithParamInterface<LocalCase> {};

TEST_P(LocalForm, DateTimeAndOffset) {
    const LocalCase& k = GetParam();
    TimestampCache c = at_offset(k.offset);
    c.refresh(k.second);
    EXPECT_EQ(c.text_time.view(), std::string("time=") + k.date_time + ".");
    EXPECT_EQ(c.text_offset.view(), std::string(k.offset_text) + " level=");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalForm,
    ::testing::Values(
        // 2024-12-31T22:30:00Z crosses midnight forwards and stays put.
        LocalCase{1735684200, 5 * 3600 + 30 * 60, "2025-01-01T04:00:00", "+05:30"},
        LocalCase{1735684200, -5 * 3600, "2024-12-31T17:30:00", "-05:00"},
        LocalCase{1735684200, 0, "2024-12-31T22:30:00", "+00:00"},
        LocalCase{1735684200, -(3 * 3600 + 30 * 60), "2024-12-31T19:00:00", "-03:30"},
        // Seconds of an offset are dropped from the text, not from the time.
        LocalCase{1735684200, 19 * 60 + 32, "2024-12-31T22:49:32", "+00:19"},
        LocalCase{1735684200, -(19 * 60 + 32), "2024-12-31T22:10:28", "-00:19"},
        // The epoch seen from the west is in 1969.
        LocalCase{0, -3600, "1969-12-31T23:00:00", "-01:00"},
        LocalCase{0, 86399, "1970-01-01T23:59:59", "+23:59"},
        // An offset of a day or more is not a real one and reads as UTC.
        LocalCase{1735684200, 86400, "2024-12-31T22:30:00", "+00:00"},
        LocalCase{1735684200, -86400, "2024-12-31T22:30:00", "+00:00"}));

using SecondAndOffset = std::pair<std::uint64_t, std::int32_t>;

class HugeSeconds : public FlagsGuard, public ::testing::WithParamInterface<SecondAndOffset> {};

TEST_P(HugeSeconds, MatchCivilCalendar) {
    const auto [second, offset] = GetParam();
    set_flags(true, true);
    TimestampCache c = at_offset(offset);
    c.refresh(second);
    const std::string dt = reference_date_time(second, offset);
    EXPECT_EQ(c.text_time.view(), "time=" + dt + ".");
    EXPECT_EQ(c.color_time.view(), "\x1b[2mtime=\x1b[0m" + dt + ".");
    EXPECT_EQ(c.json_time.view(), "{\"time\":\"" + dt + ".");
    EXPECT_EQ(c.text_unix.view(), "time=" + std::to_string(second) + ".");
    EXPECT_EQ(c.json_unix.view(), "{\"time\":" + std::to_string(second) + ".");
}

constexpr std::uint64_t kMax = ~std::uint64_t{0};
INSTANTIATE_TEST_SUITE_P(Cases, HugeSeconds,
                         ::testing::Values(SecondAndOffset{253402300799u, 0},  // last of 9999
                                           SecondAndOffset{253402300799u, 1},  // into year 10000
                                           SecondAndOffset{253402300800u, -1},
                                           SecondAndOffset{3093527980800u, 0},  // year 100000
                                           SecondAndOffset{3093527980799u, 0},
                                           SecondAndOffset{1ull << 63, 0},
                                           SecondAndOffset{kMax / 86400 * 86400, -1},
                                           SecondAndOffset{kMax, 0},
                                           SecondAndOffset{kMax, 86399},
                                           SecondAndOffset{kMax, -86399}));

using TimestampTexts = FlagsGuard;

TEST_F(TimestampTexts, RequestedVariantIsBuiltWithoutItsFlagAndNeverGoesStale) {
    set_flags(false, false);
    TimestampCache c = at_offset(-3600);
    c.refresh_for(7200, StampVariant::Json);
    EXPECT_EQ(c.json_time.view(), "{\"time\":\"1970-01-01T01:00:00.");
    EXPECT_EQ(c.json_offset.view(), "-01:00\",\"level\":\"");
    EXPECT_TRUE(c.color_time.empty());
    // A later second must not keep the earlier second's JSON text.
    c.refresh(7201);
    EXPECT_TRUE(c.json_time.empty());
    c.refresh_for(7201, StampVariant::Color);
    EXPECT_EQ(c.color_time.view(), "\x1b[2mtime=\x1b[0m1970-01-01T01:00:01.");
    EXPECT_EQ(c.color_offset.view(), "-01:00 \x1b[2mlevel=\x1b[0m");
}

// Each consecutive second through a window, in a real zone, against the C
// library's local time and its offset.
class ZoneSweep : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (tz) old_tz_ = tz;
    }
    void TearDown() override {
        if (had_tz_)
            setenv("TZ", old_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    static std::time_t utc(int y, int mon, int d, int h = 0) {
        std::tm tm{};
        tm.tm_year = y - 1900;
        tm.tm_mon = mon - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        return timegm(&tm);
    }

    // Returns the number of mismatching seconds, reporting the first few.
    static int sweep(std::uint64_t from, std::uint64_t to) {
        TimestampCache c;
        int bad = 0;
        for (std::uint64_t s = from; s < to; ++s) {
            c.refresh(s);
            const std::time_t t = static_cast<std::time_t>(s);
            std::tm lt;
            localtime_r(&t, &lt);
            char want[64];
            std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%S", &lt);
            const std::string want_time = std::string("time=") + want + ".";
            const std::string want_offset = reference_offset(lt.tm_gmtoff) + " level=";
            const std::string shifted =
                "time=" + reference_date_time(s, static_cast<std::int32_t>(lt.tm_gmtoff)) + ".";
            if (c.text_time.view() != want_time || c.text_offset.view() != want_offset ||
                shifted != want_time) {
                if (++bad <= 5)
                    ADD_FAILURE() << "TZ=" << std::getenv("TZ") << " second " << s << ": "
                                  << c.text_time.view() << c.text_offset.view() << " vs "
                                  << want_time << want_offset << " / " << shifted;
            }
        }
        return bad;
    }

private:
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(ZoneSweep, MatchesLocaltimeAcrossCalendarBoundaries) {
    const char* zones[] = {
        "UTC0",
        "IST-5:30",
        "<-0330>3:30",
        "EST5EDT,M3.2.0,M11.1.0",
        "NZST-12NZDT,M9.5.0,M4.1.0/3",  // summer time across the year end
        "<+001932>-0:19:32",
    };
    // UTC midnights (and the two 2024 US clock changes) near which each
    // zone's own midnight, month end, leap day or year end falls.
    const std::time_t boundaries[] = {
        utc(1970, 1, 2),  utc(2000, 2, 29), utc(2000, 3, 1),     utc(2024, 3, 1),
        utc(2100, 3, 1),  utc(2025, 1, 1),  utc(10000, 1, 1),    utc(2024, 3, 10, 7),
        utc(2024, 11, 3, 6),
    };
    constexpr std::uint64_t kHalf = 2 * 3600;
    for (const char* zone : zones) {
        setenv("TZ", zone, 1);
        tzset();
        for (std::time_t b : boundaries) {
            // Centre on the zone's local midnight.
            std::tm lt;
            localtime_r(&b, &lt);
            const std::uint64_t centre = static_cast<std::uint64_t>(b - lt.tm_gmtoff);
            EXPECT_EQ(sweep(centre - kHalf, centre + kHalf), 0);
        }
    }
    // Three whole days from the epoch in a zone west of UTC, through 1969.
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    EXPECT_EQ(sweep(0, 3 * 86400), 0);
}

}  // namespace
