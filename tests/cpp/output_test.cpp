#include "lib/output.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <string>
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
    EXPECT_EQ(out.flush().code, c.code);
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
    EXPECT_EQ(ferrant::describe(out.flush()),
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
    ASSERT_FALSE(up.flush());
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

}  // namespace
