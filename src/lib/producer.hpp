#pragma once

#include <cstdint>

#include "lib/byte_buffer.hpp"
#include "lib/clock.hpp"
#include "lib/timestamp_cache.hpp"
#include "lib/writer_settings.hpp"

namespace ferrant {

// One logging thread's state: its time caches, its pending batch and its
// interpolation buffer. Owned by the thread; nothing here is shared.
struct Producer {
    bool in_use = false;  // set while a log call updates this record
    TimestampCache stamps;
    ByteBuffer line_buf{4096};
    ByteBuffer scratch;
    ThreadTimestampCache clock;
    std::uint64_t pending = 0;

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
    // the end of what was written.
    static constexpr std::size_t kMaxTimePrefix = 2 * StampText::kCapacity + 9;
    char* put_time_prefix(char* out, std::uint64_t secs, std::uint32_t nanos,
                          const WriterSettings& settings);
};

}  // namespace ferrant
