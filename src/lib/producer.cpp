#include "lib/producer.hpp"

namespace ferrant {

void Producer::enter_day() {
    const std::size_t size = line_buf.size();
    if (size > days.split) {
        if (days.split == 0) {
            days.earlier = days.day;
            days.split = size;
            pending = kHandOffNow;
        }
        // Else a batch whose hand-off at its split was interrupted (a signal
        // handler raised) meets a third day: the lines since the split go
        // with the new day's.
    }
    days.day = stamps.day;
}

}  // namespace ferrant
