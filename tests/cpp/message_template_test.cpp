#include "lib/message_template.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using ferrant::MessageTemplate;
using ferrant::parse_message_template;

// The template text a parse stands for: runs, and "%c" for each conversion;
// a fallback stops it at its "%".
std::string rebuild(const MessageTemplate& t, const std::string& text) {
    std::string out;
    for (int i = 0; i <= t.conversions; ++i) {
        out += text.substr(t.run_offset[i], t.run_length[i]);
        if (i == t.conversions) break;
        if (t.conversion[i] == MessageTemplate::kFallback) break;
        out += '%';
        out += t.conversion[i];
    }
    return out;
}

std::string shape(const MessageTemplate& t, const std::string& text) {
    std::string out;
    for (int i = 0; i <= t.conversions; ++i) {
        out += "[" + text.substr(t.run_offset[i], t.run_length[i]) + "]";
        if (i < t.conversions) out += t.conversion[i];
    }
    return out;
}

struct Case {
    const char* text;
    const char* shape;  // runs in brackets, conversions between them
};

class Parse : public ::testing::TestWithParam<Case> {};

TEST_P(Parse, RunsAndConversions) {
    const std::string text = GetParam().text;
    const MessageTemplate t = parse_message_template(text);
    ASSERT_TRUE(t.fits);
    EXPECT_EQ(shape(t, text), GetParam().shape);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Parse,
    ::testing::Values(Case{"", "[]"}, Case{"plain", "[plain]"},
                      Case{"user %s logged in", "[user ]s[ logged in]"},
                      Case{"%d%i%o%x%f%r%s", "[]d[]i[]o[]x[]f[]r[]s[]"},
                      Case{"100%% done %s", "[100]%[ done ]s[]"},
                      // Everything from the first conversion the fallback needs is left to it.
                      Case{"a %s b %5d c %s", "[a ]s[ b ]![]"}, Case{"ends %", "[ends ]![]"},
                      Case{"%(k)s", "[]![]"}, Case{"%X", "[]![]"}, Case{"%", "[]![]"},
                      Case{"é %s ü", "[é ]s[ ü]"}));

// What the direct writer of a line relies on: the argument count, whether
// the template is handled to its end, whether its runs can be copied as
// they are, and their total length.
struct Summary {
    const char* text;
    int arguments;
    bool complete;
    bool plain;
    unsigned run_bytes;
};

class Summarise : public ::testing::TestWithParam<Summary> {};

TEST_P(Summarise, Fields) {
    const MessageTemplate t = parse_message_template(GetParam().text);
    ASSERT_TRUE(t.fits);
    EXPECT_EQ(t.arguments, GetParam().arguments);
    EXPECT_EQ(t.complete, GetParam().complete);
    EXPECT_EQ(t.plain, GetParam().plain);
    EXPECT_EQ(t.run_bytes, GetParam().run_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Summarise,
    ::testing::Values(Summary{"", 0, true, true, 0}, Summary{"user %s logged in", 1, true, true, 15},
                      Summary{"100%% %d/%d", 2, true, true, 5},
                      Summary{"say \"%s\"", 1, true, false, 6},
                      Summary{"tab\t%s", 1, true, false, 4},
                      Summary{"caf\xc3\xa9 %s", 1, true, true, 6},
                      Summary{"dash \xe2\x80\x94 %s", 1, true, false, 9},
                      Summary{"%s then %5d", 1, false, true, 6},
                      Summary{"ends %", 0, false, true, 5}));

TEST(ParseLimits, EightConversionsFitNineDoNot) {
    std::string eight;
    for (int i = 0; i < 8; ++i) eight += "%s ";
    EXPECT_TRUE(parse_message_template(eight).fits);
    EXPECT_FALSE(parse_message_template(eight + "%%").fits);
    // A fallback after eight conversions needs a ninth slot too.
    EXPECT_FALSE(parse_message_template(eight + "%5d").fits);
}

TEST(ParseLimits, LongestTemplateFits) {
    std::string text(MessageTemplate::kMaxLength - 2, 'a');
    text += "%s";
    const MessageTemplate t = parse_message_template(text);
    ASSERT_TRUE(t.fits);
    EXPECT_EQ(t.run_length[0], MessageTemplate::kMaxLength - 2);
    EXPECT_EQ(t.run_offset[1], MessageTemplate::kMaxLength);
    EXPECT_FALSE(parse_message_template(text + "a").fits);
}

// Random templates over the bytes that matter: a parse rebuilds the template
// exactly, up to the "%" of its fallback if it has one.
TEST(ParseRoundTrip, RandomTemplates) {
    const std::string alphabet = "%%%%sdixofr5(.-a ";
    std::mt19937 rng(14);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int len = rng() % 24; len > 0; --len) text += alphabet[rng() % alphabet.size()];
        const MessageTemplate t = parse_message_template(text);
        if (!t.fits) continue;
        const bool falls_back = t.conversions && t.conversion[t.conversions - 1] == MessageTemplate::kFallback;
        const std::string expected =
            falls_back ? text.substr(0, t.run_offset[t.conversions]) : text;
        ASSERT_EQ(rebuild(t, text), expected) << text;
        if (falls_back) {
            ASSERT_EQ(text[t.run_offset[t.conversions]], '%') << text;
        }
    }
}

}  // namespace
