#pragma once

#include "binding/py_ref.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "lib/rank.hpp"

// The thresholds of the package's loggers, which set_level changes while the
// program runs. A logger links its own threshold, so the log call reads it
// where it always did, at no extra cost; the list and the rules are only
// touched with the GIL held, as the log call reads the threshold.

namespace ferrant {

struct ThresholdLink {
    Rank* level = nullptr;
    std::string name;  // the logger's name; empty for None
    // Made without a level: the default's changes reach it.
    bool follows_default = false;
    ThresholdLink* prev = nullptr;
    ThresholdLink* next = nullptr;
};

void link_threshold(ThresholdLink& link);
void unlink_threshold(ThresholdLink& link);

// The threshold of a logger made now without a level: the level the most
// specific set_level prefix of its name gave, else the default.
Rank initial_threshold(std::string_view name);

// Every linked logger whose name starts with `prefix` (all when none) gets
// `rank`, and so do those made later without a level.
void set_thresholds(Rank rank, std::optional<std::string_view> prefix);

// The default of loggers made without a level, where no set_level rule
// applies: those made before take it too.
void set_default_threshold(Rank rank);
Rank default_threshold();

// ferrant._logger._set_level(level, prefix=None) and
// _set_default_level(level) (which returns the level it replaced), for the
// package.
extern PyMethodDef SET_LEVEL_DEF;
extern PyMethodDef SET_DEFAULT_LEVEL_DEF;

}  // namespace ferrant
