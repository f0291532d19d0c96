#include "lib/json_escape.hpp"

#include <array>
#include <cstdint>
#include <cstring>

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

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;

// Non-zero exactly when some byte of `w` is below 0x20, a quote or a
// backslash (which byte is flagged may be off after a match; only whether
// any is matters here).
inline std::uint64_t needs_escape(std::uint64_t w) {
    const std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    const std::uint64_t q = w ^ (kOnes * '"');
    const std::uint64_t b = w ^ (kOnes * '\\');
    return (below_space | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs;
}

// Writes one byte of text, escaped when it must be.
char* escape_byte(char* out, char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto byte = static_cast<std::uint8_t>(c);
    const char e = kEscape[byte];
    if (!e) {
        *out = c;
        return out + 1;
    }
    out[0] = '\\';
    if (e != 'u') {
        out[1] = e;
        return out + 2;
    }
    std::memcpy(out + 1, "u00", 3);
    out[4] = kHex[byte >> 4];
    out[5] = kHex[byte & 0xF];
    return out + 6;
}

}  // namespace

char* json_escape_unchecked(char* out, std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    // Eight bytes at a time while nothing needs escaping: most messages are
    // plain text.
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (!needs_escape(w)) {
            std::memcpy(out, p, 8);
            out += 8;
            p += 8;
            continue;
        }
        for (const char* stop = p + 8; p != stop; ++p) out = escape_byte(out, *p);
    }
    for (; p != end; ++p) out = escape_byte(out, *p);
    return out;
}

void json_escape(ByteBuffer& out, std::string_view text) {
    out.reserve_extra(text.size() * JSON_ESCAPE_MAX_GROWTH);
    char* const start = out.end();
    out.commit(static_cast<std::size_t>(json_escape_unchecked(start, text) - start));
}

}  // namespace ferrant
