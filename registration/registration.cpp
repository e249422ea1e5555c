#include "registration.hpp"

#include <string>
#include <vector>

#include "KDRCtrl_h.h"
#include "kdr_control.hpp"
#include "kdrctrl_ids.h"
#include "module.hpp"
#include "resource_ids.h"
#include "windows_com.hpp"

namespace kdr::registration {
namespace {

// Registry values are wide text: the identifiers of kdrctrl_ids.h in braces.
#define KDR_WIDEN2(text) L##text
#define KDR_WIDEN(text) KDR_WIDEN2(text)
constexpr wchar_t kControlClsid[] = L"{" KDR_WIDEN(KDRCTRL_CLSID_KDRCONTROLLER) L"}";
constexpr wchar_t kGeneralClsid[] = L"{" KDR_WIDEN(KDRCTRL_CLSID_GENERAL) L"}";
constexpr wchar_t kLibid[] = L"{" KDR_WIDEN(KDRCTRL_LIBID) L"}";
#undef KDR_WIDEN
#undef KDR_WIDEN2

constexpr wchar_t kTypeLibVersion[] = L"11.0";
constexpr WORD kTypeLibMajor = 11;
constexpr WORD kTypeLibMinor = 0;
constexpr LCID kTypeLibLcid = 0x409;

/// One class of the library as the registry names it.
struct ClassEntry {
    const wchar_t* clsid;
    const wchar_t* prog_id;            // version-independent
    const wchar_t* versioned_prog_id;  // with ".1"
    const wchar_t* name;
    bool is_control;
};

constexpr ClassEntry kClasses[] = {
    {kControlClsid, L"KDRCtrl.KDRController", L"KDRCtrl.KDRController.1", L"KDRController", true},
    {kGeneralClsid, L"KDRCtrl.General", L"KDRCtrl.General.1", L"General", false},
};

LSTATUS set_value(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status;
}

LSTATUS register_class(const ClassEntry& entry, const std::wstring& path) {
    const std::wstring clsid_key = std::wstring(L"CLSID\\") + entry.clsid;
    struct Value {
        std::wstring key;
        const wchar_t* name;
        std::wstring value;
    };
    std::vector<Value> values = {
        {clsid_key, nullptr, entry.name},
        {clsid_key + L"\\InprocServer32", nullptr, path},
        {clsid_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {clsid_key + L"\\ProgID", nullptr, entry.versioned_prog_id},
        {clsid_key + L"\\VersionIndependentProgID", nullptr, entry.prog_id},
        {clsid_key + L"\\TypeLib", nullptr, kLibid},
        {clsid_key + L"\\Version", nullptr, kTypeLibVersion},
        {entry.prog_id, nullptr, entry.name},
        {std::wstring(entry.prog_id) + L"\\CLSID", nullptr, entry.clsid},
        {std::wstring(entry.prog_id) + L"\\CurVer", nullptr, entry.versioned_prog_id},
        {entry.versioned_prog_id, nullptr, entry.name},
        {std::wstring(entry.versioned_prog_id) + L"\\CLSID", nullptr, entry.clsid},
    };
    if (entry.is_control) {
        const std::wstring misc = std::to_wstring(kdr::activex::kMiscStatus);
        values.push_back({clsid_key + L"\\Control", nullptr, L""});
        values.push_back({clsid_key + L"\\ToolboxBitmap32", nullptr,
                          path + L", " + std::to_wstring(KDRCTRL_TOOLBOX_BITMAP_ID)});
        values.push_back({clsid_key + L"\\MiscStatus", nullptr, L"0"});
        values.push_back({clsid_key + L"\\MiscStatus\\1", nullptr, misc});
    }
    for (const Value& value : values) {
        const LSTATUS status = set_value(value.key, value.name, value.value);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    return ERROR_SUCCESS;
}

void remove_tree(const std::wstring& key) {
    (void)RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    (void)RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
}

SYSKIND this_syskind() {
#ifdef _WIN64
    return SYS_WIN64;
#else
    return SYS_WIN32;
#endif
}

}  // namespace

HRESULT register_server() noexcept {
    try {
        const std::wstring path = kdr::activex::module_path();
        if (path.empty()) {
            return SELFREG_E_CLASS;
        }
        ITypeLib* library = nullptr;
        HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
        if (SUCCEEDED(hr)) {
            hr = RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()), nullptr);
            library->Release();
        }
        if (FAILED(hr)) {
            return SELFREG_E_TYPELIB;
        }
        for (const ClassEntry& entry : kClasses) {
            if (register_class(entry, path) != ERROR_SUCCESS) {
                (void)unregister_server();
                return SELFREG_E_CLASS;
            }
        }
        return S_OK;
    } catch (...) {
        (void)unregister_server();
        return E_OUTOFMEMORY;
    }
}

HRESULT unregister_server() noexcept {
    try {
        for (const ClassEntry& entry : kClasses) {
            remove_tree(std::wstring(L"CLSID\\") + entry.clsid);
            remove_tree(entry.prog_id);
            remove_tree(entry.versioned_prog_id);
        }
        // Also removes the interface entries RegisterTypeLib wrote. A library
        // that is not registered is no failure.
        (void)UnRegisterTypeLib(LIBID_KDRCtrl, kTypeLibMajor, kTypeLibMinor, kTypeLibLcid,
                                this_syskind());
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace kdr::registration
