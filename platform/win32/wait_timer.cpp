// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <chrono>

#include "kdr/win32_platform.hpp"

namespace kdr::win32 {
namespace {

// From Windows 10 version 1803 on; older systems refuse the flag (and the
// headers of older SDKs lack it).
constexpr DWORD kHighResolutionTimer = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
constexpr UINT kFinestPeriodMs = 1;

}  // namespace

WaitTimer::WaitTimer(WaitPrecision precision) noexcept {
    if (precision == WaitPrecision::automatic) {
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
        high_resolution_ = timer_ != nullptr;
    }
    if (timer_ == nullptr) {
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
}

WaitTimer::~WaitTimer() {
    if (timer_ != nullptr) {
        CloseHandle(timer_);
    }
}

void WaitTimer::wait(kdr::Clock::Duration length, bool wake_on_input) noexcept {
    using Ticks = std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>;  // 100 ns
    if (length <= kdr::Clock::Duration::zero()) {
        return;
    }
    // A negative due time is relative to now.
    LARGE_INTEGER due{};
    due.QuadPart = -std::chrono::ceil<Ticks>(length).count();
    if (timer_ != nullptr && SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
        if (!wake_on_input) {
            (void)WaitForSingleObject(timer_, INFINITE);
            return;
        }
        if (MsgWaitForMultipleObjectsEx(1, &timer_, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) !=
            WAIT_OBJECT_0) {
            // Woken by input: the next wait sets the timer afresh.
            (void)CancelWaitableTimer(timer_);
        }
        return;
    }
    // No timer to be had: waits in whole milliseconds, on the system's tick.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(length).count();
    const auto timeout = static_cast<DWORD>(ms > 0x7ffffffe ? 0x7ffffffe : ms);
    if (wake_on_input) {
        (void)MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    } else {
        Sleep(timeout);
    }
}

TimerResolution::TimerResolution(bool needed) noexcept
    : raised_(needed && timeBeginPeriod(kFinestPeriodMs) == TIMERR_NOERROR) {}

TimerResolution::~TimerResolution() {
    if (raised_) {
        (void)timeEndPeriod(kFinestPeriodMs);
    }
}

}  // namespace kdr::win32
