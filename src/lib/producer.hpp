#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "lib/byte_buffer.hpp"
#include "lib/clock.hpp"
#include "lib/digits.hpp"
#include "lib/line_format.hpp"
#include "lib/timestamp_cache.hpp"
#include "lib/writer_settings.hpp"

namespace ferrant {

namespace producer_detail {

// Texts are copied at their full fixed width (a few vector moves instead of a
// call) and the write position then advances by their real length.
static_assert(kPiecePad <= StampText::kCapacity);

inline char* put(char* out, const StampText& text) {
    std::memcpy(out, text.data(), StampText::kCapacity);
    return out + text.size();
}

inline char* put(char* out, const line_format::PaddedKey& key) {
    std::memcpy(out, key.bytes, kPiecePad);
    return out + key.size;
}

}  // namespace producer_detail

// One logging thread's state: its time caches, its pending batch and its
// interpolation buffer. Owned by the thread; nothing here is shared.
struct Producer {
    bool in_use = false;  // set while a log call updates this record
    TimestampCache stamps;
    ByteBuffer line_buf{4096};
    ByteBuffer scratch;
    ThreadTimestampCache clock;
    std::uint64_t pending = 0;
    BatchDays days;  // of the lines in line_buf

    // Set as `pending` to have the batch handed off after the current line.
    static constexpr std::uint64_t kHandOffNow = std::uint64_t{1} << 62;

    // Anchors the clock; `source` replaces the system clocks in tests.
    explicit Producer(const ClockSource* source = nullptr) : clock(source) {}

    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    WallTime current_time() { return clock.now(); }

    // Appends everything from the start of the line through the level key,
    // first rebuilding `stamps` when they describe another second or lack
    // the variant the settings need. `nanos` must be below 10^9.
    void append_time_prefix(std::uint64_t secs, std::uint32_t nanos,
                            const WriterSettings& settings);

    // The same into raw memory with room for kMaxTimePrefix bytes; returns
    // the end of what was written. Inline: it is most of the log call's
    // fixed work.
    static constexpr std::size_t kMaxTimePrefix = 2 * StampText::kCapacity + 9;
    char* put_time_prefix(char* out, std::uint64_t secs, std::uint32_t nanos,
                          const WriterSettings& settings);

    // For the empty batch that follows a hand-off: its lines are of the
    // cached second's day until that second changes.
    void clear_days() { days = BatchDays{stamps.day}; }

private:
    // The line about to be written (from line_buf's end) is of stamps.day,
    // another day than the batch's lines: it begins the batch's second part,
    // and the batch goes once the line is written.
    [[gnu::noinline, gnu::cold]] void enter_day();
};

[[gnu::always_inline]] inline void Producer::append_time_prefix(std::uint64_t secs,
                                                                std::uint32_t nanos,
                                                                const WriterSettings& settings) {
    line_buf.reserve_extra(kMaxTimePrefix);
    char* const start = line_buf.end();
    line_buf.commit(static_cast<std::size_t>(put_time_prefix(start, secs, nanos, settings) - start));
}

[[gnu::always_inline]] inline char* Producer::put_time_prefix(char* out, std::uint64_t secs, std::uint32_t nanos,
                                const WriterSettings& settings) {
    assert(nanos < 1000000000u);
    if (stamps.second != secs) [[unlikely]] {
        stamps.refresh(secs);
        if (stamps.day != days.day) enter_day();
    }

    const StampVariant variant = settings.format == Format::Json ? StampVariant::Json
                                 : settings.color                ? StampVariant::Color
                                                                 : StampVariant::Text;
    const StampText* head;
    const StampText* offset;
    const line_format::PaddedKey* level_key;
    switch (variant) {
        case StampVariant::Text:
            // Only a caller passing 2^64 - 1 itself can meet the initial mark.
            if (stamps.text_time.empty()) [[unlikely]]
                stamps.refresh(secs);
            head = settings.unix_ts ? &stamps.text_unix : &stamps.text_time;
            offset = &stamps.text_offset;
            level_key = &line_format::kTextKey;
            break;
        case StampVariant::Color:
            if (stamps.color_time.empty()) [[unlikely]]
                stamps.refresh_for(secs, variant);
            head = settings.unix_ts ? &stamps.color_unix : &stamps.color_time;
            offset = &stamps.color_offset;
            level_key = &line_format::kColorKey;
            break;
        default:
            if (stamps.json_time.empty()) [[unlikely]]
                stamps.refresh_for(secs, variant);
            head = settings.unix_ts ? &stamps.json_unix : &stamps.json_time;
            offset = &stamps.json_offset;
            level_key = &line_format::kJsonKey;
            break;
    }

    using producer_detail::put;
    out = put(out, *head);
    if (settings.unix_ts) {
        digits::write_9(out, nanos);
        return put(out + 9, *level_key);
    }
    digits::write_6(out, nanos / 1000);
    return put(out + 6, *offset);
}

}  // namespace ferrant
