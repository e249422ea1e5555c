// Checks the registration of KDRCtrl.ocx through the registry and type-library
// APIs, as hosts read it.
//   kdr_regcheck registered <path of KDRCtrl.ocx as registered> [user]
//   kdr_regcheck unregistered [user]
//   kdr_regcheck manifest <an application's manifest> <KDRCtrl.ocx>
// With "user" the registration for the current user is checked, under
// HKEY_CURRENT_USER\Software\Classes alone. Wine's COM reads classes from
// the machine's hive only, so there the test follows the registered keys
// itself, as Windows' merged HKEY_CLASSES_ROOT would: ProgID, class, server
// file, its class factory, the control. "manifest" reads an application's
// manifest that depends on the assembly KDRCtrl (whose manifest lies beside
// it) as the system does, through an activation context, and finds in it
// every class, ProgID, interface and the library of the type library.
#include <cstring>
#include <string>
#include <vector>

#include "KDRCtrl_h.h"
#include "test_support.hpp"

namespace {

using kdr::wintest::hex;
using kdr::wintest::narrow;
using kdr::wintest::Tally;

constexpr DWORD kMiscStatus = 131473;  // 0x20191: the five OLEMISC flags

// Where the classes are read: HKEY_CLASSES_ROOT, or the user's own classes.
HKEY g_root = HKEY_CLASSES_ROOT;
bool g_user = false;

std::wstring guid_text(REFGUID guid) {
    wchar_t text[64] = {};
    StringFromGUID2(guid, text, 64);
    return text;
}

bool key_exists(const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(g_root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(handle);
    return true;
}

/// The text value, or "<missing>".
std::wstring value_of(const std::wstring& key, const wchar_t* name = nullptr) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(g_root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
        ERROR_SUCCESS) {
        return L"<missing>";
    }
    return data;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    wchar_t long_a[MAX_PATH] = {};
    wchar_t long_b[MAX_PATH] = {};
    GetLongPathNameW(a.c_str(), long_a, MAX_PATH);
    GetLongPathNameW(b.c_str(), long_b, MAX_PATH);
    return lstrcmpiW(long_a, long_b) == 0 && long_a[0] != L'\0';
}

void check_value(Tally& t, const std::wstring& key, const wchar_t* name,
                 const std::wstring& expected) {
    const std::wstring got = value_of(key, name);
    t.check(got == expected,
            "registry " + narrow(key) + (name != nullptr ? " [" + narrow(name) + "]" : ""),
            "got \"" + narrow(got) + "\", expected \"" + narrow(expected) + "\"");
}

struct Member {
    const wchar_t* name;
    MEMBERID id;
    INVOKEKIND kind;
    std::vector<VARTYPE> params;  // with VT_BYREF where by reference
    std::vector<USHORT> flags;    // PARAMFLAG_FIN / FOUT / FRETVAL
};

void check_members(Tally& t, ITypeLib* library) {
    ITypeInfo* dispatch = nullptr;
    if (!t.check(SUCCEEDED(library->GetTypeInfoOfGuid(IID__KDRController, &dispatch)),
                 "type info of _KDRController")) {
        return;
    }
    // The dual interface's vtable side.
    HREFTYPE ref = 0;
    ITypeInfo* vtable = nullptr;
    if (FAILED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)) ||
        FAILED(dispatch->GetRefTypeInfo(ref, &vtable))) {
        t.check(false, "vtable side of the dual interface");
        dispatch->Release();
        return;
    }
    TYPEATTR* attr = nullptr;
    vtable->GetTypeAttr(&attr);
    t.check(attr->typekind == TKIND_INTERFACE && attr->cFuncs == 14,
            "_KDRController has fourteen members", std::to_string(attr->cFuncs));
    t.check((attr->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)) ==
                (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL),
            "_KDRController dual and automation-compatible", hex(attr->wTypeFlags));
    const WORD vtable_start = 7;  // IUnknown and IDispatch
    const USHORT in = PARAMFLAG_FIN;
    const USHORT inout = PARAMFLAG_FIN | PARAMFLAG_FOUT;
    const USHORT ret = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    const Member members[14] = {
        {L"CommPort", 0x68030003, INVOKE_PROPERTYGET, {VT_I2 | VT_BYREF}, {ret}},
        {L"Opened", 0x68030002, INVOKE_PROPERTYGET, {VT_BOOL | VT_BYREF}, {ret}},
        {L"ShowMachineID", 0x68030001, INVOKE_PROPERTYGET, {VT_BOOL | VT_BYREF}, {ret}},
        {L"ShowMachineID", 0x68030001, INVOKE_PROPERTYPUT, {VT_BOOL}, {in}},
        {L"ShowRTC", 0x68030000, INVOKE_PROPERTYGET, {VT_BOOL | VT_BYREF}, {ret}},
        {L"ShowRTC", 0x68030000, INVOKE_PROPERTYPUT, {VT_BOOL}, {in}},
        {L"OpenKDR",
         0x60030008,
         INVOKE_FUNC,
         {VT_VARIANT, VT_VARIANT | VT_BYREF, VT_BOOL | VT_BYREF},
         {in, inout, ret}},
        {L"CloseKDR", 0x60030009, INVOKE_FUNC, {VT_VARIANT | VT_BYREF}, {ret}},
        {L"PwdSum",
         0x6003000A,
         INVOKE_FUNC,
         {VT_BSTR | VT_BYREF, VT_I4 | VT_BYREF},
         {inout, inout}},
        {L"SyncUpHostTime", 0x6003000B, INVOKE_FUNC, {VT_BOOL | VT_BYREF}, {ret}},
        {L"DownloadData", 0x6003000C, INVOKE_FUNC, {VT_BSTR | VT_BYREF}, {ret}},
        {L"SetDeaultYMDtime",
         0x6003000D,
         INVOKE_FUNC,
         {VT_I4 | VT_BYREF, VT_BSTR | VT_BYREF, VT_BSTR | VT_BYREF, VT_BSTR | VT_BYREF},
         {inout, inout, inout, inout}},
        {L"EraseData", 0x6003000E, INVOKE_FUNC, {VT_VARIANT | VT_BYREF}, {ret}},
        {L"SetDeaultHMStime",
         0x6003000F,
         INVOKE_FUNC,
         {VT_I4 | VT_BYREF, VT_BSTR | VT_BYREF, VT_BSTR | VT_BYREF, VT_BSTR | VT_BYREF},
         {inout, inout, inout, inout}},
    };
    for (UINT slot = 0; slot < 14 && slot < attr->cFuncs; ++slot) {
        const Member& want = members[slot];
        FUNCDESC* func = nullptr;
        vtable->GetFuncDesc(slot, &func);
        BSTR name = nullptr;
        vtable->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr);
        std::string problem;
        if (name == nullptr || std::wstring(name) != want.name) {
            problem += " name";
        }
        if (func->memid != want.id) {
            problem += " dispid " + hex(func->memid);
        }
        if (func->invkind != want.kind) {
            problem += " kind";
        }
        if (func->oVft != static_cast<SHORT>((vtable_start + slot) * sizeof(void*))) {
            problem += " slot";
        }
        if (func->cParams != static_cast<SHORT>(want.params.size()) || func->cParamsOpt != 0) {
            problem += " parameter count";
        } else {
            for (std::size_t p = 0; p < want.params.size(); ++p) {
                const ELEMDESC& param = func->lprgelemdescParam[p];
                VARTYPE vt = param.tdesc.vt;
                if (vt == VT_PTR) {
                    vt = static_cast<VARTYPE>(param.tdesc.lptdesc->vt | VT_BYREF);
                }
                if (vt != want.params[p]) {
                    problem += " type of parameter " + std::to_string(p + 1);
                }
                const USHORT flags =
                    param.paramdesc.wParamFlags &
                    (PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FRETVAL | PARAMFLAG_FOPT);
                if (flags != want.flags[p]) {
                    problem += " kind of parameter " + std::to_string(p + 1);
                }
            }
        }
        if ((func->wFuncFlags & (FUNCFLAG_FHIDDEN | FUNCFLAG_FDEFAULTBIND)) != 0 ||
            func->memid == DISPID_VALUE) {
            problem += " flags";
        }
        BSTR help = nullptr;
        vtable->GetDocumentation(func->memid, nullptr, &help, nullptr, nullptr);
        if (help != nullptr && SysStringLen(help) != 0) {
            problem += " help text";
        }
        SysFreeString(help);
        t.check(problem.empty(), "slot " + std::to_string(slot + 1) + " " + narrow(want.name),
                problem);
        SysFreeString(name);
        vtable->ReleaseFuncDesc(func);
    }
    vtable->ReleaseTypeAttr(attr);
    vtable->Release();
    dispatch->Release();
}

void check_type(Tally& t, ITypeLib* library, UINT index, const wchar_t* name, TYPEKIND kind,
                WORD flags, REFGUID guid) {
    ITypeInfo* info = nullptr;
    if (!t.check(SUCCEEDED(library->GetTypeInfo(index, &info)), "type " + std::to_string(index))) {
        return;
    }
    BSTR got_name = nullptr;
    library->GetDocumentation(static_cast<INT>(index), &got_name, nullptr, nullptr, nullptr);
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    const WORD mask = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                      TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FCONTROL | TYPEFLAG_FCANCREATE |
                      TYPEFLAG_FDISPATCHABLE;
    std::string problem;
    if (got_name == nullptr || std::wstring(got_name) != name) {
        problem += " name " + narrow(got_name != nullptr ? got_name : L"");
    }
    if (attr->typekind != kind) {
        problem += " kind " + std::to_string(attr->typekind);
    }
    if ((attr->wTypeFlags & mask) != flags) {
        problem += " flags " + hex(attr->wTypeFlags);
    }
    if (!IsEqualGUID(attr->guid, guid)) {
        problem += " identifier";
    }
    t.check(problem.empty(), "type " + std::to_string(index) + " " + narrow(name), problem);
    info->ReleaseTypeAttr(attr);
    SysFreeString(got_name);
    info->Release();
}

void check_coclass(Tally& t, ITypeLib* library) {
    ITypeInfo* info = nullptr;
    if (FAILED(library->GetTypeInfoOfGuid(CLSID_KDRController, &info))) {
        t.check(false, "coclass KDRController");
        return;
    }
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    bool default_interface = false;
    bool default_source = false;
    for (UINT i = 0; i < attr->cImplTypes; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        ITypeInfo* implemented = nullptr;
        info->GetImplTypeFlags(i, &flags);
        info->GetRefTypeOfImplType(i, &ref);
        if (FAILED(info->GetRefTypeInfo(ref, &implemented))) {
            continue;
        }
        TYPEATTR* impl_attr = nullptr;
        implemented->GetTypeAttr(&impl_attr);
        if (flags == IMPLTYPEFLAG_FDEFAULT && IsEqualGUID(impl_attr->guid, IID__KDRController)) {
            default_interface = true;
        }
        if (flags == (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE) &&
            IsEqualGUID(impl_attr->guid, DIID___KDRController)) {
            default_source = true;
        }
        implemented->ReleaseTypeAttr(impl_attr);
        implemented->Release();
    }
    t.check(attr->cImplTypes == 2 && default_interface && default_source,
            "KDRController: _KDRController default, __KDRController default source");
    info->ReleaseTypeAttr(attr);
    info->Release();

    ITypeInfo* events = nullptr;
    if (SUCCEEDED(library->GetTypeInfoOfGuid(DIID___KDRController, &events))) {
        TYPEATTR* events_attr = nullptr;
        events->GetTypeAttr(&events_attr);
        // A dispinterface lists the seven IUnknown and IDispatch methods only.
        t.check(events_attr->cVars == 0 && events_attr->cFuncs <= 7,
                "__KDRController has no members of its own");
        events->ReleaseTypeAttr(events_attr);
        events->Release();
    }
}

/// The file registered for the type library KDRCtrl 11.0 on this platform,
/// read from the keys (the user's classes are invisible to Wine's
/// QueryPathOfRegTypeLib).
std::wstring registered_typelib_path(Tally& t) {
    // Version keys are hexadecimal: 11.0 is "b.0".
    const std::wstring version = L"TypeLib\\" + guid_text(LIBID_KDRCtrl) + L"\\b.0";
    check_value(t, version + L"\\FLAGS", nullptr, std::to_wstring(LIBFLAG_FCONTROL));
    return value_of(version + L"\\409\\" + (sizeof(void*) == 8 ? L"win64" : L"win32"));
}

void check_typelib(Tally& t, const std::wstring& ocx) {
    ITypeLib* library = nullptr;
    HRESULT hr = S_OK;
    if (g_user) {
        const std::wstring path = registered_typelib_path(t);
        t.check(same_path(path, ocx), "type library registered at the control's path",
                narrow(path));
        hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
    } else {
        hr = LoadRegTypeLib(LIBID_KDRCtrl, 11, 0, 0x409, &library);
    }
    if (!t.check(SUCCEEDED(hr), "load the registered type library KDRCtrl 11.0", hex(hr))) {
        return;
    }
    BSTR path = nullptr;
    if (g_user) {
        // Checked above.
    } else if (SUCCEEDED(QueryPathOfRegTypeLib(LIBID_KDRCtrl, 11, 0, 0x409, &path))) {
        t.check(same_path(path, ocx), "type library registered at the control's path",
                narrow(path));
        SysFreeString(path);
    } else {
        t.check(false, "QueryPathOfRegTypeLib");
    }
    TLIBATTR* attr = nullptr;
    library->GetLibAttr(&attr);
    t.check(attr->lcid == 0x409 && attr->wMajorVerNum == 11 && attr->wMinorVerNum == 0,
            "library version 11.0, language 0x409");
    t.check((attr->wLibFlags & LIBFLAG_FCONTROL) != 0, "library flagged as control library");
    library->ReleaseTLibAttr(attr);
    BSTR name = nullptr;
    BSTR help = nullptr;
    library->GetDocumentation(-1, &name, &help, nullptr, nullptr);
    t.check(name != nullptr && std::wstring(name) == L"KDRCtrl" && help != nullptr &&
                std::wstring(help) == L"KDRCtrl",
            "library name and help string \"KDRCtrl\"");
    SysFreeString(name);
    SysFreeString(help);
    t.check(library->GetTypeInfoCount() == 5, "five types",
            std::to_string(library->GetTypeInfoCount()));
    // The dispatch side of a dual interface; automation compatibility shows on
    // its vtable side (checked with the members).
    const WORD dual =
        TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    check_type(t, library, 0, L"_KDRController", TKIND_DISPATCH, dual, IID__KDRController);
    check_type(t, library, 1, L"KDRController", TKIND_COCLASS,
               TYPEFLAG_FCONTROL | TYPEFLAG_FCANCREATE, CLSID_KDRController);
    check_type(t, library, 2, L"_General", TKIND_DISPATCH, dual, IID__General);
    check_type(t, library, 3, L"General", TKIND_COCLASS, TYPEFLAG_FCANCREATE, CLSID_General);
    check_type(t, library, 4, L"__KDRController", TKIND_DISPATCH,
               TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE, DIID___KDRController);
    check_members(t, library);
    check_coclass(t, library);
    library->Release();
}

void check_resources(Tally& t, const std::wstring& ocx) {
    HMODULE data = LoadLibraryExW(ocx.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!t.check(data != nullptr, "load the control's resources")) {
        return;
    }
    auto* bitmap = static_cast<HBITMAP>(
        LoadImageW(data, MAKEINTRESOURCEW(1), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    BITMAP info{};
    t.check(bitmap != nullptr && GetObjectW(bitmap, sizeof(info), &info) != 0 &&
                info.bmWidth == 16 && info.bmHeight == 15 && info.bmBitsPixel == 4,
            "toolbox bitmap 16 x 15, 16 colours");
    if (bitmap != nullptr) {
        DeleteObject(bitmap);
    }
    FreeLibrary(data);

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(ocx.c_str(), &ignored);
    std::vector<char> block(size);
    if (!t.check(size != 0 && GetFileVersionInfoW(ocx.c_str(), 0, size, block.data()),
                 "version block present")) {
        return;
    }
    auto string_value = [&](const wchar_t* name) -> std::wstring {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value),
                            &length) ||
            value == nullptr) {
            return L"<missing>";
        }
        return value;
    };
    t.check(string_value(L"FileVersion") == L"1.01", "FileVersion \"1.01\"");
    t.check(string_value(L"ProductVersion") == L"1.01", "ProductVersion \"1.01\"");
    t.check(string_value(L"OLESelfRegister") != L"<missing>", "OLESelfRegister entry");
    t.check(string_value(L"OriginalFilename") == L"KDRCtrl.ocx", "OriginalFilename KDRCtrl.ocx");
}

/// What COM does with a class registered for the user on Windows, done by
/// hand: ProgID to class, class to server file, the file's class factory, the
/// control, one member called by name.
void check_creation(Tally& t) {
    CLSID clsid{};
    const std::wstring clsid_text = value_of(L"KDRCtrl.KDRController\\CLSID");
    const std::wstring server = value_of(L"CLSID\\" + clsid_text + L"\\InprocServer32");
    HMODULE module = nullptr;
    if (!t.check(SUCCEEDED(CLSIDFromString(clsid_text.c_str(), &clsid)) &&
                     (module = LoadLibraryW(server.c_str())) != nullptr,
                 "the user's ProgID leads to the control's file", narrow(server))) {
        return;
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto get_class_object = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IDispatch* control = nullptr;
    if (get_class_object != nullptr &&
        SUCCEEDED(get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control));
        factory->Release();
    }
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"CommPort");
    DISPPARAMS none{};
    VARIANT port;
    VariantInit(&port);
    const bool called =
        control != nullptr &&
        SUCCEEDED(control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id)) &&
        SUCCEEDED(control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                  &port, nullptr, nullptr)) &&
        V_VT(&port) == VT_I2 && V_I2(&port) == 1;
    t.check(called, "the control created from the user's registration answers CommPort 1");
    if (control != nullptr) {
        control->Release();
    }
    // The library stays loaded: COM would keep it until CoFreeUnusedLibraries.
}

int registered(const std::wstring& ocx) {
    Tally t;
    const std::wstring control = L"CLSID\\" + guid_text(CLSID_KDRController);
    const std::wstring general = L"CLSID\\" + guid_text(CLSID_General);
    check_value(t, control, nullptr, L"KDRController");
    t.check(same_path(value_of(control + L"\\InprocServer32"), ocx), "control InprocServer32",
            narrow(value_of(control + L"\\InprocServer32")));
    check_value(t, control + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    t.check(key_exists(control + L"\\Control"), "control Control key");
    check_value(t, control + L"\\ProgID", nullptr, L"KDRCtrl.KDRController.1");
    check_value(t, control + L"\\VersionIndependentProgID", nullptr, L"KDRCtrl.KDRController");
    check_value(t, control + L"\\TypeLib", nullptr, guid_text(LIBID_KDRCtrl));
    check_value(t, control + L"\\Version", nullptr, L"11.0");
    check_value(t, control + L"\\MiscStatus\\1", nullptr, std::to_wstring(kMiscStatus));
    const std::wstring toolbox = value_of(control + L"\\ToolboxBitmap32");
    const std::size_t comma = toolbox.rfind(L',');
    t.check(comma != std::wstring::npos && same_path(toolbox.substr(0, comma), ocx) &&
                toolbox.substr(comma) == L", 1",
            "control ToolboxBitmap32", narrow(toolbox));
    t.check(same_path(value_of(general + L"\\InprocServer32"), ocx), "General InprocServer32");
    check_value(t, general + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    check_value(t, general + L"\\ProgID", nullptr, L"KDRCtrl.General.1");
    t.check(!key_exists(general + L"\\Control"), "General is no control");
    const struct {
        const wchar_t* prog_id;
        REFCLSID clsid;
    } prog_ids[] = {{L"KDRCtrl.KDRController", CLSID_KDRController},
                    {L"KDRCtrl.KDRController.1", CLSID_KDRController},
                    {L"KDRCtrl.General", CLSID_General},
                    {L"KDRCtrl.General.1", CLSID_General}};
    for (const auto& entry : prog_ids) {
        CLSID clsid{};
        const bool found =
            g_user ? SUCCEEDED(CLSIDFromString(
                         value_of(std::wstring(entry.prog_id) + L"\\CLSID").c_str(), &clsid))
                   : SUCCEEDED(CLSIDFromProgID(entry.prog_id, &clsid));
        t.check(found && IsEqualCLSID(clsid, entry.clsid), "ProgID " + narrow(entry.prog_id));
    }
    check_value(t, L"KDRCtrl.KDRController\\CurVer", nullptr, L"KDRCtrl.KDRController.1");
    for (const IID* iid : {&IID__KDRController, &IID__General, &DIID___KDRController}) {
        const std::wstring key = L"Interface\\" + guid_text(*iid);
        check_value(t, key + L"\\TypeLib", nullptr, guid_text(LIBID_KDRCtrl));
    }
    if (g_user) {
        check_creation(t);
    }
    check_typelib(t, ocx);
    check_resources(t, ocx);
    return t.finish("registered");
}

int unregistered() {
    Tally t;
    for (const CLSID* clsid : {&CLSID_KDRController, &CLSID_General}) {
        t.check(!key_exists(L"CLSID\\" + guid_text(*clsid)),
                "no key CLSID\\" + narrow(guid_text(*clsid)));
    }
    for (const wchar_t* prog_id : {L"KDRCtrl.KDRController", L"KDRCtrl.KDRController.1",
                                   L"KDRCtrl.General", L"KDRCtrl.General.1"}) {
        CLSID clsid{};
        t.check(!key_exists(prog_id) && (g_user || FAILED(CLSIDFromProgID(prog_id, &clsid))),
                "no ProgID " + narrow(prog_id));
    }
    if (!g_user) {
        ITypeLib* library = nullptr;
        const HRESULT hr = LoadRegTypeLib(LIBID_KDRCtrl, 11, 0, 0x409, &library);
        if (library != nullptr) {
            library->Release();
        }
        t.check(FAILED(hr), "type library no longer registered", hex(hr));
    }
    t.check(!key_exists(L"TypeLib\\" + guid_text(LIBID_KDRCtrl)), "no key TypeLib of KDRCtrl");
    for (const IID* iid : {&IID__KDRController, &IID__General, &DIID___KDRController}) {
        t.check(!key_exists(L"Interface\\" + guid_text(*iid)),
                "no key Interface\\" + narrow(guid_text(*iid)));
    }
    return t.finish("unregistered");
}

/// Every identifier of the type library in `ocx` found in the activation
/// context of an application's manifest that depends on KDRCtrl, with nothing
/// registered.
int manifest(const std::wstring& manifest_path, const std::wstring& ocx) {
    Tally t;
    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.lpSource = manifest_path.c_str();
    HANDLE context = CreateActCtxW(&request);
    if (!t.check(context != INVALID_HANDLE_VALUE, "activation context from the manifests",
                 std::to_string(GetLastError()))) {
        return t.finish("manifest");
    }
    ULONG_PTR cookie = 0;
    ActivateActCtx(context, &cookie);
    auto found = [](ULONG section, REFGUID guid) {
        ACTCTX_SECTION_KEYED_DATA data{};
        data.cbSize = sizeof(data);
        return FindActCtxSectionGuid(0, nullptr, section, &guid, &data) != FALSE;
    };
    ITypeLib* library = nullptr;
    if (t.check(SUCCEEDED(LoadTypeLibEx(ocx.c_str(), REGKIND_NONE, &library)),
                "the control's type library")) {
        TLIBATTR* attributes = nullptr;
        library->GetLibAttr(&attributes);
        t.check(found(ACTIVATION_CONTEXT_SECTION_COM_TYPE_LIBRARY_REDIRECTION, attributes->guid),
                "type library " + narrow(guid_text(attributes->guid)));
        library->ReleaseTLibAttr(attributes);
        for (UINT index = 0; index < library->GetTypeInfoCount(); ++index) {
            ITypeInfo* info = nullptr;
            TYPEATTR* type = nullptr;
            BSTR name = nullptr;
            library->GetTypeInfo(index, &info);
            info->GetTypeAttr(&type);
            library->GetDocumentation(static_cast<INT>(index), &name, nullptr, nullptr, nullptr);
            const std::wstring type_name = name != nullptr ? name : L"";
            if (type->typekind == TKIND_COCLASS) {
                t.check(found(ACTIVATION_CONTEXT_SECTION_COM_SERVER_REDIRECTION, type->guid),
                        "class " + narrow(type_name));
                for (const std::wstring& prog_id :
                     {L"KDRCtrl." + type_name, L"KDRCtrl." + type_name + L".1"}) {
                    ACTCTX_SECTION_KEYED_DATA data{};
                    data.cbSize = sizeof(data);
                    t.check(FindActCtxSectionStringW(
                                0, nullptr, ACTIVATION_CONTEXT_SECTION_COM_PROGID_REDIRECTION,
                                prog_id.c_str(), &data) != FALSE,
                            "ProgID " + narrow(prog_id), std::to_string(GetLastError()));
                }
            } else if (type->typekind == TKIND_DISPATCH) {
                t.check(found(ACTIVATION_CONTEXT_SECTION_COM_INTERFACE_REDIRECTION, type->guid),
                        "interface " + narrow(type_name));
            }
            SysFreeString(name);
            info->ReleaseTypeAttr(type);
            info->Release();
        }
        library->Release();
    }
    DeactivateActCtx(0, cookie);
    ReleaseActCtx(context);
    return t.finish("manifest");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (FAILED(CoInitialize(nullptr))) {
        return 2;
    }
    std::vector<std::wstring> args(argv + 1, argv + argc);
    g_user = !args.empty() && args.back() == L"user";
    if (g_user) {
        args.pop_back();
    }
    HKEY user_classes = nullptr;
    if (g_user && RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_READ,
                                &user_classes) == ERROR_SUCCESS) {
        g_root = user_classes;
    }
    const bool no_user_classes = g_user && user_classes == nullptr;
    int rc = 2;
    if (args.size() == 2 && args[0] == L"registered") {
        rc = no_user_classes ? Tally().finish("registered: no classes of the user's own")
                             : registered(args[1]);
    } else if (args.size() == 3 && args[0] == L"manifest" && !g_user) {
        rc = manifest(args[1], args[2]);
    } else if (args.size() == 1 && args[0] == L"unregistered") {
        // A user with no classes of their own has none of ours either.
        rc = no_user_classes ? 0 : unregistered();
    } else {
        std::printf(
            "usage: kdr_regcheck registered <ocx path> [user] | unregistered [user] | manifest "
            "<manifest> <ocx>\n");
    }
    if (user_classes != nullptr) {
        RegCloseKey(user_classes);
    }
    CoUninitialize();
    return rc;
}
