#include "lib/producer.hpp"

#include <cstring>

#include "lib/digits.hpp"

namespace ferrant {

namespace {

// Head text, 9 fraction digits and tail text: an upper bound of any prefix.
constexpr std::size_t kMaxPrefix = 2 * StampText::kCapacity + 9;

char* put(char* out, const char* p, std::size_t n) {
    std::memcpy(out, p, n);
    return out + n;
}

}  // namespace

void Producer::append_time_prefix(std::uint64_t secs, std::uint32_t nanos,
                                  const WriterSettings& settings) {
    assert(nanos < 1000000000u);
    if (stamps.second != secs) [[unlikely]]
        stamps.refresh(secs);

    const StampVariant variant = settings.format == Format::Json ? StampVariant::Json
                                 : settings.color                ? StampVariant::Color
                                                                 : StampVariant::Text;
    const StampText* head;
    const StampText* offset;
    std::string_view level_key;
    switch (variant) {
        case StampVariant::Text:
            // Only a caller passing 2^64 - 1 itself can meet the initial mark.
            if (stamps.text_time.empty()) [[unlikely]]
                stamps.refresh(secs);
            head = settings.unix_ts ? &stamps.text_unix : &stamps.text_time;
            offset = &stamps.text_offset;
            level_key = kTextLevelKey;
            break;
        case StampVariant::Color:
            if (stamps.color_time.empty()) [[unlikely]]
                stamps.refresh_for(secs, variant);
            head = settings.unix_ts ? &stamps.color_unix : &stamps.color_time;
            offset = &stamps.color_offset;
            level_key = kColorLevelKey;
            break;
        default:
            if (stamps.json_time.empty()) [[unlikely]]
                stamps.refresh_for(secs, variant);
            head = settings.unix_ts ? &stamps.json_unix : &stamps.json_time;
            offset = &stamps.json_offset;
            level_key = kJsonLevelKey;
            break;
    }

    line_buf.reserve_extra(kMaxPrefix);
    char* const start = line_buf.end();
    char* out = put(start, head->data(), head->size());
    if (settings.unix_ts) {
        digits::write_9(out, nanos);
        out = put(out + 9, level_key.data(), level_key.size());
    } else {
        digits::write_6(out, nanos / 1000);
        out = put(out + 6, offset->data(), offset->size());
    }
    line_buf.commit(static_cast<std::size_t>(out - start));
}

}  // namespace ferrant
