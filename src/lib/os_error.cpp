#include "lib/os_error.hpp"

#include <cstring>

namespace ferrant {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); which one we get depends on feature macros.
[[maybe_unused]] const char* strerror_text(char* returned, const char*) { return returned; }
[[maybe_unused]] const char* strerror_text(int failed, const char* buf) {
    return failed ? "Unknown error" : buf;
}

}  // namespace

std::string describe(OsError error) {
    if (error.code == OsError::NOT_A_REGULAR_FILE) return "Not a regular file";
    char buf[256];
    buf[0] = '\0';
    std::string text = strerror_text(strerror_r(error.code, buf, sizeof buf), buf);
    text += " (os error ";
    text += std::to_string(error.code);
    text += ')';
    return text;
}

}  // namespace ferrant
