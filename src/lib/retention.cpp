#include "lib/retention.hpp"

#include <cerrno>
#include <dirent.h>
#include <memory>
#include <pthread.h>
#include <unistd.h>

#include "lib/gzip_file.hpp"
#include "lib/output.hpp"
#include "lib/destination.hpp"

namespace ferrant {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

unsigned days_in_month(std::int64_t year, unsigned month) {
    static constexpr unsigned DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : DAYS[month - 1];
}

std::optional<LocalDate> parse_date(std::string_view digits) {
    int v[8];
    for (int i = 0; i < 8; ++i) {
        if (!is_digit(digits[i])) return std::nullopt;
        v[i] = digits[i] - '0';
    }
    const LocalDate d{v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3],
                      static_cast<unsigned>(v[4] * 10 + v[5]),
                      static_cast<unsigned>(v[6] * 10 + v[7])};
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > days_in_month(d.year, d.month))
        return std::nullopt;
    return d;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

void report(const RetentionFailure& f) {
    const std::string line = std::string("error ") + f.action + ": " + describe(f.error) +
                             destination_suffix(f.file);
    (void)write_all(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

std::optional<DatedEntry> match_dated_name(const DatedPattern& p, std::string_view name) {
    constexpr std::size_t DATE = 9;  // "_YYYYMMDD"
    if (!name.starts_with(p.stem)) return std::nullopt;
    std::string_view rest = name.substr(p.stem.size());
    if (rest.size() < DATE || rest[0] != '_') return std::nullopt;
    const std::optional<LocalDate> day = parse_date(rest.substr(1, 8));
    if (!day) return std::nullopt;
    rest.remove_prefix(DATE);
    if (!rest.starts_with(p.ext)) return std::nullopt;
    rest.remove_prefix(p.ext.size());
    if (rest.empty()) return DatedEntry{*day, false};
    if (rest == ".gz") return DatedEntry{*day, true};
    return std::nullopt;
}

bool day_finished(const LocalDate& day, const LocalDate& current) {
    return days_from_civil(day) < days_from_civil(current);
}

std::vector<RetentionFailure> retention_pass(const DatedPattern& pattern,
                                             const RetentionPolicy& policy, LocalDate today,
                                             LocalDate current, const std::atomic<bool>* stop) {
    std::vector<RetentionFailure> failures;
    const std::string dir = pattern.dir.empty() ? "." : pattern.dir;
    std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
    if (!listing) {
        if (errno != ENOENT) failures.push_back({"listing", dir, OsError{errno}});
        return failures;
    }
    // Names first, then changes: compressing adds names to the directory.
    std::vector<std::pair<std::string, DatedEntry>> found;
    errno = 0;
    while (const dirent* e = ::readdir(listing.get())) {
        if (std::optional<DatedEntry> m = match_dated_name(pattern, e->d_name))
            found.emplace_back(e->d_name, *m);
        errno = 0;
    }
    if (errno != 0) failures.push_back({"listing", dir, OsError{errno}});
    listing.reset();

    const std::int64_t today_n = days_from_civil(today);
    for (const auto& [name, entry] : found) {
        if (stop && stop->load(std::memory_order_relaxed)) break;
        if (entry.day == today || entry.day == current) continue;
        const std::string file = pattern.dir + name;
        const std::int64_t age = today_n - days_from_civil(entry.day);
        if (policy.days && age > static_cast<std::int64_t>(*policy.days)) {
            if (::unlink(file.c_str()) != 0 && errno != ENOENT)
                failures.push_back({"removing", file, OsError{errno}});
        } else if (policy.compress && !entry.gzipped && day_finished(entry.day, current)) {
            OsResult<GzipOutcome> done = gzip_file(file, file + ".gz", stop);
            if (!done) failures.push_back({"compressing", file, done.error()});
        }
    }
    return failures;
}

RetentionWorker::RetentionWorker(const std::optional<std::string>& path, RetentionPolicy policy)
    : policy_(policy) {
    if (path && policy.active()) pattern_ = dated_pattern(*path);
}

RetentionWorker::~RetentionWorker() {
    stop_.store(true, std::memory_order_relaxed);
    wait();
}

void RetentionWorker::wait() {
    if (thread_.joinable()) thread_.join();
}

bool RetentionWorker::start(LocalDate today, LocalDate current) {
    if (!pattern_) return true;
    if (running_.load(std::memory_order_acquire)) return false;
    wait();
    running_.store(true, std::memory_order_relaxed);
    try {
        thread_ = std::thread([this, today, current] { run(today, current); });
    } catch (...) {
        // No thread now (system_error): the next check tries again.
        running_.store(false, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void RetentionWorker::run(LocalDate today, LocalDate current) {
    pthread_setname_np(pthread_self(), "ferrant-retain");
    try {
        std::vector<RetentionFailure> failures =
            retention_pass(*pattern_, policy_, today, current, &stop_);
        std::set<RetentionFailure> now(failures.begin(), failures.end());
        for (const RetentionFailure& f : now)
            if (!reported_.contains(f)) report(f);
        reported_ = std::move(now);
    } catch (...) {
        // Out of memory: the next pass tries again.
    }
    running_.store(false, std::memory_order_release);
}

}  // namespace ferrant
