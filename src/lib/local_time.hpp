#pragma once

#include <cstdint>

namespace ferrant {

struct LocalDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
    friend bool operator==(const LocalDate&, const LocalDate&) = default;
};

struct CivilTime {
    LocalDate date;
    unsigned hour, minute, second;
};

// Proleptic Gregorian calendar for any day count from 1970-01-01 (negative
// counts included); exact over the whole int64 range of days / 366.
LocalDate civil_from_days(std::int64_t days);
std::int64_t days_from_civil(const LocalDate& date);

// Calendar date and time of `unix_secs` shifted by `offset_secs`.
CivilTime civil_time(std::uint64_t unix_secs, std::int32_t offset_secs);

// Seconds east of UTC of the local zone (TZ, else the system zone, else UTC)
// at the instant. 0 when the zone cannot describe the instant. Thread-safe.
std::int32_t utc_offset_at(std::uint64_t unix_secs);

// The local calendar date at the instant.
LocalDate local_date_at(std::uint64_t unix_secs);

// The local calendar date now.
LocalDate current_local_date();

// Reads TZ and the zone database. Call on an interpreter thread before any
// writer thread exists, so that no later lookup reads the environment while
// Python code may be changing it.
void init_time_zone();

}  // namespace ferrant
