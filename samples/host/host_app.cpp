// A small window program that places KDRCtrl.KDRController on its form and
// drives it with four buttons: Open, Sync time, Download and Erase. Results go
// to the box below the buttons.
//
//   kdr_sample_host.exe [/screenshot FILE.bmp [PORT PASSWORD]]
//
// With /screenshot the program saves a picture of its form after start-up
// and ends: the picture in the documentation is made that way. With a port
// and a password it first presses Open and Download, as a user would. It
// ends with 0 when the control was placed and the picture saved.
//
// Beside its manifest (kdr_sample_host.exe.manifest), KDRCtrl.ocx and
// KDRCtrl.manifest, the program needs no registration of the control.

// clang-format off
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
// clang-format on

#include <string>
#include <vector>

namespace {

constexpr int kOpen = 101;
constexpr int kSync = 102;
constexpr int kDownload = 103;
constexpr int kErase = 104;
constexpr int kPort = 105;
constexpr int kPassword = 106;
constexpr int kResults = 107;

using AxWinInit = BOOL(WINAPI*)();
using AxGetControl = HRESULT(WINAPI*)(HWND, IUnknown**);

struct App {
    HWND form = nullptr;
    HWND control_host = nullptr;
    HWND port = nullptr;
    HWND password = nullptr;
    HWND results = nullptr;
    IDispatch* control = nullptr;
};

App g_app;

std::wstring text_of(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

void show(const std::wstring& line) {
    std::wstring text = text_of(g_app.results);
    if (!text.empty()) {
        text += L"\r\n";
    }
    // The control's texts end their lines with CR LF already.
    text += line;
    SetWindowTextW(g_app.results, text.c_str());
    SendMessageW(g_app.results, EM_SETSEL, static_cast<WPARAM>(text.size()),
                 static_cast<LPARAM>(text.size()));
    SendMessageW(g_app.results, EM_SCROLLCARET, 0, 0);
}

/// Calls a member of the control by name; the result as text, or the
/// automation error's description.
std::wstring call(const wchar_t* name, std::vector<VARIANT> args) {
    if (g_app.control == nullptr) {
        return L"(no control)";
    }
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = g_app.control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        return L"(unknown member)";
    }
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception{};
    hr = g_app.control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT,
                               DISPATCH_METHOD | DISPATCH_PROPERTYGET, &params, &result, &exception,
                               nullptr);
    for (VARIANT& arg : args) {
        VariantClear(&arg);
    }
    std::wstring text;
    if (hr == DISP_E_EXCEPTION) {
        text = L"error: ";
        text += exception.bstrDescription != nullptr ? exception.bstrDescription : L"?";
    } else if (FAILED(hr)) {
        text = L"error " + std::to_wstring(static_cast<unsigned long>(hr));
    } else if (V_VT(&result) == VT_EMPTY) {
        text = L"(done)";
    } else if (SUCCEEDED(VariantChangeType(&result, &result, VARIANT_ALPHABOOL, VT_BSTR))) {
        text.assign(V_BSTR(&result), SysStringLen(V_BSTR(&result)));
    }
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    VariantClear(&result);
    return text;
}

VARIANT bstr(const std::wstring& text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

void on_command(int id) {
    switch (id) {
        case kOpen: {
            // vPort is a reference parameter; a by-value text is converted.
            const std::wstring port = text_of(g_app.port);
            const std::wstring answer =
                call(L"OpenKDR", {bstr(text_of(g_app.password)), bstr(port)});
            show(L"OpenKDR on COM" + port + L": " + answer);
            break;
        }
        case kSync:
            show(L"SyncUpHostTime: " + call(L"SyncUpHostTime", {}));
            break;
        case kDownload: {
            const std::wstring records = call(L"DownloadData", {});
            show(L"DownloadData:\r\n" + records);
            break;
        }
        case kErase:
            show(L"EraseData: " + call(L"EraseData", {}));
            break;
        default:
            break;
    }
}

HWND make(const wchar_t* kind, const wchar_t* text, DWORD style, int x, int y, int w, int h,
          int id) {
    HWND window = CreateWindowExW(kind == std::wstring(L"EDIT") ? WS_EX_CLIENTEDGE : 0, kind, text,
                                  WS_CHILD | WS_VISIBLE | style, x, y, w, h, g_app.form,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  GetModuleHandleW(nullptr), nullptr);
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 TRUE);
    return window;
}

void layout(int width, int height) {
    MoveWindow(g_app.control_host, 12, 12, width - 24, 53, TRUE);
    MoveWindow(g_app.results, 12, 140, width - 24, height - 152, TRUE);
}

LRESULT CALLBACK form_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wparam) == BN_CLICKED) {
                on_command(LOWORD(wparam));
            }
            return 0;
        case WM_SIZE:
            if (g_app.results != nullptr) {
                layout(LOWORD(lparam), HIWORD(lparam));
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

bool save_bitmap(HWND window, const std::wstring& path) {
    // The form's client area: the frame belongs to the window manager.
    RECT rect{};
    GetClientRect(window, &rect);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    const DWORD stride = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD image = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
    file.bfSize = file.bfOffBits + image;
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const bool ok = out != INVALID_HANDLE_VALUE &&
                    WriteFile(out, &file, sizeof(file), &written, nullptr) &&
                    WriteFile(out, &info.bmiHeader, sizeof(info.bmiHeader), &written, nullptr) &&
                    WriteFile(out, bits, image, &written, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        CloseHandle(out);
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*command_line*/,
                    int show_command) {
    if (FAILED(OleInitialize(nullptr))) {
        return 1;
    }
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring screenshot;
    std::wstring demo_port;
    std::wstring demo_password;
    if ((argc == 3 || argc == 5) && lstrcmpiW(argv[1], L"/screenshot") == 0) {
        screenshot = argv[2];
        if (argc == 5) {
            demo_port = argv[3];
            demo_password = argv[4];
        }
    }
    LocalFree(argv);

    HMODULE atl = LoadLibraryW(L"atl.dll");
    auto init = reinterpret_cast<AxWinInit>(
        reinterpret_cast<void*>(atl != nullptr ? GetProcAddress(atl, "AtlAxWinInit") : nullptr));
    auto get_control = reinterpret_cast<AxGetControl>(
        reinterpret_cast<void*>(atl != nullptr ? GetProcAddress(atl, "AtlAxGetControl") : nullptr));
    if (init == nullptr || get_control == nullptr || !init()) {
        MessageBoxW(nullptr, L"The system's ActiveX control host (atl.dll) is missing.",
                    L"KDRCtrl sample host", MB_ICONERROR);
        return 1;
    }

    WNDCLASSW form_class{};
    form_class.lpfnWndProc = form_procedure;
    form_class.hInstance = instance;
    form_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    form_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    form_class.lpszClassName = L"KDRCtrlSampleHost";
    RegisterClassW(&form_class);
    g_app.form = CreateWindowExW(0, L"KDRCtrlSampleHost", L"KDRCtrl sample host",
                                 WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 40, 40, 480, 360, nullptr,
                                 nullptr, instance, nullptr);
    g_app.control_host =
        CreateWindowExW(0, L"AtlAxWin", L"KDRCtrl.KDRController", WS_CHILD | WS_VISIBLE, 12, 12,
                        288, 53, g_app.form, nullptr, instance, nullptr);
    IUnknown* unknown = nullptr;
    if (SUCCEEDED(get_control(g_app.control_host, &unknown)) && unknown != nullptr) {
        unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&g_app.control));
        unknown->Release();
    }
    make(L"STATIC", L"Port:", 0, 12, 76, 40, 20, 0);
    g_app.port = make(L"EDIT", L"1", ES_AUTOHSCROLL, 52, 74, 40, 22, kPort);
    make(L"STATIC", L"Password:", 0, 104, 76, 64, 20, 0);
    g_app.password = make(L"EDIT", L"", ES_AUTOHSCROLL | ES_PASSWORD, 170, 74, 120, 22, kPassword);
    make(L"BUTTON", L"Open", BS_PUSHBUTTON, 12, 104, 80, 26, kOpen);
    make(L"BUTTON", L"Sync time", BS_PUSHBUTTON, 98, 104, 80, 26, kSync);
    make(L"BUTTON", L"Download", BS_PUSHBUTTON, 184, 104, 80, 26, kDownload);
    make(L"BUTTON", L"Erase", BS_PUSHBUTTON, 270, 104, 80, 26, kErase);
    g_app.results = make(L"EDIT", L"", ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_VSCROLL, 12,
                         140, 440, 170, kResults);
    RECT client{};
    GetClientRect(g_app.form, &client);
    layout(client.right, client.bottom);
    show(g_app.control != nullptr
             ? L"KDRCtrl.KDRController placed; CommPort " + call(L"CommPort", {}) + L"."
             : L"KDRCtrl.KDRController is not registered.");
    ShowWindow(g_app.form, screenshot.empty() ? show_command : SW_SHOWNORMAL);
    UpdateWindow(g_app.form);

    if (!screenshot.empty()) {
        if (!demo_port.empty()) {
            SetWindowTextW(g_app.port, demo_port.c_str());
            SetWindowTextW(g_app.password, demo_password.c_str());
            SendMessageW(g_app.form, WM_COMMAND, MAKEWPARAM(kOpen, BN_CLICKED), 0);
            SendMessageW(g_app.form, WM_COMMAND, MAKEWPARAM(kDownload, BN_CLICKED), 0);
            // The picture shows the beginning of the results.
            SendMessageW(g_app.results, EM_SETSEL, 0, 0);
            SendMessageW(g_app.results, EM_SCROLLCARET, 0, 0);
        }
        // Let the form and the control paint, then take the picture.
        const ULONGLONG end = GetTickCount64() + 1500;
        MSG message;
        while (GetTickCount64() < end) {
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            Sleep(20);
        }
        const bool saved = save_bitmap(g_app.form, screenshot);
        const bool placed = g_app.control != nullptr;
        DestroyWindow(g_app.form);
        if (placed) {
            g_app.control->Release();
        }
        OleUninitialize();
        return saved && placed ? 0 : 1;
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(g_app.form, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (g_app.control != nullptr) {
        g_app.control->Release();
    }
    OleUninitialize();
    return 0;
}
