#include "lib/field_format.hpp"

#include <charconv>
#include <cmath>

#include "lib/escape.hpp"
#include "lib/number_render.hpp"

namespace ferrant {

bool valid_field_key(std::string_view key) {
    if (key.empty() || key.size() > kFieldKeyMax) return false;
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(key[0]) && key[0] != '_') return false;
    for (const char c : key)
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '.' && c != '-')
            return false;
    return true;
}

bool reserved_field_key(std::string_view key) {
    return key == "time" || key == "level" || key == "name" || key == "msg" || key == "exc";
}

std::string safe_field_key(std::string_view key) {
    constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "@";
    out.reserve(1 + key.size());
    for (const char c : key) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            b == '_' || b == '.' || b == '-') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[b >> 4]);
            out.push_back(hex[b & 15]);
        }
    }
    return out;
}

void append_field_key(ByteBuffer& out, const LineLayout& layout, std::string_view key) {
    const std::string_view open = layout.field_open, close = layout.field_close;
    out.reserve_extra(open.size() + key.size() + close.size());
    char* p = out.end();
    copy_bytes(p, open.data(), open.size());
    copy_bytes(p + open.size(), key.data(), key.size());
    copy_bytes(p + open.size() + key.size(), close.data(), close.size());
    out.commit(open.size() + key.size() + close.size());
}

namespace {

// Bytes a bare value may not hold: controls, space, '"', '=', '\\', DEL;
// 0xC2 and 0xE2 lead the sequences checked below.
struct BareTable {
    bool stop[256] = {};
    constexpr BareTable() {
        for (int c = 0; c <= 0x20; ++c) stop[c] = true;
        stop[static_cast<unsigned char>('"')] = stop[static_cast<unsigned char>('=')] = true;
        stop[static_cast<unsigned char>('\\')] = stop[0x7F] = true;
        stop[0xC2] = stop[0xE2] = true;
    }
};
constexpr BareTable BARE;

}  // namespace

bool bare_field_value(std::string_view value) {
    // Empty would leave `key=` with nothing a reader can tell from a typo.
    if (value.empty()) return false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (!BARE.stop[c]) [[likely]]
            continue;
        if (c != 0xC2 && c != 0xE2) return false;
        // The C1 controls (C2 80..9F) and U+2028, U+2029 (E2 80 A8/A9),
        // which the text escapes rewrite.
        const auto next = [&](std::size_t k) {
            return i + k < value.size() ? static_cast<unsigned char>(value[i + k]) : 0u;
        };
        if (c == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) return false;
        if (c == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) return false;
    }
    return true;
}

void append_field_text(ByteBuffer& out, const LineLayout& layout, std::string_view value) {
    if (!layout.json && bare_field_value(value)) {
        out.append(value);
        return;
    }
    append_field_quoted(out, layout, value);
}

void append_field_quoted(ByteBuffer& out, const LineLayout& layout, std::string_view value) {
    out.push_back('"');
    if (layout.json)
        json_escape(out, value);
    else
        text_escape(out, value);
    out.push_back('"');
}

void append_field_int(ByteBuffer& out, std::int64_t v) { push_i64(out, v); }

void append_nested_key(ByteBuffer& out, std::string_view key) {
    out.push_back('"');
    json_escape(out, key);
    out.append("\":");
}

void append_field_float(ByteBuffer& out, const LineLayout& layout, double v) {
    if (!std::isfinite(v)) {
        if (std::isnan(v))
            out.append(layout.json ? "\"NaN\"" : "nan");
        else if (v > 0)
            out.append(layout.json ? "\"Infinity\"" : "inf");
        else
            out.append(layout.json ? "\"-Infinity\"" : "-inf");
        return;
    }
    if (push_f64_repr(out, v)) return;
    // Beyond repr's positional range: the shortest digits in exponent form,
    // which for a double is how repr writes them ("1e+16", "1.5e-07").
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific);
    out.append(text, static_cast<std::size_t>(r.ptr - text));
}

void append_record_tail_with_fields(ByteBuffer& out, std::string_view head,
                                    std::string_view message, std::string_view fields,
                                    const LineLayout& layout) {
    // The layout's line end starts with the message's closing quote.
    const std::string_view line_end = layout.line_end;
    out.reserve_extra(head.size() + message.size() * JSON_ESCAPE_MAX_GROWTH + fields.size() +
                      line_end.size() + kPiecePad);
    char* const start = out.end();
    copy_bytes(start, head.data(), head.size());
    char* p = escape_for_layout(start + head.size(), message, layout.json);
    *p++ = '"';
    copy_bytes(p, fields.data(), fields.size());
    p += fields.size();
    copy_bytes(p, line_end.data() + 1, line_end.size() - 1);
    p += line_end.size() - 1;
    out.commit(static_cast<std::size_t>(p - start));
}

void append_record_head_and_message(ByteBuffer& out, std::string_view head,
                                    std::string_view message, const LineLayout& layout) {
    out.reserve_extra(head.size() + message.size() * JSON_ESCAPE_MAX_GROWTH + kPiecePad);
    char* const start = out.end();
    copy_bytes(start, head.data(), head.size());
    char* p = escape_for_layout(start + head.size(), message, layout.json);
    *p++ = '"';
    out.commit(static_cast<std::size_t>(p - start));
}

void append_record_end_after_fields(ByteBuffer& out, const LineLayout& layout) {
    const std::string_view line_end = layout.line_end;
    out.append(line_end.data() + 1, line_end.size() - 1);
}

}  // namespace ferrant
