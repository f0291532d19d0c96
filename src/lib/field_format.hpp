#pragma once

#include <cstdint>
#include <string_view>

#include "lib/byte_buffer.hpp"
#include "lib/line_format.hpp"

// The key=value fields a record may carry after its message, in every
// layout: which keys are allowed, how a key is written and how each kind
// of value is written or quoted. The binding extracts the C values and
// calls these; the pieces are built into a buffer and copied into the line.
//
//   text:   ... msg="<message>" key=value key="quoted value"
//   colour: the same, keys dim
//   JSON:   ...,"msg":"<message>","key":<JSON value>}

namespace ferrant {

inline constexpr std::size_t kFieldKeyMax = 128;

// 1..128 of ASCII letters, digits, '_', '.', '-', starting with a letter or
// '_': never in need of quoting or escaping in any layout.
bool valid_field_key(std::string_view key);

// A key the line already writes (time, level, name, msg, exc).
bool reserved_field_key(std::string_view key);

// The key a field is written under when its own is not a valid key, is one
// the line writes itself, or is the level methods' exc_info: "@" and then
// the key's bytes (UTF-8), those other than ASCII letters, digits, '_', '.'
// and '-' as %XX. Never a valid key, and different keys never meet, so a
// line holds each key once and keeps every value.
std::string safe_field_key(std::string_view key);

// The separator and key of a field, up to its value.
void append_field_key(ByteBuffer& out, const LineLayout& layout, std::string_view key);

// A string value (UTF-8): a JSON string; in text bare when a logfmt reader
// takes it back as it is, otherwise quoted with the message's escapes.
void append_field_text(ByteBuffer& out, const LineLayout& layout, std::string_view value);

// A string value always quoted, in text too: one that is known to hold
// spaces and line feeds (a traceback).
void append_field_quoted(ByteBuffer& out, const LineLayout& layout, std::string_view value);

// Whether the text layouts write `value` without quotes.
bool bare_field_value(std::string_view value);

// A value written as it is in every layout: a number's digits, true, false,
// null.
inline void append_field_literal(ByteBuffer& out, std::string_view token) { out.append(token); }

void append_field_int(ByteBuffer& out, std::int64_t v);

// In the JSON layout a dict, list or tuple value is nested JSON, no deeper
// than this: a deeper one is the string "[...]" or "{...}", one that holds
// itself the string of its repr.
inline constexpr int kFieldNestMax = 16;

// A member name of a nested JSON object: `"<escaped>":`.
void append_nested_key(ByteBuffer& out, std::string_view key);

// The shortest text that reads back as `v` (Python's repr); non-finite
// values as repr writes them in text and as the strings "NaN", "Infinity",
// "-Infinity" in JSON.
void append_field_float(ByteBuffer& out, const LineLayout& layout, double v);

// Everything after the time prefix of a record with fields: the head, the
// message escaped for the layout, its closing quote, the rendered fields and
// the line end.
void append_record_tail_with_fields(ByteBuffer& out, std::string_view head,
                                    std::string_view message, std::string_view fields,
                                    const LineLayout& layout);

// The same in two steps around fields appended in between: the head, the
// message escaped and its closing quote; then the line end.
void append_record_head_and_message(ByteBuffer& out, std::string_view head,
                                    std::string_view message, const LineLayout& layout);
void append_record_end_after_fields(ByteBuffer& out, const LineLayout& layout);

}  // namespace ferrant
