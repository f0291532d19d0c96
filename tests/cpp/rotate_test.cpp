#include "lib/rotate.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <sys/stat.h>

#include "test_support.hpp"

using ferrant::Context;
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

Context file_context(const std::string& path, LocalDate day = kMarch5) {
    Context c;
    c.path = path;
    c.day = day;
    return c;
}

TEST(OpenOutput, NoPathMeansStandardOutput) {
    Context c;
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

}  // namespace
