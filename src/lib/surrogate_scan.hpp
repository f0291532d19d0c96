#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Whether a string's code units (UCS-2 or UCS-4, as the interpreter keeps
// a str that is not Latin-1) hold a surrogate, U+D800..U+DFFF: a code point
// that UTF-8 cannot encode alone. Eight bytes at a time, branch-free within
// them, since the answer is almost always no and the strings are short.

namespace ferrant {

namespace surrogate_detail {

// Nonzero iff some lane of `w` is zero: `ones` holds a 1 in each lane's
// lowest bit, `highs` in its highest. Without a zero lane nothing borrows.
inline std::uint64_t any_zero_lane(std::uint64_t w, std::uint64_t ones, std::uint64_t highs) {
    return (w - ones) & ~w & highs;
}

}  // namespace surrogate_detail

inline bool has_surrogate(const std::uint16_t* units, std::size_t n) {
    constexpr std::uint64_t kMask = 0xF800F800F800F800u, kSurrogate = 0xD800D800D800D800u;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::uint64_t w;
        std::memcpy(&w, units + i, 8);
        if (surrogate_detail::any_zero_lane((w & kMask) ^ kSurrogate, 0x0001000100010001u,
                                            0x8000800080008000u))
            return true;
    }
    for (; i < n; ++i)
        if ((units[i] & 0xF800) == 0xD800) return true;
    return false;
}

inline bool has_surrogate(const std::uint32_t* units, std::size_t n) {
    constexpr std::uint64_t kMask = 0xFFFFF800FFFFF800u, kSurrogate = 0x0000D8000000D800u;
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        std::uint64_t w;
        std::memcpy(&w, units + i, 8);
        if (surrogate_detail::any_zero_lane((w & kMask) ^ kSurrogate, 0x0000000100000001u,
                                            0x8000000080000000u))
            return true;
    }
    return i < n && (units[i] & 0xFFFFF800u) == 0xD800u;
}

}  // namespace ferrant
