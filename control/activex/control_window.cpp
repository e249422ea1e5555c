// The control's window: its class, its procedure, and the sizes that reach
// the controller (the extent while windowless, the client area in place).
#include "control_internal.hpp"
#include "module.hpp"

namespace kdr::activex {
namespace {

constexpr wchar_t kWindowClass[] = L"KDRCtrlKDRController";

ATOM g_window_class = 0;

float himetric_to_twips(LONG himetric) {
    return static_cast<float>(himetric) * static_cast<float>(kTwipsPerInch) /
           static_cast<float>(kHimetricPerInch);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* control = reinterpret_cast<Control*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (control == nullptr) {
        return DefWindowProcW(window, message, wparam, lparam);
    }
    return control->on_message(window, message, wparam, lparam);
}

}  // namespace

void Control::unregister_window_class() noexcept {
    if (g_window_class != 0) {
        UnregisterClassW(kWindowClass, module());
        g_window_class = 0;
    }
}

// ---- Sizing ---------------------------------------------------------------

void Control::resize_to_extent() {
    controller_->Resize(himetric_to_twips(extent_.cx), himetric_to_twips(extent_.cy));
}

void Control::resize_to_window() {
    RECT client{};
    if (window_ == nullptr || !GetClientRect(window_, &client)) {
        return;
    }
    const win32::ScreenScale scale = win32::ScreenScale::current();
    controller_->Resize(scale.x_to_twips(client.right - client.left),
                        scale.y_to_twips(client.bottom - client.top));
}

HWND Control::owner_window() const noexcept {
    if (window_ != nullptr) {
        return window_;
    }
    HWND container = nullptr;
    if (in_place_site_ != nullptr && SUCCEEDED(in_place_site_->GetWindow(&container))) {
        return container;
    }
    return nullptr;
}

LRESULT Control::on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_SIZE:
            resize_to_window();
            return 0;
        case WM_ERASEBKGND:
            // The bar covers the whole control.
            return 1;
        case WM_DESTROY:
            // The child goes with the window; the bar keeps its values.
            bar_->detach();
            break;
        case WM_NCDESTROY:
            if (window == window_) {
                window_ = nullptr;
            }
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HRESULT Control::create_window(HWND parent, const RECT& position) {
    if (g_window_class == 0) {
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = window_procedure;
        window_class.hInstance = module();
        window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
        window_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        window_class.lpszClassName = kWindowClass;
        g_window_class = RegisterClassExW(&window_class);
        if (g_window_class == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
    }
    window_ = CreateWindowExW(0, kWindowClass, L"KDRController",
                              WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, position.left,
                              position.top, position.right - position.left,
                              position.bottom - position.top, parent, nullptr, module(), this);
    if (window_ == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    try {
        bar_->attach(window_);
    } catch (const std::exception& error) {
        DestroyWindow(window_);
        window_ = nullptr;
        return raise(automation_error(error), IID_IOleObject);
    }
    resize_to_window();
    return S_OK;
}

}  // namespace kdr::activex
