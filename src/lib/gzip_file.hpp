#pragma once

#include <atomic>
#include <string>

#include "lib/os_error.hpp"

namespace ferrant {

enum class GzipOutcome {
    Compressed,  // `target` holds the data, `source` is gone
    Skipped,     // nothing changed: the source is gone, or in use, or `stop` was raised
};

// Gzips the regular file `source` into `target`, then unlinks `source`.
// The data is written under `target` + ".tmp" and renamed over `target`, so
// `target` is always whole. An existing `target` is kept as the first
// member of the new one: concatenated gzip members read as one stream. The
// source is locked exclusively while it is read (writers hold a shared lock
// across each write); when it is held elsewhere this is Skipped.
OsResult<GzipOutcome> gzip_file(const std::string& source, const std::string& target,
                                const std::atomic<bool>* stop = nullptr);

}  // namespace ferrant
