#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace ferrant {

// An operating-system error number; code 0 means "no error".
struct OsError {
    // ferrant's own refusal of a name that holds something other than a
    // regular file (a symbolic link, a FIFO, a device); no errno says that.
    static constexpr int NOT_A_REGULAR_FILE = -1;

    int code = 0;
    explicit operator bool() const { return code != 0; }
    friend bool operator==(const OsError&, const OsError&) = default;
};

// The system's description and the number, e.g.
// "No space left on device (os error 28)"; "Not a regular file" for
// NOT_A_REGULAR_FILE.
std::string describe(OsError error);

// A value or the OsError that prevented it.
template <class T>
class [[nodiscard]] OsResult {
public:
    OsResult(T value) : v_(std::move(value)) {}
    OsResult(OsError error) : v_(error) { assert(error.code != 0); }

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }
    OsError error() const { return std::get<1>(v_); }

private:
    std::variant<T, OsError> v_;
};

}  // namespace ferrant
