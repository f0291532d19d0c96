#pragma once

#include <string_view>

#include "lib/byte_buffer.hpp"

namespace ferrant {

// Appends `text` as the contents of a JSON string: \" \\ \n \r \t, \u00xx for
// the other bytes below 0x20, every other byte (0x7F and all UTF-8 sequence
// bytes included) unchanged.
void json_escape(ByteBuffer& out, std::string_view text);

}  // namespace ferrant
