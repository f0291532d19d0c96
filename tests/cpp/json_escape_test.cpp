#include "lib/json_escape.hpp"

#include <gtest/gtest.h>

#include <string>

using ferrant::ByteBuffer;

namespace {

std::string escaped(std::string_view text) {
    ByteBuffer b;
    b.append("{");
    ferrant::json_escape(b, text);
    std::string s(b.view());
    EXPECT_EQ(s.substr(0, 1), "{");
    return s.substr(1);
}

}  // namespace

struct EscapeCase {
    std::string in;
    std::string out;
};

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscape, Appends) { EXPECT_EQ(escaped(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Table, JsonEscape,
    ::testing::Values(
        EscapeCase{"", ""}, EscapeCase{"plain / text", "plain / text"},
        EscapeCase{"\"\\\n\r\t\x01\x7f\xc3\xa9",
                   "\\\"\\\\\\n\\r\\t\\u0001\x7f\xc3\xa9"},
        EscapeCase{std::string("\0", 1), "\\u0000"}, EscapeCase{"\x08", "\\u0008"},
        EscapeCase{"\x0c", "\\u000c"}, EscapeCase{"\x1b[0m", "\\u001b[0m"},
        EscapeCase{"\x1f\x20", "\\u001f "},
        // Runs before, between and after escapes are all kept.
        EscapeCase{"ab\"cd\"ef", "ab\\\"cd\\\"ef"}, EscapeCase{"\n\n", "\\n\\n"},
        EscapeCase{"\xe2\x82\xac\xff\x80", "\xe2\x82\xac\xff\x80"}));

// Whatever the byte, the output may hold no raw control byte and no quote or
// backslash that is not itself escaped.
TEST(JsonEscapeAllBytes, OutputIsAValidStringBody) {
    for (int c = 0; c < 256; ++c) {
        const std::string in = "a" + std::string(1, static_cast<char>(c)) + "b";
        const std::string out = escaped(in);
        ASSERT_GE(out.size(), 3u);
        EXPECT_EQ(out.front(), 'a');
        EXPECT_EQ(out.back(), 'b');
        const std::string mid = out.substr(1, out.size() - 2);
        for (std::size_t i = 0; i < mid.size(); ++i) {
            const auto u = static_cast<unsigned char>(mid[i]);
            EXPECT_GE(u, 0x20u) << c;
            if (mid[i] == '\\') {
                ++i;
                ASSERT_LT(i, mid.size()) << c;
            } else {
                EXPECT_NE(mid[i], '"') << c;
            }
        }
        if (c >= 0x20 && c != '"' && c != '\\') {
            EXPECT_EQ(mid, in.substr(1, 1)) << c;
        }
    }
}

// Every byte value at every position of a text long enough to be scanned
// eight bytes at a time, against the escape of that byte on its own.
TEST(JsonEscapeAllBytes, WordScanMatchesBytewiseRule) {
    const std::string filler = "abcdefghijklmnopqrs";
    for (int c = 0; c < 256; ++c) {
        const std::string alone = escaped(std::string(1, static_cast<char>(c)));
        for (std::size_t pos = 0; pos <= filler.size(); ++pos) {
            std::string in = filler;
            in.insert(pos, 1, static_cast<char>(c));
            EXPECT_EQ(escaped(in), filler.substr(0, pos) + alone + filler.substr(pos)) << c;
        }
    }
}
