#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lib/clock.hpp"
#include "lib/local_time.hpp"
#include "lib/record_day.hpp"

namespace ferrant {

// Short text stored inline, so that rebuilding a cache never allocates.
class StampText {
public:
    // The longest text is a coloured date-time: 13 bytes of key, a year of up
    // to 12 digits (2^64 - 1 seconds fall in year 584,554,051,223), 15 bytes
    // of month to second and the point, 41 bytes in all.
    static constexpr std::size_t kCapacity = 47;

    const char* data() const { return bytes_; }
    std::size_t size() const { return len_; }
    bool empty() const { return len_ == 0; }
    std::string_view view() const { return {bytes_, len_}; }
    void clear() { len_ = 0; }
    void assign(std::string_view a, std::string_view b = {}, std::string_view c = {});

private:
    char bytes_[kCapacity] = {};  // fully initialised: copied whole per record
    std::uint8_t len_ = 0;
};

// Replacement clocks for tests. Production leaves the source null, which
// keeps the per-record monotonic read a direct call.
struct ClockSource {
    std::uint64_t (*mono)();
    WallTime (*wall)();
};

// A thread's anchor: the wall clock extrapolated by the monotonic clock, so
// the wall clock is read about once a second.
struct ThreadTimestampCache {
    std::uint64_t mono_anchor = 0;
    std::uint64_t wall_secs = 0;
    std::uint32_t wall_nanos = 0;
    const ClockSource* source = nullptr;

    explicit ThreadTimestampCache(const ClockSource* src = nullptr) : source(src) { refresh(); }

    // Takes a new anchor and returns its wall-clock time.
    WallTime refresh();

    // The current time, re-anchoring once a second of monotonic time has
    // passed. Times are not forced to increase across a re-anchoring.
    WallTime now() {
        const std::uint64_t elapsed = read_mono() - mono_anchor;  // wraps by design
        if (elapsed > 999999999u) [[unlikely]]
            return refresh();
        const std::uint64_t t = elapsed + wall_nanos;
        if (t < 1000000000u) return {wall_secs, static_cast<std::uint32_t>(t)};
        return {wall_secs + 1, static_cast<std::uint32_t>(t - 1000000000u)};
    }

    std::uint64_t read_mono() const {
        if (source) [[unlikely]]
            return source->mono();
        return mono_ns();
    }
};

enum class StampVariant : std::uint8_t { Text, Color, Json };

// Every timestamp text of one wall-clock second, up to the fraction and
// after it. The colour and JSON texts stay empty until their flag is set.
struct TimestampCache {
    StampText text_time;     // "time=" date-time "."
    StampText text_offset;   // offset " level="
    StampText text_unix;     // "time=" seconds "."
    StampText color_time;    // dim "time=" reset date-time "."
    StampText color_offset;  // offset " " dim "level=" reset
    StampText color_unix;    // dim "time=" reset seconds "."
    StampText json_time;     // "{\"time\":\"" date-time "."
    StampText json_offset;   // offset "\",\"level\":\""
    StampText json_unix;     // "{\"time\":" seconds "."
    std::uint64_t second = ~std::uint64_t{0};  // no real second: first use rebuilds
    std::int64_t day = kNoDay;  // record_day of `second`

    // Seconds east of UTC at an instant; replaceable for tests. A value a
    // day or more away from 0 is taken as 0.
    std::int32_t (*offset_at)(std::uint64_t) = utc_offset_at;

    // Rebuilds the plain texts, and the colour and JSON ones whose flag is
    // set, for `second`.
    void refresh(std::uint64_t second);

    // Rebuilds for `second` and makes sure the texts of `variant` exist even
    // if its flag is not (yet) visible to this thread.
    void refresh_for(std::uint64_t second, StampVariant variant);

private:
    void derive_color();
    void derive_json();
};

}  // namespace ferrant
