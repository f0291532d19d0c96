#include "lib/registry.hpp"

#include <atomic>
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

std::atomic<WriterStartHook> START_HOOK{nullptr};

// Settings are read one at a time, each lock released before the next.
WriterSettings current_settings(const PathKey& key, std::optional<Format> format) {
    WriterSettings settings;
    settings.color =
        decide_color(default_color_cell().get(), key.is_stdout(), current_color_environment());
    settings.format = format ? *format : default_format_cell().get();
    settings.unix_ts = default_unix_ts_cell().get();
    if (!key.is_stdout()) settings.retention = default_retention_cell().get();
    return settings;
}

std::shared_ptr<SharedWriter> live_writer(Registry& reg, const PathKey& key, Reuse reuse,
                                          std::optional<Format> format) {
    auto found = reg.writers.find(key);
    if (found == reg.writers.end()) return nullptr;
    std::shared_ptr<SharedWriter> live = found->second.lock();
    if (!live || live->stopped_or_failed()) return nullptr;
    if (reuse == Reuse::Current && !(live->settings() == current_settings(key, format)))
        return nullptr;
    return live;
}

}  // namespace

std::vector<std::shared_ptr<SharedWriter>> live_writers() {
    Registry& reg = registry();
    std::vector<std::shared_ptr<SharedWriter>> live;
    std::lock_guard lock(reg.mutex);
    for (auto& [key, weak] : reg.writers)
        if (auto writer = weak.lock()) live.push_back(std::move(writer));
    return live;
}

void set_writer_start_hook(WriterStartHook hook) { START_HOOK.store(hook, std::memory_order_release); }

Result<std::shared_ptr<SharedWriter>> shared_writer(std::optional<std::string> path,
                                                    Reuse reuse, std::optional<Format> format) {
    PathKey key{std::move(path)};
    Registry& reg = registry();
    {
        std::lock_guard lock(reg.mutex);
        if (std::shared_ptr<SharedWriter> live = live_writer(reg, key, reuse, format)) return live;
    }
    // Unlocked: the hook may call into the interpreter, which may switch
    // threads, and another thread's call here must not wait on this one.
    if (WriterStartHook hook = START_HOOK.load(std::memory_order_acquire)) {
        Status done = hook();
        if (!done) return std::move(done.error());
    }
    std::lock_guard lock(reg.mutex);
    if (std::shared_ptr<SharedWriter> live = live_writer(reg, key, reuse, format)) return live;
    auto found = reg.writers.find(key);

    // The registry stays locked so that one writer per key is made.
    const WriterSettings settings = current_settings(key, format);

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

