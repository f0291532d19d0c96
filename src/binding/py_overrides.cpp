#include "binding/py_overrides.hpp"

namespace ferrant {

namespace {

struct Entry {
    std::uint64_t names = 0, bound = 0, context = 0;
    Overrides decided;
};

// Direct-mapped: a service has a few call sites per logger and context.
constexpr std::size_t kEntries = 256;
Entry DECIDED[kEntries];

std::size_t slot_of(std::uint64_t names, std::uint64_t bound, std::uint64_t context) {
    const std::uint64_t h = names * 0x9E3779B97F4A7C15u ^ bound * 0xC2B2AE3D27D4EB4Fu ^
                            context * 0x165667B19E3779F9u;
    return static_cast<std::size_t>(h >> 56) % kEntries;
}

Overrides decide(const CallNames* names, const RenderedFields& bound,
                 const RenderedFields* context) {
    Overrides d;
    for (std::size_t i = 0; i < bound.fields.size() && i < kOverrideBits; ++i) {
        const std::string_view key = bound.fields[i].key;
        if ((context && context->overrides_bound(key)) || call_gives(names, key))
            d.bound |= std::uint64_t{1} << i;
    }
    if (context)
        for (std::size_t i = 0; i < context->fields.size() && i < kOverrideBits; ++i)
            if (context_dropped(names, bound, context->fields[i]))
                d.context |= std::uint64_t{1} << i;
    return d;
}

}  // namespace

bool context_dropped(const CallNames* names, const RenderedFields& bound, const RenderedField& f) {
    return call_gives(names, f.key) || (f.weak && bound.has(f.key));
}

bool call_gives(const CallNames* names, std::string_view key) {
    if (!names) return false;
    for (Py_ssize_t i = 0; i < names->count; ++i)
        if (i != names->exc_info_at && names->written[static_cast<std::size_t>(i)] == key)
            return true;
    return false;
}

Overrides overrides(const CallNames* names, const RenderedFields& bound,
                    const RenderedFields* context) {
    const std::uint64_t n = names ? names->id : 0, b = bound.id, c = context ? context->id : 0;
    Entry& e = DECIDED[slot_of(n, b, c)];
    if (e.names == n && e.bound == b && e.context == c) [[likely]]
        return e.decided;
    e = {n, b, c, decide(names, bound, context)};
    return e.decided;
}

}  // namespace ferrant
