#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "lib/byte_buffer.hpp"
#include "lib/os_error.hpp"

namespace ferrant {

// Writes all of `data` to `fd`, retrying on EINTR and after partial writes.
OsError write_all(int fd, const char* data, std::size_t size);

// A buffered output stream in front of a file descriptor, used by one thread.
// Releasing it (destruction, or assigning over it) writes out what is still
// buffered, ignoring errors, and closes the descriptor if it owns it.
//
// Failures never leave the buffer larger than BUFFER_SIZE: bytes that could
// not be written are dropped and counted (take_dropped). Chunks hold whole
// lines, and a line the destination got only part of is finished before
// anything else goes out: its remainder stays at the front of the buffer, or,
// when it is too long to keep, a lone "\n" ends the torn line instead.
//
// Every write(2) ends at a line end. On a pipe or a socket (decided when the
// output is made) each one is also at most PIECE_SIZE bytes, packed with as
// many whole lines as fit: the system keeps such a write whole, so processes
// sharing the pipe never interleave inside a line. A longer line goes alone,
// in one write of exactly that line, and may interleave.
class Output {
public:
    static constexpr std::size_t BUFFER_SIZE = 1 << 20;
    static constexpr std::size_t PIECE_SIZE = PIPE_BUF;

    // Told, after each write(2) that returns (EINTR retries aside), the bytes
    // still waiting in this output: what is buffered plus the unwritten rest
    // of the write-out in progress, which after a failure is only what stays
    // buffered. Runs on the thread that writes, inside write(), write_buffer() and
    // the release; ctx must outlive the output or be unset first.
    using ProgressFn = void (*)(void* ctx, std::size_t backlog);

    // Standard output; fd 1 is never closed.
    static Output standard_output();
    // Takes ownership of an open file descriptor.
    static Output owned_file(int fd);
    // No destination: chunks are buffered, and every attempt to write them
    // out drops them and fails with `why`.
    static Output unopened(OsError why);

    // Holds a shared lock on the file (flock) across each write, so that a
    // writer opening it can tell a line torn by a killed writer from one
    // still being appended (open_output).
    void lock_around_writes() { lock_writes_ = true; }

    // True while the rest of a line this output tore is still owed.
    bool owes_line_rest() const { return tail_ > 0; }

    Output(Output&& other) noexcept;
    Output& operator=(Output&& other) noexcept;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    // Buffers `chunk`, or writes the buffer out first when it does not fit;
    // a chunk of at least BUFFER_SIZE bytes then goes straight to the fd.
    // When writing the buffer out fails, a chunk that fits the emptied buffer
    // is still kept and a bigger one is dropped.
    OsError write(std::string_view chunk);
    // Writes the whole buffer out. On error, only the rest of a torn line
    // stays buffered; the other unwritten bytes are dropped.
    OsError write_buffer();

    // Moves what `old` still buffers, and its progress observer, into this
    // fresh output. The rest of a line `old` tore goes along only when both
    // write to the same file, where it replaces a "\n" of
    // end_torn_line_first: it ends the same line. Elsewhere it would start
    // mid-line, so it is dropped.
    void take_pending(Output& old);

    // fn null unsets it.
    void set_progress(ProgressFn fn, void* ctx) {
        progress_fn_ = fn;
        progress_ctx_ = ctx;
    }

    // True when `path` itself, not a symbolic link standing there, is the
    // file this output writes to.
    bool writes_to(const std::string& path) const;
    // True when writes go out in pieces of whole lines (a pipe or a socket).
    bool in_pieces() const { return in_pieces_; }
    // Bytes dropped since the previous call.
    std::uint64_t take_dropped() { return std::exchange(dropped_, 0); }
    // True when a write reached the destination since the previous call.
    bool take_progress() { return std::exchange(progress_, false); }

    int fd() const { return fd_; }
    std::size_t buffered() const { return buffer_.size(); }

private:
    Output(int fd, bool owned);
    void release();
    // Writes `data` to the fd; on failure keeps only a torn line's rest.
    OsError write_out(const char* data, std::size_t size);
    // Bytes of data[from, size) the next write(2) takes.
    std::size_t next_write(const char* data, std::size_t from, std::size_t size) const;
    void tell_progress(std::size_t backlog) {
        if (progress_fn_) progress_fn_(progress_ctx_, backlog);
    }
    bool same_file(const Output& other) const;
    // After `written` bytes of `data` went out and the next write failed:
    // keeps the rest of a torn line at the front of the emptied buffer and
    // drops the remaining `size - written` bytes.
    void keep_torn_rest(const char* data, std::size_t size, std::size_t written);

    ByteBuffer buffer_;
    int fd_ = -1;
    bool owned_ = false;
    bool in_pieces_ = false;
    OsError down_{};            // why an unopened output cannot write
    std::size_t tail_ = 0;      // leading buffer bytes that finish a torn line
    bool tail_is_filler_ = false;  // the tail is a lone "\n", not data
    bool lock_writes_ = false;
    std::uint64_t dropped_ = 0;
    bool progress_ = false;
    ProgressFn progress_fn_ = nullptr;
    void* progress_ctx_ = nullptr;
};

}  // namespace ferrant
