#include "lib/timestamp_cache.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "lib/digits.hpp"
#include "lib/line_format.hpp"
#include "lib/live_flags.hpp"

namespace ferrant {

using namespace line_format;

void StampText::assign(std::string_view a, std::string_view b, std::string_view c) {
    assert(a.size() + b.size() + c.size() <= kCapacity);
    std::size_t n = 0;
    for (std::string_view piece : {a, b, c}) {
        const std::size_t k = std::min(piece.size(), kCapacity - n);
        if (k) std::memcpy(bytes_ + n, piece.data(), k);
        n += k;
    }
    len_ = static_cast<std::uint8_t>(n);
}

WallTime ThreadTimestampCache::refresh() {
    const WallTime wall = source ? source->wall() : wall_now();
    mono_anchor = read_mono();
    wall_secs = wall.secs;
    wall_nanos = wall.nanos;
    return wall;
}

void TimestampCache::refresh(std::uint64_t s) {
    std::int32_t offset = offset_at(s);
    if (offset <= -86400 || offset >= 86400) offset = 0;

    char date_time[kDateTimeMax];
    const std::size_t dt_len = write_date_time(date_time, civil_time(s, offset));
    char offset_text[kOffsetSize];
    write_offset(offset_text, offset);
    char secs[20];
    const std::size_t secs_len = static_cast<std::size_t>(digits::write_u64(secs, s) - secs);

    text_time.assign(kTimeKey, {date_time, dt_len}, ".");
    text_offset.assign({offset_text, sizeof offset_text}, kTextLevelKey);
    text_unix.assign(kTimeKey, {secs, secs_len}, ".");

    // Clearing, rather than keeping, a variant whose flag is not visible makes
    // a text derived by refresh_for for an earlier second rebuild, not go stale.
    if (COLOR_LIVE.load(std::memory_order_acquire)) {
        derive_color();
    } else {
        color_time.clear();
        color_offset.clear();
        color_unix.clear();
    }
    if (JSON_LIVE.load(std::memory_order_acquire)) {
        derive_json();
    } else {
        json_time.clear();
        json_offset.clear();
        json_unix.clear();
    }
    second = s;
    // Far beyond any real clock, seconds are clamped: only the day's file
    // depends on them.
    constexpr std::uint64_t kLast = static_cast<std::uint64_t>(INT64_MAX) - 2 * 86400;
    day = record_day(static_cast<std::int64_t>(std::min(s, kLast)) + offset);
}

void TimestampCache::refresh_for(std::uint64_t s, StampVariant variant) {
    refresh(s);
    if (variant == StampVariant::Color && color_time.empty()) derive_color();
    if (variant == StampVariant::Json && json_time.empty()) derive_json();
}

void TimestampCache::derive_color() {
    const std::string_view offset = text_offset.view().substr(0, kOffsetSize);
    color_time.assign(kColorTimeKey, text_time.view().substr(kTimeKey.size()));
    color_offset.assign(offset, kColorLevelKey);
    color_unix.assign(kColorTimeKey, text_unix.view().substr(kTimeKey.size()));
}

void TimestampCache::derive_json() {
    const std::string_view offset = text_offset.view().substr(0, kOffsetSize);
    json_time.assign(kJsonLocalOpen, text_time.view().substr(kTimeKey.size()));
    json_offset.assign(offset, kJsonLocalLevelKey);
    json_unix.assign(kJsonUnixOpen, text_unix.view().substr(kTimeKey.size()));
}

}  // namespace ferrant
