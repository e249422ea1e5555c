// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
#include <fmt/format.h>

#include <climits>
#include <cmath>

#include "kdr/error.hpp"
#include "kdr/win32_platform.hpp"

namespace kdr::win32 {
namespace {

constexpr float kTwipsPerInch = 1440.0F;

int rounded(float value) {
    if (!std::isfinite(value)) {
        return 0;
    }
    if (value >= static_cast<float>(INT_MAX)) {
        return INT_MAX;
    }
    if (value <= static_cast<float>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(std::lround(value));
}

}  // namespace

ScreenScale ScreenScale::current() noexcept {
    ScreenScale scale;
    if (HDC screen = GetDC(nullptr); screen != nullptr) {
        const int x = GetDeviceCaps(screen, LOGPIXELSX);
        const int y = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
        if (x > 0 && y > 0) {
            scale.dpi_x = x;
            scale.dpi_y = y;
        }
    }
    return scale;
}

float ScreenScale::x_to_twips(int pixels) const noexcept {
    return static_cast<float>(pixels) * kTwipsPerInch / static_cast<float>(dpi_x);
}
float ScreenScale::y_to_twips(int pixels) const noexcept {
    return static_cast<float>(pixels) * kTwipsPerInch / static_cast<float>(dpi_y);
}
int ScreenScale::x_to_pixels(float twips) const noexcept {
    return rounded(twips * static_cast<float>(dpi_x) / kTwipsPerInch);
}
int ScreenScale::y_to_pixels(float twips) const noexcept {
    return rounded(twips * static_cast<float>(dpi_y) / kTwipsPerInch);
}

ProgressBar::~ProgressBar() {
    detach();
}

void ProgressBar::attach(HWND parent) {
    detach();
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
    (void)InitCommonControlsEx(&controls);
    const ScreenScale scale = ScreenScale::current();
    bar_ = CreateWindowExA(
        0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, scale.x_to_pixels(left_),
        scale.y_to_pixels(top_), scale.x_to_pixels(width_), scale.y_to_pixels(height_), parent,
        nullptr, reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE)), nullptr);
    if (bar_ == nullptr) {
        const DWORD code = GetLastError();
        throw Error(ErrorKind::IoError,
                    fmt::format("cannot create the progress bar: {}", system_message(code)));
    }
    show_value();
}

void ProgressBar::detach() noexcept {
    if (bar_ != nullptr) {
        DestroyWindow(bar_);
        bar_ = nullptr;
    }
}

void ProgressBar::show_position() const {
    if (bar_ == nullptr) {
        return;
    }
    const ScreenScale scale = ScreenScale::current();
    // Negative sizes are drawn as empty, as the hosted bar does.
    const int width = scale.x_to_pixels(width_);
    const int height = scale.y_to_pixels(height_);
    MoveWindow(bar_, scale.x_to_pixels(left_), scale.y_to_pixels(top_), width < 0 ? 0 : width,
               height < 0 ? 0 : height, TRUE);
}

void ProgressBar::show_value() const {
    if (bar_ == nullptr) {
        return;
    }
    SendMessageA(bar_, PBM_SETRANGE32, 0, static_cast<LPARAM>(rounded(max_)));
    SendMessageA(bar_, PBM_SETPOS, static_cast<WPARAM>(rounded(value_)), 0);
    // Operations step the bar from inside long calls: show each step now rather
    // than at the host's next paint.
    UpdateWindow(bar_);
}

void ProgressBar::put_Max(float value) {
    max_ = value;
    show_value();
}
void ProgressBar::put_Value(float value) {
    value_ = value;
    show_value();
}
void ProgressBar::put_Left(float value) {
    left_ = value;
    show_position();
}
void ProgressBar::put_Top(float value) {
    top_ = value;
    show_position();
}
void ProgressBar::put_Width(float value) {
    width_ = value;
    show_position();
}
void ProgressBar::put_Height(float value) {
    height_ = value;
    show_position();
}

}  // namespace kdr::win32
