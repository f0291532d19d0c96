#pragma once

#include <string>
#include <string_view>

#include "lib/byte_buffer.hpp"
#include "lib/writer_settings.hpp"

namespace ferrant {

// The fixed pieces of a line after the time prefix, for one writer's look.
struct LineLayout {
    std::string_view level[6];  // by rank 1 (error) .. 5 (trace); [0] unused
    std::string_view name_key;
    std::string_view msg_key;   // through the opening quote of the message
    std::string_view line_end;  // four bytes readable
    static constexpr std::size_t kLineEndRead = 4;
    bool json;                  // JSON string escapes, else the text escapes

    static const LineLayout& for_settings(const WriterSettings& settings);
};

// The name field of a logger, built once when the logger is created. In the
// text layouts a name that a logfmt reader could misread is quoted and
// escaped; a plain one is written bare.
std::string render_name_field(std::string_view name, const WriterSettings& settings);

// Level text, name field (may be empty) and message key of one rank: the
// fixed part of a line after the time prefix, built once per logger.
std::string record_head(const LineLayout& layout, unsigned rank, std::string_view name_field);

// Appends everything after the time prefix: the record head, the message
// escaped for the layout and the layout's line end. One record, one line.
void append_record_tail(ByteBuffer& out, std::string_view head, std::string_view message,
                        const LineLayout& layout);

}  // namespace ferrant
