#include "module.hpp"

namespace kdr::activex {
namespace {
HINSTANCE g_module = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;
}  // namespace

void set_module(HINSTANCE handle) noexcept {
    g_module = handle;
}
HINSTANCE module() noexcept {
    return g_module;
}

std::wstring module_path() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length =
            GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void object_created() noexcept {
    InterlockedIncrement(&g_objects);
}
void object_destroyed() noexcept {
    InterlockedDecrement(&g_objects);
}
void lock_server(bool lock) noexcept {
    if (lock) {
        InterlockedIncrement(&g_locks);
    } else {
        InterlockedDecrement(&g_locks);
    }
}
bool can_unload() noexcept {
    return g_objects == 0 && g_locks == 0;
}
long live_objects() noexcept {
    return g_objects;
}

HRESULT type_info(REFGUID type, ITypeInfo** info) noexcept {
    if (info == nullptr) {
        return E_POINTER;
    }
    *info = nullptr;
    const std::wstring path = module_path();
    if (path.empty()) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    ITypeLib* library = nullptr;
    // The system keeps loaded type libraries cached: repeated loads are cheap.
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) {
        return hr;
    }
    hr = library->GetTypeInfoOfGuid(type, info);
    library->Release();
    return hr;
}

}  // namespace kdr::activex
