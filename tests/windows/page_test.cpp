// The property page General as a property frame drives it, through
// IPropertyPage with a page site of the test's own (Wine's frame never calls
// IsPageDirty or Apply): its form, the first selected object's CommPort
// loaded and applied, edits reported to the site, failures that change
// nothing.
//
//   kdr_page_test.exe                      the page through IPropertyPage
//   kdr_page_test.exe /frame FILE.bmp      the page in the system's property
//                                          frame, with a picture of it
#include <string>
#include <vector>

#include "KDRCtrl_h.h"
#include "dispatch_client.hpp"

namespace {

using namespace kdr::wintest;

constexpr DISPID kCommPortId = 0x68030003;
constexpr DISPID kShowMachineIdId = 0x68030001;

/// A page site that keeps the page's status reports.
class Site final : public IPropertyPageSite {
  public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IPropertyPageSite) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        statuses.push_back(flags);
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override {
        *lcid = 0x0409;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return E_NOTIMPL; }

    /// Reported at least once, and nothing but PROPPAGESTATUS_DIRTY.
    bool told_dirty() const {
        for (const DWORD flags : statuses) {
            if (flags != PROPPAGESTATUS_DIRTY) {
                return false;
            }
        }
        return !statuses.empty();
    }

    std::vector<DWORD> statuses;
    long references = 0;
};

/// A selected object of the test's own: "CommPort" holds any value, or the
/// object has no such member, or no IDispatch at all. Counts reads and keeps
/// what is assigned.
class Selected final : public IDispatch {
  public:
    enum class Kind { WithPort, NoPort, NoDispatch };
    explicit Selected(Kind kind, VARIANT value = {}) : kind_(kind), value_(value) {}
    ~Selected() { VariantClear(&value_); }
    Selected(const Selected&) = delete;
    Selected& operator=(const Selected&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || (iid == IID_IDispatch && kind_ != Kind::NoDispatch)) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references_); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references_); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (count == 1 && kind_ == Kind::WithPort && lstrcmpiW(names[0], L"CommPort") == 0) {
            ids[0] = 7;
            return S_OK;
        }
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
        }
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override {
        if (id != 7) {
            return DISP_E_MEMBERNOTFOUND;
        }
        if (flags == DISPATCH_PROPERTYGET && params->cArgs == 0 && result != nullptr) {
            ++reads;
            return VariantCopy(result, &value_);
        }
        if (flags == DISPATCH_PROPERTYPUT && params->cArgs == 1 && params->cNamedArgs == 1 &&
            params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT) {
            assigned.push_back(params->rgvarg[0].vt == VT_BSTR
                                   ? narrow(V_BSTR(&params->rgvarg[0]))
                                   : "<vt " + std::to_string(params->rgvarg[0].vt) + ">");
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    int reads = 0;
    std::vector<std::string> assigned;

  private:
    Kind kind_;
    VARIANT value_;
    long references_ = 0;
};

IPropertyPage* new_page() {
    IPropertyPage* page = nullptr;
    CLSID clsid{};
    if (SUCCEEDED(CLSIDFromProgID(L"KDRCtrl.General", &clsid))) {
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                         reinterpret_cast<void**>(&page));
    }
    return page;
}

/// A new KDRController; `port` is assigned to its CommPort by name first.
IDispatch* new_controller(const wchar_t* port = nullptr) {
    IDispatch* control = nullptr;
    CoCreateInstance(CLSID_KDRController, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                     reinterpret_cast<void**>(&control));
    if (control != nullptr && port != nullptr) {
        call(control, L"CommPort", DISPATCH_PROPERTYPUT, {bstr_arg(port)}, nullptr);
    }
    return control;
}

int port_of(IDispatch* control) {
    Var value;
    call(control, L"CommPort", DISPATCH_PROPERTYGET, {}, value.get());
    return V_VT(&*value) == VT_I2 ? V_I2(&*value) : -1;
}

std::string window_text(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return narrow(text);
}

/// The size of a window's text in the font it draws with.
SIZE text_extent(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    HDC dc = GetDC(window);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(window, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32W(dc, text, lstrlenW(text), &extent);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    return extent;
}

int dpi(int axis) {
    HDC screen = GetDC(nullptr);
    const int value = GetDeviceCaps(screen, axis);
    ReleaseDC(nullptr, screen);
    return value;
}

int twips_x(int twips) {
    return MulDiv(twips, dpi(LOGPIXELSX), 1440);
}
int twips_y(int twips) {
    return MulDiv(twips, dpi(LOGPIXELSY), 1440);
}

/// The page activated in `parent` at the size it asks for, and shown.
struct Active {
    HWND page = nullptr;
    HWND combo = nullptr;
    HRESULT hr = E_FAIL;
};

Active activate(IPropertyPage* page, HWND parent) {
    PROPPAGEINFO info{};
    page->GetPageInfo(&info);
    CoTaskMemFree(info.pszTitle);
    const RECT area{0, 0, info.size.cx, info.size.cy};
    Active active;
    active.hr = page->Activate(parent, &area, FALSE);
    if (SUCCEEDED(active.hr)) {
        page->Show(SW_SHOW);
        active.page = GetWindow(parent, GW_CHILD);
        active.combo = active.page != nullptr ? GetWindow(active.page, GW_CHILD) : nullptr;
    }
    return active;
}

/// Types into Combo1's text field as the keyboard would, replacing its text.
void type(HWND combo, const wchar_t* keys) {
    HWND field = GetWindow(combo, GW_CHILD);
    SendMessageW(field, EM_SETSEL, 0, -1);
    for (const wchar_t* key = keys; *key != L'\0'; ++key) {
        SendMessageW(field, WM_CHAR, *key, 1);
    }
}

/// Picks a list entry as the designer's click does: the selection, and the
/// notification the combo box sends its parent.
void pick(HWND combo, int index) {
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

std::string error_description() {
    IErrorInfo* info = nullptr;
    std::string text;
    if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
        BSTR description = nullptr;
        info->GetDescription(&description);
        if (description != nullptr) {
            text = narrow(description);
        }
        SysFreeString(description);
        info->Release();
    }
    return text;
}

// ---- The class and its page information -----------------------------------

void check_class(Tally& t) {
    IPropertyPage* page = new_page();
    if (!t.check(page != nullptr, "create KDRCtrl.General as IPropertyPage")) {
        return;
    }
    IUnknown* other = nullptr;
    const struct {
        const IID* iid;
        const char* name;
    } interfaces[] = {{&IID_IPropertyPage2, "IPropertyPage2"},
                      {&IID_IDispatch, "IDispatch"},
                      {&IID__General, "_General"}};
    for (const auto& wanted : interfaces) {
        const HRESULT hr = page->QueryInterface(*wanted.iid, reinterpret_cast<void**>(&other));
        t.check(SUCCEEDED(hr), std::string("the page offers ") + wanted.name, hex(hr));
        if (other != nullptr) {
            other->Release();
            other = nullptr;
        }
    }
    IDispatch* automation = nullptr;
    page->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&automation));
    ITypeInfo* info = nullptr;
    TYPEATTR* attributes = nullptr;
    if (automation != nullptr && SUCCEEDED(automation->GetTypeInfo(0, 0x0409, &info)) &&
        SUCCEEDED(info->GetTypeAttr(&attributes))) {
        t.check(IsEqualGUID(attributes->guid, IID__General), "its type information is _General");
        info->ReleaseTypeAttr(attributes);
    } else {
        t.check(false, "its type information is _General");
    }
    if (info != nullptr) {
        info->Release();
    }
    t.check(automation != nullptr && id_of(automation, L"CommPort") == DISPID_UNKNOWN,
            "_General has no members of its own");
    if (automation != nullptr) {
        automation->Release();
    }

    PROPPAGEINFO info_page{};
    const HRESULT hr = page->GetPageInfo(&info_page);
    const std::string title = info_page.pszTitle != nullptr ? narrow(info_page.pszTitle) : "";
    t.check(SUCCEEDED(hr) && info_page.cb == sizeof(PROPPAGEINFO) && title == "PropertyPage1",
            "GetPageInfo: caption \"PropertyPage1\"", title);
    t.check(info_page.size.cx == twips_x(4260) && info_page.size.cy == twips_y(3045),
            "GetPageInfo: 4260 x 3045 twips at " + std::to_string(dpi(LOGPIXELSX)) + " dpi",
            std::to_string(info_page.size.cx) + " x " + std::to_string(info_page.size.cy));
    CoTaskMemFree(info_page.pszTitle);
    page->Release();

    IClassFactory* factory = nullptr;
    CoGetClassObject(CLSID_General, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                     reinterpret_cast<void**>(&factory));
    void* aggregated = nullptr;
    IUnknown* outer = new_controller();
    t.check(factory != nullptr &&
                factory->CreateInstance(outer, IID_IUnknown, &aggregated) == CLASS_E_NOAGGREGATION,
            "General refuses aggregation");
    if (factory != nullptr) {
        factory->Release();
    }
    outer->Release();
}

// ---- The form --------------------------------------------------------------

void check_form(Tally& t, HWND parent) {
    IPropertyPage* page = new_page();
    Active active = activate(page, parent);
    if (!t.check(SUCCEEDED(active.hr) && active.page != nullptr, "Activate", hex(active.hr))) {
        page->Release();
        return;
    }
    RECT client{};
    GetClientRect(active.page, &client);
    t.check(client.right == twips_x(4260) && client.bottom == twips_y(3045) &&
                IsWindowVisible(active.page),
            "the page fills the frame's area and shows",
            std::to_string(client.right) + " x " + std::to_string(client.bottom));

    // The controls in tab order, at the designer's twips; labels sized to
    // their text in the page's font, as the designer's were in theirs.
    const struct {
        const wchar_t* kind;
        const char* text;
        int left, top, width, height;
    } form[] = {
        {L"ComboBox", "1", 1800, 630, 1005, 315},
        {L"Static", "1 Stop Bit", 1800, 1980, 690, 195},
        {L"Static", "7 Data bits", 1800, 1710, 765, 195},
        {L"Static", "Odd Parity Check", 1800, 1440, 1245, 195},
        {L"Static", "Baud Rate : 19200", 1800, 1170, 1350, 195},
        {L"Static", "CommPort:", 930, 690, 765, 195},
    };
    HWND child = GetWindow(active.page, GW_CHILD);
    for (const auto& control : form) {
        wchar_t kind[32] = {};
        RECT box{};
        if (child != nullptr) {
            GetClassNameW(child, kind, 32);
            GetWindowRect(child, &box);
            MapWindowPoints(nullptr, active.page, reinterpret_cast<POINT*>(&box), 2);
        }
        const bool label = lstrcmpW(control.kind, L"Static") == 0;
        const SIZE text = label && child != nullptr ? text_extent(child) : SIZE{};
        const int want[4] = {twips_x(control.left), twips_y(control.top),
                             label ? text.cx : twips_x(control.width),
                             label ? text.cy : twips_y(control.height)};
        const int got[4] = {box.left, box.top, box.right - box.left, box.bottom - box.top};
        bool placed = true;
        std::string where;
        for (int i = 0; i < 4; ++i) {
            placed = placed && got[i] >= want[i] - 1 && got[i] <= want[i] + 1;
            where += std::to_string(got[i]) + "/" + std::to_string(want[i]) + " ";
        }
        const std::string name = std::string("\"") + control.text + "\"";
        t.check(child != nullptr && lstrcmpiW(kind, control.kind) == 0 &&
                    window_text(child) == control.text,
                name + ": " + narrow(control.kind) + " in tab order");
        t.check(placed,
                name + (label ? " at its twips, sized to its text" : " at its twips") +
                    " (left top width height, got/want)",
                where);
        child = child != nullptr ? GetWindow(child, GW_HWNDNEXT) : nullptr;
    }
    t.check(child == nullptr, "no other control");

    HWND combo = active.combo;
    const LONG style = GetWindowLongW(combo, GWL_STYLE);
    t.check((style & 3) == CBS_DROPDOWN && (style & WS_TABSTOP) != 0 &&
                GetNextDlgTabItem(active.page, nullptr, FALSE) == combo,
            "Combo1: an editable drop-down list, the page's tab stop");
    std::string entries;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t entry[16] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
        entries += narrow(entry) + " ";
    }
    t.check(entries == "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 ",
            "Combo1 lists \"1\" to \"16\" in order", entries);
    // Dropped down for real: the list shows eight whole entries.
    COMBOBOXINFO parts{};
    parts.cbSize = sizeof(parts);
    GetComboBoxInfo(combo, &parts);
    SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
    RECT list{};
    GetClientRect(parts.hwndList, &list);
    const LRESULT line = SendMessageW(combo, CB_GETITEMHEIGHT, 0, 0);
    t.check(parts.hwndList != nullptr && IsWindowVisible(parts.hwndList) && line > 0 &&
                list.bottom / line == 8,
            "the dropped list shows eight entries",
            std::to_string(list.bottom) + " px, lines of " + std::to_string(line));
    SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);

    const RECT moved{10, 20, 10 + twips_x(4260), 20 + twips_y(3045)};
    const HRESULT move = page->Move(&moved);
    RECT now{};
    GetWindowRect(active.page, &now);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&now), 2);
    t.check(move == S_OK && now.left == 10 && now.top == 20, "Move");
    t.check(page->Show(SW_HIDE) == S_OK && !IsWindowVisible(active.page), "Show(SW_HIDE)");
    t.check(page->Deactivate() == S_OK && !IsWindow(active.page) && !IsWindow(combo),
            "Deactivate destroys the page's window");
    page->Release();
}

// ---- Loading the selection -------------------------------------------------

void check_loading(Tally& t, HWND parent) {
    const struct {
        const wchar_t* port;  // assigned before the page sees the controller
        const char* shown;
    } cases[] = {{nullptr, "1"}, {L"16", "16"}, {L"0", "0"}, {L"3", "3"}};
    for (const auto& c : cases) {
        // Frames hand over the selection before and while the page is shown.
        for (const bool before : {true, false}) {
            const std::string name = std::string(c.port == nullptr ? "a new controller" : "port ") +
                                     (c.port == nullptr ? "" : narrow(c.port)) + " shows \"" +
                                     c.shown + "\"" +
                                     (before ? " (selection before Activate)" : " (while shown)");
            IPropertyPage* page = new_page();
            Site site;
            page->SetPageSite(&site);
            IUnknown* control = new_controller(c.port);
            Active active;
            HRESULT hr = S_OK;
            if (before) {
                hr = page->SetObjects(1, &control);
                active = activate(page, parent);
            } else {
                active = activate(page, parent);
                hr = page->SetObjects(1, &control);
            }
            t.check(SUCCEEDED(hr) && window_text(active.combo) == c.shown &&
                        page->IsPageDirty() == S_FALSE && site.statuses.empty(),
                    name, hex(hr) + " \"" + window_text(active.combo) + "\"");
            page->Release();
            control->Release();
        }
    }

    // Only element 0 is read, and the value is written as decimal digits.
    VARIANT twelve;
    VariantInit(&twelve);
    V_VT(&twelve) = VT_I4;
    V_I4(&twelve) = 12;
    VARIANT seven;
    VariantInit(&seven);
    V_VT(&seven) = VT_I2;
    V_I2(&seven) = 7;
    Selected first(Selected::Kind::WithPort, twelve);
    Selected second(Selected::Kind::WithPort, seven);
    IUnknown* both[2] = {&first, &second};
    IPropertyPage* page = new_page();
    Active active = activate(page, parent);
    const HRESULT hr = page->SetObjects(2, both);
    t.check(
        SUCCEEDED(hr) && window_text(active.combo) == "12" && first.reads == 1 && second.reads == 0,
        "two selected: the first one's CommPort is read, the other's not", hex(hr));
    page->SetObjects(0, nullptr);
    t.check(first.reads == 1 && window_text(active.combo) == "12",
            "an empty selection reads nothing and changes nothing");
    page->Release();
}

// ---- Edits mark the page changed -------------------------------------------

void check_edits(Tally& t, HWND parent) {
    const struct {
        const char* name;
        void (*edit)(HWND combo);
        const char* shown;
    } edits[] = {
        {"picking \"12\"", [](HWND combo) { pick(combo, 11); }, "12"},
        {"typing \"7\"", [](HWND combo) { type(combo, L"7"); }, "7"},
        {"typing \"abc\"", [](HWND combo) { type(combo, L"abc"); }, "abc"},
        {"typing \"99999\"", [](HWND combo) { type(combo, L"99999"); }, "99999"},
        {"deleting the text", [](HWND combo) { type(combo, L"\b"); }, ""},
    };
    for (const auto& e : edits) {
        IPropertyPage* page = new_page();
        Site site;
        page->SetPageSite(&site);
        IDispatch* control = new_controller(L"3");
        IUnknown* selection = control;
        page->SetObjects(1, &selection);
        Active active = activate(page, parent);
        e.edit(active.combo);
        t.check(page->IsPageDirty() == S_OK && site.told_dirty() &&
                    window_text(active.combo) == e.shown && port_of(control) == 3,
                std::string(e.name) + " marks the page changed and tells the site; nothing applied",
                std::to_string(site.statuses.size()) + " reports, \"" + window_text(active.combo) +
                    "\"");
        page->Release();
        control->Release();
    }
}

// ---- Apply -----------------------------------------------------------------

void check_apply(Tally& t, HWND parent) {
    IPropertyPage* page = new_page();
    Site site;
    page->SetPageSite(&site);
    IDispatch* first = new_controller(L"3");
    IDispatch* second = new_controller(L"5");
    IUnknown* both[2] = {first, second};
    Active active = activate(page, parent);
    page->SetObjects(2, both);
    const bool shown = window_text(active.combo) == "3";
    pick(active.combo, 11);
    HRESULT hr = page->Apply();
    t.check(shown && hr == S_OK && port_of(first) == 12 && port_of(second) == 5,
            "two selected: apply of \"12\" writes the first controller only",
            hex(hr) + " ports " + std::to_string(port_of(first)) + ", " +
                std::to_string(port_of(second)));
    t.check(page->IsPageDirty() == S_FALSE, "a successful apply clears the change");

    // What the object receives: a string, assigned by name.
    Selected object(Selected::Kind::WithPort);
    Selected other(Selected::Kind::WithPort);
    IUnknown* fakes[2] = {&object, &other};
    page->SetObjects(2, fakes);
    type(active.combo, L" 08 ");
    hr = page->Apply();
    t.check(hr == S_OK && object.assigned.size() == 1 && object.assigned[0] == " 08 " &&
                other.assigned.empty(),
            "apply assigns the text as it stands, as a string, to CommPort by name",
            object.assigned.empty() ? hex(hr) : object.assigned[0]);
    page->SetObjects(0, nullptr);
    page->Release();
    first->Release();
    second->Release();

    // Combo1's text outlives the window: before Activate and after Deactivate.
    page = new_page();
    IDispatch* control = new_controller(L"16");
    IUnknown* selection = control;
    page->SetObjects(1, &selection);
    active = activate(page, parent);
    type(active.combo, L"9");
    page->Deactivate();
    hr = page->Apply();
    t.check(hr == S_OK && port_of(control) == 9,
            "apply after Deactivate writes the text last shown", hex(hr));
    active = activate(page, parent);
    t.check(window_text(active.combo) == "9", "a second Activate shows it again");
    page->Release();
    control->Release();
}

// ---- Failures change nothing ---------------------------------------------

void check_failures(Tally& t, HWND parent) {
    IPropertyPage* page = new_page();
    Site site;
    page->SetPageSite(&site);
    IDispatch* control = new_controller(L"3");
    IUnknown* selection = control;
    page->SetObjects(1, &selection);
    Active active = activate(page, parent);
    type(active.combo, L"abc");
    SetErrorInfo(0, nullptr);
    HRESULT hr = page->Apply();
    const std::string description = error_description();
    t.check(hr == DISP_E_TYPEMISMATCH && port_of(control) == 3 &&
                window_text(active.combo) == "abc" && page->IsPageDirty() == S_OK,
            "apply of \"abc\": a type mismatch, the controller and the page unchanged",
            hex(hr) + " port " + std::to_string(port_of(control)));
    t.check(!description.empty(), "the frame gets the failure's description", description);

    type(active.combo, L"70000");
    hr = page->Apply();
    t.check(hr == DISP_E_OVERFLOW && port_of(control) == 3, "apply of \"70000\": an overflow",
            hex(hr));

    // A selection that cannot be shown: the text of the one before stays.
    type(active.combo, L"16");
    page->Apply();
    VARIANT null;
    VariantInit(&null);
    V_VT(&null) = VT_NULL;
    Selected without(Selected::Kind::NoPort);
    Selected opaque(Selected::Kind::NoDispatch);
    Selected nothing(Selected::Kind::WithPort, null);
    const struct {
        const char* name;
        IUnknown* object;
        HRESULT expected;
    } failures[] = {
        {"a CommPort that reads Null", &nothing, DISP_E_TYPEMISMATCH},
        {"an object without CommPort", &without, DISP_E_UNKNOWNNAME},
        {"an object without IDispatch", &opaque, E_NOINTERFACE},
    };
    for (const auto& f : failures) {
        IUnknown* bad = f.object;
        hr = page->SetObjects(1, &bad);
        t.check(
            hr == f.expected && window_text(active.combo) == "16" && page->IsPageDirty() == S_FALSE,
            std::string("selecting ") + f.name + " fails; Combo1 keeps \"16\"", hex(hr));
    }
    hr = page->Apply();
    t.check(hr == E_NOINTERFACE && nothing.assigned.empty(),
            "apply to a selection that cannot take the port fails", hex(hr));
    page->SetObjects(1, &selection);
    hr = page->SetObjects(0, nullptr);
    const HRESULT apply_empty = page->Apply();
    t.check(hr == S_OK && FAILED(apply_empty) && port_of(control) == 16 &&
                window_text(active.combo) == "16",
            "with no selection, apply fails and writes nothing", hex(apply_empty));
    page->Release();
    control->Release();
    t.check(site.references == 0, "the page lets go of its site");
}

// ---- Protocol details --------------------------------------------------------

void check_protocol(Tally& t, HWND parent) {
    IPropertyPage* page = new_page();
    Site site;
    Site other;
    t.check(page->SetPageSite(&site) == S_OK && page->SetPageSite(&other) == E_UNEXPECTED &&
                page->SetPageSite(nullptr) == S_OK && site.references == 0 &&
                page->SetPageSite(&other) == S_OK,
            "one page site at a time, let go when the frame clears it");
    IDispatch* control = new_controller(L"4");
    IUnknown* selection = control;
    page->SetObjects(1, &selection);
    Active active = activate(page, parent);
    IPropertyPage2* page2 = nullptr;
    page->QueryInterface(IID_IPropertyPage2, reinterpret_cast<void**>(&page2));
    SetFocus(parent);
    const HRESULT edit = page2 != nullptr ? page2->EditProperty(kCommPortId) : E_NOINTERFACE;
    HWND focus = GetFocus();
    t.check(edit == S_OK && (focus == active.combo || IsChild(active.combo, focus)),
            "EditProperty(CommPort) puts the focus on Combo1", hex(edit));
    t.check(page2 != nullptr && page2->EditProperty(kShowMachineIdId) == E_INVALIDARG,
            "EditProperty of another property: E_INVALIDARG");
    if (page2 != nullptr) {
        page2->Release();
    }
    // A page released while active takes its window with it.
    page->Release();
    t.check(!IsWindow(active.page) && other.references == 0,
            "released while active: window and site let go");
    control->Release();
}

// ---- The system's property frame ---------------------------------------------

struct FrameVisit {
    DWORD ui_thread = 0;
    std::wstring picture;
    bool found = false;
    std::string combo_text;
    std::string tab_text;
    std::vector<std::string> labels;
    bool labels_whole = true;
    SIZE page_size{};
    SIZE area_size{};
    bool saved = false;
};

BOOL CALLBACK find_combo(HWND window, LPARAM data) {
    auto* combo = reinterpret_cast<HWND*>(data);
    wchar_t kind[32] = {};
    GetClassNameW(window, kind, 32);
    if (lstrcmpiW(kind, L"ComboBox") == 0) {
        *combo = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK find_frame(HWND window, LPARAM data) {
    auto* frame = reinterpret_cast<HWND*>(data);
    wchar_t kind[32] = {};
    GetClassNameW(window, kind, 32);
    if (lstrcmpW(kind, L"#32770") == 0 && IsWindowVisible(window)) {
        *frame = window;
        return FALSE;
    }
    return TRUE;
}

bool save_picture(HWND window, const std::wstring& path) {
    RECT rect{};
    GetWindowRect(window, &rect);
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
    const DWORD image = static_cast<DWORD>((width * 3 + 3) & ~3) * static_cast<DWORD>(height);
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

/// From a second thread: waits for the frame, reads the page inside it,
/// takes its picture and closes it with Cancel.
DWORD WINAPI visit_frame(void* data) {
    auto* visit = static_cast<FrameVisit*>(data);
    HWND frame = nullptr;
    for (int i = 0; i < 500 && frame == nullptr; ++i) {
        Sleep(20);
        EnumThreadWindows(visit->ui_thread, find_frame, reinterpret_cast<LPARAM>(&frame));
    }
    if (frame == nullptr) {
        return 1;
    }
    HWND combo = nullptr;
    for (int i = 0; i < 250 && combo == nullptr; ++i) {
        Sleep(20);
        EnumChildWindows(frame, find_combo, reinterpret_cast<LPARAM>(&combo));
    }
    if (combo != nullptr) {
        visit->found = true;
        visit->combo_text = window_text(combo);
        HWND page = GetParent(combo);
        RECT client{};
        GetClientRect(page, &client);
        visit->page_size = {client.right, client.bottom};
        GetClientRect(GetParent(page), &client);
        visit->area_size = {client.right, client.bottom};
        for (HWND child = GetWindow(combo, GW_HWNDNEXT); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            visit->labels.push_back(window_text(child));
            RECT box{};
            GetClientRect(child, &box);
            const SIZE text = text_extent(child);
            visit->labels_whole = visit->labels_whole && box.right >= text.cx;
        }
        HWND tabs = FindWindowExW(frame, nullptr, L"SysTabControl32", nullptr);
        wchar_t caption[64] = {};
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption;
        item.cchTextMax = 64;
        if (tabs != nullptr &&
            SendMessageW(tabs, TCM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) {
            visit->tab_text = narrow(caption);
        }
        // Painted on the screen before the picture: the frame paints on its
        // own thread, and the display server shows it shortly after.
        RedrawWindow(frame, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Sleep(400);
        visit->saved = visit->picture.empty() || save_picture(frame, visit->picture);
    }
    PostMessageW(frame, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    return 0;
}

void check_frame(Tally& t, const std::wstring& picture) {
    IDispatch* control = new_controller(L"7");
    IUnknown* selection = control;
    CLSID page = CLSID_General;
    FrameVisit visit;
    visit.ui_thread = GetCurrentThreadId();
    visit.picture = picture;
    HANDLE visitor = CreateThread(nullptr, 0, visit_frame, &visit, 0, nullptr);
    const HRESULT hr = OleCreatePropertyFrame(nullptr, 40, 40, L"KDRController", 1, &selection, 1,
                                              &page, 0x0409, 0, nullptr);
    WaitForSingleObject(visitor, 15000);
    CloseHandle(visitor);
    t.check(hr == S_OK && visit.found, "the system's property frame shows the page", hex(hr));
    t.check(visit.tab_text == "PropertyPage1", "its tab says \"PropertyPage1\"", visit.tab_text);
    t.check(visit.combo_text == "7", "Combo1 shows the controller's port 7", visit.combo_text);
    std::string labels;
    for (const std::string& label : visit.labels) {
        labels += label + "|";
    }
    t.check(labels == "1 Stop Bit|7 Data bits|Odd Parity Check|Baud Rate : 19200|CommPort:|",
            "the labels in tab order", labels);
    t.check(visit.labels_whole, "every label shows its whole text");
    // The frame turns GetPageInfo's size into its own dialog units and hands
    // the page the client area of its page dialog in Activate; Wine's frame
    // resizes that dialog afterwards without a Move.
    t.check(visit.page_size.cx >= twips_x(4260) && visit.page_size.cy >= twips_y(3045),
            "the frame gives the page at least 4260 x 3045 twips",
            std::to_string(visit.page_size.cx) + " x " + std::to_string(visit.page_size.cy) +
                " in " + std::to_string(visit.area_size.cx) + " x " +
                std::to_string(visit.area_size.cy));
    t.check(visit.saved, "picture saved");
    t.check(port_of(control) == 7, "Cancel leaves the controller as it was");
    control->Release();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (FAILED(OleInitialize(nullptr))) {
        return 2;
    }
    Tally t;
    if (argc == 3 && lstrcmpiW(argv[1], L"/frame") == 0) {
        check_frame(t, argv[2]);
        const int rc = t.finish("property frame");
        OleUninitialize();
        return rc;
    }
    WNDCLASSW frame_class{};
    frame_class.lpfnWndProc = DefWindowProcW;
    frame_class.hInstance = GetModuleHandleW(nullptr);
    frame_class.lpszClassName = L"KDRPageTestFrame";
    frame_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    RegisterClassW(&frame_class);
    HWND parent = CreateWindowExW(WS_EX_CONTROLPARENT, L"KDRPageTestFrame", L"General page test",
                                  WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN, 30, 30, 420,
                                  300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    check_class(t);
    check_form(t, parent);
    check_loading(t, parent);
    check_edits(t, parent);
    check_apply(t, parent);
    check_failures(t, parent);
    check_protocol(t, parent);
    DestroyWindow(parent);
    const int rc = t.finish("property page");
    OleUninitialize();
    return rc;
}
