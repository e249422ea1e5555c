// What a program gets of the system beside its ports: a monotonic clock and
// the local time. The faces take them from here and never name a class of
// one system; the platform library of the build provides them.
#pragma once

#include <memory>

#include "kdr/platform.hpp"
#include "kdr/time.hpp"

namespace kdr {

/// The system's monotonic clock: unaffected by changes of the wall clock;
/// sleep_until sleeps in the kernel and does not spin. Its readings are on
/// std::chrono::steady_clock, as a byte port's deadlines are.
[[nodiscard]] std::unique_ptr<Clock> make_monotonic_clock();

/// This computer's local date and time, all six fields from one reading of
/// its clock. A leap second reads as second 59. Throws kdr::Error(IoError)
/// when the system cannot tell it.
[[nodiscard]] LocalDateTime local_now();

}  // namespace kdr
