#include "kdr/system.hpp"

#include "kdr/posix_platform.hpp"

namespace kdr {

std::unique_ptr<Clock> make_monotonic_clock() {
    return std::make_unique<SteadyClock>();
}

LocalDateTime local_now() {
    return ConsoleHost().Now();
}

}  // namespace kdr
