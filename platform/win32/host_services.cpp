#include <fmt/format.h>

#include <string>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/win32_platform.hpp"

namespace kdr::win32 {

HostServices::HostServices(std::function<HWND()> owner, WaitPrecision precision)
    : owner_(std::move(owner)), timer_(precision) {}

void HostServices::MsgBox(std::string_view text, int style, std::optional<std::string_view> title) {
    // The texts are 8-bit strings in the system's code page: the ANSI message
    // box shows them as they are.
    const std::string body(text);
    const std::string caption(title && !title->empty() ? *title : kDefaultTitle);
    HWND owner = owner_ ? owner_() : nullptr;
    UINT flags = static_cast<UINT>(style);
    if (owner == nullptr) {
        // Without a window of its own the box still keeps the thread's
        // windows from taking input while it is shown.
        flags |= MB_TASKMODAL;
    }
    if (MessageBoxA(owner, body.c_str(), caption.c_str(), flags) == 0) {
        const DWORD code = GetLastError();
        throw Error(ErrorKind::IoError,
                    fmt::format("cannot show the message \"{}\": {}", body, system_message(code)));
    }
}

void HostServices::DoEvents() {
    MSG message{};
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The quit request belongs to the host's own loop.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

LocalDateTime HostServices::Now() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    LocalDateTime result;
    result.year = now.wYear;
    result.month = now.wMonth;
    result.day = now.wDay;
    result.hour = now.wHour;
    result.minute = now.wMinute;
    result.second = now.wSecond > 59 ? 59 : now.wSecond;
    return result;
}

void HostServices::idle_until(kdr::Clock& clock, kdr::Clock::Instant deadline) {
    const auto left = deadline - clock.now();
    if (left <= kdr::Clock::Duration::zero()) {
        return;
    }
    // Returns early when input arrives, so that the host sees it at the next turn.
    timer_.wait(left, true);
}

}  // namespace kdr::win32
