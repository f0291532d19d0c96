#include "lib/escape.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ferrant {
namespace {

// 0: copied as is; 'u': \u00xx; anything else: backslash and that letter.
constexpr std::array<char, 256> kEscape = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['"'] = '"';
    t['\\'] = '\\';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    return t;
}();

// The text escapes also stop at the lead bytes of U+0080..U+009F ('c') and
// of U+2028, U+2029 ('e'), so a plain byte costs one look-up either way.
constexpr std::array<char, 256> kTextEscape = [] {
    std::array<char, 256> t = kEscape;
    t[0xC2] = 'c';
    t[0xE2] = 'e';
    return t;
}();

using namespace escape_detail;

constexpr char kHex[] = "0123456789abcdef";

// Non-zero when `w` may hold the start of a sequence the text escapes
// rewrite: C2 80..9F, or E2 80 A8 / E2 80 A9. Exact for one that starts in
// bytes 0..5; a lead byte 0xC2 or 0xE2 in byte 6 or 7, whose sequence may
// run into the next word, always counts. So common text such as E2 80 94
// (an em dash) or C2 A0 (a no-break space) stays on the eight-byte path.
inline std::uint64_t may_start_rewritten(std::uint64_t w) {
    // 0xC2 and 0xE2 differ only in bit 5.
    const std::uint64_t leads = has_zero_byte((w ^ (kOnes * 0xC2)) & ~(kOnes * 0x20));
    if (!leads) return 0;
    const std::uint64_t next = w >> 8;
    const std::uint64_t c1 = (w ^ (kOnes * 0xC2)) | ((next & (kOnes * 0xE0)) ^ (kOnes * 0x80));
    const std::uint64_t separator = (w ^ (kOnes * 0xE2)) | (next ^ (kOnes * 0x80)) |
                                    (((w >> 16) & (kOnes * 0xFE)) ^ (kOnes * 0xA8));
    return has_zero_byte(c1) | has_zero_byte(separator) | (leads & 0x8080000000000000u);
}

// Non-zero exactly when some byte of `w` is below 0x20, a quote or a
// backslash; for the text escapes also when a rewritten sequence may start
// in it. ASCII words skip that test, so plain text pays one more branch.
template <bool Text>
inline std::uint64_t needs_escape(std::uint64_t w) {
    std::uint64_t m = has_ascii_special(w);
    if constexpr (Text) {
        if (w & kHighs) m |= may_start_rewritten(w);
    }
    return m;
}

char* write_u_escape(char* out, unsigned code) {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = kHex[(code >> 12) & 0xF];
    out[3] = kHex[(code >> 8) & 0xF];
    out[4] = kHex[(code >> 4) & 0xF];
    out[5] = kHex[code & 0xF];
    return out + 6;
}

// Output and input positions, returned in registers.
struct Cursor {
    char* out;
    const char* in;
};

// Writes the character at `p`, whose table entry `e` is not 0: an escape,
// or for the text escapes a sequence they rewrite or a lead byte of another
// one.
template <bool Text>
[[gnu::noinline]] Cursor escape_special(char* out, const char* p, const char* end, char e) {
    const auto byte = static_cast<std::uint8_t>(*p);
    if constexpr (Text) {
        // Input may be any bytes: a lead byte at the end, or followed by
        // something else, is copied like any other byte.
        if (e == 'c' || e == 'e') {
            const auto next = end - p >= 2 ? static_cast<std::uint8_t>(p[1]) : 0;
            if (e == 'c' && next >= 0x80 && next <= 0x9F) return {write_u_escape(out, next), p + 2};
            const auto last = end - p >= 3 ? static_cast<std::uint8_t>(p[2]) : 0;
            if (e == 'e' && next == 0x80 && (last == 0xA8 || last == 0xA9))
                return {write_u_escape(out, 0x2000u + last - 0x80u), p + 3};
            *out = *p;
            return {out + 1, p + 1};
        }
    }
    if (e == 'u') return {write_u_escape(out, byte), p + 1};
    out[0] = '\\';
    out[1] = e;
    return {out + 2, p + 1};
}

// Copies plain bytes from `p` up to `stop`, handing the others to
// escape_special; a rewritten sequence may run past `stop`.
template <bool Text>
inline Cursor escape_bytes(char* out, const char* p, const char* stop, const char* end) {
    const std::array<char, 256>& table = Text ? kTextEscape : kEscape;
    while (p < stop) {
        const char e = table[static_cast<std::uint8_t>(*p)];
        if (!e) [[likely]] {
            *out++ = *p++;
            continue;
        }
        const Cursor next = escape_special<Text>(out, p, end, e);
        out = next.out;
        p = next.in;
    }
    return {out, p};
}

// One word of eight bytes: copied whole, or byte by byte where it needs it.
template <bool Text>
inline Cursor escape_word(char* out, const char* p, const char* end) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (!needs_escape<Text>(w)) [[likely]] {
        std::memcpy(out, p, 8);
        return {out + 8, p + 8};
    }
    return escape_bytes<Text>(out, p, p + 8, end);
}

#if defined(__SSE2__)
// Non-zero when one of the 16 bytes at `p` is below 0x20, a quote or a
// backslash, or for the text escapes not ASCII (the words decide those).
template <bool Text>
inline int chunk_needs_look(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                  _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                     _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v));
    if constexpr (Text) return _mm_movemask_epi8(_mm_or_si128(special, v));
    return _mm_movemask_epi8(special);
}
#endif

template <bool Text>
char* escape_unchecked(char* out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // Plain text, most messages, goes sixteen bytes at a time; a piece that
    // holds anything else goes as two words, each copied whole if it can.
    while (end - p >= 8) {
#if defined(__SSE2__)
        if (end - p >= 16) {
            if (!chunk_needs_look<Text>(p)) [[likely]] {
                std::memcpy(out, p, 16);
                out += 16;
                p += 16;
                continue;
            }
            const char* const stop = p + 16;
            while (p < stop && end - p >= 8) {
                const Cursor next = escape_word<Text>(out, p, end);
                out = next.out;
                p = next.in;
            }
            continue;
        }
#endif
        const Cursor next = escape_word<Text>(out, p, end);
        out = next.out;
        p = next.in;
    }
    // The last few bytes as one word too. The spaces that stand in for the
    // rest read as no continuation byte, which is what the end of the text
    // is to a sequence cut short.
    const auto rest = static_cast<std::size_t>(end - p);
    if (rest) {
        const std::uint64_t w = load_short(p, rest);
        if (!needs_escape<Text>(w)) {
            copy_under_8(out, p, rest);
            return out + rest;
        }
    }
    return escape_bytes<Text>(out, p, end, end).out;
}

template <bool Text>
void escape_into(ByteBuffer& out, std::string_view text) {
    out.reserve_extra(text.size() * JSON_ESCAPE_MAX_GROWTH);
    char* const start = out.end();
    out.commit(static_cast<std::size_t>(escape_unchecked<Text>(start, text) - start));
}

}  // namespace

char* json_escape_unchecked(char* out, std::string_view text) {
    return escape_unchecked<false>(out, text);
}

char* text_escape_unchecked(char* out, std::string_view text) {
    return escape_unchecked<true>(out, text);
}

bool escape_free(std::string_view text) {
    for (const char c : text)
        if (kTextEscape[static_cast<std::uint8_t>(c)]) return false;
    return true;
}

void json_escape(ByteBuffer& out, std::string_view text) { escape_into<false>(out, text); }

void text_escape(ByteBuffer& out, std::string_view text) { escape_into<true>(out, text); }

}  // namespace ferrant
