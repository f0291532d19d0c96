#pragma once

// Process-wide settings written by basic_config. Plain C++: the registry reads
// them off the interpreter's argument handling.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "lib/color.hpp"
#include "lib/writer_settings.hpp"

namespace ferrant {

// One value behind its own mutex; every access copies or replaces it at once.
template <class T>
class SettingCell {
public:
    explicit SettingCell(T initial) : value_(std::move(initial)) {}
    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(T value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }
    // For a forked child: the mutex may have been held by a thread that does
    // not exist there.
    void reset_lock_after_fork() { new (&mutex_) std::mutex(); }

private:
    mutable std::mutex mutex_;
    T value_;
};

using PathSetting = std::optional<std::string>;

SettingCell<PathSetting>& default_path_cell();
SettingCell<bool>& default_unix_ts_cell();
SettingCell<ColorMode>& default_color_cell();
SettingCell<Format>& default_format_cell();
SettingCell<RetentionPolicy>& default_retention_cell();
// Whether the records of basic_config's destination, when it is a file, go
// to standard output in the text layout as well.
SettingCell<bool>& default_console_cell();

inline constexpr std::uint64_t DEFAULT_BATCH_SIZE = 32;
inline std::atomic<std::uint64_t> BATCH_SIZE{DEFAULT_BATCH_SIZE};

// Goes up whenever what the package's loggers resolved may be out of date: a
// basic_config call, a writer stopped by shutdown. A logger compares it with
// the value it resolved at, so a call pays one load and compare for it.
// Written and read with the GIL held; atomic for the writer threads' sake.
inline std::atomic<std::uint64_t> CONFIG_GENERATION{1};

inline void config_changed() { CONFIG_GENERATION.fetch_add(1, std::memory_order_relaxed); }

}  // namespace ferrant
