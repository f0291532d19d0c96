#include "lib/local_time.hpp"

#include <climits>
#include <ctime>

#include "lib/fork_state.hpp"

namespace ferrant {

// Howard Hinnant's days-from-civil algorithms, with 64-bit eras.
LocalDate civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const unsigned d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
    return {y, m, d};
}

std::int64_t days_from_civil(const LocalDate& date) {
    const std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = date.month > 2 ? date.month - 3 : date.month + 9;
    const std::int64_t doy = (153 * mp + 2) / 5 + date.day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

CivilTime civil_time(std::uint64_t unix_secs, std::int32_t offset_secs) {
    std::int64_t days = static_cast<std::int64_t>(unix_secs / 86400);
    std::int64_t sod = static_cast<std::int64_t>(unix_secs % 86400) + offset_secs;
    if (sod < 0) {
        sod += 86400;
        days -= 1;
    } else if (sod >= 86400) {
        sod -= 86400;
        days += 1;
    }
    CivilTime t;
    t.date = civil_from_days(days);
    t.hour = static_cast<unsigned>(sod / 3600);
    t.minute = static_cast<unsigned>(sod / 60 % 60);
    t.second = static_cast<unsigned>(sod % 60);
    return t;
}

std::int32_t utc_offset_at(std::uint64_t unix_secs) {
    if (unix_secs > static_cast<std::uint64_t>(LLONG_MAX)) return 0;
    std::time_t t = static_cast<std::time_t>(unix_secs);
    std::tm tm;
    // localtime_r serialises on the C library's zone lock and, unlike
    // localtime, does not re-read TZ after the first use.
    {
        std::lock_guard gate(time_zone_gate());
        if (!localtime_r(&t, &tm)) return 0;
    }
    long off = tm.tm_gmtoff;
    if (off <= -86400 || off >= 86400) return 0;
    return static_cast<std::int32_t>(off);
}

LocalDate local_date_at(std::uint64_t unix_secs) {
    return civil_time(unix_secs, utc_offset_at(unix_secs)).date;
}

LocalDate current_local_date() {
    std::timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::uint64_t secs = ts.tv_sec < 0 ? static_cast<std::uint64_t>(-(ts.tv_sec + 1)) + 1
                                       : static_cast<std::uint64_t>(ts.tv_sec);
    return local_date_at(secs);
}

void init_time_zone() {
    std::lock_guard gate(time_zone_gate());
    tzset();
}

std::mutex& time_zone_gate() {
    static auto* gate = new std::mutex();
    return *gate;
}

}  // namespace ferrant
