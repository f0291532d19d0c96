#include "lib/number_render.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "lib/digits.hpp"

using ferrant::ByteBuffer;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Every renderer appends: a prefix already in the buffer must survive, and
// the committed length must be exactly the rendered text.
template <class F>
std::string after_prefix(F&& render) {
    ByteBuffer b;
    b.append("k=");
    render(b);
    std::string s(b.view());
    EXPECT_EQ(s.substr(0, 2), "k=");
    return s.substr(2);
}

// 2^k in decimal by repeated doubling: an oracle independent of <charconv>.
std::string pow2_decimal(int k) {
    std::string d = "1";
    for (int i = 0; i < k; ++i) {
        int carry = 0;
        for (auto it = d.rbegin(); it != d.rend(); ++it) {
            const int v = (*it - '0') * 2 + carry;
            *it = static_cast<char>('0' + v % 10);
            carry = v / 10;
        }
        if (carry) d.insert(d.begin(), '1');
    }
    return d;
}

}  // namespace

TEST(Digits, CountDigitsAtEveryPowerOfTen) {
    std::uint64_t p = 1;
    for (int k = 1; k <= 20; ++k) {
        EXPECT_EQ(ferrant::digits::count_digits(p), k) << p;
        EXPECT_EQ(ferrant::digits::count_digits(p - 1), p == 1 ? 1 : k - 1) << p - 1;
        if (k < 20) p *= 10;
    }
    EXPECT_EQ(ferrant::digits::count_digits(std::numeric_limits<std::uint64_t>::max()), 20);
}

TEST(Digits, FixedWidthWritersMatchPrintf) {
    char got[10] = {};
    char want[16];
    for (std::uint32_t v = 0; v < 1000000; ++v) {
        ferrant::digits::write_6(got, v);
        std::snprintf(want, sizeof want, "%06u", v);
        ASSERT_EQ(std::string(got, 6), want);
    }
    // A prime stride reaches every digit position with varied values.
    for (std::uint64_t v = 0; v < 1000000000; v += 7919) {
        const auto u = static_cast<std::uint32_t>(v);
        for (std::uint32_t w : {u, 999999999 - u}) {
            ferrant::digits::write_9(got, w);
            std::snprintf(want, sizeof want, "%09u", w);
            ASSERT_EQ(std::string(got, 9), want);
        }
    }
}

struct IntCase {
    std::int64_t v;
    const char* dec;
    const char* oct;
    const char* hex;
};

class IntRender : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntRender, DecimalOctalHex) {
    const IntCase& c = GetParam();
    EXPECT_EQ(after_prefix([&](ByteBuffer& b) { ferrant::push_i64(b, c.v); }), c.dec);
    EXPECT_EQ(after_prefix([&](ByteBuffer& b) { ferrant::push_i64_oct(b, c.v); }), c.oct);
    EXPECT_EQ(after_prefix([&](ByteBuffer& b) { ferrant::push_i64_hex(b, c.v); }), c.hex);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IntRender,
    ::testing::Values(IntCase{0, "0", "0", "0"},
                      IntCase{8, "8", "10", "8"},
                      IntCase{-255, "-255", "-377", "-ff"},
                      IntCase{99, "99", "143", "63"},
                      IntCase{-100, "-100", "-144", "-64"},
                      IntCase{kMax, "9223372036854775807", "777777777777777777777",
                              "7fffffffffffffff"},
                      IntCase{kMin, "-9223372036854775808", "-1000000000000000000000",
                              "-8000000000000000"},
                      IntCase{kMin + 1, "-9223372036854775807", "-777777777777777777777",
                              "-7fffffffffffffff"}));

TEST(IntRender, UnsignedTopOfRange) {
    EXPECT_EQ(after_prefix([](ByteBuffer& b) { ferrant::push_u64(b, UINT64_MAX); }),
              "18446744073709551615");
    EXPECT_EQ(after_prefix([](ByteBuffer& b) { ferrant::push_u64(b, 0); }), "0");
}

struct ReprCase {
    double v;
    const char* text;  // nullptr: declined
};

class Repr : public ::testing::TestWithParam<ReprCase> {};

TEST_P(Repr, TextOrDecline) {
    const ReprCase& c = GetParam();
    ByteBuffer b;
    b.append("k=");
    const bool ok = ferrant::push_f64_repr(b, c.v);
    if (c.text) {
        EXPECT_TRUE(ok);
        EXPECT_EQ(b.view(), std::string("k=") + c.text);
    } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(b.view(), "k=");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, Repr,
    ::testing::Values(
        ReprCase{0.0, "0.0"}, ReprCase{-0.0, "-0.0"}, ReprCase{2.0, "2.0"},
        ReprCase{0.1, "0.1"}, ReprCase{-2.5, "-2.5"}, ReprCase{0.0001, "0.0001"},
        ReprCase{-0.0001, "-0.0001"}, ReprCase{0.00009999, nullptr},
        ReprCase{std::nextafter(0.0001, 0.0), nullptr},
        ReprCase{1e15, "1000000000000000.0"},
        ReprCase{9999999999999998.0, "9999999999999998.0"},
        ReprCase{1e16, nullptr}, ReprCase{-1e16, nullptr},
        ReprCase{0.1 + 0.2, "0.30000000000000004"},
        ReprCase{123456.789, "123456.789"},
        ReprCase{std::numeric_limits<double>::infinity(), nullptr},
        ReprCase{-std::numeric_limits<double>::infinity(), nullptr},
        ReprCase{std::numeric_limits<double>::quiet_NaN(), nullptr},
        ReprCase{std::numeric_limits<double>::denorm_min(), nullptr}));

// The short decimal path against the general shortest-digits one, on
// decimals as people write them and on doubles of every bit pattern in range.
TEST(Repr, ShortPathAgreesWithShortestDigits) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    auto check = [](double v) {
        if (!ferrant::f64_repr_positional(v) || v == 0.0) return;
        char text[64];
        const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed);
        std::string expected(text, r.ptr);
        if (expected.find('.') == std::string::npos) expected += ".0";
        ByteBuffer b;
        ASSERT_TRUE(ferrant::push_f64_repr(b, v));
        ASSERT_EQ(b.view(), expected) << std::hexfloat << v;
    };
    for (int i = 0; i < 300000; ++i) {
        const auto units = static_cast<double>(next() % 100000000000u);
        const auto k = static_cast<int>(next() % 17);
        const double decimal = units / std::pow(10.0, k);
        check(decimal);
        check(-decimal);
        check(std::nextafter(decimal, 1e300));
        check(std::bit_cast<double>(next()));
        check(std::bit_cast<double>((next() & 0x000FFFFFFFFFFFFFu) | 0x4000000000000000u));
    }
}

struct FixedCase {
    double v;
    const char* text;
};

class Fixed6 : public ::testing::TestWithParam<FixedCase> {};

TEST_P(Fixed6, Text) {
    const FixedCase& c = GetParam();
    EXPECT_EQ(after_prefix([&](ByteBuffer& b) { ferrant::push_f64_fixed6(b, c.v); }), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Fixed6,
    ::testing::Values(
        FixedCase{0.1, "0.100000"}, FixedCase{-0.0, "-0.000000"},
        FixedCase{0.0, "0.000000"}, FixedCase{-1e-9, "-0.000000"},
        FixedCase{1e20, "100000000000000000000.000000"},
        // The nearest doubles to these ties lie just below them...
        FixedCase{0.0000005, "0.000000"}, FixedCase{2.5e-7, "0.000000"},
        // ...and just above them.
        FixedCase{1.0000005, "1.000001"}, FixedCase{2.5e-6, "0.000003"},
        FixedCase{1.5e-6, "0.000002"},
        // Odd multiples of 2^-7 are exact ties: the even digit wins.
        FixedCase{0.0078125, "0.007812"}, FixedCase{0.0234375, "0.023438"},
        FixedCase{-0.0078125, "-0.007812"},
        FixedCase{1099511627776.0078125, "1099511627776.007812"},
        // Rounding up carries into the integer digit.
        FixedCase{0.9999995, "1.000000"}, FixedCase{0.9999994999999999, "0.999999"},
        FixedCase{-9.9999996, "-10.000000"}));

// Exact powers of two cover every integer width up to the largest double and
// a buffer that must grow by hundreds of bytes at once.
TEST(Fixed6Wide, PowersOfTwoWrittenInFull) {
    for (int k : {0, 52, 53, 64, 100, 500, 1023}) {
        const std::string digits = pow2_decimal(k);
        const double x = std::ldexp(1.0, k);
        EXPECT_EQ(after_prefix([&](ByteBuffer& b) { ferrant::push_f64_fixed6(b, x); }),
                  digits + ".000000")
            << k;
        EXPECT_EQ(after_prefix([&](ByteBuffer& b) { ferrant::push_f64_fixed6(b, -x); }),
                  "-" + digits + ".000000")
            << k;
    }
    ByteBuffer b(64);
    b.append(std::string(63, 'x'));
    ferrant::push_f64_fixed6(b, std::numeric_limits<double>::max());
    EXPECT_EQ(b.size(), 63u + 309 + 7);
    EXPECT_EQ(b.view().substr(63, 6), "179769");
}
