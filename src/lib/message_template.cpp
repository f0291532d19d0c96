#include "lib/message_template.hpp"

#include <cstring>

#include "lib/escape.hpp"

namespace ferrant {

MessageTemplate parse_message_template(std::string_view text) {
    MessageTemplate t{};
    if (text.size() > MessageTemplate::kMaxLength) return t;
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = begin;
    int n = 0;
    bool plain = true;
    for (;;) {
        const char* pct =
            p == end ? nullptr
                     : static_cast<const char*>(std::memchr(p, '%', static_cast<std::size_t>(end - p)));
        const char* run_end = pct ? pct : end;
        t.run_offset[n] = static_cast<std::uint16_t>(p - begin);
        t.run_length[n] = static_cast<std::uint16_t>(run_end - p);
        plain = plain && escape_free({p, static_cast<std::size_t>(run_end - p)});
        t.run_bytes += t.run_length[n];
        if (!pct) break;
        if (n == MessageTemplate::kMaxConversions) return t;
        char c = pct + 1 < end ? pct[1] : MessageTemplate::kFallback;
        switch (c) {
            case 'd': case 'i': case 'o': case 'x': case 'f': case 'r': case 's': case '%':
                break;
            default:
                c = MessageTemplate::kFallback;
        }
        t.conversion[n++] = c;
        if (c != '%' && c != MessageTemplate::kFallback) ++t.arguments;
        if (c == MessageTemplate::kFallback) {
            // Nothing after it is used; an empty last run keeps the shape.
            t.run_offset[n] = static_cast<std::uint16_t>(pct - begin);
            t.run_length[n] = 0;
            break;
        }
        p = pct + 2;
    }
    t.conversions = static_cast<std::uint8_t>(n);
    t.plain = plain;
    t.fits = true;
    t.complete = !n || t.conversion[n - 1] != MessageTemplate::kFallback;
    return t;
}

}  // namespace ferrant
