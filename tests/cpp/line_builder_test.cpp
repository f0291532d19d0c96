// Lines assembled by the builder: its padding contract at the buffer's
// bounds, and the pieces of each layout.
#include "lib/line_builder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "lib/writer_settings.hpp"

namespace {

using namespace ferrant;

const LineLayout& layout_of(Format format, bool color) {
    WriterSettings s{};
    s.format = format;
    s.color = color;
    return LineLayout::for_settings(s);
}

const LineLayout& TEXT = layout_of(Format::Text, false);
const LineLayout& COLOR = layout_of(Format::Text, true);
const LineLayout& JSON = layout_of(Format::Json, false);

std::size_t room_left(ByteBuffer& out, const LineBuilder& b) {
    return static_cast<std::size_t>(out.data() + out.capacity() - b.p);
}

// Whatever the buffer held and however big it was, every room(n) leaves n
// bytes and the pad past the position, and the bytes come out in order.
TEST(LineBuilder, RoomKeepsThePadAtEveryBound) {
    for (std::size_t held = 0; held < 80; held += 7)
        for (std::size_t capacity : {0, 1, 15, 16, 17, 63, 64, 65, 100}) {
            ByteBuffer out(capacity);
            out.append(std::string(held, 'h'));
            LineBuilder b(out, 0);
            EXPECT_GE(room_left(out, b), kPiecePad);
            std::string expect(held, 'h');
            for (std::size_t n = 0; n < 40; ++n) {
                b.room(n);
                ASSERT_GE(room_left(out, b), n + kPiecePad) << held << " " << capacity << " " << n;
                const std::string piece(n, static_cast<char>('a' + n % 26));
                b.put(piece);
                expect += piece;
            }
            EXPECT_EQ(out.size(), held);  // nothing committed before finish()
            b.finish();
            EXPECT_EQ(out.view(), expect);
        }
}

TEST(LineBuilder, PaddedPiecesAndTakeBack) {
    ByteBuffer out;
    LineBuilder b(out, 0);
    const char piece[5 + kPiecePad] = "abcde";
    for (int i = 0; i < 50; ++i) {
        b.room(5);
        b.put_padded(piece, 5);
    }
    const std::size_t mark = b.written();
    put_literal(b, "tail");
    b.take_back(mark);
    put_literal(b, "!");
    b.finish();
    std::string expect;
    for (int i = 0; i < 50; ++i) expect += "abcde";
    EXPECT_EQ(out.view(), expect + "!");
}

std::string field(const LineLayout& layout, std::string_view key, std::string_view text) {
    ByteBuffer out;
    LineBuilder b(out, 0);
    put_field_key(b, layout, key);
    put_text_value(b, text, layout);
    b.finish();
    return std::string(out.view());
}

TEST(FieldText, KeyFormsAndQuoting) {
    EXPECT_EQ(field(TEXT, "k", "v"), " k=v");
    EXPECT_EQ(field(COLOR, "k", "v"), " \x1b[2mk=\x1b[0mv");
    EXPECT_EQ(field(JSON, "k", "v"), ",\"k\":\"v\"");
    EXPECT_EQ(field(TEXT, "k", ""), " k=\"\"");
    EXPECT_EQ(field(TEXT, "k", "a b"), " k=\"a b\"");
    EXPECT_EQ(field(TEXT, "k", "x=\"y\"\n"), " k=\"x=\\\"y\\\"\\n\"");
    EXPECT_EQ(field(TEXT, "k", "\xc3\xa9"), " k=\xc3\xa9");           // é stays bare
    EXPECT_EQ(field(TEXT, "k", "\xc2\x85"), " k=\"\\u0085\"");         // C1 control
    EXPECT_EQ(field(TEXT, "k", "\xe2\x80\xa8"), " k=\"\\u2028\"");     // line separator
    EXPECT_EQ(field(JSON, "k", "\xe2\x80\xa8\t"), ",\"k\":\"\xe2\x80\xa8\\t\"");
}

TEST(FieldText, QuotedEvenWhenItCouldBeBare) {
    const auto quoted = [](const LineLayout& layout, std::string_view text) {
        ByteBuffer out;
        LineBuilder b(out, 0);
        put_quoted_value(b, text, layout);
        b.finish();
        return std::string(out.view());
    };
    EXPECT_EQ(quoted(TEXT, "bare"), "\"bare\"");
    EXPECT_EQ(quoted(COLOR, "a\nb \"c\""), "\"a\\nb \\\"c\\\"\"");
    EXPECT_EQ(quoted(TEXT, "\xe2\x80\xa8"), "\"\\u2028\"");
    EXPECT_EQ(quoted(JSON, "\xe2\x80\xa8\n"), "\"\xe2\x80\xa8\\n\"");
}

std::string number(const LineLayout& layout, double v) {
    ByteBuffer out;
    LineBuilder b(out, 0);
    put_float_value(b, v, layout);
    b.finish();
    return std::string(out.view());
}

TEST(FieldFloat, ReprForms) {
    EXPECT_EQ(number(TEXT, 0.1), "0.1");
    EXPECT_EQ(number(TEXT, -0.0), "-0.0");
    EXPECT_EQ(number(TEXT, 1e16), "1e+16");
    EXPECT_EQ(number(TEXT, 1.5e-7), "1.5e-07");
    EXPECT_EQ(number(TEXT, 1e-5), "1e-05");
    EXPECT_EQ(number(TEXT, 5e-324), "5e-324");
    EXPECT_EQ(number(TEXT, 1.7976931348623157e308), "1.7976931348623157e+308");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(number(TEXT, std::nan("")), "nan");
    EXPECT_EQ(number(TEXT, -inf), "-inf");
    EXPECT_EQ(number(JSON, std::nan("")), "\"NaN\"");
    EXPECT_EQ(number(JSON, inf), "\"Infinity\"");
    EXPECT_EQ(number(JSON, -inf), "\"-Infinity\"");
}

// Head, message, line end; with fields, the quote closes the message first.
TEST(FieldTail, FieldsGoBetweenTheMessageAndTheLineEnd) {
    const char head[1 + kPiecePad] = "H";
    for (const LineLayout* layout : {&TEXT, &JSON}) {
        for (const std::string_view message : {"a\"b", "", "x\ny \xC2\x85 long enough to escape"}) {
            ByteBuffer plain, fields;
            {
                LineBuilder b(plain, 0);
                put_head(b, {head, 1});
                put_message(b, message, *layout);
                end_line(b, *layout);
                b.finish();
            }
            {
                LineBuilder b(fields, 0);
                put_head(b, {head, 1});
                put_message(b, message, *layout);
                close_message(b);
                put_field_key(b, *layout, "k");
                put_int_value(b, -42);
                end_line_after_fields(b, *layout);
                b.finish();
            }
            const std::string body(plain.view().substr(0, plain.size() - layout->line_end.size()));
            EXPECT_EQ(plain.view(), body + std::string(layout->line_end));
            const std::string expect = layout->json ? body + "\",\"k\":-42}\n" : body + "\" k=-42\n";
            EXPECT_EQ(fields.view(), expect);
        }
    }
    ByteBuffer out;
    LineBuilder b(out, 0);
    put_head(b, {head, 1});
    put_message(b, "a\"b", TEXT);
    end_line(b, TEXT);
    b.finish();
    EXPECT_EQ(out.view(), "Ha\\\"b\"\n");
}

}  // namespace
