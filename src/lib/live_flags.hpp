#pragma once

#include <atomic>

namespace ferrant {

// Set-only flags: once a writer can use coloured or JSON prefixes, every
// thread's timestamp cache keeps building them for the life of the process.
inline std::atomic<bool> COLOR_LIVE{true};
inline std::atomic<bool> JSON_LIVE{false};

inline void set_color_live() { COLOR_LIVE.store(true, std::memory_order_release); }
inline void set_json_live() { JSON_LIVE.store(true, std::memory_order_release); }

}  // namespace ferrant
