#include "lib/retention.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <zlib.h>

#include "lib/gzip_file.hpp"
#include "test_support.hpp"

using ferrant::dated_path;
using ferrant::dated_pattern;
using ferrant::GzipOutcome;
using ferrant::LocalDate;
using ferrant::match_dated_name;
using ferrant::RetentionPolicy;
using ferrant::testing::read_file;
using ferrant::testing::StderrCapture;
using ferrant::testing::TempDir;
using ferrant::testing::write_file;
namespace fs = std::filesystem;

namespace {

constexpr LocalDate kToday{2024, 3, 10};

// Every member of a gzip stream, inflated.
std::string gunzip(const std::string& data) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + 15), Z_OK);
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    char buf[4096];
    for (int rc = Z_OK; z.avail_in > 0 || rc == Z_OK;) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
        if (rc == Z_STREAM_END && z.avail_in > 0) rc = inflateReset(&z);
        else if (rc != Z_OK) break;
    }
    inflateEnd(&z);
    return out;
}

struct MatchCase {
    const char* path;
    const char* name;
    std::optional<LocalDate> day;
    bool gzipped;
};

class DatedNameMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(DatedNameMatch, TakesOnlyTheDestinationsOwnNames) {
    const MatchCase& c = GetParam();
    const auto got = match_dated_name(dated_pattern(c.path), c.name);
    ASSERT_EQ(got.has_value(), c.day.has_value());
    if (got) {
        EXPECT_EQ(got->day, *c.day);
        EXPECT_EQ(got->gzipped, c.gzipped);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DatedNameMatch,
    ::testing::Values(MatchCase{"logs/app.log", "app_20240305.log", LocalDate{2024, 3, 5}, false},
                      MatchCase{"logs/app.log", "app_20240305.log.gz", LocalDate{2024, 3, 5}, true},
                      MatchCase{"app.log", "app_20240229.log", LocalDate{2024, 2, 29}, false},
                      MatchCase{"app.tar.gz", "app.tar_20240305.gz.gz", LocalDate{2024, 3, 5}, true},
                      MatchCase{"logs/app", "app_20240305.log", LocalDate{2024, 3, 5}, false},
                      MatchCase{"out/", "_20240305.log", LocalDate{2024, 3, 5}, false},
                      MatchCase{"app.log", "app_20230229.log", std::nullopt, false},
                      MatchCase{"app.log", "app_20241305.log", std::nullopt, false},
                      MatchCase{"app.log", "app_2024030.log", std::nullopt, false},
                      MatchCase{"app.log", "app_202403050.log", std::nullopt, false},
                      MatchCase{"app.log", "app_2024o305.log", std::nullopt, false},
                      MatchCase{"app.log", "app-20240305.log", std::nullopt, false},
                      MatchCase{"app.log", "xapp_20240305.log", std::nullopt, false},
                      MatchCase{"app.log", "app_20240305.txt", std::nullopt, false},
                      MatchCase{"app.log", "app_20240305.log.gz.tmp", std::nullopt, false},
                      MatchCase{"app.log", "app_20240305.log.1", std::nullopt, false},
                      MatchCase{"app.log", "app.log", std::nullopt, false}));

TEST(DatedNameMatch, ReadsBackEveryNameTheWriterMakes) {
    for (const char* path : {"app.log", "logs/app.log", "logs/app", ".hidden", "a.b/c.d", "out/"}) {
        const std::string full = dated_path(path, kToday);
        const auto got = match_dated_name(dated_pattern(path), fs::path(full).filename().string());
        ASSERT_TRUE(got) << path;
        EXPECT_EQ(got->day, kToday);
        EXPECT_EQ(dated_pattern(path).dir + fs::path(full).filename().string(), full);
    }
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct PassCase {
    const char* label;
    RetentionPolicy policy;
    LocalDate current;
    std::vector<std::string> left;
};

class Pass : public ::testing::TestWithParam<PassCase> {};

TEST_P(Pass, RemovesOldAndCompressesFinishedDays) {
    const PassCase& c = GetParam();
    TempDir dir;
    for (const char* name : {"app_20240301.log", "app_20240306.log.gz", "app_20240307.log",
                             "app_20240309.log", "app_20240310.log", "other_20240301.log",
                             "app_20240301.txt", "app.log"})
        write_file(dir / name, std::string(name) + "\n");
    const auto failures = ferrant::retention_pass(dated_pattern(dir / "app.log"), c.policy,
                                                  kToday, c.current);
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(names_in(dir.path()), c.left);
    if (fs::exists(dir / "app_20240307.log.gz")) {
        EXPECT_EQ(gunzip(read_file(dir / "app_20240307.log.gz")), "app_20240307.log\n");
    }
}

const std::vector<std::string> kUnrelated = {"app.log", "app_20240301.txt", "other_20240301.log"};

std::vector<std::string> with_unrelated(std::vector<std::string> names) {
    names.insert(names.end(), kUnrelated.begin(), kUnrelated.end());
    std::sort(names.begin(), names.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(
    Policies, Pass,
    ::testing::Values(
        PassCase{"delete", RetentionPolicy{3, false}, kToday,
                 with_unrelated({"app_20240307.log", "app_20240309.log", "app_20240310.log"})},
        PassCase{"compress", RetentionPolicy{std::nullopt, true}, kToday,
                 with_unrelated({"app_20240301.log.gz", "app_20240306.log.gz", "app_20240307.log.gz",
                                 "app_20240309.log.gz", "app_20240310.log"})},
        // The file being written (still yesterday's) stays as it is.
        PassCase{"both_current_yesterday", RetentionPolicy{3, true}, LocalDate{2024, 3, 9},
                 with_unrelated({"app_20240307.log.gz", "app_20240309.log", "app_20240310.log"})}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Pass, KeepsAnEarlierArchiveAsTheFirstMember) {
    TempDir dir;
    write_file(dir / "app_20240305.log", "late\n");
    ASSERT_TRUE(ferrant::gzip_file(dir / "app_20240305.log", dir / "app_20240305.log.gz"));
    write_file(dir / "app_20240305.log", "later\n");
    ASSERT_TRUE(ferrant::gzip_file(dir / "app_20240305.log", dir / "app_20240305.log.gz"));
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"app_20240305.log.gz"});
    EXPECT_EQ(gunzip(read_file(dir / "app_20240305.log.gz")), "late\nlater\n");
}

TEST(Pass, StoppedCompressionLeavesTheSourceAndNoTemporary) {
    TempDir dir;
    write_file(dir / "a.log", "x\n");
    const std::atomic<bool> stop{true};
    auto got = ferrant::gzip_file(dir / "a.log", dir / "a.log.gz", &stop);
    ASSERT_TRUE(got);
    EXPECT_EQ(got.value(), GzipOutcome::Skipped);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"a.log"});
}

TEST(Pass, ReportsWhatItCannotDoAndGoesOn) {
    TempDir dir;
    // Directories at an old dated name and at a temporary name fail for root too.
    fs::create_directories(dir / "app_20240301.log/x");
    fs::create_directories(dir / "app_20240308.log.gz.tmp");
    write_file(dir / "app_20240308.log", "kept\n");
    write_file(dir / "app_20240302.log", "old\n");
    const auto failures = ferrant::retention_pass(dated_pattern(dir / "app.log"),
                                                  RetentionPolicy{5, true}, kToday, kToday);
    ASSERT_EQ(failures.size(), 2u);
    std::set<std::string> got;
    for (const auto& f : failures) got.insert(std::string(f.action) + " " + f.file);
    EXPECT_EQ(got, (std::set<std::string>{"compressing " + (dir / "app_20240308.log"),
                                          "removing " + (dir / "app_20240301.log")}));
    EXPECT_EQ(read_file(dir / "app_20240308.log"), "kept\n");
    EXPECT_FALSE(fs::exists(dir / "app_20240302.log"));
    EXPECT_FALSE(fs::exists(dir / "app_20240308.log.gz"));

    write_file(dir / "file", "");
    const auto listing = ferrant::retention_pass(dated_pattern(dir / "file/app.log"),
                                                 RetentionPolicy{1, false}, kToday, kToday);
    ASSERT_EQ(listing.size(), 1u);
    EXPECT_STREQ(listing[0].action, "listing");
    EXPECT_EQ(listing[0].error.code, ENOTDIR);
    EXPECT_TRUE(ferrant::retention_pass(dated_pattern(dir / "missing/app.log"),
                                        RetentionPolicy{1, false}, kToday, kToday)
                    .empty());
}

TEST(RetentionWorker, PrintsAFailureOnceWhileItLasts) {
    TempDir dir;
    fs::create_directories(dir / "app_20240301.log/x");
    StderrCapture err;
    {
        ferrant::RetentionWorker worker(dir / "app.log", RetentionPolicy{1, false});
        for (int day = 10; day < 13; ++day) {
            worker.start(LocalDate{2024, 3, static_cast<unsigned>(day)},
                         LocalDate{2024, 3, static_cast<unsigned>(day)});
            worker.wait();
        }
    }
    const std::string text = err.finish();
    EXPECT_EQ(text, "error removing: Is a directory (os error 21) for \"" + (dir / "app_20240301.log") +
                        "\"\n");
}

}  // namespace
