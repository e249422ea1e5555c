#include "engine/waits.hpp"

namespace kdr::engine {

namespace {
// The first instant at which a wait has lasted strictly longer than its length.
Clock::Instant end_of(Clock::Instant start, Clock::Duration length) {
    return start + length + Clock::Duration(1);
}
}  // namespace

void busy_wait(Clock& clock, Clock::Instant start, Clock::Duration length) {
    const auto end = end_of(start, length);
    while (clock.now() < end) {
        clock.sleep_until(end);
    }
}

void yielding_wait(Clock& clock, HostRuntime& host, Clock::Instant start, Clock::Duration length) {
    const auto end = end_of(start, length);
    while (clock.now() < end) {
        host.DoEvents();
        host.idle_until(clock, end);
    }
}

}  // namespace kdr::engine
