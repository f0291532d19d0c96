#include "lib/producer.hpp"

#include <cstring>

#include "lib/digits.hpp"

namespace ferrant {

namespace {

// Texts are copied at their full fixed width (a few vector moves instead of a
// call) and the write position then advances by their real length.
constexpr std::size_t kKeyWidth = 16;

// Head text, 9 fraction digits and tail text, each copied whole.
static_assert(kKeyWidth <= StampText::kCapacity);

struct PaddedKey {
    char bytes[kKeyWidth];
    std::size_t size;
};

constexpr PaddedKey pad(std::string_view key) {
    PaddedKey k{};
    for (std::size_t i = 0; i < key.size(); ++i) k.bytes[i] = key[i];
    k.size = key.size();
    return k;
}

constexpr PaddedKey kTextKey = pad(kTextLevelKey);
constexpr PaddedKey kColorKey = pad(kColorLevelKey);
constexpr PaddedKey kJsonKey = pad(kJsonLevelKey);
static_assert(kColorLevelKey.size() <= kKeyWidth && kJsonLevelKey.size() <= kKeyWidth);

char* put(char* out, const StampText& text) {
    std::memcpy(out, text.data(), StampText::kCapacity);
    return out + text.size();
}

char* put(char* out, const PaddedKey& key) {
    std::memcpy(out, key.bytes, kKeyWidth);
    return out + key.size;
}

}  // namespace

void Producer::append_time_prefix(std::uint64_t secs, std::uint32_t nanos,
                                  const WriterSettings& settings) {
    line_buf.reserve_extra(kMaxTimePrefix);
    char* const start = line_buf.end();
    line_buf.commit(static_cast<std::size_t>(put_time_prefix(start, secs, nanos, settings) - start));
}

char* Producer::put_time_prefix(char* out, std::uint64_t secs, std::uint32_t nanos,
                                const WriterSettings& settings) {
    assert(nanos < 1000000000u);
    if (stamps.second != secs) [[unlikely]]
        stamps.refresh(secs);

    const StampVariant variant = settings.format == Format::Json ? StampVariant::Json
                                 : settings.color                ? StampVariant::Color
                                                                 : StampVariant::Text;
    const StampText* head;
    const StampText* offset;
    const PaddedKey* level_key;
    switch (variant) {
        case StampVariant::Text:
            // Only a caller passing 2^64 - 1 itself can meet the initial mark.
            if (stamps.text_time.empty()) [[unlikely]]
                stamps.refresh(secs);
            head = settings.unix_ts ? &stamps.text_unix : &stamps.text_time;
            offset = &stamps.text_offset;
            level_key = &kTextKey;
            break;
        case StampVariant::Color:
            if (stamps.color_time.empty()) [[unlikely]]
                stamps.refresh_for(secs, variant);
            head = settings.unix_ts ? &stamps.color_unix : &stamps.color_time;
            offset = &stamps.color_offset;
            level_key = &kColorKey;
            break;
        default:
            if (stamps.json_time.empty()) [[unlikely]]
                stamps.refresh_for(secs, variant);
            head = settings.unix_ts ? &stamps.json_unix : &stamps.json_time;
            offset = &stamps.json_offset;
            level_key = &kJsonKey;
            break;
    }

    out = put(out, *head);
    if (settings.unix_ts) {
        digits::write_9(out, nanos);
        return put(out + 9, *level_key);
    }
    digits::write_6(out, nanos / 1000);
    return put(out + 6, *offset);
}

}  // namespace ferrant
