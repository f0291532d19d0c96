#include "lib/registry.hpp"

#include <functional>

#include "lib/settings.hpp"
#include "lib/color.hpp"
#include "lib/fork_state.hpp"

namespace ferrant {

std::size_t PathKeyHash::operator()(const PathKey& key) const {
    if (!key.path) return 0x9e3779b97f4a7c15u;
    return std::hash<std::string>{}(*key.path);
}

Registry& registry() {
    static Registry* const instance = new Registry();
    return *instance;
}

namespace {

// In a forked child the lock may have been held by a thread that is not there.
const OnForkChild REGISTRY_AFTER_FORK([] { new (&registry().mutex) std::mutex(); });

}  // namespace

Result<std::shared_ptr<SharedWriter>> shared_writer(std::optional<std::string> path) {
    PathKey key{std::move(path)};
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);

    auto found = reg.writers.find(key);
    if (found != reg.writers.end()) {
        if (std::shared_ptr<SharedWriter> live = found->second.lock()) {
            if (!live->stopped_or_failed()) return live;
        }
    }

    // Settings are read one at a time, each lock released before the next,
    // while the registry stays locked so that one writer per key is made.
    WriterSettings settings;
    settings.color =
        decide_color(default_color_cell().get(), key.is_stdout(), current_color_environment());
    settings.format = default_format_cell().get();
    settings.unix_ts = default_unix_ts_cell().get();
    if (!key.is_stdout()) settings.retention = default_retention_cell().get();

    Result<std::shared_ptr<SharedWriter>> started =
        SharedWriter::start(key.path, current_local_date(), settings);
    if (!started) return started;

    if (found != reg.writers.end())
        found->second = started.value();
    else
        reg.writers.emplace(std::move(key), started.value());
    return started;
}

}  // namespace ferrant

