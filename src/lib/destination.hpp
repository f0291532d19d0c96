#pragma once

#include <optional>
#include <string>

#include "lib/local_time.hpp"

namespace ferrant {

// True unless descriptor 1 is closed.
bool standard_output_open();

// Where a writer's lines go: standard output without a path, else the
// path's dated file for `day`.
struct Destination {
    std::optional<std::string> path;
    LocalDate day{};
    // Whether descriptor 1 was open when the writer was made. Taken on the
    // creating thread: by the time the writer thread runs, a file the
    // application opened may have been given descriptor 1.
    bool stdout_open = standard_output_open();
};

// How a writer's error lines end: " for standard output\n" without a file,
// else the file quoted and escaped (a path may hold any character, and a
// report is one line).
std::string destination_suffix(const std::optional<std::string>& file);

}  // namespace ferrant
