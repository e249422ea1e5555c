#include <chrono>

#include "kdr/win32_platform.hpp"

namespace kdr::win32 {

kdr::Clock::Instant monotonic_now() noexcept {
    using Instant = kdr::Clock::Instant;
    // Fixed at boot; never fails on systems since Windows XP. The guard keeps
    // a division safe.
    static const LONGLONG frequency = [] {
        LARGE_INTEGER value{};
        return QueryPerformanceFrequency(&value) && value.QuadPart > 0 ? value.QuadPart : 0;
    }();
    LARGE_INTEGER counter{};
    if (frequency == 0 || !QueryPerformanceCounter(&counter)) {
        // Cannot happen where the frequency was read; the tick count is
        // monotonic as well, only coarser.
        return Instant(std::chrono::milliseconds(GetTickCount64()));
    }
    constexpr LONGLONG kNanosPerSecond = 1'000'000'000;
    // Split so that the product cannot overflow for any uptime.
    const LONGLONG seconds = counter.QuadPart / frequency;
    const LONGLONG rest = counter.QuadPart % frequency;
    return Instant(
        kdr::Clock::Duration(seconds * kNanosPerSecond + rest * kNanosPerSecond / frequency));
}

Clock::Clock(WaitPrecision precision) noexcept : timer_(precision) {}

Clock::Instant Clock::now() {
    return monotonic_now();
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
