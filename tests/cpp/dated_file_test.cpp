#include "lib/dated_file.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "test_support.hpp"

using ferrant::Destination;
using ferrant::dated_path;
using ferrant::LocalDate;
using ferrant::OsError;
using ferrant::open_output;
using ferrant::testing::read_file;
using ferrant::testing::TempDir;
using ferrant::testing::write_file;
namespace fs = std::filesystem;

namespace {

constexpr LocalDate kMarch5{2024, 3, 5};

struct NameCase {
    const char* path;
    LocalDate day;
    const char* expected;
};

class DatedName : public ::testing::TestWithParam<NameCase> {};

TEST_P(DatedName, Matches) {
    const NameCase& c = GetParam();
    EXPECT_EQ(dated_path(c.path, c.day), c.expected) << "path \"" << c.path << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DatedName,
    ::testing::Values(
        NameCase{"app.log", kMarch5, "app_20240305.log"},
        NameCase{"logs/app.log", kMarch5, "logs/app_20240305.log"},
        NameCase{"./app.log", kMarch5, "./app_20240305.log"},
        NameCase{"/var/log/svc/app.txt", kMarch5, "/var/log/svc/app_20240305.txt"},
        NameCase{"/app.log", kMarch5, "/app_20240305.log"},
        // Split at the last dot only.
        NameCase{"app.tar.gz", kMarch5, "app.tar_20240305.gz"},
        // An empty extension keeps the trailing dot.
        NameCase{"app.", kMarch5, "app_20240305."},
        NameCase{"app", kMarch5, "app_20240305.log"},
        NameCase{"logs/app", kMarch5, "logs/app_20240305.log"},
        // A leading dot alone is not an extension.
        NameCase{".hidden", kMarch5, ".hidden_20240305.log"},
        NameCase{"logs/.hidden", kMarch5, "logs/.hidden_20240305.log"},
        // A dot in a directory name is not the file's extension.
        NameCase{"logs.d/app", kMarch5, "logs.d/app_20240305.log"},
        NameCase{"logs/", kMarch5, "logs/_20240305.log"},
        NameCase{"logs", kMarch5, "logs_20240305.log"},
        NameCase{"", kMarch5, "_20240305.log"},
        // Zero-filled fields, and a four-digit year below 1000.
        NameCase{"a.log", LocalDate{2023, 12, 31}, "a_20231231.log"},
        NameCase{"a.log", LocalDate{987, 1, 2}, "a_09870102.log"}));

Destination file_context(const std::string& path, LocalDate day = kMarch5) {
    Destination c;
    c.path = path;
    c.day = day;
    return c;
}

TEST(OpenOutput, NoPathMeansStandardOutput) {
    Destination c;
    auto opened = open_output(c);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened.value().fd(), 1);
}

TEST(OpenOutput, CreatesEveryMissingDirectoryLevel) {
    TempDir tmp;
    auto opened = open_output(file_context(tmp / "a/b/c/app.log"));
    ASSERT_TRUE(opened.ok()) << ferrant::describe(opened.error());
    EXPECT_TRUE(fs::is_directory(tmp / "a/b/c"));
    EXPECT_TRUE(fs::is_regular_file(tmp / "a/b/c/app_20240305.log"));
}

TEST(OpenOutput, TrailingSlashWritesInsideTheDirectory) {
    TempDir tmp;
    auto opened = open_output(file_context(tmp / "logs/"));
    ASSERT_TRUE(opened.ok());
    EXPECT_TRUE(fs::is_regular_file(tmp / "logs/_20240305.log"));
}

TEST(OpenOutput, ExistingDirectoryWithoutExtensionGetsFileBesideIt) {
    TempDir tmp;
    fs::create_directory(tmp / "logs");
    auto opened = open_output(file_context(tmp / "logs"));
    ASSERT_TRUE(opened.ok());
    EXPECT_TRUE(fs::is_regular_file(tmp / "logs_20240305.log"));
}

TEST(OpenOutput, ParentThatIsARegularFileFailsWithEexist) {
    TempDir tmp;
    write_file(tmp / "blocker", "x");
    auto opened = open_output(file_context(tmp / "blocker/app.log"));
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().code, EEXIST);
}

TEST(OpenOutput, ExistingFileIsAppendedNotTruncated) {
    TempDir tmp;
    write_file(tmp / "app_20240305.log", "old\n");
    {
        auto opened = open_output(file_context(tmp / "app.log"));
        ASSERT_TRUE(opened.ok());
        EXPECT_FALSE(opened.value().write("new\n"));
    }
    EXPECT_EQ(read_file(tmp / "app_20240305.log"), "old\nnew\n");
}

TEST(OpenOutput, FileIsCreatedWithModeLimitedByUmask) {
    TempDir tmp;
    const mode_t old = ::umask(022);
    auto opened = open_output(file_context(tmp / "m/app.log"));
    ::umask(old);
    ASSERT_TRUE(opened.ok());
    struct stat st;
    ASSERT_EQ(::stat((tmp / "m/app_20240305.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(::stat((tmp / "m").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

struct TailCase {
    const char* name;
    std::optional<std::string> before;  // none: no file yet
    const char* written;
    const char* after;
};

class OpenOutputTail : public ::testing::TestWithParam<TailCase> {};

// A line torn by a writer killed mid-write stays a line of its own, and
// the next record starts a line; nothing is added to an intact file.
TEST_P(OpenOutputTail, EndsATornLineFirst) {
    const TailCase& c = GetParam();
    TempDir tmp;
    const std::string file = tmp / "app_20240305.log";
    if (c.before) write_file(file, *c.before);
    {
        auto opened = open_output(file_context(tmp / "app.log"));
        ASSERT_TRUE(opened.ok()) << ferrant::describe(opened.error());
        EXPECT_FALSE(opened.value().write(c.written));
    }
    EXPECT_EQ(read_file(file), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, OpenOutputTail,
    ::testing::Values(TailCase{"no_file", std::nullopt, "new\n", "new\n"},
                      TailCase{"empty_file", "", "new\n", "new\n"},
                      TailCase{"whole_lines", "old\n", "new\n", "old\nnew\n"},
                      TailCase{"torn_tail", "old\n{\"msg\":\"cut", "new\n", "old\n{\"msg\":\"cut\nnew\n"},
                      TailCase{"torn_only", "x", "new\n", "x\nnew\n"},
                      TailCase{"torn_tail_nothing_logged", "cut", "", "cut\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Another writer's append in progress (its shared lock held) shows the
// file mid-line: the opener waits for it, and adds no line of its own.
TEST(OpenOutputTail, AnAppendInProgressIsNotATornLine) {
    TempDir tmp;
    const std::string file = tmp / "app_20240305.log";
    write_file(file, "old\n{\"msg\":\"half");
    const int other = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_SH), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(::write(other, "\"}\n", 3), 3);
        ::flock(other, LOCK_UN);
    });
    {
        auto opened = open_output(file_context(tmp / "app.log"));
        ASSERT_TRUE(opened.ok());
        EXPECT_FALSE(opened.value().write("new\n"));
    }
    writer.join();
    ::close(other);
    EXPECT_EQ(read_file(file), "old\n{\"msg\":\"half\"}\nnew\n");
}

enum class Plant { Symlink, DanglingSymlink, Fifo, FifoWithReader, Socket, Device };

struct PlantCase {
    const char* name;
    Plant plant;
};

class OpenOutputPlant : public ::testing::TestWithParam<PlantCase> {};

// Only a regular file is taken under the dated name; opening never waits
// on what stands there, and never writes through or creates anything.
TEST_P(OpenOutputPlant, IsRefusedAsNotARegularFile) {
    TempDir tmp;
    const std::string file = tmp / "app_20240305.log";
    const std::string secret = tmp / "secret";
    write_file(secret, "secret\n");
    int held = -1;
    switch (GetParam().plant) {
        case Plant::Symlink: fs::create_symlink(secret, file); break;
        case Plant::DanglingSymlink: fs::create_symlink(tmp / "nowhere", file); break;
        case Plant::Device: fs::create_symlink("/dev/null", file); break;
        case Plant::Fifo:
        case Plant::FifoWithReader: ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); break;
        case Plant::Socket: {
            held = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            ASSERT_LT(file.size(), sizeof addr.sun_path);
            std::memcpy(addr.sun_path, file.c_str(), file.size() + 1);
            ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ASSERT_EQ(::listen(held, 1), 0);
            break;
        }
    }
    if (GetParam().plant == Plant::FifoWithReader) {
        held = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(held, 0);
    }
    auto opened = open_output(file_context(tmp / "app.log"));
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().code, OsError::NOT_A_REGULAR_FILE);
    EXPECT_EQ(ferrant::describe(opened.error()), "Not a regular file");
    EXPECT_EQ(read_file(secret), "secret\n");
    EXPECT_FALSE(fs::exists(tmp / "nowhere"));
    if (GetParam().plant == Plant::FifoWithReader) {
        char byte;
        EXPECT_EQ(::read(held, &byte, 1), 0);  // nothing written, writer gone
    }
    if (held >= 0) ::close(held);
}

INSTANTIATE_TEST_SUITE_P(
    Plants, OpenOutputPlant,
    ::testing::Values(PlantCase{"symlink", Plant::Symlink},
                      PlantCase{"dangling_symlink", Plant::DanglingSymlink},
                      PlantCase{"symlink_to_a_device", Plant::Device},
                      PlantCase{"fifo", Plant::Fifo},
                      PlantCase{"fifo_with_reader", Plant::FifoWithReader},
                      PlantCase{"socket", Plant::Socket}),
    [](const auto& info) { return std::string(info.param.name); });

// Only the last component must not be a link: a configured directory may.
TEST(OpenOutput, SymlinkedDirectoryInThePathIsFollowed) {
    TempDir tmp;
    fs::create_directory(tmp / "real");
    fs::create_directory_symlink(tmp / "real", tmp / "link");
    {
        auto opened = open_output(file_context(tmp / "link/app.log"));
        ASSERT_TRUE(opened.ok()) << ferrant::describe(opened.error());
        EXPECT_TRUE(opened.value().writes_to(tmp / "link/app_20240305.log"));
        EXPECT_FALSE(opened.value().write("through\n"));
    }
    EXPECT_EQ(read_file(tmp / "real/app_20240305.log"), "through\n");
}

}  // namespace
