#include "lib/line_layout.hpp"

#include <cstring>

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
};

constexpr LineLayout COLOR = {
    {"", "\x1b[31merror\x1b[0m", "\x1b[33mwarn\x1b[0m", "\x1b[32minfo\x1b[0m",
     "\x1b[36mdebug\x1b[0m", "\x1b[2mtrace\x1b[0m"},
    " \x1b[2mname=\x1b[0m",
    " \x1b[2mmsg=\x1b[0m\"",
    {"\"\n\0", 2},
    false,
};

constexpr LineLayout JSON = {
    {"", "error\"", "warn\"", "info\"", "debug\"", "trace\""},
    ",\"name\":\"",
    ",\"msg\":\"",
    "\"}\n",
    true,
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

const LineLayout& LineLayout::for_settings(const WriterSettings& settings) {
    if (settings.format == Format::Json) return JSON;
    return settings.color ? COLOR : TEXT;
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

std::string record_head(const LineLayout& layout, unsigned rank, std::string_view name_field) {
    std::string head(layout.level[rank]);
    head += name_field;
    head += layout.msg_key;
    return head;
}

void append_record_tail(ByteBuffer& out, std::string_view head, std::string_view message,
                        const LineLayout& layout) {
    const std::string_view line_end = layout.line_end;
    // Eight more for the word escape_for_layout may store past a short text.
    out.reserve_extra(head.size() + message.size() * JSON_ESCAPE_MAX_GROWTH + line_end.size() + 8);
    char* const start = out.end();
    copy_bytes(start, head.data(), head.size());
    char* p = escape_for_layout(start + head.size(), message, layout.json);
    copy_bytes(p, line_end.data(), line_end.size());
    p += line_end.size();
    out.commit(static_cast<std::size_t>(p - start));
}

}  // namespace ferrant
