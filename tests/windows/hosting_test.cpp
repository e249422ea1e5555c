// KDRController hosted in a real container window: Wine's ATL control host
// (the AtlAxWin window class). In-place activation, the progress bar child
// filling the control after every resize, values kept while the control had
// no window, and message boxes owned by the form.
#include <string>

#include "KDRCtrl_h.h"
#include "dispatch_client.hpp"

namespace {

using namespace kdr::wintest;

using AxWinInit = BOOL(WINAPI*)();
using AxGetControl = HRESULT(WINAPI*)(HWND, IUnknown**);
using AxAttachControl = HRESULT(WINAPI*)(IUnknown*, HWND, IUnknown**);

struct Atl {
    HMODULE module = nullptr;
    AxWinInit init = nullptr;
    AxGetControl get_control = nullptr;
    AxAttachControl attach_control = nullptr;
};

template <typename F>
F entry(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void pump(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
}

struct ChildSearch {
    const wchar_t* kind;
    HWND found;
};

BOOL CALLBACK match_child(HWND child, LPARAM data) {
    auto* search = reinterpret_cast<ChildSearch*>(data);
    wchar_t name[64] = {};
    GetClassNameW(child, name, 64);
    if (lstrcmpiW(name, search->kind) == 0) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

HWND find_child(HWND parent, const wchar_t* kind) {
    ChildSearch search{kind, nullptr};
    EnumChildWindows(parent, match_child, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string rect_text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
           std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

/// The control's window and its bar: the bar at 0,0 with the control's client size.
void check_fill(Tally& t, HWND control, int width, int height, const std::string& label) {
    RECT client{};
    GetClientRect(control, &client);
    HWND bar = find_child(control, L"msctls_progress32");
    RECT bar_rect{};
    if (bar != nullptr) {
        GetWindowRect(bar, &bar_rect);
        MapWindowPoints(nullptr, control, reinterpret_cast<POINT*>(&bar_rect), 2);
    }
    t.check(client.right == width && client.bottom == height, label + ": control sized",
            rect_text(client));
    t.check(bar != nullptr && bar_rect.left == 0 && bar_rect.top == 0 &&
                bar_rect.right == client.right && bar_rect.bottom == client.bottom,
            label + ": progress bar fills the control", rect_text(bar_rect));
}

HWND control_window(IUnknown* control) {
    IOleInPlaceObject* in_place = nullptr;
    HWND window = nullptr;
    if (SUCCEEDED(
            control->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&in_place)))) {
        in_place->GetWindow(&window);
        in_place->Release();
    }
    return window;
}

void hosted_by_prog_id(Tally& t, const Atl& atl, HWND form) {
    HWND ax = CreateWindowExW(0, L"AtlAxWin", L"KDRCtrl.KDRController", WS_CHILD | WS_VISIBLE, 10,
                              10, 288, 53, form, nullptr, GetModuleHandleW(nullptr), nullptr);
    pump(300);
    IUnknown* control = nullptr;
    if (!t.check(ax != nullptr && SUCCEEDED(atl.get_control(ax, &control)) && control != nullptr,
                 "AtlAxWin creates KDRCtrl.KDRController")) {
        return;
    }
    HWND window = control_window(control);
    t.check(window != nullptr && IsWindowVisible(window) && GetParent(window) == ax,
            "in-place active: a visible child window of the container");
    check_fill(t, window, 288, 53, "design size 288 x 53");
    HWND bar = find_child(window, L"msctls_progress32");
    t.check(bar != nullptr && SendMessageW(bar, PBM_GETPOS, 0, 0) == 100 &&
                SendMessageW(bar, PBM_GETRANGE, FALSE, 0) == 100,
            "a new control shows a full bar (Max 100, Value 100)");

    const struct {
        int width;
        int height;
    } sizes[] = {{400, 80}, {0, 0}, {150, 30}, {288, 53}};
    for (const auto& size : sizes) {
        MoveWindow(ax, 10, 10, size.width, size.height, TRUE);
        pump(150);
        check_fill(
            t, window, size.width, size.height,
            "resized to " + std::to_string(size.width) + " x " + std::to_string(size.height));
    }
    IOleObject* ole = nullptr;
    SIZEL extent{};
    if (SUCCEEDED(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)))) {
        ole->GetExtent(DVASPECT_CONTENT, &extent);
        ole->Release();
    }
    const LONG want_cx = MulDiv(288, 2540, 96);
    const LONG want_cy = MulDiv(53, 2540, 96);
    t.check(extent.cx == want_cx && extent.cy == want_cy, "extent follows the size in HIMETRIC",
            std::to_string(extent.cx) + " x " + std::to_string(extent.cy));

    // The message box is owned by the form the control sits on.
    IDispatch* automation = nullptr;
    control->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&automation));
    {
        MessageBoxWatcher boxes;
        Var text;
        call(automation, L"DownloadData", DISPATCH_METHOD, {}, text.get());
        const std::vector<SeenBox> seen = boxes.take();
        t.check(
            seen.size() == 1 && seen[0].owner == form && seen[0].title == "Download Data From KDR",
            "message box owned by the form");
        t.check(SendMessageW(bar, PBM_GETPOS, 0, 0) == 0, "the bar shows Value 0 afterwards");
    }
    automation->Release();
    control->Release();
    DestroyWindow(ax);
    pump(100);
}

void values_kept_without_window(Tally& t, const Atl& atl, HWND form) {
    if (!t.check(atl.attach_control != nullptr, "AtlAxAttachControl available")) {
        return;
    }
    IDispatch* control = nullptr;
    CLSID clsid{};
    CLSIDFromProgID(L"KDRCtrl.KDRController", &clsid);
    if (!t.check(SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                            reinterpret_cast<void**>(&control))),
                 "CreateObject without a form")) {
        return;
    }
    {
        // Without a window the bar keeps its values: the failed download sets 0.
        MessageBoxWatcher boxes;
        Var text;
        call(control, L"DownloadData", DISPATCH_METHOD, {}, text.get());
        const std::vector<SeenBox> seen = boxes.take();
        t.check(seen.size() == 1 && seen[0].owner == nullptr &&
                    seen[0].text == "Device did not open.   ",
                "without a window the message box has no owner");
    }
    HWND ax = CreateWindowExW(0, L"AtlAxWin", nullptr, WS_CHILD | WS_VISIBLE, 10, 80, 200, 40, form,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    IUnknown* container = nullptr;
    const HRESULT hr = atl.attach_control(control, ax, &container);
    pump(300);
    HWND window = control_window(control);
    HWND bar = window != nullptr ? find_child(window, L"msctls_progress32") : nullptr;
    t.check(SUCCEEDED(hr) && bar != nullptr && SendMessageW(bar, PBM_GETPOS, 0, 0) == 0 &&
                SendMessageW(bar, PBM_GETRANGE, FALSE, 0) == 100,
            "values set without a window reach the bar when the control is placed", hex(hr));
    if (window != nullptr) {
        check_fill(t, window, 200, 40, "attached control");
    }
    if (container != nullptr) {
        container->Release();
    }
    control->Release();
    DestroyWindow(ax);
    pump(100);
}

}  // namespace

int wmain() {
    if (FAILED(OleInitialize(nullptr))) {
        return 2;
    }
    Tally t;
    Atl atl;
    atl.module = LoadLibraryW(L"atl.dll");
    if (atl.module != nullptr) {
        atl.init = entry<AxWinInit>(atl.module, "AtlAxWinInit");
        atl.get_control = entry<AxGetControl>(atl.module, "AtlAxGetControl");
        atl.attach_control = entry<AxAttachControl>(atl.module, "AtlAxAttachControl");
    }
    if (t.check(atl.init != nullptr && atl.get_control != nullptr && atl.init(),
                "the system's ATL control host")) {
        WNDCLASSW form_class{};
        form_class.lpfnWndProc = DefWindowProcW;
        form_class.hInstance = GetModuleHandleW(nullptr);
        form_class.lpszClassName = L"KDRHostingTestForm";
        form_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        RegisterClassW(&form_class);
        HWND form = CreateWindowExW(0, L"KDRHostingTestForm", L"KDRCtrl hosting test",
                                    WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN, 50, 50, 520,
                                    240, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        hosted_by_prog_id(t, atl, form);
        values_kept_without_window(t, atl, form);
        DestroyWindow(form);
    }
    const int rc = t.finish("hosting");
    OleUninitialize();
    return rc;
}
