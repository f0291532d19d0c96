#pragma once

#include <string_view>

#include "lib/byte_buffer.hpp"

namespace ferrant {

// The decimal digits of the non-negative integer whose hexadecimal digits
// (0-9, a-f, A-F; most significant first, leading zeros allowed) are `hex`;
// "0" for zero or no digits. For ints past the interpreter's digit limit,
// which base 16 does not have: quadratic in the length, as the
// interpreter's own conversion is below its threshold for a faster one.
void push_decimal_from_hex(ByteBuffer& out, std::string_view hex);

}  // namespace ferrant
