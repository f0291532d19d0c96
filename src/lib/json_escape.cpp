#include "lib/json_escape.hpp"

#include <array>
#include <cstdint>

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

}  // namespace

void json_escape(ByteBuffer& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    // Most texts need no escape: one reservation covers the whole copy.
    out.reserve_extra(text.size());
    const char* run = text.data();
    const char* const end = run + text.size();
    for (const char* p = run; p != end; ++p) {
        const auto byte = static_cast<std::uint8_t>(*p);
        const char e = kEscape[byte];
        if (!e) [[likely]]
            continue;
        out.append(run, static_cast<std::size_t>(p - run));
        run = p + 1;
        if (e != 'u') {
            const char pair[2] = {'\\', e};
            out.append(pair, 2);
        } else {
            const char seq[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
            out.append(seq, 6);
        }
    }
    out.append(run, static_cast<std::size_t>(end - run));
}

}  // namespace ferrant
