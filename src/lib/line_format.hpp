#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lib/byte_buffer.hpp"
#include "lib/local_time.hpp"
#include "lib/rank.hpp"
#include "lib/writer_settings.hpp"

// Everything a line is made of, in every layout: the keys, the level words
// and their colours, the forms of the time, how a name and a message are
// quoted, and the line end. A new field kind is added here and in the tests
// of this module; lines are assembled from these pieces by line_builder.hpp.
//
//   text:   time=<local>.<micro><offset> level=<level> name=<name> msg="<message>"
//   colour: the same, keys dim and the level word in its colour
//   JSON:   {"time":"<local>.<micro><offset>","level":"<level>","name":"<name>","msg":"<message>"}
//   with unix_ts the time is <seconds>.<nanos>, a number in JSON.

namespace ferrant {

// The padding contract of the fast copies. Every fixed piece a line is built
// from (a logger's head, a template's runs, a level key) is stored with
// kPiecePad readable bytes after it, and every write into a line keeps
// kPiecePad writable bytes past what it commits: copies then move whole
// 16-byte words, and an escape may store one word past a short text.
inline constexpr std::size_t kPiecePad = 16;

namespace line_format {

// The time field, up to its digits.
inline constexpr std::string_view kTimeKey = "time=";
inline constexpr std::string_view kColorTimeKey = "\x1b[2mtime=\x1b[0m";
inline constexpr std::string_view kJsonLocalOpen = "{\"time\":\"";
inline constexpr std::string_view kJsonUnixOpen = "{\"time\":";

// From the end of the time to the level word.
inline constexpr std::string_view kTextLevelKey = " level=";
inline constexpr std::string_view kColorLevelKey = " \x1b[2mlevel=\x1b[0m";
inline constexpr std::string_view kJsonLevelKey = ",\"level\":\"";        // after a number
inline constexpr std::string_view kJsonLocalLevelKey = "\",\"level\":\"";  // after a string

// The local time's date and time to the second, "YYYY-MM-DDTHH:MM:SS" (the
// year at least four digits); at least kDateTimeMax bytes of room. Returns
// the bytes written.
inline constexpr std::size_t kDateTimeMax = 32;
std::size_t write_date_time(char* out, const CivilTime& t);

// A UTC offset as "+HH:MM" (its seconds dropped): kOffsetSize bytes.
inline constexpr std::size_t kOffsetSize = 6;
void write_offset(char* out, std::int32_t offset_seconds);

// A level key for the time prefix, stored at the full copy width: copied as
// one 16-byte move, then the write position advances by `size`.
struct PaddedKey {
    char bytes[kPiecePad];
    std::size_t size;
};

constexpr PaddedKey pad(std::string_view key) {
    PaddedKey k{};
    for (std::size_t i = 0; i < key.size(); ++i) k.bytes[i] = key[i];
    k.size = key.size();
    return k;
}

static_assert(kTextLevelKey.size() <= kPiecePad && kColorLevelKey.size() <= kPiecePad &&
              kJsonLevelKey.size() <= kPiecePad);
inline constexpr PaddedKey kTextKey = pad(kTextLevelKey);
inline constexpr PaddedKey kColorKey = pad(kColorLevelKey);
inline constexpr PaddedKey kJsonKey = pad(kJsonLevelKey);

}  // namespace line_format

// The fixed pieces of a line after the time prefix, for one writer's look.
struct LineLayout {
    std::string_view level[RANK_SLOTS];  // by rank_index; [0] unused
    std::string_view name_key;
    std::string_view msg_key;   // through the opening quote of the message
    std::string_view line_end;  // kLineEndRead bytes readable
    static constexpr std::size_t kLineEndRead = 4;
    bool json;                  // JSON string escapes, else the text escapes
    // Around a key=value field's key: ` key=`, dim in colour, `,"key":`.
    std::string_view field_open;
    std::string_view field_close;
    // Its place among the layouts, for what is rendered ahead for each.
    unsigned slot;

    static constexpr unsigned kSlots = 3;
    static const LineLayout& for_settings(const WriterSettings& settings);
    static const LineLayout& at(unsigned slot);  // 0 text, 1 colour, 2 JSON
    static const LineLayout& json_layout();
};

static_assert(LineLayout::kLineEndRead <= kPiecePad);

// The name field of a logger, built once when the logger is created. In the
// text layouts a name that a logfmt reader could misread is quoted and
// escaped; a plain one is written bare.
std::string render_name_field(std::string_view name, const WriterSettings& settings);

// Level text, name field (may be empty) and message key of one rank: the
// fixed part of a line after the time prefix, built once per logger (which
// keeps kPiecePad bytes after it).
std::string record_head(const LineLayout& layout, Rank rank, std::string_view name_field);

}  // namespace ferrant
