#pragma once

#include <string>
#include <string_view>

#include "lib/local_time.hpp"
#include "lib/os_error.hpp"
#include "lib/output.hpp"
#include "lib/destination.hpp"

namespace ferrant {

// The file that holds `path`'s lines for `day`: "_YYYYMMDD" goes before the
// extension of the last path component, or "_YYYYMMDD.log" after the whole
// text when that component has no extension.
std::string dated_path(std::string_view path, const LocalDate& day);

// `path`'s dated files are head + "_YYYYMMDD" + tail; head holds the
// directories ("" or ending in "/") apart from the rest.
struct DatedPattern {
    std::string dir;
    std::string stem;
    std::string ext;
};
DatedPattern dated_pattern(std::string_view path);

// Creates `dir` and its missing ancestors with mode 0777 (before umask). An
// existing directory is fine; an existing non-directory gives EEXIST.
OsError create_directories(std::string_view dir);

// Opens the destination's output: standard output when there is no path
// (EBADF when descriptor 1 was closed as the writer was made), else the
// dated file for its day, in append mode, after creating its directories.
//
// The dated file's name can be planted in advance, so only a regular file is
// taken: a symbolic link in its last component (one among the directories is
// fine), a FIFO, a socket or a device is refused with
// OsError::NOT_A_REGULAR_FILE, and opening never waits. With `end_torn`, a
// file whose last byte is not "\n" while no writer is appending ends in a
// torn line (a writer killed mid-write): a "\n" ends it before anything
// else goes in. Without it the caller finishes a line it tore itself.
OsResult<Output> open_output(const Destination& where, bool end_torn = true);

}  // namespace ferrant
