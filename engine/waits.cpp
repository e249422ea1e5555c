#include "engine/waits.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "kdr/error.hpp"

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

void await_quiet(Line& line, Clock::Duration quiet, Clock::Duration limit) {
    const auto start = line.clock.now();
    auto last_arrival = start;
    std::string discarded;
    while (true) {
        const auto now = line.clock.now();
        if (now - last_arrival >= quiet) {
            return;
        }
        if (now - start >= limit) {
            throw Error(
                ErrorKind::LineBusy,
                fmt::format("The line on {} is still busy: characters kept arriving for "
                            "{} s before anything was sent (a reader still sending the "
                            "answer to an earlier, interrupted request, or another "
                            "device on the port). Wait until it ends, or take the "
                            "reader out of its cradle and put it back.",
                            line.port.name(),
                            std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
        }
        discarded.clear();
        if (line.port.read(discarded, std::min(last_arrival + quiet, start + limit)) > 0) {
            last_arrival = line.clock.now();
        }
    }
}

}  // namespace kdr::engine
