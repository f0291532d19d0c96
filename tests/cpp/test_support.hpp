#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "lib/channel.hpp"
#include "lib/clock.hpp"
#include "lib/local_time.hpp"
#include "lib/writer_thread.hpp"

namespace ferrant::testing {

// Stands in for the interpreter lock: held by the sender except while the
// gate has it given up.
class LockGate final : public ferrant::WaitGate {
public:
    explicit LockGate(std::mutex& m) : m_(m) {}
    void leave() override {
        ++left;
        m_.unlock();
    }
    void enter() override {
        m_.lock();
        ++entered;
    }
    // Takes the lock as the interpreter's gate does; refuses at the
    // `refuse_after`-th poll (0: never).
    bool poll() override {
        std::lock_guard hold(m_);
        return refuse_after == 0 || ++polled < refuse_after;
    }
    std::atomic<int> left{0};
    std::atomic<int> entered{0};
    std::atomic<int> polled{0};
    int refuse_after = 0;

private:
    std::mutex& m_;
};

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "ferrant-XXXXXX").string();
        if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Sends fd 2 to a temporary file until finish() returns what arrived.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open((dir_ / "stderr").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (saved_ < 0 || fd < 0) throw std::runtime_error("cannot capture stderr");
        ::dup2(fd, STDERR_FILENO);
        file_ = fd;
    }
    ~StderrCapture() { finish(); }

    std::string finish() {
        if (file_ < 0) return text_;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        char buf[4096];
        ssize_t n;
        off_t at = 0;
        while ((n = ::pread(file_, buf, sizeof buf, at)) > 0) {
            text_.append(buf, static_cast<std::size_t>(n));
            at += n;
        }
        ::close(file_);
        file_ = -1;
        return text_;
    }

private:
    TempDir dir_;
    int saved_ = -1;
    int file_ = -1;
    std::string text_;
};

// A writer clock the test moves by hand.
class FakeClock final : public WriterClock {
public:
    explicit FakeClock(LocalDate day) : days_(days_from_civil(day)) {}

    std::uint64_t mono_ns() const override { return mono_.load(); }
    LocalDate local_date() const override { return civil_from_days(days_.load()); }

    // Moves the date first: a check that sees the new second sees the new day.
    void advance(std::int64_t days, std::uint64_t ns = 1'000'000'000) {
        days_.fetch_add(days);
        mono_.fetch_add(ns);
    }

private:
    std::atomic<std::uint64_t> mono_{1'000'000'000'000};
    std::atomic<std::int64_t> days_;
};

// Puts mono_ns on `source`, calibrated; false where the system does not
// allow the counter. The choice lasts until the next call or reset.
inline bool select_mono_source(MonoSource source) {
    if (source == MonoSource::Monotonic)
        ::setenv("FERRANT_CLOCK", "monotonic", 1);
    else
        ::unsetenv("FERRANT_CLOCK");
    reset_mono_source();
    (void)mono_ns();
    const std::uint64_t give_up = monotonic_ns() + 20'000'000'000u;
    while (mono_source() == MonoSource::Calibrating && monotonic_ns() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        (void)mono_ns();
    }
    return mono_source() == source;
}

// Leaves mono_ns to decide afresh under the default environment.
struct MonoSourceReset {
    ~MonoSourceReset() {
        ::unsetenv("FERRANT_CLOCK");
        reset_mono_source();
    }
};

// Polls `done` for up to `limit`.
template <class F>
bool eventually(F done, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

}  // namespace ferrant::testing
