#include <fmt/format.h>
#include <time.h>

#include <cerrno>
#include <system_error>

#include "kdr/error.hpp"
#include "kdr/posix_platform.hpp"

namespace kdr {

// std::chrono::steady_clock reads CLOCK_MONOTONIC on Linux (libstdc++ and
// libc++ alike), so an Instant's count is a CLOCK_MONOTONIC time that
// clock_nanosleep can wait for directly.
Clock::Instant SteadyClock::now() {
    return std::chrono::time_point_cast<Clock::Duration>(std::chrono::steady_clock::now());
}

void SteadyClock::sleep_until(Instant deadline) {
    if (deadline <= now()) {
        return;
    }
    constexpr Duration::rep kNanosPerSecond = 1'000'000'000;
    const Duration::rep since_epoch = deadline.time_since_epoch().count();
    timespec wake{};
    wake.tv_sec = static_cast<time_t>(since_epoch / kNanosPerSecond);
    wake.tv_nsec = static_cast<long>(since_epoch % kNanosPerSecond);
    // An absolute deadline makes a retry after a signal sleep no longer than
    // asked for.
    int rc = 0;
    do {
        rc = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    } while (rc == EINTR);
    if (rc != 0) {
        throw Error(ErrorKind::IoError,
                    fmt::format("cannot sleep on the monotonic clock: {}",
                                std::error_code(rc, std::generic_category()).message()));
    }
}

}  // namespace kdr
