// Field keys, their safe forms, and which values the text layouts write bare.
#include "lib/field_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>

#include "lib/line_format.hpp"
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

TEST(FieldKey, SafeFormsNeverMeetValidKeys) {
    EXPECT_EQ(safe_field_key("name"), "@name");
    EXPECT_EQ(safe_field_key("a b"), "@a%20b");
    EXPECT_EQ(safe_field_key("\xc3\xa9"), "@%C3%A9");
    EXPECT_EQ(safe_field_key(""), "@");
    EXPECT_EQ(safe_field_key("@x%"), "@%40x%25");
    for (std::string_view key : {"name", "a b", "", "@x%", "x.y-z_"})
        EXPECT_FALSE(valid_field_key(safe_field_key(key))) << key;
}

// The one scan: 16 bytes at a time, every length and place of a stop byte.
TEST(FieldText, BareAtEveryLengthAndPlace) {
    for (std::size_t n = 1; n <= 40; ++n) {
        const std::string plain(n, 'x');
        EXPECT_TRUE(bare_field_value(plain)) << n;
        for (std::size_t at = 0; at < n; ++at)
            for (const char stop : {' ', '"', '=', '\\', '\x7f', '\n'}) {
                std::string s = plain;
                s[at] = stop;
                EXPECT_FALSE(bare_field_value(s)) << n << " " << at;
            }
        if (n >= 2) {
            std::string c1 = plain;
            c1[n - 2] = '\xc2';
            c1[n - 1] = '\x85';
            EXPECT_FALSE(bare_field_value(c1)) << n;
            std::string e = plain;
            e[n - 2] = '\xc3';
            e[n - 1] = '\xa9';
            EXPECT_TRUE(bare_field_value(e)) << n;
        }
    }
}

}  // namespace
