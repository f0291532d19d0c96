#pragma once

#include <cstddef>
#include <string_view>

#include "lib/byte_buffer.hpp"
#include "lib/os_error.hpp"

namespace ferrant {

// Writes all of `data` to `fd`, retrying on EINTR and after partial writes.
OsError write_all(int fd, const char* data, std::size_t size);

// A buffered output stream in front of a file descriptor, used by one thread.
// Releasing it (destruction, or assigning over it) writes out what is still
// buffered, ignoring errors, and closes the descriptor if it owns it.
class Output {
public:
    static constexpr std::size_t BUFFER_SIZE = 1 << 20;

    // Standard output; fd 1 is never closed.
    static Output standard_output();
    // Takes ownership of an open file descriptor.
    static Output owned_file(int fd);

    Output(Output&& other) noexcept;
    Output& operator=(Output&& other) noexcept;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    // Buffers `chunk`, or writes the buffer out first when it does not fit;
    // a chunk of at least BUFFER_SIZE bytes then goes straight to the fd.
    OsError write(std::string_view chunk);
    // Writes the whole buffer out. On error, the bytes not yet written stay
    // buffered for the next attempt.
    OsError flush();

    int fd() const { return fd_; }
    std::size_t buffered() const { return buffer_.size(); }

private:
    Output(int fd, bool owned);
    void release();

    ByteBuffer buffer_;
    int fd_ = -1;
    bool owned_ = false;
};

}  // namespace ferrant
