#pragma once

#include <cstdint>

namespace ferrant {

enum class ColorMode : std::uint8_t { Off = 0, Auto = 1, Always = 2 };

// What the colour decision looks at; null means "variable not set".
struct ColorEnvironment {
    const char* no_color = nullptr;
    const char* force_color = nullptr;
    bool stdout_is_tty = false;
};

// Whether a writer for this destination colours its lines.
bool decide_color(ColorMode mode, bool to_stdout, const ColorEnvironment& env);

// The environment and terminal state of this process, read now.
ColorEnvironment current_color_environment();

}  // namespace ferrant
