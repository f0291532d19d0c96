#include "lib/shared_writer.hpp"

#include <system_error>

#include "lib/os_error.hpp"

namespace ferrant {

SharedWriter::SharedWriter(Token, Sender<Action> sender, WriterSettings settings,
                           std::shared_ptr<std::atomic<bool>> ended)
    : sender_(std::move(sender)), settings_(settings), ended_(std::move(ended)) {}

Result<std::shared_ptr<SharedWriter>> SharedWriter::start(std::optional<std::string> path,
                                                          LocalDate day, WriterSettings settings,
                                                          std::shared_ptr<const WriterClock> clock) {
    auto [sender, receiver] = make_channel<Action>(WRITER_CHANNEL_CAPACITY);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    auto writer = std::make_shared<SharedWriter>(Token{}, std::move(sender), settings, ended);

    Context context{std::move(receiver), std::move(path), day, std::move(clock)};
    try {
        writer->handle_.emplace([context = std::move(context), ended]() mutable {
            run_writer(std::move(context));
            ended->store(true, std::memory_order_release);
        });
    } catch (const std::system_error& e) {
        return Error::runtime("failed to spawn thread: " + describe(OsError{e.code().value()}));
    }
    return writer;
}

SharedWriter::~SharedWriter() { stop(); }

void SharedWriter::stop() {
    std::lock_guard lock(handle_mutex_);
    if (!handle_) return;
    std::thread thread = std::move(*handle_);
    handle_.reset();
    stopping_.store(true, std::memory_order_release);
    // A failed send means the thread has already ended; the join still reaps it.
    (void)sender_.send(Stop{});
    thread.join();
}

}  // namespace ferrant
