// Field keys, value quoting and float forms, per layout.
#include "lib/field_format.hpp"

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

TEST(FieldKey, Rules) {
    for (std::string_view good : {"a", "_", "Z9", "a.b-c_d", "user.id"})
        EXPECT_TRUE(valid_field_key(good)) << good;
    EXPECT_TRUE(valid_field_key(std::string(kFieldKeyMax, 'k')));
    EXPECT_FALSE(valid_field_key(std::string(kFieldKeyMax + 1, 'k')));
    for (std::string_view bad : {"", "1a", "-a", ".a", "a b", "a=b", "a\"", "\xc3\xa9", "a\n"})
        EXPECT_FALSE(valid_field_key(bad)) << bad;
    for (std::string_view r : {"time", "level", "name", "msg", "exc"})
        EXPECT_TRUE(reserved_field_key(r)) << r;
    EXPECT_FALSE(reserved_field_key("message"));
}

std::string field(const LineLayout& layout, std::string_view key, std::string_view text) {
    ByteBuffer out;
    append_field_key(out, layout, key);
    append_field_text(out, layout, text);
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
        append_field_quoted(out, layout, text);
        return std::string(out.view());
    };
    EXPECT_EQ(quoted(TEXT, "bare"), "\"bare\"");
    EXPECT_EQ(quoted(COLOR, "a\nb \"c\""), "\"a\\nb \\\"c\\\"\"");
    EXPECT_EQ(quoted(TEXT, "\xe2\x80\xa8"), "\"\\u2028\"");
    EXPECT_EQ(quoted(JSON, "\xe2\x80\xa8\n"), "\"\xe2\x80\xa8\\n\"");
}

// The text and colour layouts write the same value bytes (only their keys
// differ): the context fields render a value once for both.
TEST(FieldLayouts, SlotsNameEachLayoutOnce) {
    for (unsigned slot = 0; slot < LineLayout::kSlots; ++slot)
        EXPECT_EQ(LineLayout::at(slot).slot, slot);
    EXPECT_EQ(&LineLayout::at(TEXT.slot), &TEXT);
    EXPECT_EQ(&LineLayout::at(COLOR.slot), &COLOR);
    EXPECT_EQ(&LineLayout::at(JSON.slot), &JSON);
    EXPECT_EQ(TEXT.json, COLOR.json);
    EXPECT_TRUE(JSON.json);
}

TEST(FieldText, BareOnlyWhenNothingNeedsQuoting) {
    for (int c = 0; c < 0x80; ++c) {
        const std::string s(1, static_cast<char>(c));
        const bool special = c <= 0x20 || c == '"' || c == '=' || c == '\\' || c == 0x7F;
        EXPECT_EQ(bare_field_value(s), !special) << c;
    }
    // A lead byte at the end of a value is looked past safely.
    EXPECT_TRUE(bare_field_value("a\xc2"));
    EXPECT_TRUE(bare_field_value("\xe2\x80"));
}

std::string number(const LineLayout& layout, double v) {
    ByteBuffer out;
    append_field_float(out, layout, v);
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

TEST(FieldTail, FieldsGoBetweenTheMessageAndTheLineEnd) {
    for (const LineLayout* layout : {&TEXT, &JSON}) {
        ByteBuffer fields;
        append_field_key(fields, *layout, "k");
        append_field_int(fields, -42);
        ByteBuffer out;
        append_record_tail_with_fields(out, "H", "a\"b", fields.view(), *layout);
        const std::string expect = layout->json ? "Ha\\\"b\",\"k\":-42}\n" : "Ha\\\"b\" k=-42\n";
        EXPECT_EQ(out.view(), expect);
        ByteBuffer none;
        append_record_tail_with_fields(none, "H", "m", {}, *layout);
        ByteBuffer plain;
        append_record_tail(plain, "H", "m", *layout);
        EXPECT_EQ(none.view(), plain.view());
        // In two steps around fields written in place: the same line.
        for (const std::string_view message : {"a\"b", "", "x\ny \xC2\x85 long enough to escape"}) {
            ByteBuffer whole, steps;
            append_record_tail_with_fields(whole, "H", message, fields.view(), *layout);
            append_record_head_and_message(steps, "H", message, *layout);
            steps.append(fields.view());
            append_record_end_after_fields(steps, *layout);
            EXPECT_EQ(steps.view(), whole.view());
        }
    }
}

}  // namespace
