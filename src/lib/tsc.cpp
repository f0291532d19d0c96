#include "lib/tsc.hpp"

namespace ferrant {

namespace {

bool has_word(std::string_view text, std::string_view word) {
    std::size_t at = 0;
    while ((at = text.find(word, at)) != std::string_view::npos) {
        const bool starts = at == 0 || text[at - 1] == ' ' || text[at - 1] == '\t';
        const std::size_t end = at + word.size();
        const bool ends = end == text.size() || text[end] == ' ' || text[end] == '\t';
        if (starts && ends) return true;
        at = end;
    }
    return false;
}

}  // namespace

bool tsc_pairs_precise(const TscPair& first, const TscPair& last) {
    if (last.tsc <= first.tsc) return false;
    // Each midpoint is off by at most half its width; the sum leaves a margin.
    const unsigned __int128 uncertainty = static_cast<unsigned __int128>(first.width) + last.width;
    return uncertainty * 1'000'000 <= last.tsc - first.tsc;
}

std::optional<TscScale> tsc_scale(const TscPair& first, const TscPair& last) {
    if (last.tsc <= first.tsc || last.ns <= first.ns) return std::nullopt;
    const std::uint64_t ticks = last.tsc - first.tsc;
    const std::uint64_t ns = last.ns - first.ns;
    // 10 MHz to 100 GHz: 100 to 0.01 ns per tick.
    if (ns > static_cast<unsigned __int128>(ticks) * 100 || static_cast<unsigned __int128>(ns) * 100 < ticks)
        return std::nullopt;
    const auto mult = static_cast<std::uint64_t>((static_cast<unsigned __int128>(ns) << 32) / ticks);
    return TscScale{last.tsc, last.ns, mult};
}

bool clocksource_is_tsc(std::string_view current_clocksource) {
    while (!current_clocksource.empty() &&
           (current_clocksource.back() == '\n' || current_clocksource.back() == ' '))
        current_clocksource.remove_suffix(1);
    return current_clocksource == "tsc";
}

bool cpu_flags_allow_tsc(std::string_view cpuinfo) {
    std::size_t at = 0;
    while (at < cpuinfo.size()) {
        std::size_t end = cpuinfo.find('\n', at);
        if (end == std::string_view::npos) end = cpuinfo.size();
        std::string_view line = cpuinfo.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with("flags")) continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        line.remove_prefix(colon + 1);
        return has_word(line, "constant_tsc") && has_word(line, "nonstop_tsc");
    }
    return false;
}

}  // namespace ferrant
