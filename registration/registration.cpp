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
constexpr const wchar_t* kInterfaceIds[] = {
    L"{" KDR_WIDEN(KDRCTRL_IID_KDRCONTROLLER) L"}",
    L"{" KDR_WIDEN(KDRCTRL_IID_GENERAL) L"}",
    L"{" KDR_WIDEN(KDRCTRL_DIID_KDRCONTROLLER_EVENTS) L"}",
};
#undef KDR_WIDEN
#undef KDR_WIDEN2

constexpr wchar_t kTypeLibVersion[] = L"11.0";
// The type library's version as the registry's TypeLib keys spell it: in
// hexadecimal, as RegisterTypeLib writes and LoadRegTypeLib reads it.
constexpr wchar_t kTypeLibVersionKey[] = L"b.0";
constexpr WORD kTypeLibMajor = 11;
constexpr WORD kTypeLibMinor = 0;
constexpr LCID kTypeLibLcid = 0x409;
constexpr wchar_t kTypeLibLcidKey[] = L"409";
// The system's proxies: interfaces described by a type library (dual ones
// included) and plain dispatch interfaces.
constexpr wchar_t kTypeLibProxy[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kDispatchProxy[] = L"{00020420-0000-0000-C000-000000000046}";

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

/// The key that holds a scope's classes: HKEY_CLASSES_ROOT for the machine,
/// HKEY_CURRENT_USER\Software\Classes for the user (created only to write).
class ClassesRoot {
  public:
    ClassesRoot(Scope scope, bool create) noexcept {
        if (scope == Scope::machine) {
            key_ = HKEY_CLASSES_ROOT;
            return;
        }
        constexpr wchar_t kUserClasses[] = L"Software\\Classes";
        status_ =
            create ? RegCreateKeyExW(HKEY_CURRENT_USER, kUserClasses, 0, nullptr, 0,
                                     KEY_READ | KEY_WRITE, nullptr, &key_, nullptr)
                   : RegOpenKeyExW(HKEY_CURRENT_USER, kUserClasses, 0, KEY_READ | KEY_WRITE, &key_);
        owned_ = status_ == ERROR_SUCCESS;
    }
    ~ClassesRoot() {
        if (owned_) {
            RegCloseKey(key_);
        }
    }
    ClassesRoot(const ClassesRoot&) = delete;
    ClassesRoot& operator=(const ClassesRoot&) = delete;

    [[nodiscard]] bool ok() const noexcept { return status_ == ERROR_SUCCESS; }
    [[nodiscard]] HKEY get() const noexcept { return key_; }

  private:
    HKEY key_ = nullptr;
    bool owned_ = false;
    LSTATUS status_ = ERROR_SUCCESS;
};

LSTATUS set_value(HKEY root, const std::wstring& key, const wchar_t* name,
                  const std::wstring& value) {
    HKEY handle = nullptr;
    LSTATUS status =
        RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status;
}

struct Value {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
};

LSTATUS set_values(HKEY root, const std::vector<Value>& values) {
    for (const Value& value : values) {
        const LSTATUS status = set_value(root, value.key, value.name, value.value);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS register_class(HKEY root, const ClassEntry& entry, const std::wstring& path) {
    const std::wstring clsid_key = std::wstring(L"CLSID\\") + entry.clsid;
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
    return set_values(root, values);
}

void remove_tree(HKEY root, const std::wstring& key) {
    (void)RegDeleteTreeW(root, key.c_str());
    (void)RegDeleteKeyW(root, key.c_str());
}

/// Deletes a key that holds no subkey (and, with `values_too`, no value).
void remove_if_empty(HKEY root, const std::wstring& key, bool values_too) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 0;
    DWORD values = 0;
    const LSTATUS status = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                            nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    if (status == ERROR_SUCCESS && subkeys == 0 && (!values_too || values == 0)) {
        (void)RegDeleteKeyW(root, key.c_str());
    }
}

SYSKIND this_syskind() {
#ifdef _WIN64
    return SYS_WIN64;
#else
    return SYS_WIN32;
#endif
}

const wchar_t* this_syskind_key() {
    return this_syskind() == SYS_WIN64 ? L"win64" : L"win32";
}

std::wstring version_key() {
    return std::wstring(L"TypeLib\\") + kLibid + L"\\" + kTypeLibVersionKey;
}

/// What RegisterTypeLib writes machine-wide, under the user's classes:
/// the library, its file for this platform and its interfaces. (Wine's
/// RegisterTypeLibForUser writes machine-wide, and RegisterTypeLib may be
/// redirected to the machine on Windows whatever the process overrides.)
LSTATUS register_typelib_for_user(HKEY root, ITypeLib* library, const std::wstring& path) {
    TLIBATTR* attributes = nullptr;
    if (FAILED(library->GetLibAttr(&attributes))) {
        return ERROR_INVALID_DATA;
    }
    // Whether the library is on disk is no property to register.
    const std::wstring flags = std::to_wstring(static_cast<unsigned>(attributes->wLibFlags) &
                                               ~static_cast<unsigned>(LIBFLAG_FHASDISKIMAGE));
    library->ReleaseTLibAttr(attributes);
    BSTR name = nullptr;
    BSTR help = nullptr;
    (void)library->GetDocumentation(-1, &name, &help, nullptr, nullptr);
    const std::wstring title = help != nullptr && SysStringLen(help) != 0 ? help
                               : name != nullptr                          ? name
                                                                          : L"";
    SysFreeString(name);
    SysFreeString(help);
    const std::wstring folder = path.substr(0, path.find_last_of(L"\\/"));
    const std::wstring version = version_key();
    std::vector<Value> values = {
        {version, nullptr, title},
        {version + L"\\FLAGS", nullptr, flags},
        {version + L"\\HELPDIR", nullptr, folder},
        {version + L"\\" + kTypeLibLcidKey + L"\\" + this_syskind_key(), nullptr, path},
    };
    for (UINT index = 0; index < library->GetTypeInfoCount(); ++index) {
        ITypeInfo* info = nullptr;
        if (FAILED(library->GetTypeInfo(index, &info))) {
            continue;
        }
        TYPEATTR* type = nullptr;
        BSTR type_name = nullptr;
        if (SUCCEEDED(info->GetTypeAttr(&type))) {
            const bool dispatch = type->typekind == TKIND_DISPATCH;
            const bool automation = type->typekind == TKIND_INTERFACE &&
                                    (type->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) != 0;
            if ((dispatch || automation) &&
                SUCCEEDED(
                    info->GetDocumentation(MEMBERID_NIL, &type_name, nullptr, nullptr, nullptr))) {
                wchar_t iid[40] = {};
                StringFromGUID2(type->guid, iid, 40);
                const std::wstring key = std::wstring(L"Interface\\") + iid;
                const wchar_t* proxy = dispatch && (type->wTypeFlags & TYPEFLAG_FDUAL) == 0
                                           ? kDispatchProxy
                                           : kTypeLibProxy;
                values.push_back({key, nullptr, type_name != nullptr ? type_name : L""});
                values.push_back({key + L"\\ProxyStubClsid", nullptr, proxy});
                values.push_back({key + L"\\ProxyStubClsid32", nullptr, proxy});
                values.push_back({key + L"\\TypeLib", nullptr, kLibid});
                values.push_back({key + L"\\TypeLib", L"Version", kTypeLibVersionKey});
            }
            SysFreeString(type_name);
            info->ReleaseTypeAttr(type);
        }
        info->Release();
    }
    return set_values(root, values);
}

void unregister_typelib_for_user(HKEY root) {
    for (const wchar_t* iid : kInterfaceIds) {
        remove_tree(root, std::wstring(L"Interface\\") + iid);
    }
    // The other platform's file may still be registered beside this one.
    const std::wstring version = version_key();
    const std::wstring lcid = version + L"\\" + kTypeLibLcidKey;
    remove_tree(root, lcid + L"\\" + this_syskind_key());
    remove_if_empty(root, lcid, false);
    HKEY handle = nullptr;
    DWORD subkeys = 1;
    if (RegOpenKeyExW(root, version.c_str(), 0, KEY_QUERY_VALUE, &handle) == ERROR_SUCCESS) {
        (void)RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(handle);
        // FLAGS and HELPDIR alone mean no platform's file is registered.
        if (subkeys <= 2) {
            remove_tree(root, version);
        }
    }
    remove_if_empty(root, std::wstring(L"TypeLib\\") + kLibid, false);
}

HRESULT register_typelib(Scope scope, HKEY root, const std::wstring& path) {
    ITypeLib* library = nullptr;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) {
        return hr;
    }
    if (scope == Scope::machine) {
        hr = RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()), nullptr);
    } else {
        hr = HRESULT_FROM_WIN32(register_typelib_for_user(root, library, path));
    }
    library->Release();
    return hr;
}

HRESULT unregister(Scope scope, HKEY root) {
    for (const ClassEntry& entry : kClasses) {
        remove_tree(root, std::wstring(L"CLSID\\") + entry.clsid);
        remove_tree(root, entry.prog_id);
        remove_tree(root, entry.versioned_prog_id);
    }
    if (scope == Scope::machine) {
        // Also removes the interface entries RegisterTypeLib wrote. A library
        // that is not registered is no failure.
        (void)UnRegisterTypeLib(LIBID_KDRCtrl, kTypeLibMajor, kTypeLibMinor, kTypeLibLcid,
                                this_syskind());
        return S_OK;
    }
    unregister_typelib_for_user(root);
    // A user who had no classes of their own before keeps none.
    for (const wchar_t* container : {L"CLSID", L"Interface", L"TypeLib"}) {
        remove_if_empty(root, container, true);
    }
    return S_OK;
}

}  // namespace

std::optional<Scope> scope_from_command_line(const wchar_t* line) noexcept {
    if (line == nullptr || *line == L'\0' || lstrcmpiW(line, L"machine") == 0) {
        return Scope::machine;
    }
    if (lstrcmpiW(line, L"user") == 0) {
        return Scope::user;
    }
    return std::nullopt;
}

HRESULT register_server(Scope scope) noexcept {
    try {
        const std::wstring path = kdr::activex::module_path();
        const ClassesRoot root(scope, true);
        if (path.empty() || !root.ok()) {
            return SELFREG_E_CLASS;
        }
        if (FAILED(register_typelib(scope, root.get(), path))) {
            (void)unregister(scope, root.get());
            return SELFREG_E_TYPELIB;
        }
        for (const ClassEntry& entry : kClasses) {
            if (register_class(root.get(), entry, path) != ERROR_SUCCESS) {
                (void)unregister(scope, root.get());
                return SELFREG_E_CLASS;
            }
        }
        return S_OK;
    } catch (...) {
        (void)unregister_server(scope);
        return E_OUTOFMEMORY;
    }
}

HRESULT unregister_server(Scope scope) noexcept {
    try {
        const ClassesRoot root(scope, false);
        if (!root.ok()) {
            // No classes of the user's own: nothing of ours is there.
            return S_OK;
        }
        return unregister(scope, root.get());
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace kdr::registration
