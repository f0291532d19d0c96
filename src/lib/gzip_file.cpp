#include "lib/gzip_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

#include "lib/output.hpp"

namespace ferrant {

namespace {

constexpr std::size_t CHUNK = 64 * 1024;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // close(2)'s own error: a delayed write failure shows only there.
    OsError close() {
        const int rc = ::close(std::exchange(fd_, -1));
        return rc == 0 || errno == EINTR ? OsError{} : OsError{errno};
    }

private:
    int fd_;
};

int open_read(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// ELOOP: a symbolic link at the name; ENXIO: a FIFO without a writer or a socket.
OsError open_read_error(int err) {
    return err == ELOOP || err == ENXIO ? OsError{OsError::NOT_A_REGULAR_FILE} : OsError{err};
}

OsResult<ssize_t> read_some(int fd, unsigned char* buf, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, size);
        if (n >= 0) return n;
        if (errno != EINTR) return OsError{errno};
    }
}

// Appends what `existing` holds, as it is.
OsError copy_into(int to, const std::string& existing, std::vector<unsigned char>& buf) {
    const int fd = open_read(existing);
    if (fd < 0) return errno == ENOENT ? OsError{} : open_read_error(errno);
    Fd from(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return OsError{errno};
    if (!S_ISREG(st.st_mode)) return OsError{OsError::NOT_A_REGULAR_FILE};
    for (;;) {
        OsResult<ssize_t> n = read_some(fd, buf.data(), buf.size());
        if (!n) return n.error();
        if (n.value() == 0) return {};
        const auto* data = reinterpret_cast<const char*>(buf.data());
        if (OsError err = write_all(to, data, static_cast<std::size_t>(n.value()))) return err;
    }
}

class Deflater {
public:
    Deflater() {
        // 16 + 15: a gzip header and trailer around a 32 KiB window.
        ok_ = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + 15, 8,
                           Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ok_) deflateEnd(&z_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    bool ok() const { return ok_; }

    // Compresses `in` (the end of the data when empty) and writes what
    // comes out to `fd`.
    OsError feed(unsigned char* in, std::size_t size, int fd, std::vector<unsigned char>& out) {
        z_.next_in = in;
        z_.avail_in = static_cast<uInt>(size);
        const int flush = size == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z_.next_out = out.data();
            z_.avail_out = static_cast<uInt>(out.size());
            if (deflate(&z_, flush) == Z_STREAM_ERROR) return OsError{EIO};
            const std::size_t produced = out.size() - z_.avail_out;
            if (OsError err = write_all(fd, reinterpret_cast<const char*>(out.data()), produced))
                return err;
        } while (z_.avail_out == 0);
        return {};
    }

private:
    z_stream z_{};
    bool ok_ = false;
};

// Fills the temporary file; false when `stop` cut it short.
OsResult<bool> write_gzip(int source, int temp, const std::string& target,
                          const std::atomic<bool>* stop) {
    std::vector<unsigned char> in(CHUNK), out(CHUNK);
    if (OsError err = copy_into(temp, target, in)) return err;
    Deflater deflater;
    if (!deflater.ok()) return OsError{ENOMEM};
    for (;;) {
        if (stop && stop->load(std::memory_order_relaxed)) return false;
        OsResult<ssize_t> n = read_some(source, in.data(), in.size());
        if (!n) return n.error();
        const auto size = static_cast<std::size_t>(n.value());
        if (OsError err = deflater.feed(in.data(), size, temp, out)) return err;
        if (size == 0) return true;
    }
}

}  // namespace

OsResult<GzipOutcome> gzip_file(const std::string& source, const std::string& target,
                                const std::atomic<bool>* stop) {
    const int sfd = open_read(source);
    if (sfd < 0) return errno == ENOENT ? OsResult<GzipOutcome>(GzipOutcome::Skipped)
                                        : OsResult<GzipOutcome>(open_read_error(errno));
    Fd src(sfd);
    struct stat st;
    if (::fstat(sfd, &st) != 0) return OsError{errno};
    if (!S_ISREG(st.st_mode)) return OsError{OsError::NOT_A_REGULAR_FILE};
    // Another process compressing it, or a writer mid-write: next time.
    if (::flock(sfd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK || errno == EINTR ? OsResult<GzipOutcome>(GzipOutcome::Skipped)
                                                      : OsResult<GzipOutcome>(OsError{errno});
    // Compressed and unlinked by another process while we waited to open.
    if (::fstat(sfd, &st) != 0) return OsError{errno};
    if (st.st_nlink == 0) return GzipOutcome::Skipped;

    // A fixed name: a temporary left by a killed process is reused, not
    // piled up; the source's lock keeps two compressions of it apart.
    const std::string temp = target + ".tmp";
    const int tfd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                           st.st_mode & 0666);
    if (tfd < 0) return OsError{errno};
    Fd tmp(tfd);
    OsResult<bool> written = write_gzip(sfd, tfd, target, stop);
    OsError err = written ? tmp.close() : written.error();
    if (!err && written.value() && ::rename(temp.c_str(), target.c_str()) != 0) err = OsError{errno};
    if (err || !written.value()) {
        ::unlink(temp.c_str());
        if (err) return err;
        return GzipOutcome::Skipped;
    }
    if (::unlink(source.c_str()) != 0 && errno != ENOENT) return OsError{errno};
    return GzipOutcome::Compressed;
}

}  // namespace ferrant
