#pragma once

#include <cstddef>
#include <cstdint>

namespace ferrant {

// A record's severity as a logger compares it: a logger keeps the records
// whose rank is at most its threshold's. A word, not a byte: the log call
// passes it down its path, and a byte would be widened before each table
// lookup.
enum class Rank : unsigned { Error = 1, Warn, Info, Debug, Trace };

inline constexpr Rank DEFAULT_RANK = Rank::Info;
inline constexpr std::size_t RANK_COUNT = 5;
// Tables indexed by rank leave slot 0 unused.
inline constexpr std::size_t RANK_SLOTS = RANK_COUNT + 1;

constexpr unsigned rank_index(Rank rank) { return static_cast<unsigned>(rank); }

// A level's value (what int() gives for a PyLevel) counts the other way, from
// 0 (Trace) to 4 (Error). The caller ensures value < RANK_COUNT.
constexpr Rank rank_of_level(std::uint8_t value) {
    return static_cast<Rank>(RANK_COUNT - value);
}

static_assert(rank_index(Rank::Trace) == RANK_COUNT);
static_assert(rank_of_level(0) == Rank::Trace && rank_of_level(4) == Rank::Error);

}  // namespace ferrant
