#include "lib/line_format.hpp"

#include <cassert>
#include <cstring>

#include "lib/digits.hpp"
#include "lib/escape.hpp"

namespace ferrant {

namespace {

// Line ends are padded to four readable bytes: they are copied as one word.
constexpr LineLayout TEXT = {
    {"", "error", "warn", "info", "debug", "trace"},
    " name=",
    " msg=\"",
    {"\"\n\0", 2},
    false,
    " ",
    "=",
    0,
};

constexpr LineLayout COLOR = {
    {"", "\x1b[31merror\x1b[0m", "\x1b[33mwarn\x1b[0m", "\x1b[32minfo\x1b[0m",
     "\x1b[36mdebug\x1b[0m", "\x1b[2mtrace\x1b[0m"},
    " \x1b[2mname=\x1b[0m",
    " \x1b[2mmsg=\x1b[0m\"",
    {"\"\n\0", 2},
    false,
    " \x1b[2m",
    "=\x1b[0m",
    1,
};

constexpr LineLayout JSON = {
    {"", "error\"", "warn\"", "info\"", "debug\"", "trace\""},
    ",\"name\":\"",
    ",\"msg\":\"",
    "\"}\n",
    true,
    ",\"",
    "\":",
    2,
};

// Empty stays bare too: " name=" then " msg=" is still one unambiguous pair.
bool bare_name(std::string_view name) {
    for (unsigned char c : name)
        if (c <= 0x20 || c == '"' || c == '=' || c == '\\') return false;
    // Nor may it hold what the text escapes rewrite (C1 controls, U+2028,
    // U+2029): built once per logger, so the plain way to tell will do.
    ByteBuffer escaped;
    text_escape(escaped, name);
    return escaped.view() == name;
}

}  // namespace

namespace line_format {

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

void write_offset(char* out, std::int32_t offset) {
    const std::uint32_t a = offset < 0 ? static_cast<std::uint32_t>(-offset)
                                       : static_cast<std::uint32_t>(offset);
    out[0] = offset < 0 ? '-' : '+';
    digits::write_pair(out + 1, a / 3600);
    out[3] = ':';
    digits::write_pair(out + 4, a / 60 % 60);
}

}  // namespace line_format

const LineLayout& LineLayout::json_layout() { return JSON; }

const LineLayout& LineLayout::for_settings(const WriterSettings& settings) {
    if (settings.format == Format::Json) return JSON;
    return settings.color ? COLOR : TEXT;
}

const LineLayout& LineLayout::at(unsigned slot) {
    static constexpr const LineLayout* ALL[kSlots] = {&TEXT, &COLOR, &JSON};
    return *ALL[slot];
}

std::string render_name_field(std::string_view name, const WriterSettings& settings) {
    const LineLayout& layout = LineLayout::for_settings(settings);
    ByteBuffer out;
    out.append(layout.name_key);
    if (settings.format == Format::Json) {
        json_escape(out, name);
        out.push_back('"');
    } else if (bare_name(name)) {
        out.append(name);
    } else {
        out.push_back('"');
        text_escape(out, name);
        out.push_back('"');
    }
    return std::string(out.view());
}

std::string record_head(const LineLayout& layout, Rank rank, std::string_view name_field) {
    std::string head(layout.level[rank_index(rank)]);
    head += name_field;
    head += layout.msg_key;
    return head;
}

}  // namespace ferrant
