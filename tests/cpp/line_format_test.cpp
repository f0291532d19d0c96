// The padding contract of the line pieces, at its bounds.
#include "lib/line_format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "lib/escape.hpp"
#include "lib/local_time.hpp"

namespace {

using ferrant::kPiecePad;
using ferrant::LineLayout;

constexpr char kCanary = '#';

// An escape writes at most JSON_ESCAPE_MAX_GROWTH bytes a byte plus one word,
// inside the kPiecePad a line keeps past its bound, at every short length
// and in both layouts, plain text or not.
TEST(PaddingContract, EscapesStayWithinThePad) {
    for (std::size_t n = 0; n <= 40; ++n) {
        for (const char fill : {'a', '"', '\x01', '\xc2'}) {
            const std::string text(n, fill);
            for (const bool json : {true, false}) {
                const std::size_t bound = n * ferrant::JSON_ESCAPE_MAX_GROWTH;
                std::string out(bound + kPiecePad + 32, kCanary);
                char* end = ferrant::escape_for_layout(out.data(), text, json);
                ASSERT_LE(static_cast<std::size_t>(end - out.data()), bound) << n << json;
                EXPECT_EQ(out.substr(bound + kPiecePad), std::string(32, kCanary)) << n << json;
            }
        }
    }
}

// Line ends are copied as one kLineEndRead-byte word: each layout's end is
// that long in memory, NULs after the end itself.
TEST(PaddingContract, LineEndsAreReadableAtTheirCopyWidth) {
    for (const bool json : {false, true}) {
        for (const bool color : {false, true}) {
            ferrant::WriterSettings settings;
            settings.format = json ? ferrant::Format::Json : ferrant::Format::Text;
            settings.color = color;
            const LineLayout& layout = LineLayout::for_settings(settings);
            ASSERT_LE(layout.line_end.size(), LineLayout::kLineEndRead);
            const std::string word(layout.line_end.data(), LineLayout::kLineEndRead);
            EXPECT_EQ(word.substr(0, layout.line_end.size()), layout.line_end);
            EXPECT_EQ(word.substr(layout.line_end.size()),
                      std::string(LineLayout::kLineEndRead - layout.line_end.size(), '\0'));
        }
    }
}

// The level keys of the time prefix are stored at the full copy width, the
// bytes past each key zero.
TEST(PaddingContract, LevelKeysFillTheirWidthWithZeros) {
    using namespace ferrant::line_format;
    for (const PaddedKey* key : {&kTextKey, &kColorKey, &kJsonKey}) {
        ASSERT_LE(key->size, kPiecePad);
        EXPECT_EQ(std::string(key->bytes + key->size, kPiecePad - key->size),
                  std::string(kPiecePad - key->size, '\0'));
    }
}

// The longest date-time, the year of the last representable second, fits
// the room the time cache gives it.
TEST(LineFormat, DateTimeOfTheLastSecondFitsItsRoom) {
    using namespace ferrant::line_format;
    char out[kDateTimeMax + 8];
    const std::size_t n = write_date_time(out, ferrant::civil_time(UINT64_MAX, 0));
    EXPECT_LE(n, kDateTimeMax);
    // 2^64 - 1 seconds after the epoch fall at 07:00:15 UTC.
    EXPECT_EQ(std::string(out + n - 9, 9), "T07:00:15");
}

}  // namespace
