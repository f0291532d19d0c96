#pragma once

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "lib/byte_buffer.hpp"
#include "lib/digits.hpp"
#include "lib/escape.hpp"
#include "lib/field_format.hpp"
#include "lib/line_format.hpp"
#include "lib/number_render.hpp"

// Every line ferrant writes is assembled here, piece by piece, at the end of
// a buffer (a thread's batch, or a scratch buffer for fields rendered ahead):
// the time prefix, the record head, the message, the fields, the line end.
// The builder owns the padding contract of the fast copies: it keeps
// kPiecePad writable bytes past its write position at all times, so that
// every piece goes in with whole 16-byte moves, and it makes room for a piece
// with one compare, growing the buffer out of line.
//
//   text:   <time prefix><head><message>" key=value ...\n
//   JSON:   <time prefix><head><message>","key":value ...}\n
//
// Nothing is committed to the buffer until finish(); an abandoned builder
// leaves the buffer as it was.

namespace ferrant {

class LineBuilder {
public:
    // Starts at the end of `out` with room for `expected` bytes.
    LineBuilder(ByteBuffer& out, std::size_t expected) : out_(out), start_(out.size()) {
        out_.reserve_extra(expected + kPiecePad);
        p = out_.end();
        limit_ = out_.data() + out_.capacity() - kPiecePad;
    }
    LineBuilder(const LineBuilder&) = delete;
    LineBuilder& operator=(const LineBuilder&) = delete;

    // Room for `n` more bytes past the write position, the pad aside.
    [[gnu::always_inline]] void room(std::size_t n) {
        if (static_cast<std::size_t>(limit_ - p) < n) [[unlikely]]
            grow(n);
    }

    // A piece with kPiecePad readable bytes after it; room made by the caller.
    [[gnu::always_inline]] void put_padded(const char* piece, std::size_t n) {
        copy_padded(p, piece, n);
        p += n;
    }
    // Any bytes; room made by the caller.
    [[gnu::always_inline]] void put(std::string_view bytes) {
        copy_bytes(p, bytes.data(), bytes.size());
        p += bytes.size();
    }
    [[gnu::always_inline]] void put_char(char c) { *p++ = c; }

    // Text escaped as the layout escapes a quoted text, room made here.
    [[gnu::always_inline]] void put_escaped(std::string_view text, bool json) {
        room(text.size() * JSON_ESCAPE_MAX_GROWTH);
        p = escape_for_layout(p, text, json);
    }

    // Bytes written so far, from the line's start.
    std::size_t written() const { return static_cast<std::size_t>(p - out_.data()) - start_; }
    std::size_t start() const { return start_; }
    // The bytes written so far.
    std::string_view view() const { return {out_.data() + start_, written()}; }

    // Commits what was written to the buffer.
    void finish() { out_.commit(static_cast<std::size_t>(p - out_.end())); }

    // Writes through ByteBuffer's own appenders (the number renderers): what
    // is written so far is committed first, and the position follows.
    template <class F>
    void through_buffer(std::size_t most, F render) {
        room(most);
        finish();
        render(out_);
        p = out_.end();
    }

    // Takes back what was written since `mark` (a written() value).
    void take_back(std::size_t mark) { p = out_.data() + start_ + mark; }

    char* p;  // the write position

private:
    [[gnu::noinline]] void grow(std::size_t n) {
        const std::size_t at = static_cast<std::size_t>(p - out_.data());
        // The buffer's size stays at the line's start: reserve from there.
        out_.reserve_extra(at - out_.size() + n + kPiecePad);
        p = out_.data() + at;
        limit_ = out_.data() + out_.capacity() - kPiecePad;
    }

    ByteBuffer& out_;
    std::size_t start_;
    char* limit_;
};

// ---- the pieces of a line, in their order ----------------------------------

// The record head: level text, name field and message key, a piece padded
// by kPiecePad (as a logger keeps it).
[[gnu::always_inline]] inline void put_head(LineBuilder& b, std::string_view head) {
    b.room(head.size());
    b.put_padded(head.data(), head.size());
}

// The message, escaped for the layout, without its closing quote.
[[gnu::always_inline]] inline void put_message(LineBuilder& b, std::string_view text,
                                               const LineLayout& layout) {
    b.put_escaped(text, layout.json);
}

// The line end right after the message: the closing quote and the rest.
[[gnu::always_inline]] inline void end_line(LineBuilder& b, const LineLayout& layout) {
    b.room(LineLayout::kLineEndRead);
    std::memcpy(b.p, layout.line_end.data(), LineLayout::kLineEndRead);
    b.p += layout.line_end.size();
}

// The message's closing quote, before fields.
[[gnu::always_inline]] inline void close_message(LineBuilder& b) {
    b.room(1);
    b.put_char('"');
}

// The line end after fields: the layout's line end without its quote.
[[gnu::always_inline]] inline void end_line_after_fields(LineBuilder& b,
                                                         const LineLayout& layout) {
    b.room(LineLayout::kLineEndRead);
    std::memcpy(b.p, layout.line_end.data() + 1, LineLayout::kLineEndRead - 1);
    b.p += layout.line_end.size() - 1;
}

// Fields rendered ahead (bound, context, or the general path's), as bytes.
[[gnu::always_inline]] inline void put_rendered(LineBuilder& b, std::string_view bytes) {
    b.room(bytes.size());
    b.put(bytes);
}

// A field's separator and key as the layout writes them, from a piece
// padded by kPiecePad (rendered once per names tuple).
[[gnu::always_inline]] inline void put_key_piece(LineBuilder& b, const char* piece,
                                                 std::size_t n) {
    b.room(n);
    b.put_padded(piece, n);
}

// The same from the key's text, for keys not rendered ahead.
void put_field_key(LineBuilder& b, const LineLayout& layout, std::string_view key);

// ---- values -----------------------------------------------------------------

// A string value (UTF-8): a JSON string; in text bare when a logfmt reader
// takes it back as it is, else quoted with the message's escapes.
[[gnu::always_inline]] inline void put_text_value(LineBuilder& b, std::string_view text,
                                                  const LineLayout& layout) {
    b.room(text.size() * JSON_ESCAPE_MAX_GROWTH + 2);
    if (!layout.json && bare_field_value(text)) {
        b.put(text);
        return;
    }
    b.put_char('"');
    b.p = escape_for_layout(b.p, text, layout.json);
    b.put_char('"');
}

// A string value always quoted, in text too (a traceback).
void put_quoted_value(LineBuilder& b, std::string_view text, const LineLayout& layout);

// Decimal digits, "-" first for a negative value.
[[gnu::always_inline]] inline void put_int_value(LineBuilder& b, std::int64_t v) {
    b.room(21);
    *b.p = '-';  // a non-negative value overwrites it
    const auto u = static_cast<std::uint64_t>(v);
    b.p = digits::write_u64(b.p + (v < 0), v < 0 ? 0 - u : u);
}

[[gnu::always_inline]] inline void put_u64_value(LineBuilder& b, std::uint64_t v) {
    b.room(20);
    b.p = digits::write_u64(b.p, v);
}

// A float as repr writes it; NaN and the infinities as repr does in text
// and as the strings "NaN", "Infinity", "-Infinity" in JSON.
void put_float_json_word(LineBuilder& b, double v);
[[gnu::always_inline]] inline void put_float_value(LineBuilder& b, double v,
                                                   const LineLayout& layout) {
    if (layout.json && !std::isfinite(v)) [[unlikely]]
        return put_float_json_word(b, v);
    b.room(kF64AnyMax);
    b.p = put_f64_shortest(b.p, v);
}

// true, false, null, or any token written as it is.
[[gnu::always_inline]] inline void put_literal(LineBuilder& b, std::string_view token) {
    b.room(token.size());
    b.put(token);
}

}  // namespace ferrant
