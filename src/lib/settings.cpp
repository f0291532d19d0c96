#include "lib/settings.hpp"

namespace ferrant {

// The cells are never destroyed: threads still running at process exit may
// read them after static destructors have started.
SettingCell<PathSetting>& default_path_cell() {
    static auto* cell = new SettingCell<PathSetting>{std::nullopt};
    return *cell;
}

SettingCell<bool>& default_unix_ts_cell() {
    static auto* cell = new SettingCell<bool>{false};
    return *cell;
}

SettingCell<ColorMode>& default_color_cell() {
    static auto* cell = new SettingCell<ColorMode>{ColorMode::Auto};
    return *cell;
}

SettingCell<Format>& default_format_cell() {
    static auto* cell = new SettingCell<Format>{Format::Text};
    return *cell;
}

}  // namespace ferrant
