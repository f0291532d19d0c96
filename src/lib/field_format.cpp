#include "lib/field_format.hpp"

#include <cstdint>
#include <cstring>

#include "lib/byte_buffer.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ferrant {

bool valid_field_key(std::string_view key) {
    if (key.empty() || key.size() > kFieldKeyMax) return false;
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(key[0]) && key[0] != '_') return false;
    for (const char c : key)
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '.' && c != '-')
            return false;
    return true;
}

bool reserved_field_key(std::string_view key) {
    return key == "time" || key == "level" || key == "name" || key == "msg" || key == "exc";
}

std::string safe_field_key(std::string_view key) {
    constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "@";
    out.reserve(1 + key.size());
    for (const char c : key) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            b == '_' || b == '.' || b == '-') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
    }
    return out;
}

namespace {

// Bytes a bare value may not hold: controls, space, '"', '=', '\\', DEL;
// 0xC2 and 0xE2 lead the sequences checked below.
struct BareTable {
    bool stop[256] = {};
    constexpr BareTable() {
        for (int c = 0; c <= 0x20; ++c) stop[c] = true;
        stop[static_cast<unsigned char>('"')] = stop[static_cast<unsigned char>('=')] = true;
        stop[static_cast<unsigned char>('\\')] = stop[0x7F] = true;
        stop[0xC2] = stop[0xE2] = true;
    }
};
constexpr BareTable BARE;

bool bare_bytewise(std::string_view value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (!BARE.stop[c]) [[likely]]
            continue;
        if (c != 0xC2 && c != 0xE2) return false;
        // The C1 controls (C2 80..9F) and U+2028, U+2029 (E2 80 A8/A9),
        // which the text escapes rewrite.
        const auto next = [&](std::size_t k) {
            return i + k < value.size() ? static_cast<unsigned char>(value[i + k]) : 0u;
        };
        if (c == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) return false;
        if (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) return false;
    }
    return true;
}

#if defined(__SSE2__)

// Bits of the bytes of `v` that stop a bare value, and (in `high`) of those
// from 0x80 up, which the bytewise rules decide.
inline unsigned stops(__m128i v, unsigned& high) {
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8('='))),
                     _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F))));
    high = static_cast<unsigned>(_mm_movemask_epi8(v));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, special)));
}

#endif

}  // namespace

bool bare_field_value(std::string_view value) {
    // Empty would leave `key=` with nothing a reader can tell from a typo.
    const std::size_t n = value.size();
    if (n == 0) return false;
#if defined(__SSE2__)
    const char* p = value.data();
    unsigned high = 0, found = 0;
    if (n < 16) {
        // Filled with a byte that stops nothing.
        char block[16];
        std::memset(block, 'a', sizeof block);
        copy_bytes(block, p, n);
        found = stops(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), high);
    } else {
        // Blocks of 16, the last one overlapping the one before it.
        for (std::size_t at = 0;; at += 16) {
            if (at + 16 > n) at = n - 16;
            unsigned h;
            found |= stops(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)), h);
            high |= h;
            if (found || at + 16 == n) break;
        }
    }
    if (found) return false;
    return high == 0 || bare_bytewise(value);
#else
    return bare_bytewise(value);
#endif
}

}  // namespace ferrant
