#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The rules of a record's key=value fields, in every layout: which keys are
// written as they are and which in a safe form, which text values the text
// layouts write bare, and how deep containers nest. Lines are assembled by
// lib/line_builder.hpp; values are turned into text by the binding's one
// value renderer (py_value_render).
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

// Whether the text layouts write `value` without quotes: not empty, and no
// byte up to 0x20, '"', '=', '\\', DEL, C1 control or U+2028/U+2029.
bool bare_field_value(std::string_view value);

// In the JSON layout a dict, list or tuple value is nested JSON, no deeper
// than this: a deeper one is the placeholder "[...]" or "{...}".
inline constexpr int kFieldNestMax = 16;

}  // namespace ferrant
