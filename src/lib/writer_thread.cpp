#include "lib/writer_thread.hpp"

#include <ctime>
#include <unistd.h>

#include "lib/output.hpp"
#include "lib/rotate.hpp"

namespace ferrant {

namespace {

class SystemWriterClock final : public WriterClock {
public:
    std::uint64_t mono_ns() const override {
        std::timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
               static_cast<std::uint64_t>(ts.tv_nsec);
    }
    LocalDate local_date() const override { return current_local_date(); }
};

constexpr std::uint64_t TICK_NS = 1'000'000'000;

// Releases everything the thread holds, then reports on standard error. The
// receiver goes before the report so that senders stop queueing at once.
[[gnu::noinline]] void error_exit(Context& context, std::optional<Output> output, OsError error) {
    output.reset();
    context.receiver.close();
    context.path.reset();
    const std::string line = "error " + describe(error) + "\n";
    (void)write_all(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

std::shared_ptr<const WriterClock> system_writer_clock() {
    // Never destroyed: writer threads may outlive static destruction.
    static const auto* clock = new std::shared_ptr<const WriterClock>(
        std::make_shared<SystemWriterClock>());
    return *clock;
}

void run_writer(Context context) {
    OsResult<Output> opened = rotate(context);
    if (!opened) return error_exit(context, std::nullopt, opened.error());
    Output output = opened.take();
    const WriterClock& clock = *context.clock;
    std::uint64_t last_tick = clock.mono_ns();

    for (;;) {
        Received<Action> got = context.receiver.recv_timeout(context.idle_wait);
        if (got.status == RecvStatus::Disconnected) return;
        if (got.status == RecvStatus::Value) {
            Action& action = *got.value;
            if (auto* write = std::get_if<Write>(&action)) {
                if (OsError err = output.write(write->chunk.view()))
                    return error_exit(context, std::move(output), err);
            } else if (auto* flush = std::get_if<FlushAck>(&action)) {
                if (OsError err = output.flush()) {
                    // The waiter must see the disconnection before the thread ends.
                    got.value.reset();
                    return error_exit(context, std::move(output), err);
                }
                flush->ack.signal();
            } else {
                if (OsError err = output.flush())
                    return error_exit(context, std::move(output), err);
                return;
            }
            got.value.reset();
        }

        const std::uint64_t now = clock.mono_ns();
        if (now < last_tick || now - last_tick < TICK_NS) continue;
        last_tick = now;
        if (context.path) {
            const LocalDate today = clock.local_date();
            if (today != context.day) {
                context.day = today;
                OsResult<Output> next = rotate(context);
                if (!next) return error_exit(context, std::move(output), next.error());
                // The new file is open before the old one is written out and closed.
                output = next.take();
            }
        }
        if (OsError err = output.flush()) return error_exit(context, std::move(output), err);
    }
}

}  // namespace ferrant
