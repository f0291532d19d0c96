#pragma once

#include <string>
#include <utility>
#include <variant>

namespace ferrant {

// Why an operation failed. `Python` means the interpreter's error indicator is
// already set; every other kind is turned into an exception at the boundary.
enum class ErrorKind { Python, Runtime };

struct Error {
    ErrorKind kind;
    std::string message;

    static Error python() { return {ErrorKind::Python, {}}; }
    static Error runtime(std::string m) { return {ErrorKind::Runtime, std::move(m)}; }
};

// A value or an Error, carried up to the Python boundary.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    T take() { return std::move(std::get<0>(v_)); }
    Error& error() { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok_status() { return Ok{}; }

}  // namespace ferrant
