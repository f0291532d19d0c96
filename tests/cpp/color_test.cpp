#include "lib/color.hpp"

#include <gtest/gtest.h>

using ferrant::ColorEnvironment;
using ferrant::ColorMode;
using ferrant::decide_color;

struct ColorCase {
    ColorMode mode;
    bool to_stdout;
    const char* no_color;
    const char* force_color;
    bool tty;
    bool expected;
};

class ColorDecision : public ::testing::TestWithParam<ColorCase> {};

TEST_P(ColorDecision, Decides) {
    const ColorCase& c = GetParam();
    ColorEnvironment env{c.no_color, c.force_color, c.tty};
    EXPECT_EQ(decide_color(c.mode, c.to_stdout, env), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Branches, ColorDecision,
    ::testing::Values(
        // Off never colours, whatever the environment says.
        ColorCase{ColorMode::Off, true, nullptr, "1", true, false},
        ColorCase{ColorMode::Off, false, nullptr, nullptr, false, false},
        // Always colours files and pipes and ignores NO_COLOR.
        ColorCase{ColorMode::Always, false, "1", nullptr, false, true},
        ColorCase{ColorMode::Always, true, "1", nullptr, false, true},
        // Auto never colours a file.
        ColorCase{ColorMode::Auto, false, nullptr, "1", true, false},
        // Non-empty NO_COLOR wins over FORCE_COLOR and a terminal.
        ColorCase{ColorMode::Auto, true, "1", "1", true, false},
        ColorCase{ColorMode::Auto, true, "0", nullptr, true, false},
        // Empty NO_COLOR is ignored.
        ColorCase{ColorMode::Auto, true, "", "1", false, true},
        // FORCE_COLOR "0" or empty falls through to the terminal test.
        ColorCase{ColorMode::Auto, true, "", "0", false, false},
        ColorCase{ColorMode::Auto, true, "", "0", true, true},
        ColorCase{ColorMode::Auto, true, nullptr, "", false, false},
        // Any other non-empty FORCE_COLOR forces colour on a pipe.
        ColorCase{ColorMode::Auto, true, nullptr, "00", false, true},
        ColorCase{ColorMode::Auto, true, nullptr, "no", false, true},
        // Nothing set: the terminal test decides.
        ColorCase{ColorMode::Auto, true, nullptr, nullptr, true, true},
        ColorCase{ColorMode::Auto, true, nullptr, nullptr, false, false}));
