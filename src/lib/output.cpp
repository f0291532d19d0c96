#include "lib/output.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace ferrant {

OsError write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return OsError{errno};
        }
        // A zero-length write of a non-empty range would loop forever.
        if (n == 0) return OsError{EIO};
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

Output::Output(int fd, bool owned) : buffer_(BUFFER_SIZE), fd_(fd), owned_(owned) {}

Output Output::standard_output() { return Output(STDOUT_FILENO, false); }

Output Output::owned_file(int fd) { return Output(fd, true); }

Output::Output(Output&& other) noexcept
    : buffer_(std::move(other.buffer_)),
      fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)) {}

Output& Output::operator=(Output&& other) noexcept {
    if (this != &other) {
        release();
        buffer_ = std::move(other.buffer_);
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
    }
    return *this;
}

Output::~Output() { release(); }

void Output::release() {
    if (fd_ < 0) return;
    (void)flush();
    // close is not retried on EINTR: the descriptor is gone either way.
    if (owned_) ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

OsError Output::write(std::string_view chunk) {
    if (chunk.size() <= buffer_.capacity() - buffer_.size()) [[likely]] {
        buffer_.append_unchecked(chunk.data(), chunk.size());
        return {};
    }
    if (OsError err = flush()) return err;
    if (chunk.size() >= BUFFER_SIZE) return write_all(fd_, chunk.data(), chunk.size());
    buffer_.append_unchecked(chunk.data(), chunk.size());
    return {};
}

OsError Output::flush() {
    const char* data = buffer_.data();
    std::size_t left = buffer_.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const OsError err{n < 0 ? errno : EIO};
            // Keep what was not written, at the front, for the next attempt.
            std::memmove(buffer_.data(), data, left);
            buffer_.resize_down(left);
            return err;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return {};
}

}  // namespace ferrant
