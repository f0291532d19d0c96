#include "lib/registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <stdlib.h>
#include <thread>
#include <vector>

#include "lib/settings.hpp"
#include "test_support.hpp"

using namespace std::chrono_literals;
using ferrant::ByteBuffer;
using ferrant::FlushOutcome;
using ferrant::ColorMode;
using ferrant::Format;
using ferrant::SharedWriter;
using ferrant::shared_writer;
using ferrant::testing::eventually;
using ferrant::testing::read_file;
using ferrant::testing::StderrCapture;
using ferrant::testing::TempDir;

namespace {

// True when `text` was queued as a batch.
bool sent(const std::shared_ptr<SharedWriter>& writer, const std::string& text) {
    ByteBuffer b;
    b.append(text);
    return writer->send_batch(b) == ferrant::SendStatus::Sent;
}

std::string today_suffix() {
    const auto d = ferrant::current_local_date();
    char buf[32];
    std::snprintf(buf, sizeof buf, "_%04lld%02u%02u", static_cast<long long>(d.year), d.month,
                  d.day);
    return buf;
}

class Registry : public ::testing::Test {
protected:
    void TearDown() override {
        ferrant::default_color_cell().set(ColorMode::Auto);
        ferrant::default_format_cell().set(Format::Text);
        ferrant::default_unix_ts_cell().set(false);
    }

    std::shared_ptr<SharedWriter> get(std::optional<std::string> path) {
        auto r = shared_writer(std::move(path));
        EXPECT_TRUE(r.ok());
        return r.ok() ? r.take() : nullptr;
    }

    TempDir tmp;
};

TEST_F(Registry, SameTextGivesTheSameWriter) {
    const auto a = get(tmp / "app.log");
    const auto b = get(tmp / "app.log");
    EXPECT_EQ(a, b);
    EXPECT_EQ(get(std::nullopt), get(std::nullopt));
}

TEST_F(Registry, DifferentTextsForOneFileGiveTwoWritersAppendingToIt) {
    const auto plain = get(tmp / "app.log");
    const auto dotted = get(tmp.path() + "/./app.log");
    ASSERT_NE(plain, dotted);
    ASSERT_TRUE(sent(plain, "one\n"));
    plain->stop();
    ASSERT_TRUE(sent(dotted, "two\n"));
    dotted->stop();
    EXPECT_EQ(read_file(tmp / ("app" + today_suffix() + ".log")), "one\ntwo\n");
}

TEST_F(Registry, ConcurrentFirstRequestsMakeOneWriter) {
    constexpr int kThreads = 8;
    std::vector<std::shared_ptr<SharedWriter>> got(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            got[i] = get(tmp / "race.log");
        });
    for (auto& t : threads) t.join();
    for (const auto& w : got) EXPECT_EQ(w, got[0]);
}

TEST_F(Registry, ReleasingEveryHolderWritesQueuedDataAndLaterGivesAFreshWriter) {
    std::weak_ptr<SharedWriter> old;
    {
        auto w = get(tmp / "app.log");
        old = w;
        for (int i = 0; i < 1000; ++i) ASSERT_TRUE(sent(w, "x\n"));
    }
    EXPECT_TRUE(old.expired());
    EXPECT_EQ(read_file(tmp / ("app" + today_suffix() + ".log")).size(), 2000u);

    ferrant::default_format_cell().set(Format::Json);
    const auto fresh = get(tmp / "app.log");
    EXPECT_FALSE(fresh->stopped_or_failed());
    EXPECT_EQ(fresh->settings().format, Format::Json);
}

// A writer stopped while still held is not handed out again.
TEST_F(Registry, StoppedWriterStillHeldIsReplaced) {
    const auto first = get(tmp / "app.log");
    first->stop();
    EXPECT_TRUE(first->stopped_or_failed());
    EXPECT_FALSE(sent(first, "dropped\n"));
    const auto second = get(tmp / "app.log");
    ASSERT_NE(second, first);
    EXPECT_TRUE(sent(second, "early\n"));
    EXPECT_EQ(get(tmp / "app.log"), second);
}

// An unopenable destination no longer ends its writer: the registry keeps
// handing out the same one, and it delivers once the path can be opened.
TEST_F(Registry, WriterOfAnUnopenableDestinationIsKeptAndRecovers) {
    ferrant::testing::write_file(tmp / "blocker", "");
    StderrCapture err;
    const auto first = get(tmp / "blocker/app.log");
    ASSERT_TRUE(sent(first, "early\n"));
    EXPECT_FALSE(first->stopped_or_failed());
    EXPECT_EQ(get(tmp / "blocker/app.log"), first);
    std::filesystem::remove(tmp / "blocker");
    std::filesystem::create_directory(tmp / "blocker");
    ASSERT_TRUE(sent(first, "later\n"));
    ASSERT_TRUE(eventually([&] {
        for (const auto& entry : std::filesystem::directory_iterator(tmp / "blocker"))
            return read_file(entry.path()).find("later\n") != std::string::npos;
        return false;
    }));
    first->stop();
    (void)err.finish();
}

TEST_F(Registry, SettingsAreFixedWhenTheWriterIsCreated) {
    const auto before = get(tmp / "a.log");
    ferrant::default_format_cell().set(Format::Json);
    ferrant::default_unix_ts_cell().set(true);
    ferrant::default_color_cell().set(ColorMode::Always);
    const auto again = get(tmp / "a.log");
    EXPECT_EQ(again, before);
    EXPECT_EQ(before->settings().format, Format::Text);
    EXPECT_FALSE(before->settings().unix_ts);
    EXPECT_FALSE(before->settings().color);

    const auto other = get(tmp / "b.log");
    EXPECT_EQ(other->settings().format, Format::Json);
    EXPECT_TRUE(other->settings().unix_ts);
    EXPECT_TRUE(other->settings().color);
}

TEST_F(Registry, AutoColourFollowsTheEnvironmentAtEachStdoutCreation) {
    const char* saved = std::getenv("FORCE_COLOR");
    const std::string saved_value = saved ? saved : "";
    ::unsetenv("NO_COLOR");
    ::setenv("FORCE_COLOR", "1", 1);
    auto first = get(std::nullopt);
    first->stop();  // the next request must create a new writer
    ::setenv("NO_COLOR", "1", 1);
    auto second = get(std::nullopt);
    ::unsetenv("NO_COLOR");
    if (saved) ::setenv("FORCE_COLOR", saved_value.c_str(), 1); else ::unsetenv("FORCE_COLOR");
    ASSERT_NE(first, second);
    EXPECT_TRUE(first->settings().color);
    EXPECT_FALSE(second->settings().color);
    // Auto never colours a file, whatever the environment says.
    EXPECT_FALSE(get(tmp / "c.log")->settings().color);
}

// The hook runs before each new writer only, and its error starts none.
int hook_calls = 0;
bool hook_fails = false;

ferrant::Status counting_hook() {
    ++hook_calls;
    if (hook_fails) return ferrant::Error::runtime("refused");
    return ferrant::ok_status();
}

TEST_F(Registry, StartHookRunsBeforeEachNewWriterAndItsErrorStartsNone) {
    hook_calls = 0;
    hook_fails = false;
    ferrant::set_writer_start_hook(counting_hook);
    const auto first = get(tmp / "hook.log");
    EXPECT_EQ(get(tmp / "hook.log"), first);
    EXPECT_EQ(hook_calls, 1);
    first->stop();
    hook_fails = true;
    auto refused = shared_writer(tmp / "hook.log");
    hook_fails = false;
    ferrant::set_writer_start_hook(nullptr);
    EXPECT_EQ(hook_calls, 2);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "refused");
    EXPECT_NE(get(tmp / "hook.log"), first);
    EXPECT_EQ(hook_calls, 2);
}

TEST(SharedWriterStop, IsIdempotentAndSafeFromManyThreads) {
    TempDir tmp;
    auto w = SharedWriter::start(tmp / "s.log", ferrant::current_local_date(), {});
    ASSERT_TRUE(w.ok());
    auto writer = w.take();
    ASSERT_TRUE(sent(writer, "line\n"));
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i) stoppers.emplace_back([&] { writer->stop(); });
    for (auto& t : stoppers) t.join();
    writer->stop();
    EXPECT_EQ(read_file(tmp / ("s" + today_suffix() + ".log")), "line\n");
    FlushOutcome why = FlushOutcome::Written;
    EXPECT_FALSE(writer->request_flush(ferrant::deadline_in(1s), &why));
    EXPECT_EQ(why, FlushOutcome::WriterGone);
    EXPECT_EQ(writer->flush(ferrant::deadline_in(1s)), FlushOutcome::WriterGone);
}

}  // namespace
