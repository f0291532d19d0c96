#include "lib/output.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <numeric>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.hpp"

using ferrant::Output;
using ferrant::testing::read_file;
using ferrant::testing::TempDir;

namespace {

constexpr std::size_t kBuf = Output::BUFFER_SIZE;

int open_append(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

std::string filled(std::size_t n, char c) { return std::string(n, c); }

struct Step {
    std::size_t size;
    std::size_t on_disk_after;  // bytes in the file right after this write
};

struct SequenceCase {
    const char* name;
    std::vector<Step> steps;
};

class OutputSequence : public ::testing::TestWithParam<SequenceCase> {};

// Each chunk is a distinct byte, so the final file shows any reordering.
TEST_P(OutputSequence, BuffersOrWritesThroughInOrder) {
    TempDir tmp;
    const std::string path = tmp / "out";
    std::string expected;
    {
        Output out = Output::owned_file(open_append(path));
        char c = 'a';
        for (const Step& step : GetParam().steps) {
            const std::string chunk = filled(step.size, c++);
            ASSERT_FALSE(out.write(chunk));
            expected += chunk;
            EXPECT_EQ(std::filesystem::file_size(path), step.on_disk_after)
                << "after chunk " << step.size;
        }
    }
    EXPECT_EQ(read_file(path), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, OutputSequence,
    ::testing::Values(
        SequenceCase{"small_stays_buffered", {{10, 0}, {20, 0}}},
        SequenceCase{"exact_free_space_fits", {{kBuf - 10, 0}, {10, 0}, {1, kBuf}}},
        SequenceCase{"big_goes_after_buffered", {{10, 0}, {kBuf + 7, kBuf + 17}, {5, kBuf + 17}}},
        SequenceCase{"buffer_sized_chunk_after_data", {{3, 0}, {kBuf, kBuf + 3}}},
        SequenceCase{"overflow_copies_small_into_emptied", {{kBuf - 4, 0}, {8, kBuf - 4}}}),
    [](const auto& info) { return std::string(info.param.name); });

Output full_disk() {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open /dev/full");
    return Output::owned_file(fd);
}

struct FailureCase {
    const char* name;
    bool unopened;        // else /dev/full
    std::size_t first;    // bytes buffered before `second` is written
    std::size_t second;   // overflows the buffer, so the first bytes are flushed
    int code;
    std::size_t dropped;  // after the write of `second`
    std::size_t kept;     // still buffered after it
};

class OutputFailure : public ::testing::TestWithParam<FailureCase> {};

// Bytes that cannot be written are dropped and counted; the buffer never
// grows past its size, and only a chunk that fits the emptied buffer stays.
TEST_P(OutputFailure, DropsAndCountsWhatCannotBeWritten) {
    const FailureCase& c = GetParam();
    Output out = c.unopened ? Output::unopened(ferrant::OsError{EACCES}) : full_disk();
    ASSERT_FALSE(out.write(filled(c.first, 'a')));
    EXPECT_EQ(out.write(filled(c.second, 'b')).code, c.code);
    EXPECT_EQ(out.take_dropped(), c.dropped);
    EXPECT_EQ(out.buffered(), c.kept);
    ASSERT_FALSE(out.write("z\n"));
    EXPECT_EQ(out.write_buffer().code, c.code);
    EXPECT_EQ(out.take_dropped(), c.kept + 2);
    EXPECT_EQ(out.buffered(), 0u);
    EXPECT_FALSE(out.take_progress());
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, OutputFailure,
    ::testing::Values(
        FailureCase{"full_disk_small_chunk_kept", false, kBuf - 2, 10, ENOSPC, kBuf - 2, 10},
        FailureCase{"full_disk_big_chunk_dropped", false, 10, kBuf + 1, ENOSPC, 11 + kBuf, 0},
        FailureCase{"unopened_small_chunk_kept", true, kBuf - 2, 10, EACCES, kBuf - 2, 10},
        FailureCase{"unopened_big_chunk_dropped", true, 10, kBuf + 1, EACCES, 11 + kBuf, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Output, FailedFlushReportsTheSystemsDescription) {
    Output out = full_disk();
    ASSERT_FALSE(out.write("abc\n"));
    EXPECT_EQ(ferrant::describe(out.write_buffer()),
              std::string(std::strerror(ENOSPC)) + " (os error " + std::to_string(ENOSPC) + ")");
}

// Lines buffered while the destination was down go to the one that opens.
TEST(Output, PendingLinesMoveToAReopenedOutput) {
    TempDir tmp;
    const std::string path = tmp / "out";
    Output down = Output::unopened(ferrant::OsError{ENOENT});
    ASSERT_FALSE(down.write("one\ntwo\n"));
    Output up = Output::owned_file(open_append(path));
    up.take_pending(down);
    EXPECT_EQ(down.buffered(), 0u);
    ASSERT_FALSE(up.write_buffer());
    EXPECT_TRUE(up.take_progress());
    EXPECT_EQ(up.take_dropped(), 0u);
    EXPECT_EQ(read_file(path), "one\ntwo\n");
    EXPECT_TRUE(up.writes_to(path));
    std::filesystem::remove(path);
    EXPECT_FALSE(up.writes_to(path));
}

TEST(Output, ReleaseWritesOutAndClosesOwnedFdOnly) {
    TempDir tmp;
    const std::string path = tmp / "out";
    const int fd = open_append(path);
    {
        Output out = Output::owned_file(fd);
        ASSERT_FALSE(out.write("kept\n"));
        Output moved = std::move(out);
    }
    EXPECT_EQ(read_file(path), "kept\n");
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    { Output out = Output::standard_output(); }
    EXPECT_NE(::fcntl(1, F_GETFD), -1);
}

// A symbolic link at the path that points back at the open file is not the
// file: a reopen through it would follow wherever the link is turned next.
TEST(Output, SymlinkToTheOpenFileIsNotTheFile) {
    TempDir tmp;
    const std::string path = tmp / "out";
    Output out = Output::owned_file(open_append(path));
    std::filesystem::rename(path, tmp / "moved");
    std::filesystem::create_symlink(tmp / "moved", path);
    EXPECT_FALSE(out.writes_to(path));
    EXPECT_TRUE(out.writes_to(tmp / "moved"));
}

enum class Kind { File, Pipe, Socket };

// One end of a destination, with a thread that reads everything the other
// end is given until it is closed. On a SOCK_SEQPACKET socket each write(2)
// arrives as one message.
class Destination {
public:
    explicit Destination(Kind kind) : kind_(kind) {
        int fds[2] = {-1, -1};
        if (kind == Kind::File) {
            fds[1] = open_append(tmp_ / "out");
        } else if (kind == Kind::Pipe) {
            if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        } else if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
            throw std::runtime_error("socketpair");
        }
        write_end_ = fds[1];
        if (kind == Kind::File) return;
        reader_ = std::thread([this, fd = fds[0]] {
            std::vector<char> buf(4 * kBuf);
            ssize_t n;
            while ((n = ::read(fd, buf.data(), buf.size())) > 0)
                received_.emplace_back(buf.data(), static_cast<std::size_t>(n));
            ::close(fd);
        });
    }
    ~Destination() {
        if (reader_.joinable()) reader_.join();
    }
    int write_end() const { return write_end_; }
    // Once the output has closed the write end.
    std::string data() {
        if (kind_ == Kind::File) return read_file(tmp_ / "out");
        reader_.join();
        return std::accumulate(received_.begin(), received_.end(), std::string());
    }
    const std::vector<std::string>& messages() const { return received_; }

private:
    Kind kind_;
    TempDir tmp_;
    int write_end_ = -1;
    std::thread reader_;
    std::vector<std::string> received_;
};

// Sizes of the successive write(2) calls of write-outs whose lengths are
// known, from the backlogs the observer hears.
struct Backlogs {
    std::vector<std::size_t> seen;
    static void note(void* ctx, std::size_t backlog) {
        static_cast<Backlogs*>(ctx)->seen.push_back(backlog);
    }
    std::vector<std::size_t> writes(std::vector<std::size_t> write_outs) const {
        std::vector<std::size_t> sizes;
        std::size_t before = 0;
        for (std::size_t backlog : seen) {
            if (before == 0) {
                EXPECT_FALSE(write_outs.empty());
                if (write_outs.empty()) break;
                before = write_outs.front();
                write_outs.erase(write_outs.begin());
            }
            EXPECT_LT(backlog, before);
            sizes.push_back(before - backlog);
            before = backlog;
        }
        EXPECT_EQ(before, 0u);
        EXPECT_TRUE(write_outs.empty());
        return sizes;
    }
};

std::string lines_of(const std::vector<std::size_t>& lengths, char first) {
    std::string out;
    char c = first;
    for (std::size_t n : lengths) {
        out.append(n - 1, c);
        out += '\n';
        c = c == 'z' ? 'a' : static_cast<char>(c + 1);
    }
    return out;
}

class OutputPieces : public ::testing::TestWithParam<Kind> {};

// On a pipe or socket each write(2) is whole lines of at most PIECE_SIZE
// bytes, packed until the next line would not fit; a longer line goes
// alone. A file takes each write-out in one call.
TEST_P(OutputPieces, WritesEndAtLineEndsAndFitAPipesAtomicWrite) {
    constexpr std::size_t kPiece = Output::PIECE_SIZE;
    Destination dest(GetParam());
    // Buffered, then written out by flush: short lines around a line that
    // fills a piece exactly and one that overflows it.
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i < 3000; ++i) lengths.push_back(1 + (i * 37) % 211);
    lengths.insert(lengths.begin() + 1000, kPiece);
    lengths.insert(lengths.begin() + 2000, 3 * kPiece + 5);
    lengths.insert(lengths.begin() + 2001, kPiece + 1);
    const std::string buffered = lines_of(lengths, 'a');
    // Written past the buffer, as one chunk of at least BUFFER_SIZE.
    std::vector<std::size_t> more;
    for (std::size_t total = 0; total < kBuf; total += more.back()) more.push_back(1 + total % 997);
    const std::string direct = lines_of(more, 'A');
    ASSERT_GE(direct.size(), kBuf);

    Backlogs backlogs;
    {
        Output out = Output::owned_file(dest.write_end());
        EXPECT_EQ(out.in_pieces(), GetParam() != Kind::File);
        out.set_progress(&Backlogs::note, &backlogs);
        ASSERT_FALSE(out.write(buffered));
        ASSERT_FALSE(out.write_buffer());
        ASSERT_FALSE(out.write(direct));
        EXPECT_EQ(out.buffered(), 0u);
    }
    EXPECT_EQ(dest.data(), buffered + direct);
    const std::vector<std::size_t> sizes = backlogs.writes({buffered.size(), direct.size()});
    if (GetParam() == Kind::File) {
        EXPECT_EQ(sizes, (std::vector<std::size_t>{buffered.size(), direct.size()}));
        return;
    }
    if (GetParam() == Kind::Socket) {
        std::vector<std::size_t> messages;
        for (const std::string& m : dest.messages()) messages.push_back(m.size());
        EXPECT_EQ(messages, sizes);
    }
    const std::string all = buffered + direct;
    std::size_t at = 0;
    std::size_t long_lines = 0;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        const std::string_view piece(all.data() + at, sizes[k]);
        at += sizes[k];
        ASSERT_EQ(piece.back(), '\n') << "write " << k;
        if (piece.size() > kPiece) {
            EXPECT_EQ(piece.find('\n'), piece.size() - 1) << "write " << k << " of more than a line";
            ++long_lines;
        }
        // Filled, except where its write-out ends.
        if (at != buffered.size() && at != all.size() && piece.size() <= kPiece) {
            const std::size_t next_line = all.find('\n', at) + 1 - at;
            EXPECT_GT(piece.size() + next_line, kPiece) << "write " << k << " not filled";
        }
    }
    EXPECT_EQ(long_lines, 2u);
}

std::string kind_name(const ::testing::TestParamInfo<Kind>& info) {
    return info.param == Kind::File ? "file" : info.param == Kind::Pipe ? "pipe" : "socket";
}

INSTANTIATE_TEST_SUITE_P(Kinds, OutputPieces,
                         ::testing::Values(Kind::File, Kind::Pipe, Kind::Socket), kind_name);

// A reader that goes away mid-way: the pieces that went out were whole
// lines, so whole lines are dropped and no torn rest is kept.
TEST(Output, ClosedPipeDropsWholeLinesOnly) {
    struct IgnoreSigpipe {
        void (*old)(int) = std::signal(SIGPIPE, SIG_IGN);
        ~IgnoreSigpipe() { std::signal(SIGPIPE, old); }
    } outlives_the_output;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const std::string line = filled(99, 'l') + "\n";
    Output out = Output::owned_file(fds[1]);
    for (int i = 0; i < 3000; ++i) ASSERT_FALSE(out.write(line));
    std::thread reader([fd = fds[0]] {
        char buf[10'000];
        std::size_t got = 0;
        ssize_t n;
        while (got < sizeof buf && (n = ::read(fd, buf, sizeof buf - got)) > 0)
            got += static_cast<std::size_t>(n);
        ::close(fd);
    });
    EXPECT_EQ(out.write_buffer().code, EPIPE);
    reader.join();
    const std::uint64_t dropped = out.take_dropped();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(dropped % line.size(), 0u);
    EXPECT_EQ(out.buffered(), 0u);
}

}  // namespace
