#include <chrono>

#include "kdr/win32_platform.hpp"

namespace kdr::win32 {

Clock::Clock(WaitPrecision precision) noexcept : timer_(precision) {
    LARGE_INTEGER frequency{};
    // Never fails on systems since Windows XP; the guard keeps a division safe.
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
        frequency_ = frequency.QuadPart;
    }
}

Clock::Instant Clock::now() {
    LARGE_INTEGER counter{};
    if (!QueryPerformanceCounter(&counter)) {
        // Cannot happen where the frequency was read; the tick count is
        // monotonic as well, only coarser.
        return Instant(std::chrono::milliseconds(GetTickCount64()));
    }
    constexpr LONGLONG kNanosPerSecond = 1'000'000'000;
    // Split so that the product cannot overflow for any uptime.
    const LONGLONG seconds = counter.QuadPart / frequency_;
    const LONGLONG rest = counter.QuadPart % frequency_;
    return Instant(Duration(seconds * kNanosPerSecond + rest * kNanosPerSecond / frequency_));
}

void Clock::sleep_until(Instant deadline) {
    while (true) {
        const auto left = deadline - now();
        if (left <= Duration::zero()) {
            return;
        }
        timer_.wait(left, false);
    }
}

}  // namespace kdr::win32
