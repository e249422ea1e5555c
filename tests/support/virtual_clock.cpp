#include "virtual_clock.hpp"

namespace kdr::testing {

void VirtualClock::sleep_until(Instant deadline) {
    ++sleeps_;
    if (deadline > now_) {
        now_ = deadline;
    }
}

}  // namespace kdr::testing
