// Waiting for a descriptor until a deadline on the monotonic clock.
#pragma once

#include "kdr/platform.hpp"

namespace kdr::platform {

/// Waits in the kernel until the descriptor reports one of `events` (or a
/// hang-up or error) or the deadline passes; a deadline in the past only
/// looks. Returns the reported events, 0 when the deadline passed first.
/// Signals do not cut the wait short. Throws IoError when poll fails.
[[nodiscard]] short wait_for(int fd, short events, Clock::Instant deadline);

}  // namespace kdr::platform
