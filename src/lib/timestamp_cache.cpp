#include "lib/timestamp_cache.hpp"

#include <algorithm>
#include <cstring>

#include "lib/digits.hpp"
#include "lib/live_flags.hpp"

namespace ferrant {

namespace {

constexpr std::string_view kTimeKey = "time=";
constexpr std::string_view kColorTimeKey = "\x1b[2mtime=\x1b[0m";
constexpr std::string_view kJsonLocalOpen = "{\"time\":\"";
constexpr std::string_view kJsonUnixOpen = "{\"time\":";
constexpr std::string_view kJsonLocalLevelKey = "\",\"level\":\"";

// Year (at least 4 digits) "-" month "-" day "T" hour ":" minute ":" second.
std::size_t write_date_time(char* out, const CivilTime& t) {
    assert(t.date.year >= 0);
    const auto year = static_cast<std::uint64_t>(t.date.year);
    char* p = out;
    for (int pad = 4 - digits::count_digits(year); pad > 0; --pad) *p++ = '0';
    p = digits::write_u64(p, year);
    *p++ = '-';
    digits::write_pair(p, t.date.month);
    p[2] = '-';
    digits::write_pair(p + 3, t.date.day);
    p[5] = 'T';
    digits::write_pair(p + 6, t.hour);
    p[8] = ':';
    digits::write_pair(p + 9, t.minute);
    p[11] = ':';
    digits::write_pair(p + 12, t.second);
    return static_cast<std::size_t>(p + 14 - out);
}

// Sign, hours and minutes; the seconds of an offset are dropped.
void write_offset(char* out, std::int32_t offset) {
    const std::uint32_t a = offset < 0 ? static_cast<std::uint32_t>(-offset)
                                       : static_cast<std::uint32_t>(offset);
    out[0] = offset < 0 ? '-' : '+';
    digits::write_pair(out + 1, a / 3600);
    out[3] = ':';
    digits::write_pair(out + 4, a / 60 % 60);
}

}  // namespace

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

    char date_time[32];
    const std::size_t dt_len = write_date_time(date_time, civil_time(s, offset));
    char offset_text[6];
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
}

void TimestampCache::refresh_for(std::uint64_t s, StampVariant variant) {
    refresh(s);
    if (variant == StampVariant::Color && color_time.empty()) derive_color();
    if (variant == StampVariant::Json && json_time.empty()) derive_json();
}

void TimestampCache::derive_color() {
    const std::string_view offset = text_offset.view().substr(0, 6);
    color_time.assign(kColorTimeKey, text_time.view().substr(kTimeKey.size()));
    color_offset.assign(offset, kColorLevelKey);
    color_unix.assign(kColorTimeKey, text_unix.view().substr(kTimeKey.size()));
}

void TimestampCache::derive_json() {
    const std::string_view offset = text_offset.view().substr(0, 6);
    json_time.assign(kJsonLocalOpen, text_time.view().substr(kTimeKey.size()));
    json_offset.assign(offset, kJsonLocalLevelKey);
    json_unix.assign(kJsonUnixOpen, text_unix.view().substr(kTimeKey.size()));
}

}  // namespace ferrant
