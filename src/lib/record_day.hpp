#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace ferrant {

// Local calendar days counted from 1970-01-01, as days_from_civil counts.
inline constexpr std::int64_t kNoDay = std::numeric_limits<std::int64_t>::min();

// The days a batch's lines belong to: those before byte `split` to
// `earlier`, the rest to `day`. A batch is handed off right after its first
// line of a new day, so one split is all it needs. kNoDay: the writer's
// current day.
struct BatchDays {
    std::int64_t day = kNoDay;
    std::int64_t earlier = kNoDay;
    std::size_t split = 0;  // 0: every line is of `day`
};

// A clock set back by up to this much across midnight is taken for a
// correction of a clock slightly ahead, not for the time going back: the
// records of the day already begun stay in its file.
inline constexpr std::int64_t kStepBackLimitSecs = 3600;

// The day whose file takes a line stamped at `local_secs` (seconds from
// 1970-01-01 local time): the day of the stamp, or the latest day the
// process has stamped when the stamp lies up to kStepBackLimitSecs before
// that day began. A stamp further back moves the latest day back with it.
// Once per second per thread; lock-free.
std::int64_t record_day(std::int64_t local_secs);

// Forgets the latest day stamped; for tests.
void reset_record_days();

}  // namespace ferrant
