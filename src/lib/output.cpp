#include "lib/output.hpp"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ferrant {

namespace {

bool same_inode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A pipe or a socket keeps a write of up to PIPE_BUF bytes whole among other
// writers' writes; a larger one may be split and interleaved.
bool writes_in_pieces(int fd) {
    struct stat st;
    return fd >= 0 && ::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

// Shared, across one write-out: tells a writer opening the file that an
// append is in progress (open_output). An opener holds it exclusively for a
// few system calls; a lock still not had after about 10 ms is done without.
class WriteLock {
public:
    WriteLock(int fd, bool wanted) : fd_(wanted ? fd : -1) {
        if (fd_ < 0) return;
        for (int tries = 0; ::flock(fd_, LOCK_SH | LOCK_NB) != 0; ++tries) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || tries == 10) {
                fd_ = -1;
                return;
            }
            ::usleep(1000);
        }
    }
    ~WriteLock() {
        if (fd_ >= 0) ::flock(fd_, LOCK_UN);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int fd_;
};

}  // namespace

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

Output::Output(int fd, bool owned)
    : buffer_(BUFFER_SIZE), fd_(fd), owned_(owned), in_pieces_(writes_in_pieces(fd)) {}

Output Output::standard_output() { return Output(STDOUT_FILENO, false); }

Output Output::owned_file(int fd) { return Output(fd, true); }

Output Output::unopened(OsError why) {
    Output out(-1, false);
    out.down_ = why;
    return out;
}

Output::Output(Output&& other) noexcept
    : buffer_(std::move(other.buffer_)),
      fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      in_pieces_(std::exchange(other.in_pieces_, false)),
      down_(std::exchange(other.down_, OsError{})),
      tail_(std::exchange(other.tail_, 0)),
      tail_is_filler_(std::exchange(other.tail_is_filler_, false)),
      lock_writes_(std::exchange(other.lock_writes_, false)),
      dropped_(std::exchange(other.dropped_, 0)),
      progress_(std::exchange(other.progress_, false)),
      progress_fn_(std::exchange(other.progress_fn_, nullptr)),
      progress_ctx_(std::exchange(other.progress_ctx_, nullptr)) {}

Output& Output::operator=(Output&& other) noexcept {
    if (this != &other) {
        release();
        buffer_ = std::move(other.buffer_);
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
        in_pieces_ = std::exchange(other.in_pieces_, false);
        down_ = std::exchange(other.down_, OsError{});
        tail_ = std::exchange(other.tail_, 0);
        tail_is_filler_ = std::exchange(other.tail_is_filler_, false);
        lock_writes_ = std::exchange(other.lock_writes_, false);
        dropped_ = std::exchange(other.dropped_, 0);
        progress_ = std::exchange(other.progress_, false);
        progress_fn_ = std::exchange(other.progress_fn_, nullptr);
        progress_ctx_ = std::exchange(other.progress_ctx_, nullptr);
    }
    return *this;
}

Output::~Output() { release(); }

void Output::release() {
    if (fd_ < 0) return;
    (void)write_buffer();
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
    if (OsError err = write_buffer()) {
        if (chunk.size() <= buffer_.capacity() - buffer_.size())
            buffer_.append_unchecked(chunk.data(), chunk.size());
        else
            dropped_ += chunk.size();
        return err;
    }
    if (chunk.size() < BUFFER_SIZE) {
        buffer_.append_unchecked(chunk.data(), chunk.size());
        return {};
    }
    // The buffer is empty here, so a torn rest of this chunk fits the rules
    // of keep_torn_rest.
    return write_out(chunk.data(), chunk.size());
}

OsError Output::write_buffer() {
    if (fd_ < 0) {
        if (!down_) return {};
        dropped_ += buffer_.size();
        buffer_.clear();
        return down_;
    }
    if (OsError err = write_out(buffer_.data(), buffer_.size())) return err;
    buffer_.clear();
    tail_ = 0;
    tail_is_filler_ = false;
    return {};
}

OsError Output::write_out(const char* data, std::size_t size) {
    const WriteLock lock(fd_, lock_writes_);
    // A chunk written past the buffer waits besides what the buffer holds.
    const std::size_t elsewhere = data == buffer_.data() ? 0 : buffer_.size();
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd_, data + written, next_write(data, written, size));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const OsError err{n < 0 ? errno : EIO};
            keep_torn_rest(data, size, written);
            tell_progress(buffer_.size());
            return err;
        }
        progress_ = true;
        written += static_cast<std::size_t>(n);
        tell_progress(elsewhere + size - written);
    }
    return {};
}

std::size_t Output::next_write(const char* data, std::size_t from, std::size_t size) const {
    const std::size_t rest = size - from;
    if (!in_pieces_ || rest <= PIECE_SIZE) return rest;
    const char* at = data + from;
    if (const void* end = ::memrchr(at, '\n', PIECE_SIZE))
        return static_cast<std::size_t>(static_cast<const char*>(end) - at) + 1;
    const void* end = std::memchr(at + PIECE_SIZE, '\n', rest - PIECE_SIZE);
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - at) + 1 : rest;
}

void Output::keep_torn_rest(const char* data, std::size_t size, std::size_t written) {
    if (written == 0) {
        // Nothing went out: a tail from an earlier failure is still owed.
        dropped_ += size - tail_;
        buffer_.resize_down(tail_);
        return;
    }
    if (data[written - 1] == '\n') {
        dropped_ += size - written;
        buffer_.clear();
        tail_ = 0;
        tail_is_filler_ = false;
        return;
    }
    const char* rest = data + written;
    const void* newline = std::memchr(rest, '\n', size - written);
    const std::size_t line_rest =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - rest) + 1
                : size - written;
    buffer_.clear();
    if (line_rest <= buffer_.capacity()) {
        // `rest` may lie inside the buffer itself.
        std::memmove(buffer_.data(), rest, line_rest);
        buffer_.commit(line_rest);
        dropped_ += size - written - line_rest;
        tail_ = line_rest;
        tail_is_filler_ = false;
    } else {
        buffer_.append_unchecked("\n", 1);
        dropped_ += size - written;
        tail_ = 1;
        tail_is_filler_ = true;
    }
}

void Output::take_pending(Output& old) {
    const char* from = old.buffer_.data();
    std::size_t size = old.buffer_.size();
    if (old.tail_ > 0 && same_file(old)) {
        // The file ends in the line `old` tore; only its rest may follow.
        buffer_.clear();
        tail_ = old.tail_;
        tail_is_filler_ = old.tail_is_filler_;
    } else if (old.tail_ > 0) {
        if (!old.tail_is_filler_) dropped_ += old.tail_;
        from += old.tail_;
        size -= old.tail_;
    }
    const std::size_t room = buffer_.capacity() - buffer_.size();
    const std::size_t kept = size <= room ? size : room;
    buffer_.append_unchecked(from, kept);
    dropped_ += size - kept + old.take_dropped();
    old.buffer_.clear();
    old.tail_ = 0;
    old.tail_is_filler_ = false;
    progress_fn_ = std::exchange(old.progress_fn_, nullptr);
    progress_ctx_ = std::exchange(old.progress_ctx_, nullptr);
}

bool Output::same_file(const Output& other) const {
    struct stat a, b;
    return fd_ >= 0 && other.fd_ >= 0 && ::fstat(fd_, &a) == 0 && ::fstat(other.fd_, &b) == 0 &&
           same_inode(a, b);
}

bool Output::writes_to(const std::string& path) const {
    // lstat: a symbolic link planted at the path and pointing back at the
    // open file would otherwise pass for it.
    struct stat open, named;
    return fd_ >= 0 && ::fstat(fd_, &open) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           same_inode(open, named);
}

}  // namespace ferrant
