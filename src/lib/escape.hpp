#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "lib/byte_buffer.hpp"

namespace ferrant {

// Bytes written per input byte at worst (\u00xx).
inline constexpr std::size_t JSON_ESCAPE_MAX_GROWTH = 6;

// Appends `text` as the contents of a JSON string: \" \\ \n \r \t, \u00xx for
// the other bytes below 0x20, every other byte (0x7F and all UTF-8 sequence
// bytes included) unchanged.
void json_escape(ByteBuffer& out, std::string_view text);

// The same into raw memory, which must hold JSON_ESCAPE_MAX_GROWTH bytes per
// byte of `text`. Returns the end of what was written.
char* json_escape_unchecked(char* out, std::string_view text);

// The JSON escapes, and also \u0080..\u009f for the C1 controls (U+009B is a
// CSI to some terminals) and \u2028, \u2029 (line breaks to many readers),
// so that a quoted text value reaches neither a terminal nor a line splitter
// as anything but text. Same growth bound as json_escape.
void text_escape(ByteBuffer& out, std::string_view text);
char* text_escape_unchecked(char* out, std::string_view text);

namespace escape_detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHighs = 0x8080808080808080u;

// Non-zero when some byte of `w` is zero (exact as to whether any is; which
// bytes are flagged may be off above the first match).
inline std::uint64_t has_zero_byte(std::uint64_t w) { return (w - kOnes) & ~w & kHighs; }

// Non-zero when some byte of `w` is below 0x20, a quote or a backslash.
inline std::uint64_t has_ascii_special(std::uint64_t w) {
    return ((w - kOnes * 0x20) & ~w & kHighs) | has_zero_byte(w ^ (kOnes * '"')) |
           has_zero_byte(w ^ (kOnes * '\\'));
}

// The 1..7 bytes at `p` in the low bytes of a word, spaces above them.
inline std::uint64_t load_short(const char* p, std::size_t n) {
    std::uint64_t w;
    if (n >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        w = head | (std::uint64_t{tail} << (8 * (n - 4)));
    } else {
        w = static_cast<std::uint8_t>(p[0]) |
            (std::uint64_t{static_cast<std::uint8_t>(p[n / 2])} << (8 * (n / 2))) |
            (std::uint64_t{static_cast<std::uint8_t>(p[n - 1])} << (8 * (n - 1)));
    }
    return w | (kOnes * ' ') << (8 * n);
}

}  // namespace escape_detail

// The escapes of the layout, with plain ASCII under 16 bytes (most argument
// values and short messages) checked and copied inline. Writes up to 8 bytes
// even for a shorter text: `out` needs that much room besides the escapes'
// own bound.
inline char* escape_for_layout(char* out, std::string_view text, bool json) {
    using namespace escape_detail;
    const std::size_t n = text.size();
    if (n < 8) {
        if (!n) return out;
        const std::uint64_t w = load_short(text.data(), n);
        if (!((w & kHighs) | has_ascii_special(w))) {
            std::memcpy(out, &w, 8);
            return out + n;
        }
    } else if (n < 16) {
        // Two words that overlap in the middle.
        std::uint64_t head, tail;
        std::memcpy(&head, text.data(), 8);
        std::memcpy(&tail, text.data() + n - 8, 8);
        if (!(((head | tail) & kHighs) | has_ascii_special(head) | has_ascii_special(tail))) {
            std::memcpy(out, &head, 8);
            std::memcpy(out + n - 8, &tail, 8);
            return out + n;
        }
    }
    return json ? json_escape_unchecked(out, text) : text_escape_unchecked(out, text);
}

// True when both escapes copy `text` unchanged. Conservative: any lead byte
// of a sequence the text escapes may rewrite counts as needing one.
bool escape_free(std::string_view text);

}  // namespace ferrant
