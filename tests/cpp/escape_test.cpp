#include "lib/escape.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using ferrant::ByteBuffer;

namespace {

std::string escaped(std::string_view text, bool text_layout = false) {
    ByteBuffer b;
    b.append("{");
    if (text_layout)
        ferrant::text_escape(b, text);
    else
        ferrant::json_escape(b, text);
    std::string s(b.view());
    EXPECT_EQ(s.substr(0, 1), "{");
    return s.substr(1);
}

std::string text_escaped(std::string_view text) { return escaped(text, true); }

}  // namespace

struct EscapeCase {
    std::string in;
    std::string out;
};

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};
class TextEscape : public ::testing::TestWithParam<EscapeCase> {};

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

// The text escapes: the JSON table plus C1 controls and U+2028, U+2029; every
// neighbour of those sequences, and any byte string that is not one, stays.
INSTANTIATE_TEST_SUITE_P(
    Table, TextEscape,
    ::testing::Values(
        EscapeCase{"\xc2\x80", "\\u0080"}, EscapeCase{"\xc2\x9b[2J", "\\u009b[2J"},
        EscapeCase{"\xc2\x9f\xc2\xa0", "\\u009f\xc2\xa0"},
        EscapeCase{"\xc2\x7f\xc2", "\xc2\x7f\xc2"},
        EscapeCase{"a\xe2\x80\xa8" "b\xe2\x80\xa9", "a\\u2028b\\u2029"},
        EscapeCase{"\xe2\x80\xa7\xe2\x80\xaa\xe2\x82\xac", "\xe2\x80\xa7\xe2\x80\xaa\xe2\x82\xac"},
        EscapeCase{"\xe2\x80", "\xe2\x80"}, EscapeCase{"\xe2\xc2\x85", "\xe2\\u0085"},
        EscapeCase{"\"\n\x1b\xc3\xa9", "\\\"\\n\\u001b\xc3\xa9"}));

TEST_P(TextEscape, Appends) { EXPECT_EQ(text_escaped(GetParam().in), GetParam().out); }

// Each rewritten sequence at every offset of a text scanned eight bytes at a
// time, so that it starts in one word and ends in the next; cut short by the
// end of the text, it is copied unchanged.
TEST(TextEscapeSequences, AtEveryOffsetAndCutAtTheEnd) {
    const std::string filler = "abcdefghijklmnopqrs";
    std::vector<std::pair<std::string, std::string>> cases = {{"\xe2\x80\xa8", "\\u2028"},
                                                              {"\xe2\x80\xa9", "\\u2029"}};
    for (int c = 0x80; c <= 0x9f; ++c) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\u%04x", c);
        cases.push_back({std::string("\xc2") + static_cast<char>(c), hex});
    }
    for (const auto& [seq, esc] : cases) {
        for (std::size_t pos = 0; pos <= filler.size(); ++pos) {
            std::string in = filler;
            in.insert(pos, seq);
            EXPECT_EQ(text_escaped(in), filler.substr(0, pos) + esc + filler.substr(pos)) << pos;
            // The JSON escapes leave the sequence alone.
            EXPECT_EQ(escaped(in), in) << pos;
        }
        for (std::size_t cut = 1; cut < seq.size(); ++cut) {
            const std::string in = filler + seq.substr(0, cut);
            EXPECT_EQ(text_escaped(in), in) << cut;
        }
    }
}

// Sequences that look like the rewritten ones but are not, and pairs of
// either, at every pair of offsets: exact output wherever the words split.
TEST(TextEscapeSequences, NearMissesAndPairsAtEveryOffset) {
    const std::vector<std::pair<std::string, std::string>> pieces = {
        {"\xe2\x80\xa8", "\\u2028"},         {"\xc2\x9b", "\\u009b"},
        {"\xc2\x80", "\\u0080"},             {"\xe2\x80\x94", "\xe2\x80\x94"},
        {"\xe2\x80\xa7", "\xe2\x80\xa7"},   {"\xe2\x80\xaa", "\xe2\x80\xaa"},
        {"\xe2\x81\xa8", "\xe2\x81\xa8"},   {"\xc2\xa0", "\xc2\xa0"},
        {"\xc2\x7f", "\xc2\x7f"},           {"\xe2\x82\xac", "\xe2\x82\xac"},
        {"\xc3\xa9", "\xc3\xa9"},           {"\xe2\xe2\x80\xa9", "\xe2\\u2029"}};
    const std::string filler = "abcdefghijklmnopqrstuvw";
    for (const auto& [a, a_out] : pieces) {
        for (const auto& [b, b_out] : pieces) {
            for (std::size_t i = 0; i <= 10; ++i) {
                for (std::size_t gap = 0; gap <= 9; ++gap) {
                    const std::string head = filler.substr(0, i), mid = filler.substr(0, gap);
                    const std::string in = head + a + mid + b + "xyz";
                    ASSERT_EQ(text_escaped(in), head + a_out + mid + b_out + "xyz") << i << " " << gap;
                }
            }
        }
    }
}

// Outside those sequences the text escapes agree with the JSON table, byte
// for byte and at every position of the word scan.
TEST(TextEscapeAllBytes, AgreesWithJsonForEveryOtherByte) {
    const std::string filler = "abcdefghijklmnopqrs";
    for (int c = 0; c < 256; ++c) {
        for (std::size_t pos = 0; pos <= filler.size(); ++pos) {
            std::string in = filler;
            in.insert(pos, 1, static_cast<char>(c));
            EXPECT_EQ(text_escaped(in), escaped(in)) << c;
        }
    }
}

// Every length up to five words with one byte of every value at every
// position: the sixteen-byte pieces, the words, the tail and the inline
// short path of escape_for_layout give what the escape of that byte alone
// gives.
TEST(EscapeEveryLength, TailAndShortPathMatchTheBytewiseRule) {
    const std::string filler = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN";
    for (std::size_t len = 1; len <= filler.size(); ++len) {
        for (int c = 0; c < 256; ++c) {
            const std::string alone = escaped(std::string(1, static_cast<char>(c)));
            for (std::size_t pos = 0; pos < len; ++pos) {
                std::string in = filler.substr(0, len);
                in[pos] = static_cast<char>(c);
                const std::string want = in.substr(0, pos) + alone + in.substr(pos + 1);
                ASSERT_EQ(escaped(in), want) << len << " " << c << " " << pos;
                for (const bool json : {true, false}) {
                    std::string out(in.size() * ferrant::JSON_ESCAPE_MAX_GROWTH + 8, '\0');
                    out.resize(static_cast<std::size_t>(
                        ferrant::escape_for_layout(out.data(), in, json) - out.data()));
                    ASSERT_EQ(out, json ? want : text_escaped(in)) << len << " " << c << " " << pos;
                }
            }
        }
    }
}

// escape_free may say no to a text that comes out unchanged (a lead byte of
// a sequence the text escapes rewrite), never yes to one that changes.
TEST(EscapeFree, NeverClaimsATextThatChanges) {
    for (int c = 0; c < 256; ++c) {
        const std::string in = "ab" + std::string(1, static_cast<char>(c)) + "cd";
        const bool unchanged = escaped(in) == in && text_escaped(in) == in;
        if (ferrant::escape_free(in)) {
            EXPECT_TRUE(unchanged) << c;
        }
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            EXPECT_TRUE(ferrant::escape_free(in)) << c;
        }
    }
    EXPECT_FALSE(ferrant::escape_free("a\xe2\x80\xa8"));
    EXPECT_TRUE(ferrant::escape_free(""));
}
