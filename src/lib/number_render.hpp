#pragma once

// Byte-level renderers for interpolated numbers. Plain C++: the interpreter-
// facing code extracts the C values and calls these.

#include <cstdint>

#include "lib/byte_buffer.hpp"

namespace ferrant {

// Decimal, "-" before the magnitude of a negative value.
void push_i64(ByteBuffer& out, std::int64_t v);
void push_u64(ByteBuffer& out, std::uint64_t v);

// As the %o and %x conversions print a signed value: "-" then the magnitude,
// no prefix, lowercase hex digits.
void push_i64_oct(ByteBuffer& out, std::int64_t v);
void push_i64_hex(ByteBuffer& out, std::int64_t v);

// The one of the three that the conversion letter names: 'o', 'x', or
// decimal for any other.
inline void push_i64_as(ByteBuffer& out, char conversion, std::int64_t v) {
    if (conversion == 'o')
        push_i64_oct(out, v);
    else if (conversion == 'x')
        push_i64_hex(out, v);
    else
        push_i64(out, v);
}

// The interpreter's repr(float) for zero and for 1e-4 <= |v| < 1e16, and true.
// Anything else (NaN, infinities, other magnitudes, which repr writes with an
// exponent) appends nothing and returns false.
bool push_f64_repr(ByteBuffer& out, double v);
// Whether push_f64_repr takes v, and the most it then writes.
bool f64_repr_positional(double v);
inline constexpr std::size_t kF64ReprMax = 34;

// The same into raw memory with room for kF64ReprMax bytes: the end of what
// was written, or null (nothing written) for a value push_f64_repr refuses.
char* put_f64_repr(char* out, double v);

// Any finite or non-finite double the shortest way that reads back, in
// exponent form where repr uses one ("1e+16", "1.5e-07"); repr's "nan",
// "inf" and "-inf" too. Room for kF64AnyMax bytes.
char* put_f64_shortest(char* out, double v);
inline constexpr std::size_t kF64AnyMax = 40;

// push_f64_fixed6 and push_i64_as into raw memory with room for their most.
char* put_f64_fixed6(char* out, double v);
char* put_i64_as(char* out, char conversion, std::int64_t v);

// '%f' % v: six decimals, correctly rounded with ties to even, every integer
// digit written out, "-" for any negative value including -0.0. The caller
// must ensure v is finite.
void push_f64_fixed6(ByteBuffer& out, double v);
// The most push_f64_fixed6 writes, and an int in any of the three bases.
inline constexpr std::size_t kF64Fixed6Max = 1 + 309 + 1 + 6 + 7;
inline constexpr std::size_t kI64Max = 23;

}  // namespace ferrant
