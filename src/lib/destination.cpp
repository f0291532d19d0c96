#include "lib/destination.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "lib/byte_buffer.hpp"
#include "lib/escape.hpp"

namespace ferrant {

bool standard_output_open() { return ::fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF; }

std::string destination_suffix(const std::optional<std::string>& file) {
    if (!file) return " for standard output\n";
    ByteBuffer quoted;
    quoted.append(" for \"");
    text_escape(quoted, *file);
    quoted.append("\"\n");
    return std::string(quoted.view());
}

}  // namespace ferrant
