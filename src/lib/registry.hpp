#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/result.hpp"
#include "lib/shared_writer.hpp"

namespace ferrant {

// A destination's identity: standard output, or a file path compared byte for
// byte (no normalisation, so "./app.log" and "app.log" are two keys).
struct PathKey {
    std::optional<std::string> path;  // absent: standard output

    bool is_stdout() const { return !path.has_value(); }
    friend bool operator==(const PathKey&, const PathKey&) = default;
};

struct PathKeyHash {
    std::size_t operator()(const PathKey& key) const;
};

// Every destination ever requested, with a weak reference to its writer.
// Entries are never removed; a dead one is replaced in place.
struct Registry {
    std::mutex mutex;
    std::unordered_map<PathKey, std::weak_ptr<SharedWriter>, PathKeyHash> writers;
};

// The process-wide registry; never destroyed, so threads still running at
// exit never see it go.
Registry& registry();

// Whether shared_writer may hand out a live writer whose settings are not
// the ones a writer started now would get.
enum class Reuse {
    // Any live writer: a destination's writers keep the settings they
    // started with, and later loggers share them.
    Live,
    // Only one with the current settings; otherwise a new writer takes the
    // destination's place, and the old one serves its holders until released.
    Current,
};

// The live writer for `path` (absent: standard output), or a new one started
// with the current settings. A writer that was stopped or whose thread ended
// on an error is replaced, even while something still holds it. `format`,
// when given, stands for the configured one in the settings.
Result<std::shared_ptr<SharedWriter>> shared_writer(std::optional<std::string> path,
                                                    Reuse reuse = Reuse::Live,
                                                    std::optional<Format> format = std::nullopt);

// Every writer that is alive now.
std::vector<std::shared_ptr<SharedWriter>> live_writers();

// Called by shared_writer in the asking thread, outside the registry's lock,
// before it starts a new writer (none when a live one is found); its error
// is shared_writer's, and then no writer is started. One hook per process,
// set before any writer is asked for.
using WriterStartHook = Status (*)();
void set_writer_start_hook(WriterStartHook hook);

}  // namespace ferrant
