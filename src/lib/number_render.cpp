#include "lib/number_render.hpp"

#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>

#include "lib/digits.hpp"

namespace ferrant {
namespace {

// Negating in unsigned arithmetic keeps the most negative value defined.
std::uint64_t magnitude(std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    return v < 0 ? 0 - u : u;
}

// Digits of a power-of-two base, written backward from the exact length.
template <int kBits>
char* put_pow2_base(char* p, std::int64_t v) {
    static constexpr char kDigits[] = "0123456789abcdef";
    constexpr std::uint64_t kMask = (1u << kBits) - 1;
    std::uint64_t m = magnitude(v);
    const int len = (std::bit_width(m | 1) + kBits - 1) / kBits;
    const bool neg = v < 0;
    // Stored unconditionally; only a negative value keeps it.
    *p = '-';
    char* const end = p + neg + len;
    char* q = end;
    do {
        *--q = kDigits[m & kMask];
        m >>= kBits;
    } while (m);
    return end;
}

template <int kBits>
void push_pow2_base(ByteBuffer& out, std::int64_t v) {
    out.reserve_extra(kI64Max);
    out.commit(static_cast<std::size_t>(put_pow2_base<kBits>(out.end(), v) - out.end()));
}

// Sign, 309 integer digits of DBL_MAX, point and six decimals, with slack.
constexpr std::size_t kFixed6Max = kF64Fixed6Max;
// Sign, "0.000" and 17 significant digits, or 16 integer digits and 17 in all.
constexpr std::size_t kReprMax = 32;
static_assert(kReprMax + 2 <= kF64ReprMax);

}  // namespace

void push_u64(ByteBuffer& out, std::uint64_t v) {
    out.reserve_extra(20);
    char* end = digits::write_u64(out.end(), v);
    out.commit(static_cast<std::size_t>(end - out.end()));
}

void push_i64(ByteBuffer& out, std::int64_t v) {
    out.reserve_extra(21);
    char* p = out.end();
    // Stored unconditionally; a non-negative value overwrites it.
    *p = '-';
    char* end = digits::write_u64(p + (v < 0), magnitude(v));
    out.commit(static_cast<std::size_t>(end - p));
}

void push_i64_oct(ByteBuffer& out, std::int64_t v) { push_pow2_base<3>(out, v); }
void push_i64_hex(ByteBuffer& out, std::int64_t v) { push_pow2_base<4>(out, v); }

bool f64_repr_positional(double v) {
    const double m = std::fabs(v);
    // Written so that NaN fails.
    return v == 0.0 || (m >= 1e-4 && m < 1e16);
}

namespace {

constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7, 1e8,
                             1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16};

// The shortest repr of most floats people log (12.5, 0.25, 3.14159) without
// the general shortest-digits search: the fewest fraction digits k whose
// nearest decimal n / 10**k reads back as v. Below 2**50 the product
// v * 10**k is off by at most 1/16, so its nearest integer is the only
// candidate that can read back, and n / 10**k is one correctly rounded
// division; a fewer-digit form that reads back would have been found at a
// smaller k. False, writing nothing, for values that need another way.
bool put_short_repr(char* p, double v, std::size_t& size) {
    const double m = std::fabs(v);
    for (int k = 0; k < 17; ++k) {
        const double scaled = m * kPow10[k];
        if (!(scaled < 0x1p50)) return false;
        // Rounded as nearbyint does (to nearest, in the current mode) without
        // the library call: adding 2**52 leaves no fraction bits.
        const double n = (scaled + 0x1p52) - 0x1p52;
        if (n / kPow10[k] != m) continue;
        const auto units = static_cast<std::uint64_t>(n);
        const auto count = static_cast<std::size_t>(digits::count_digits(units));
        const auto frac = static_cast<std::size_t>(k);
        char* q = p;
        if (v < 0) *q++ = '-';
        if (count <= frac) {  // 0.000ddd
            *q++ = '0';
            *q++ = '.';
            for (std::size_t z = count; z < frac; ++z) *q++ = '0';
            q = digits::write_u64(q, units);
        } else {
            // The digits, then the fraction moved one place for the point.
            char* end = digits::write_u64(q, units);
            if (frac == 0) {
                end[0] = '.';
                end[1] = '0';
                q = end + 2;
            } else {
                for (char* c = end; c > end - frac; --c) *c = c[-1];
                end[-static_cast<std::ptrdiff_t>(frac)] = '.';
                q = end + 1;
            }
        }
        size = static_cast<std::size_t>(q - p);
        return true;
    }
    return false;
}

}  // namespace

char* put_f64_repr(char* p, double v) {
    if (v == 0.0) {
        const std::string_view zero = std::signbit(v) ? "-0.0" : "0.0";
        std::memcpy(p, zero.data(), zero.size());
        return p + zero.size();
    }
    const double m = std::fabs(v);
    // Written so that NaN fails too.
    if (!(m >= 1e-4 && m < 1e16)) return nullptr;
    std::size_t short_size = 0;
    if (put_short_repr(p, v, short_size)) return p + short_size;
    // Shortest round-trip digits, forced into positional form.
    const auto r = std::to_chars(p, p + kReprMax, v, std::chars_format::fixed);
    assert(r.ec == std::errc{});
    std::size_t n = static_cast<std::size_t>(r.ptr - p);
    if (!std::memchr(p, '.', n)) {
        std::memcpy(p + n, ".0", 2);
        n += 2;
    }
    return p + n;
}

bool push_f64_repr(ByteBuffer& out, double v) {
    out.reserve_extra(kF64ReprMax);
    char* end = put_f64_repr(out.end(), v);
    if (!end) return false;
    out.commit(static_cast<std::size_t>(end - out.end()));
    return true;
}

char* put_f64_shortest(char* p, double v) {
    if (!std::isfinite(v)) {
        const std::string_view word = std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf";
        std::memcpy(p, word.data(), word.size());
        return p + word.size();
    }
    if (char* end = put_f64_repr(p, v)) return end;
    // Beyond repr's positional range: the shortest digits in exponent form,
    // which for a double is how repr writes them ("1e+16", "1.5e-07").
    return std::to_chars(p, p + kF64AnyMax, v, std::chars_format::scientific).ptr;
}

char* put_f64_fixed6(char* p, double v) {
    assert(std::isfinite(v));
    const auto r = std::to_chars(p, p + kFixed6Max, v, std::chars_format::fixed, 6);
    assert(r.ec == std::errc{});
    return r.ptr;
}

void push_f64_fixed6(ByteBuffer& out, double v) {
    out.reserve_extra(kFixed6Max);
    out.commit(static_cast<std::size_t>(put_f64_fixed6(out.end(), v) - out.end()));
}

char* put_i64_as(char* p, char conversion, std::int64_t v) {
    if (conversion == 'o') return put_pow2_base<3>(p, v);
    if (conversion == 'x') return put_pow2_base<4>(p, v);
    *p = '-';  // a non-negative value overwrites it
    return digits::write_u64(p + (v < 0), magnitude(v));
}

}  // namespace ferrant
