#include "lib/settings.hpp"

#include "lib/fork_state.hpp"

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

SettingCell<RetentionPolicy>& default_retention_cell() {
    static auto* cell = new SettingCell<RetentionPolicy>{RetentionPolicy{}};
    return *cell;
}

SettingCell<bool>& default_console_cell() {
    static auto* cell = new SettingCell<bool>{false};
    return *cell;
}

namespace {

// In a forked child a cell's lock may have been held by a thread that is not
// there.
const OnForkChild SETTINGS_AFTER_FORK([] {
    default_path_cell().reset_lock_after_fork();
    default_unix_ts_cell().reset_lock_after_fork();
    default_color_cell().reset_lock_after_fork();
    default_format_cell().reset_lock_after_fork();
    default_retention_cell().reset_lock_after_fork();
    default_console_cell().reset_lock_after_fork();
});

}  // namespace

}  // namespace ferrant
