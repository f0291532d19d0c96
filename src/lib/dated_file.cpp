#include "lib/dated_file.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace ferrant {

namespace {

std::string_view strip_trailing_slashes(std::string_view p) {
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    return p;
}

// The directory part of `p` without its trailing slashes; "" when none.
std::string_view parent_of(std::string_view p) {
    p = strip_trailing_slashes(p);
    const std::size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return {};
    if (slash == 0) return p.substr(0, 1);
    return strip_trailing_slashes(p.substr(0, slash));
}

// "_YYYYMMDD", the year as strftime's "%Y" prints it: at least four digits.
std::string date_suffix(const LocalDate& day) {
    const bool negative = day.year < 0;
    const unsigned long long year = negative ? 0ULL - static_cast<unsigned long long>(day.year)
                                             : static_cast<unsigned long long>(day.year);
    char buf[40];
    const int n = std::snprintf(buf, sizeof buf, "_%s%04llu%02u%02u", negative ? "-" : "",
                                year, day.month, day.day);
    return std::string(buf, static_cast<std::size_t>(n));
}

bool is_directory(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// An existing directory counts as success, also when another process made
// it between our attempt and the check.
OsError make_directory(const std::string& p) {
    if (::mkdir(p.c_str(), 0777) == 0) return {};
    const int err = errno;
    if (is_directory(p)) return {};
    return OsError{err};
}

int open_dated(const std::string& target, int access) {
    int fd;
    do {
        // O_NONBLOCK: a FIFO at the name must not wait for a reader.
        fd = ::open(target.c_str(),
                    access | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                    0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// open(2) names a symbolic link in the last component ELOOP and a FIFO
// without a reader, or a socket, ENXIO: both are things no log belongs in.
OsError open_error(int err, const std::string& target) {
    struct stat st;
    if ((err == ELOOP || err == ENXIO) && ::lstat(target.c_str(), &st) == 0 &&
        !S_ISREG(st.st_mode))
        return OsError{OsError::NOT_A_REGULAR_FILE};
    return OsError{err};
}

// Other writers' lines always end in "\n" (an O_APPEND write lands whole at
// the end), so any other last byte is a line whose writer died mid-write.
// A large write still under way elsewhere can show a partial size for a
// moment; that costs one empty line, never a record.
// A last byte that is not a line feed is a line torn by a writer killed
// mid-write, unless another writer's append is in progress: its size shows
// mid-line for a moment. Every writer holds a shared lock on the file across
// each write, so with the exclusive lock none is. Not had within about 0.1 s
// (a writer stopped mid-write), the check is skipped rather than waited for.
void end_torn_line(int fd) {
    for (int tries = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; ++tries) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || tries == 100) return;
        ::usleep(1000);
    }
    struct stat st;
    char last;
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        (void)write_all(fd, "\n", 1);
    ::flock(fd, LOCK_UN);
}

}  // namespace

DatedPattern dated_pattern(std::string_view path) {
    std::string_view trimmed = path;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.remove_suffix(1);
    const std::size_t slash = trimmed.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    const bool has_extension =
        dot != std::string_view::npos && dot != 0 && name != "..";

    // Without an extension the whole text, trailing slashes included, is
    // the head.
    const std::string_view head =
        has_extension ? trimmed.substr(0, trimmed.size() - (name.size() - dot)) : path;
    const std::size_t split = head.rfind('/') + 1;  // 0 without a slash
    return DatedPattern{std::string(head.substr(0, split)), std::string(head.substr(split)),
                        has_extension ? std::string(name.substr(dot)) : std::string(".log")};
}

std::string dated_path(std::string_view path, const LocalDate& day) {
    const DatedPattern p = dated_pattern(path);
    return p.dir + p.stem + date_suffix(day) + p.ext;
}

OsError create_directories(std::string_view dir) {
    const std::string d(strip_trailing_slashes(dir));
    if (d.empty()) return {};
    if (::mkdir(d.c_str(), 0777) == 0) return {};
    const int err = errno;
    if (err != ENOENT) return is_directory(d) ? OsError{} : OsError{err};
    const std::string_view parent = parent_of(d);
    if (parent.empty()) return OsError{err};
    if (OsError e = create_directories(parent)) return e;
    return make_directory(d);
}

OsResult<Output> open_output(const Destination& where, bool end_torn) {
    if (!where.path) {
        // Descriptor 1 was closed at creation: whatever holds it now belongs
        // to the application, never to this writer.
        if (!where.stdout_open) return OsError{EBADF};
        return Output::standard_output();
    }
    const std::string target = dated_path(*where.path, where.day);
    const std::string_view parent = parent_of(target);
    if (!parent.empty()) {
        if (OsError err = create_directories(parent)) return err;
    }
    // Read access is only for the last byte: a file we may write but not
    // read is still taken, unchecked.
    bool readable = true;
    int fd = open_dated(target, O_RDWR);
    if (fd < 0 && errno == EACCES) {
        readable = false;
        fd = open_dated(target, O_WRONLY);
    }
    if (fd < 0) return open_error(errno, target);
    const auto refuse = [fd](OsError err) {
        ::close(fd);
        return err;
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) return refuse(OsError{errno});
    if (!S_ISREG(st.st_mode)) return refuse(OsError{OsError::NOT_A_REGULAR_FILE});
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return refuse(OsError{errno});
    if (readable && end_torn) end_torn_line(fd);
    Output out = Output::owned_file(fd);
    out.lock_around_writes();
    return out;
}

}  // namespace ferrant
