#pragma once

#include <cstdint>
#include <string_view>

namespace ferrant {

// A printf-style template split once into literal runs and the conversions
// between them: run 0, conversion 0, run 1, ..., conversion n-1, run n. A
// conversion is one of d i o x f r s, '%' for "%%" (a "%" that takes no
// argument), or kFallback where the template needs the interpreter's `%`
// from there on (a flag, width, precision, key, other conversion letter, or
// a "%" at the very end). Small and flat: it is copied before use.
struct MessageTemplate {
    static constexpr int kMaxConversions = 8;
    static constexpr std::size_t kMaxLength = 0xffff;
    static constexpr char kFallback = '!';

    std::uint16_t run_offset[kMaxConversions + 1];
    std::uint16_t run_length[kMaxConversions + 1];
    char conversion[kMaxConversions];
    std::uint8_t conversions;
    // Conversions that take an argument: all but "%%" and a fallback.
    std::uint8_t arguments;
    // Fits, and no conversion needs the fallback.
    bool complete;
    // No byte of the runs needs an escape in any layout: they go into a
    // line as they are.
    bool plain;
    // The runs' lengths added up.
    std::uint32_t run_bytes;
    // False when the template is longer than kMaxLength or has more
    // conversions: the fields above are then meaningless.
    bool fits;
};

// Splits `text`; stops at the first conversion that needs the fallback.
MessageTemplate parse_message_template(std::string_view text);

}  // namespace ferrant
