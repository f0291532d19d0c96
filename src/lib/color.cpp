#include "lib/color.hpp"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace ferrant {

bool decide_color(ColorMode mode, bool to_stdout, const ColorEnvironment& env) {
    switch (mode) {
    case ColorMode::Off: return false;
    case ColorMode::Always: return true;
    case ColorMode::Auto: break;
    }
    if (!to_stdout) return false;
    if (env.no_color && env.no_color[0] != '\0') return false;
    if (env.force_color && env.force_color[0] != '\0' && std::strcmp(env.force_color, "0") != 0)
        return true;
    return env.stdout_is_tty;
}

ColorEnvironment current_color_environment() {
    ColorEnvironment env;
    env.no_color = std::getenv("NO_COLOR");
    env.force_color = std::getenv("FORCE_COLOR");
    env.stdout_is_tty = ::isatty(1) == 1;
    return env;
}

}  // namespace ferrant
