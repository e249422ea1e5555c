#include "kdr/system.hpp"

#include <windows.h>

#include "kdr/win32_platform.hpp"

namespace kdr {

std::unique_ptr<Clock> make_monotonic_clock() {
    return std::make_unique<win32::Clock>();
}

LocalDateTime local_now() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    // A leap second reads as second 59, as the reader cannot take a 60.
    return {now.wYear, now.wMonth,  now.wDay,
            now.wHour, now.wMinute, now.wSecond > 59 ? 59 : now.wSecond};
}

}  // namespace kdr
