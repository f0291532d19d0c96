#include "lib/output.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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

TEST(Output, FailedFlushKeepsUnwrittenBytesAndReportsErrno) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Output out = Output::owned_file(fd);
    ASSERT_FALSE(out.write("abc\n"));
    const auto err = out.flush();
    EXPECT_EQ(err.code, ENOSPC);
    EXPECT_EQ(out.buffered(), 4u);
    EXPECT_EQ(ferrant::describe(err),
              std::string(std::strerror(ENOSPC)) + " (os error " + std::to_string(ENOSPC) + ")");
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
