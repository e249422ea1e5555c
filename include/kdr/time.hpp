// Plain time types shared by every part: a local calendar date and time as a
// clock shows it. No clock is read here.
#pragma once

namespace kdr {

/// A local calendar date and time of day, as the host's clock shows it.
struct LocalDateTime {
    int year = 2000;  ///< four digits
    int month = 1;    ///< 1 to 12
    int day = 1;      ///< 1 to 31
    int hour = 0;     ///< 0 to 23
    int minute = 0;   ///< 0 to 59
    int second = 0;   ///< 0 to 59
    friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

}  // namespace kdr
