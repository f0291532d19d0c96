#pragma once

#include <cstddef>
#include <string_view>

#include "lib/byte_buffer.hpp"

namespace ferrant {

// Bytes written per input byte at worst (\u00xx).
inline constexpr std::size_t JSON_ESCAPE_MAX_GROWTH = 6;

// Appends `text` as the contents of a JSON string: \" \\ \n \r \t, \u00xx for
// the other bytes below 0x20, every other byte (0x7F and all UTF-8 sequence
// bytes included) unchanged.
void json_escape(ByteBuffer& out, std::string_view text);

// The same into raw memory, which must hold JSON_ESCAPE_MAX_GROWTH bytes per
// byte of `text`. Returns the end of what was written.
char* json_escape_unchecked(char* out, std::string_view text);

// The JSON escapes, and also \u0080..\u009f for the C1 controls (U+009B is a
// CSI to some terminals) and \u2028, \u2029 (line breaks to many readers),
// so that a quoted text value reaches neither a terminal nor a line splitter
// as anything but text. Same growth bound as json_escape.
void text_escape(ByteBuffer& out, std::string_view text);
char* text_escape_unchecked(char* out, std::string_view text);

}  // namespace ferrant
