// Small helpers for the test programs that run under Wine: a result tally
// that prints one line a check and a closing "N passed, N failed" line, and a
// watcher that answers the control's message boxes as a user would.
#pragma once

// clang-format off
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>
#include <ocidl.h>
#include <commctrl.h>
// clang-format on

#include <cstdio>
#include <string>
#include <vector>

namespace kdr::wintest {

class Tally {
  public:
    /// Records one check; prints "PASS name" or "FAIL name: detail".
    bool check(bool ok, const std::string& name, const std::string& detail = {}) {
        if (ok) {
            ++passed_;
            std::printf("PASS %s\n", name.c_str());
        } else {
            ++failed_;
            std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
        }
        std::fflush(stdout);
        return ok;
    }
    /// Prints the closing line; the process's exit code.
    int finish(const char* suite) const {
        std::printf("%s: %d passed, %d failed\n", suite, passed_, failed_);
        std::fflush(stdout);
        return failed_ == 0 ? 0 : 1;
    }

  private:
    int passed_ = 0;
    int failed_ = 0;
};

/// UTF-16 to UTF-8 for printing.
inline std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

inline std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

/// One message box as the user saw it.
struct SeenBox {
    std::string title;
    std::string text;
    HWND owner = nullptr;
};

/// Watches the thread's top-level windows from a second thread; every message
/// box found is read (title and text) and answered with a click on its button.
class MessageBoxWatcher {
  public:
    MessageBoxWatcher() : ui_thread_(GetCurrentThreadId()) {
        InitializeCriticalSection(&lock_);
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &MessageBoxWatcher::run, this, 0, nullptr);
    }
    ~MessageBoxWatcher() {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
        DeleteCriticalSection(&lock_);
    }
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    /// The boxes answered since the last call.
    std::vector<SeenBox> take() {
        EnterCriticalSection(&lock_);
        std::vector<SeenBox> seen;
        seen.swap(seen_);
        LeaveCriticalSection(&lock_);
        return seen;
    }

  private:
    static DWORD WINAPI run(void* self) {
        auto* watcher = static_cast<MessageBoxWatcher*>(self);
        while (WaitForSingleObject(watcher->stop_, 20) == WAIT_TIMEOUT) {
            EnumThreadWindows(watcher->ui_thread_, &MessageBoxWatcher::visit,
                              reinterpret_cast<LPARAM>(watcher));
        }
        return 0;
    }

    /// The text in the system's code page, as the control gave it.
    static std::string ansi(const wchar_t* text) {
        char bytes[2048] = {};
        WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof(bytes) - 1, nullptr, nullptr);
        return bytes;
    }

    struct Parts {
        std::string text;
        HWND button = nullptr;
    };

    static BOOL CALLBACK visit_child(HWND child, LPARAM data) {
        auto* parts = reinterpret_cast<Parts*>(data);
        char kind[64] = {};
        GetClassNameA(child, kind, sizeof(kind));
        // Read without a message: the UI thread may be waiting for this thread.
        wchar_t text[1024] = {};
        InternalGetWindowText(child, text, 1024);
        if (lstrcmpiA(kind, "Static") == 0 && text[0] != L'\0') {
            parts->text = ansi(text);
        } else if (lstrcmpiA(kind, "Button") == 0 && parts->button == nullptr) {
            parts->button = child;
        }
        return TRUE;
    }

    static BOOL CALLBACK visit(HWND window, LPARAM data) {
        auto* watcher = reinterpret_cast<MessageBoxWatcher*>(data);
        char kind[64] = {};
        GetClassNameA(window, kind, sizeof(kind));
        if (lstrcmpA(kind, "#32770") != 0 || !IsWindowVisible(window) ||
            watcher->answered_ == window) {
            return TRUE;
        }
        Parts parts;
        EnumChildWindows(window, &MessageBoxWatcher::visit_child, reinterpret_cast<LPARAM>(&parts));
        if (parts.button == nullptr) {
            return TRUE;
        }
        wchar_t title_text[256] = {};
        InternalGetWindowText(window, title_text, 256);
        const std::string title = ansi(title_text);
        EnterCriticalSection(&watcher->lock_);
        watcher->seen_.push_back(SeenBox{title, parts.text, GetWindow(window, GW_OWNER)});
        LeaveCriticalSection(&watcher->lock_);
        watcher->answered_ = window;
        // A click, as the user would give it.
        PostMessageA(parts.button, BM_CLICK, 0, 0);
        return TRUE;
    }

    DWORD ui_thread_;
    CRITICAL_SECTION lock_{};
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    HWND answered_ = nullptr;
    std::vector<SeenBox> seen_;
};

/// An owned VARIANT.
class Var {
  public:
    Var() { VariantInit(&value_); }
    ~Var() { VariantClear(&value_); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    VARIANT* get() { return &value_; }
    const VARIANT& operator*() const { return value_; }

  private:
    VARIANT value_;
};

}  // namespace kdr::wintest
