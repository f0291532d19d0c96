#pragma once

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "lib/dated_file.hpp"
#include "lib/local_time.hpp"
#include "lib/os_error.hpp"
#include "lib/writer_settings.hpp"

namespace ferrant {

// One of the destination's own dated files, by its name alone.
struct DatedEntry {
    LocalDate day;
    bool gzipped;  // <stem>_YYYYMMDD<ext>.gz
};

// `name` (no directory) as <stem>_YYYYMMDD<ext>, or the same with ".gz",
// with a real calendar date; nothing for any other name.
std::optional<DatedEntry> match_dated_name(const DatedPattern& pattern, std::string_view name);

// Whether a day's file is done with, so that it may be compressed: the
// writer has moved on to a later day.
bool day_finished(const LocalDate& day, const LocalDate& current);

struct RetentionFailure {
    const char* action;  // "listing", "removing", "compressing"
    std::string file;
    OsError error;
    friend bool operator<(const RetentionFailure& a, const RetentionFailure& b) {
        return std::pair<std::string_view, std::string_view>(a.file, a.action) <
               std::pair<std::string_view, std::string_view>(b.file, b.action);
    }
};

// One pass over the directory of `path`'s dated files: removes those more
// than policy.days days before `today`, and gzips the plain ones of finished
// days. The files of `today` and of `current` (the one being written) are
// never touched. Returns what failed; a missing directory is no failure.
std::vector<RetentionFailure> retention_pass(const DatedPattern& pattern,
                                             const RetentionPolicy& policy, LocalDate today,
                                             LocalDate current,
                                             const std::atomic<bool>* stop = nullptr);

// Runs a writer's passes on a thread of their own, so that compressing a
// large file never holds its lines up. Each failure prints one "error" line
// on standard error; a failure seen again at the next pass is not printed
// again.
class RetentionWorker {
public:
    // Does nothing without a path or with an inactive policy.
    RetentionWorker(const std::optional<std::string>& path, RetentionPolicy policy);
    // Stops a pass under way at its next file or chunk and waits for it.
    ~RetentionWorker();
    RetentionWorker(const RetentionWorker&) = delete;
    RetentionWorker& operator=(const RetentionWorker&) = delete;

    // Starts a pass, unless the previous one is still running (false): the
    // next call retries what that one leaves. True without a policy.
    bool start(LocalDate today, LocalDate current);
    // Waits for a pass under way to end.
    void wait();

private:
    void run(LocalDate today, LocalDate current);

    std::optional<DatedPattern> pattern_;
    RetentionPolicy policy_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::set<RetentionFailure> reported_;  // the pass thread's alone
};

}  // namespace ferrant
