#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

namespace ferrant::digits {

// "00" "01" ... "99": two output digits per division by 100.
inline constexpr char kPairs[201] =
    "0001020304050607080910111213141516171819"
    "2021222324252627282930313233343536373839"
    "4041424344454647484950515253545556575859"
    "6061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline void write_pair(char* out, std::uint32_t v) {
    assert(v < 100);
    std::memcpy(out, kPairs + 2 * v, 2);
}

inline int count_digits(std::uint64_t v) {
    static constexpr std::uint64_t kPow10[20] = {
        1ull,
        10ull,
        100ull,
        1000ull,
        10000ull,
        100000ull,
        1000000ull,
        10000000ull,
        100000000ull,
        1000000000ull,
        10000000000ull,
        100000000000ull,
        1000000000000ull,
        10000000000000ull,
        100000000000000ull,
        1000000000000000ull,
        10000000000000000ull,
        100000000000000000ull,
        1000000000000000000ull,
        10000000000000000000ull,
    };
    // 1233 / 4096 approximates log10(2); the table corrects the estimate.
    // Zero counts as the one digit "0".
    v |= 1;
    const int t = (std::bit_width(v) * 1233) >> 12;
    return t + 1 - (v < kPow10[t]);
}

// Writes the decimal digits of v so that they end just before `end`; returns
// the first digit's address.
inline char* write_backward(char* end, std::uint64_t v) {
    char* p = end;
    while (v >= 100) {
        p -= 2;
        write_pair(p, static_cast<std::uint32_t>(v % 100));
        v /= 100;
    }
    if (v < 10) {
        *--p = static_cast<char>('0' + v);
    } else {
        p -= 2;
        write_pair(p, static_cast<std::uint32_t>(v));
    }
    return p;
}

// The caller must provide count_digits(v) (at most 20) bytes; returns the end.
inline char* write_u64(char* out, std::uint64_t v) {
    char* end = out + count_digits(v);
    write_backward(end, v);
    return end;
}

// Exactly 6 digits, zero-padded, no branch: the caller ensures v < 10^6.
inline void write_6(char* out, std::uint32_t v) {
    assert(v < 1000000);
    const std::uint32_t lo = v % 10000;
    write_pair(out, v / 10000);
    write_pair(out + 2, lo / 100);
    write_pair(out + 4, lo % 100);
}

// Exactly 9 digits, zero-padded, no branch: the caller ensures v < 10^9.
inline void write_9(char* out, std::uint32_t v) {
    assert(v < 1000000000);
    const std::uint32_t rest = v % 100000000;
    const std::uint32_t hi = rest / 10000;
    const std::uint32_t lo = rest % 10000;
    out[0] = static_cast<char>('0' + v / 100000000);
    write_pair(out + 1, hi / 100);
    write_pair(out + 3, hi % 100);
    write_pair(out + 5, lo / 100);
    write_pair(out + 7, lo % 100);
}

}  // namespace ferrant::digits
