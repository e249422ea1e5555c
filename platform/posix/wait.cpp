#include "platform/posix/wait.hpp"

#include <fmt/format.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <system_error>

#include "kdr/error.hpp"

namespace kdr::platform {

short wait_for(int fd, short events, Clock::Instant deadline) {
    using std::chrono::steady_clock;
    while (true) {
        // ppoll takes the time left to the nanosecond: the wait ends at the
        // deadline, not at the next whole millisecond after it.
        // Compared before subtracting: a deadline far in the past
        // (Instant::min(), "do not wait") would overflow the difference.
        const auto now = std::chrono::time_point_cast<Clock::Duration>(steady_clock::now());
        const auto left = deadline <= now ? Clock::Duration::zero() : deadline - now;
        const auto whole = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(whole.count()),
                               static_cast<long>((left - whole).count())};
        pollfd watch{fd, events, 0};
        const int rc = ::ppoll(&watch, 1, &timeout, nullptr);
        if (rc > 0) {
            return watch.revents;
        }
        if (rc == 0) {
            return 0;
        }
        if (errno != EINTR) {
            throw Error(ErrorKind::IoError,
                        fmt::format("cannot wait for the line: {}",
                                    std::error_code(errno, std::generic_category()).message()));
        }
    }
}

}  // namespace kdr::platform
