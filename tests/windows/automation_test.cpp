// The whole automation interface of KDRController from a late-bound client,
// by name and by dispatch id, as scripting hosts and VBA call it; then the
// vtable side, the hosting interfaces and the server's unload counts.
#include <string>

#include "KDRCtrl_h.h"
#include "dispatch_client.hpp"

namespace {

using namespace kdr::wintest;

constexpr HRESULT kInvalidProcedureCall = static_cast<HRESULT>(0x800A0005);
constexpr HRESULT kInvalidUseOfNull = static_cast<HRESULT>(0x800A005E);
constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr WORD kCall = DISPATCH_METHOD;

std::string describe(const Outcome& o) {
    return "hr " + hex(o.hr) + " scode " + hex(o.scode) + " \"" + o.description + "\"";
}

void check_names(Tally& t, IDispatch* control) {
    const struct {
        const wchar_t* name;
        DISPID id;
    } members[] = {
        {L"CommPort", 0x68030003},      {L"Opened", 0x68030002},
        {L"ShowMachineID", 0x68030001}, {L"ShowRTC", 0x68030000},
        {L"OpenKDR", 0x60030008},       {L"CloseKDR", 0x60030009},
        {L"PwdSum", 0x6003000A},        {L"SyncUpHostTime", 0x6003000B},
        {L"DownloadData", 0x6003000C},  {L"SetDeaultYMDtime", 0x6003000D},
        {L"EraseData", 0x6003000E},     {L"SetDeaultHMStime", 0x6003000F},
        {L"commport", 0x68030003},      {L"OPENKDR", 0x60030008},
    };
    for (const auto& member : members) {
        const DISPID id = id_of(control, member.name);
        t.check(id == member.id, "GetIDsOfNames " + narrow(member.name), hex(id));
    }
    t.check(id_of(control, L"NoSuchMember") == DISPID_UNKNOWN, "unknown name refused");
    // Parameter names resolve with their method.
    LPOLESTR names[3] = {const_cast<LPOLESTR>(L"OpenKDR"), const_cast<LPOLESTR>(L"vPassword"),
                         const_cast<LPOLESTR>(L"vPort")};
    DISPID ids[3] = {};
    const HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids);
    t.check(SUCCEEDED(hr) && ids[0] == 0x60030008 && ids[1] == 0 && ids[2] == 1,
            "parameter names of OpenKDR", hex(hr));
}

void check_properties(Tally& t, IDispatch* control) {
    // The creation values, read by dispatch id.
    const struct {
        DISPID id;
        VARTYPE vt;
        LONG value;
        const char* name;
    } initial[] = {{0x68030003, VT_I2, 1, "CommPort is 1"},
                   {0x68030002, VT_BOOL, 0, "Opened is False"},
                   {0x68030001, VT_BOOL, 0, "ShowMachineID is False"},
                   {0x68030000, VT_BOOL, 0, "ShowRTC is False"}};
    for (const auto& property : initial) {
        Var result;
        const Outcome o = invoke(control, property.id, kGet, {}, result.get());
        const LONG got = V_VT(&*result) == VT_I2 ? V_I2(&*result) : V_BOOL(&*result);
        t.check(SUCCEEDED(o.hr) && V_VT(&*result) == property.vt && got == property.value,
                std::string("new control: ") + property.name, describe(o));
    }

    // Writes with coercion, read back by name.
    const struct {
        const wchar_t* name;
        VARIANT value;
        VARIANT_BOOL expected;
        const char* label;
    } writes[] = {
        {L"ShowRTC", bool_arg(true), VARIANT_TRUE, "ShowRTC = True reads True"},
        {L"ShowRTC", i4_arg(0), VARIANT_FALSE, "ShowRTC = 0 reads False"},
        {L"ShowRTC", i4_arg(5), VARIANT_TRUE, "ShowRTC = 5 reads True"},
        {L"ShowMachineID", bstr_arg(L"True"), VARIANT_TRUE, "ShowMachineID = \"True\" reads True"},
        {L"ShowMachineID", bool_arg(false), VARIANT_FALSE, "ShowMachineID = False reads False"},
    };
    for (const auto& write : writes) {
        const Outcome put = call(control, write.name, kPut, {write.value}, nullptr);
        Var result;
        const Outcome get = call(control, write.name, kGet, {}, result.get());
        t.check(SUCCEEDED(put.hr) && SUCCEEDED(get.hr) && V_VT(&*result) == VT_BOOL &&
                    V_BOOL(&*result) == write.expected,
                write.label, describe(put) + " / " + describe(get));
    }
    const Outcome mismatch = call(control, L"ShowMachineID", kPut, {bstr_arg(L"maybe")}, nullptr);
    t.check(mismatch.hr == DISP_E_TYPEMISMATCH ||
                (mismatch.hr == DISP_E_EXCEPTION && mismatch.scode == DISP_E_TYPEMISMATCH),
            "ShowMachineID = \"maybe\" is a type mismatch", describe(mismatch));

    const Outcome opened = call(control, L"Opened", kPut, {bool_arg(true)}, nullptr);
    Var still;
    call(control, L"Opened", kGet, {}, still.get());
    t.check(FAILED(opened.hr) && V_BOOL(&*still) == VARIANT_FALSE, "Opened cannot be assigned",
            describe(opened));

    // The late-bound write a property page makes.
    const Outcome port = call(control, L"CommPort", kPut, {bstr_arg(L"7")}, nullptr);
    Var seven;
    call(control, L"CommPort", kGet, {}, seven.get());
    t.check(SUCCEEDED(port.hr) && V_VT(&*seven) == VT_I2 && V_I2(&*seven) == 7,
            "CommPort = \"7\" by name reads 7", describe(port));
    const struct {
        VARIANT value;
        HRESULT scode;
        const char* label;
    } refused[] = {{bstr_arg(L"seven"), DISP_E_TYPEMISMATCH, "CommPort = \"seven\": type mismatch"},
                   {i4_arg(70000), DISP_E_OVERFLOW, "CommPort = 70000: overflow"},
                   {null_arg(), kInvalidUseOfNull, "CommPort = Null: invalid use of Null"}};
    for (const auto& bad : refused) {
        const Outcome o = call(control, L"CommPort", kPut, {bad.value}, nullptr);
        Var after;
        call(control, L"CommPort", kGet, {}, after.get());
        t.check(o.hr == DISP_E_EXCEPTION && o.scode == bad.scode && !o.description.empty() &&
                    o.source == "KDRCtrl" && V_I2(&*after) == 7,
                bad.label, describe(o));
    }
}

void check_pwdsum(Tally& t, IDispatch* control) {
    // Typed references, as compiled callers pass them.
    BSTR password = SysAllocString(L"abc");
    LONG sum = 999;
    VARIANT password_ref;
    VariantInit(&password_ref);
    V_VT(&password_ref) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&password_ref) = &password;
    VARIANT sum_ref;
    VariantInit(&sum_ref);
    V_VT(&sum_ref) = VT_I4 | VT_BYREF;
    V_I4REF(&sum_ref) = &sum;
    const Outcome o = call(control, L"PwdSum", kCall, {password_ref, sum_ref}, nullptr);
    // "abc" + five spaces: (97 + 98 + 99 + 5 * 32) mod 128 = 70.
    t.check(SUCCEEDED(o.hr) && std::wstring(password) == L"abc     " && sum == 70,
            "PwdSum pads NewPwd and sets CheckSum by reference",
            describe(o) + " \"" + narrow(password) + "\" " + std::to_string(sum));
    SysFreeString(password);

    // Variables of a script: references to variants, converted in place.
    Var text;
    Var number;
    V_VT(text.get()) = VT_EMPTY;
    *number.get() = i2_arg(5);
    const Outcome script =
        call(control, L"PwdSum", kCall, {ref_arg(text.get()), ref_arg(number.get())}, nullptr);
    const bool number_ok = (V_VT(&*number) == VT_I4 && V_I4(&*number) == 256) ||
                           (V_VT(&*number) == VT_I2 && V_I2(&*number) == 256);
    t.check(SUCCEEDED(script.hr) && text_of(*text) == "        " && number_ok,
            "PwdSum writes back into script variables (empty password: eight spaces, 256)",
            describe(script) + " \"" + text_of(*text) + "\"");

    // 8-bit characters survive the trip through the system's code page.
    Var high;
    *high.get() = bstr_arg(L"\u00e9t\u00e9");
    Var high_sum;
    *high_sum.get() = i4_arg(0);
    call(control, L"PwdSum", kCall, {ref_arg(high.get()), ref_arg(high_sum.get())}, nullptr);
    // 233 + 116 + 233 + 5 * 32 = 742; 742 mod 128 = 102.
    t.check(text_of(*high) == "\xc3\xa9t\xc3\xa9     " && V_I4(&*high_sum) == 102,
            "PwdSum counts 8-bit characters by their code", text_of(*high));
}

void check_field_methods(Tally& t, IDispatch* control) {
    struct Case {
        const wchar_t* method;
        LONG i;
        const wchar_t* temp;
        const wchar_t* time;
        const wchar_t* receive;
        const char* time_after;
        const char* receive_after;
        const char* label;
    };
    const Case cases[] = {
        {L"SetDeaultHMStime", 1, L"08", L"2007/11/16", L"rest", "2007/11/16 08", "rest",
         "SetDeaultHMStime appends the hour"},
        {L"SetDeaultHMStime", 2, L"75", L"2007/11/16 08", L"x  abc  ", "2000/01/01 00:00:00", "abc",
         "SetDeaultHMStime: minute 75 gives the default time stamp and skips"},
        {L"SetDeaultYMDtime", 1, L"07", L"/07", L"abcdefg", "2007", "abcdefg",
         "SetDeaultYMDtime completes the year"},
        {L"SetDeaultYMDtime", 2, L"13", L"2007/13", L"1234  z ", "2000/01/01 00:00:00", "z",
         "SetDeaultYMDtime: month 13 gives the default time stamp and skips"},
    };
    for (const Case& c : cases) {
        Var i;
        Var temp;
        Var time;
        Var receive;
        *i.get() = i4_arg(c.i);
        *temp.get() = bstr_arg(c.temp);
        *time.get() = bstr_arg(c.time);
        *receive.get() = bstr_arg(c.receive);
        const Outcome o = call(
            control, c.method, kCall,
            {ref_arg(i.get()), ref_arg(temp.get()), ref_arg(time.get()), ref_arg(receive.get())},
            nullptr);
        t.check(SUCCEEDED(o.hr) && text_of(*time) == c.time_after &&
                    text_of(*receive) == c.receive_after && V_I4(&*i) == c.i,
                c.label, describe(o) + " \"" + text_of(*time) + "\" \"" + text_of(*receive) + "\"");
    }
    // An empty TimeStr for the year: the run-time's invalid-argument error.
    Var i;
    Var temp;
    Var time;
    Var receive;
    *i.get() = i4_arg(1);
    *temp.get() = bstr_arg(L"");
    *time.get() = bstr_arg(L"");
    *receive.get() = bstr_arg(L"");
    const Outcome o =
        call(control, L"SetDeaultYMDtime", kCall,
             {ref_arg(i.get()), ref_arg(temp.get()), ref_arg(time.get()), ref_arg(receive.get())},
             nullptr);
    t.check(o.hr == DISP_E_EXCEPTION && o.scode == kInvalidProcedureCall && !o.description.empty(),
            "SetDeaultYMDtime with an empty year: automation error with description", describe(o));
}

void check_connection(Tally& t, IDispatch* control, MessageBoxWatcher& boxes) {
    const Outcome null_password =
        call(control, L"OpenKDR", kCall, {null_arg(), i2_arg(1)}, nullptr);
    t.check(null_password.hr == DISP_E_EXCEPTION && null_password.scode == kInvalidUseOfNull &&
                !null_password.description.empty(),
            "OpenKDR(Null, 1): invalid use of Null", describe(null_password));

    // A port that does not exist: false, no message, CommPort takes the number.
    Var port;
    *port.get() = i2_arg(9);
    Var result;
    const Outcome missing =
        call(control, L"OpenKDR", kCall, {bstr_arg(L"secret"), ref_arg(port.get())}, result.get());
    Var commport;
    call(control, L"CommPort", kGet, {}, commport.get());
    t.check(SUCCEEDED(missing.hr) && V_VT(&*result) == VT_BOOL &&
                V_BOOL(&*result) == VARIANT_FALSE && V_I2(&*commport) == 9 &&
                V_VT(&*port) == VT_I2 && V_I2(&*port) == 9 && boxes.take().empty(),
            "OpenKDR on a missing COM9: False, CommPort 9, no message", describe(missing));

    Var text_port;
    *text_port.get() = bstr_arg(L"3");
    Var result3;
    call(control, L"OpenKDR", kCall, {bstr_arg(L""), ref_arg(text_port.get())}, result3.get());
    Var commport3;
    call(control, L"CommPort", kGet, {}, commport3.get());
    t.check(V_I2(&*commport3) == 3 && text_of(*text_port) == "3",
            "OpenKDR with vPort \"3\" uses port 3 and leaves vPort as it was");

    const Outcome too_few = call(control, L"OpenKDR", kCall, {bstr_arg(L"x")}, nullptr);
    t.check(too_few.hr == DISP_E_BADPARAMCOUNT || too_few.hr == DISP_E_PARAMNOTOPTIONAL,
            "OpenKDR with one argument refused", hex(too_few.hr));

    // The operations without a connection: their message, their failure value.
    const struct {
        const wchar_t* method;
        const char* title;
        VARTYPE vt;
    } operations[] = {{L"SyncUpHostTime", "Sync Up With Host Time", VT_BOOL},
                      {L"DownloadData", "Download Data From KDR", VT_BSTR},
                      {L"EraseData", "Erase Data From KDR", VT_EMPTY}};
    for (const auto& operation : operations) {
        Var value;
        const Outcome o = call(control, operation.method, kCall, {}, value.get());
        const std::vector<SeenBox> seen = boxes.take();
        bool value_ok = V_VT(&*value) == operation.vt;
        if (operation.vt == VT_BOOL) {
            value_ok = value_ok && V_BOOL(&*value) == VARIANT_FALSE;
        } else if (operation.vt == VT_BSTR) {
            value_ok = value_ok && SysStringLen(V_BSTR(&*value)) == 0;
        }
        t.check(SUCCEEDED(o.hr) && value_ok && seen.size() == 1 &&
                    seen[0].text == "Device did not open.   " && seen[0].title == operation.title,
                narrow(operation.method) + " without a connection: \"Device did not open.   \"",
                describe(o) + (seen.empty()
                                   ? " no box"
                                   : " box \"" + seen[0].title + "\": \"" + seen[0].text + "\""));
    }
    Var closed;
    const Outcome close = call(control, L"CloseKDR", kCall, {}, closed.get());
    Var opened;
    call(control, L"Opened", kGet, {}, opened.get());
    t.check(SUCCEEDED(close.hr) && V_VT(&*closed) == VT_EMPTY && V_BOOL(&*opened) == VARIANT_FALSE,
            "CloseKDR without a connection returns Empty", describe(close));
}

void check_by_dispatch_id(Tally& t, IDispatch* control) {
    BSTR password = SysAllocString(L"12345678901");
    LONG sum = 0;
    VARIANT password_ref;
    VariantInit(&password_ref);
    V_VT(&password_ref) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&password_ref) = &password;
    VARIANT sum_ref;
    VariantInit(&sum_ref);
    V_VT(&sum_ref) = VT_I4 | VT_BYREF;
    V_I4REF(&sum_ref) = &sum;
    const Outcome o = invoke(control, 0x6003000A, kCall, {password_ref, sum_ref}, nullptr);
    // Digits 1 to 9, 0, 1: 477 + 48 + 49 = 574; 574 mod 128 = 62; nothing padded.
    t.check(SUCCEEDED(o.hr) && std::wstring(password) == L"12345678901" && sum == 62,
            "PwdSum by dispatch id 0x6003000A", describe(o));
    SysFreeString(password);
    Var closed;
    t.check(SUCCEEDED(invoke(control, 0x60030009, kCall, {}, closed.get()).hr) &&
                V_VT(&*closed) == VT_EMPTY,
            "CloseKDR by dispatch id 0x60030009");
    const Outcome put = invoke(control, 0x68030000, kPut, {bool_arg(true)}, nullptr);
    Var rtc;
    invoke(control, 0x68030000, kGet, {}, rtc.get());
    t.check(SUCCEEDED(put.hr) && V_BOOL(&*rtc) == VARIANT_TRUE, "ShowRTC by dispatch id");
    const Outcome bad = invoke(control, 0x60030010, kCall, {}, nullptr);
    t.check(bad.hr == DISP_E_MEMBERNOTFOUND, "unknown dispatch id refused", hex(bad.hr));
}

void check_vtable(Tally& t, IDispatch* control) {
    _KDRController* direct = nullptr;
    if (!t.check(SUCCEEDED(control->QueryInterface(IID__KDRController,
                                                   reinterpret_cast<void**>(&direct))),
                 "QueryInterface _KDRController")) {
        return;
    }
    short port = 0;
    t.check(SUCCEEDED(direct->get_CommPort(&port)) && port == 3, "vtable get_CommPort");
    LONG i = 1;
    BSTR temp = SysAllocString(L"");
    BSTR time = SysAllocString(L"");
    BSTR receive = SysAllocString(L"");
    const HRESULT hr = direct->SetDeaultYMDtime(&i, &temp, &time, &receive);
    IErrorInfo* info = nullptr;
    std::string description;
    std::string source;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text)) && text != nullptr) {
            description = narrow(text);
        }
        SysFreeString(text);
        BSTR from = nullptr;
        if (SUCCEEDED(info->GetSource(&from)) && from != nullptr) {
            source = narrow(from);
        }
        SysFreeString(from);
        info->Release();
    }
    t.check(hr == kInvalidProcedureCall && !description.empty() && source == "KDRCtrl",
            "vtable error with IErrorInfo description", hex(hr) + " \"" + description + "\"");
    SysFreeString(temp);
    SysFreeString(time);
    SysFreeString(receive);
    ISupportErrorInfo* support = nullptr;
    t.check(SUCCEEDED(control->QueryInterface(IID_ISupportErrorInfo,
                                              reinterpret_cast<void**>(&support))) &&
                support->InterfaceSupportsErrorInfo(IID__KDRController) == S_OK,
            "ISupportErrorInfo for _KDRController");
    if (support != nullptr) {
        support->Release();
    }
    direct->Release();
}

template <typename I>
I* query(IUnknown* object, REFIID iid) {
    I* result = nullptr;
    if (FAILED(object->QueryInterface(iid, reinterpret_cast<void**>(&result)))) {
        return nullptr;
    }
    return result;
}

void check_hosting_interfaces(Tally& t, IDispatch* control) {
    const struct {
        REFIID iid;
        const char* name;
    } interfaces[] = {{IID_IOleObject, "IOleObject"},
                      {IID_IOleInPlaceObject, "IOleInPlaceObject"},
                      {IID_IOleInPlaceActiveObject, "IOleInPlaceActiveObject"},
                      {IID_IOleControl, "IOleControl"},
                      {IID_IViewObject2, "IViewObject2"},
                      {IID_IPersistStreamInit, "IPersistStreamInit"},
                      {IID_IPersistPropertyBag, "IPersistPropertyBag"},
                      {IID_IProvideClassInfo2, "IProvideClassInfo2"},
                      {IID_IConnectionPointContainer, "IConnectionPointContainer"},
                      {IID_ISpecifyPropertyPages, "ISpecifyPropertyPages"}};
    for (const auto& entry : interfaces) {
        IUnknown* found = query<IUnknown>(control, entry.iid);
        t.check(found != nullptr, std::string("QueryInterface ") + entry.name);
        if (found != nullptr) {
            found->Release();
        }
    }
    if (IOleObject* ole = query<IOleObject>(control, IID_IOleObject)) {
        DWORD status = 0;
        SIZEL extent{};
        ole->GetMiscStatus(DVASPECT_CONTENT, &status);
        ole->GetExtent(DVASPECT_CONTENT, &extent);
        t.check(status == 0x20191, "miscellaneous status: the five OLEMISC flags",
                hex(static_cast<HRESULT>(status)));
        t.check(extent.cx == 7620 && extent.cy == 1402,
                "design size 4320 x 795 twips (7620 x 1402 HIMETRIC)",
                std::to_string(extent.cx) + " x " + std::to_string(extent.cy));
        ole->Release();
    }
    if (auto* info = query<IProvideClassInfo2>(control, IID_IProvideClassInfo2)) {
        GUID events{};
        ITypeInfo* type = nullptr;
        TYPEATTR* attr = nullptr;
        const bool ok =
            SUCCEEDED(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events)) &&
            IsEqualGUID(events, DIID___KDRController) && SUCCEEDED(info->GetClassInfo(&type)) &&
            SUCCEEDED(type->GetTypeAttr(&attr)) && IsEqualGUID(attr->guid, CLSID_KDRController);
        t.check(ok, "IProvideClassInfo2: class KDRController, source __KDRController");
        if (attr != nullptr) {
            type->ReleaseTypeAttr(attr);
        }
        if (type != nullptr) {
            type->Release();
        }
        info->Release();
    }
    if (auto* pages = query<ISpecifyPropertyPages>(control, IID_ISpecifyPropertyPages)) {
        CAUUID list{};
        t.check(SUCCEEDED(pages->GetPages(&list)) && list.cElems == 1 &&
                    IsEqualGUID(list.pElems[0], CLSID_General),
                "ISpecifyPropertyPages names General");
        CoTaskMemFree(list.pElems);
        pages->Release();
    }
    if (auto* container =
            query<IConnectionPointContainer>(control, IID_IConnectionPointContainer)) {
        IConnectionPoint* point = nullptr;
        DWORD cookie = 0;
        const bool found = SUCCEEDED(container->FindConnectionPoint(DIID___KDRController, &point));
        // Any dispatch object can listen; the control never calls it.
        const bool advised = found && SUCCEEDED(point->Advise(control, &cookie)) && cookie != 0;
        const bool unadvised = advised && SUCCEEDED(point->Unadvise(cookie));
        t.check(found && advised && unadvised, "connection point of __KDRController");
        if (point != nullptr) {
            point->Release();
        }
        IEnumConnectionPoints* points = nullptr;
        IConnectionPoint* items[2] = {};
        ULONG fetched = 0;
        if (SUCCEEDED(container->EnumConnectionPoints(&points))) {
            points->Next(2, items, &fetched);
            for (ULONG i = 0; i < fetched; ++i) {
                items[i]->Release();
            }
            points->Release();
        }
        t.check(fetched == 1, "one connection point");
        IConnectionPoint* other = nullptr;
        t.check(container->FindConnectionPoint(IID_IPropertyNotifySink, &other) ==
                    CONNECT_E_NOCONNECTION,
                "no other connection point");
        container->Release();
    }
    if (auto* persist = query<IPersistStreamInit>(control, IID_IPersistStreamInit)) {
        IStream* stream = nullptr;
        CreateStreamOnHGlobal(nullptr, TRUE, &stream);
        ULARGE_INTEGER max{};
        STATSTG stat{};
        const bool ok = persist->InitNew() == S_OK && persist->IsDirty() == S_FALSE &&
                        persist->Save(stream, TRUE) == S_OK &&
                        SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)) &&
                        stat.cbSize.QuadPart == 0 && persist->GetSizeMax(&max) == S_OK &&
                        max.QuadPart == 0;
        t.check(ok, "IPersistStreamInit saves nothing");
        stream->Release();
        persist->Release();
    }
    if (auto* bag = query<IPersistPropertyBag>(control, IID_IPersistPropertyBag)) {
        CLSID clsid{};
        t.check(bag->InitNew() == S_OK && SUCCEEDED(bag->GetClassID(&clsid)) &&
                    IsEqualGUID(clsid, CLSID_KDRController),
                "IPersistPropertyBag");
        bag->Release();
    }
}

void check_unload_counts(Tally& t, IDispatch* control) {
    // The library COM loaded for the control; LoadLibrary returns the same module.
    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof(path);
    wchar_t clsid[64] = {};
    StringFromGUID2(CLSID_KDRController, clsid, 64);
    const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\InprocServer32";
    RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
    HMODULE module = LoadLibraryW(path);
    using CanUnload = HRESULT(STDAPICALLTYPE*)();
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto can_unload = reinterpret_cast<CanUnload>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    auto get_class = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!t.check(module != nullptr && can_unload != nullptr && get_class != nullptr,
                 "the four exports found")) {
        return;
    }
    t.check(can_unload() == S_FALSE, "DllCanUnloadNow: S_FALSE while a control lives");
    control->AddRef();
    const ULONG left = control->Release();
    t.check(left >= 1, "the control is still referenced");
    IClassFactory* factory = nullptr;
    t.check(SUCCEEDED(get_class(CLSID_KDRController, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory))),
            "DllGetClassObject KDRController");
    IClassFactory* pages = nullptr;
    t.check(
        SUCCEEDED(get_class(CLSID_General, IID_IClassFactory, reinterpret_cast<void**>(&pages))),
        "DllGetClassObject General");
    void* other = nullptr;
    t.check(get_class(IID__General, IID_IClassFactory, &other) == CLASS_E_CLASSNOTAVAILABLE,
            "DllGetClassObject of no class of the library: CLASS_E_CLASSNOTAVAILABLE");
    IUnknown* page = nullptr;
    if (pages != nullptr) {
        pages->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page));
    }
    IUnknown* second = nullptr;
    factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&second));
    IUnknown* outer = second;
    void* aggregated = nullptr;
    t.check(factory->CreateInstance(outer, IID_IUnknown, &aggregated) == CLASS_E_NOAGGREGATION,
            "no aggregation");
    control->Release();  // the caller's reference; `second` still lives
    t.check(can_unload() == S_FALSE, "DllCanUnloadNow: S_FALSE while one object is left");
    second->Release();
    t.check(page != nullptr && can_unload() == S_FALSE,
            "DllCanUnloadNow: S_FALSE while a property page lives");
    if (page != nullptr) {
        page->Release();
    }
    t.check(can_unload() == S_OK, "DllCanUnloadNow: S_OK with no object left");
    factory->LockServer(TRUE);
    t.check(can_unload() == S_FALSE, "DllCanUnloadNow: S_FALSE while locked");
    factory->LockServer(FALSE);
    t.check(can_unload() == S_OK, "DllCanUnloadNow: S_OK once unlocked");
    factory->Release();
    if (pages != nullptr) {
        pages->Release();
    }
    FreeLibrary(module);
}

}  // namespace

int wmain() {
    if (FAILED(CoInitialize(nullptr))) {
        return 2;
    }
    Tally t;
    CLSID clsid{};
    IDispatch* control = nullptr;
    const HRESULT found = CLSIDFromProgID(L"KDRCtrl.KDRController", &clsid);
    const HRESULT created =
        SUCCEEDED(found) ? CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                            reinterpret_cast<void**>(&control))
                         : found;
    if (t.check(SUCCEEDED(created), "create KDRCtrl.KDRController", hex(created))) {
        MessageBoxWatcher boxes;
        check_names(t, control);
        check_properties(t, control);
        check_pwdsum(t, control);
        check_field_methods(t, control);
        check_connection(t, control, boxes);
        check_by_dispatch_id(t, control);
        check_vtable(t, control);
        check_hosting_interfaces(t, control);
        check_unload_counts(t, control);
    }
    const int rc = t.finish("automation");
    CoUninitialize();
    return rc;
}
