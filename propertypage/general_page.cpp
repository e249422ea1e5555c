#include "general_page.hpp"

#include <new>

#include "automation.hpp"
#include "class_factory.hpp"
#include "module.hpp"
#include "page_layout.hpp"

namespace kdr::propertypage {
namespace {

using activex::module;

constexpr wchar_t kCommPortName[] = L"CommPort";

/// The screen's logical resolution.
POINT screen_dpi() noexcept {
    POINT dpi{96, 96};
    if (HDC screen = GetDC(nullptr); screen != nullptr) {
        dpi.x = GetDeviceCaps(screen, LOGPIXELSX);
        dpi.y = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    return dpi;
}

/// The system's text for a failure code, without the trailing line break.
std::wstring system_text(HRESULT code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length != 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    return text;
}

/// Hands a handler's failure to the frame: the code it returns, and an error
/// object with the description the selected object gave (or the system's
/// text for the code), for the frame's report.
HRESULT report(HRESULT code, EXCEPINFO* exception = nullptr) noexcept {
    std::wstring description;
    try {
        if (exception != nullptr && code == DISP_E_EXCEPTION) {
            if (exception->pfnDeferredFillIn != nullptr) {
                (void)exception->pfnDeferredFillIn(exception);
            }
            if (FAILED(exception->scode)) {
                code = exception->scode;
            } else if (exception->wCode != 0) {
                code = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, exception->wCode);
            } else {
                code = E_FAIL;
            }
            if (exception->bstrDescription != nullptr) {
                description.assign(exception->bstrDescription,
                                   SysStringLen(exception->bstrDescription));
            }
        }
        if (description.empty()) {
            description = system_text(code);
        }
    } catch (const std::bad_alloc&) {
        description.clear();
    }
    if (exception != nullptr) {
        SysFreeString(exception->bstrSource);
        SysFreeString(exception->bstrDescription);
        SysFreeString(exception->bstrHelpFile);
        *exception = EXCEPINFO{};
    }
    if (description.empty()) {
        (void)SetErrorInfo(0, nullptr);
        return code;
    }
    return activex::raise(activex::AutomationError{code, std::move(description)},
                          IID_IPropertyPage);
}

/// Gives Combo1's text field the closed height of the layout (its own height
/// follows the font; the layout's is what the designer saw) and its list
/// room for kComboVisibleEntries entries: a combo box's window height, when
/// set, is the height of the text field and the dropped list together.
void fit_combo(HWND combo, int closed_height) noexcept {
    RECT now{};
    GetWindowRect(combo, &now);
    const LRESULT field = SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    const LRESULT wanted = field + (closed_height - (now.bottom - now.top));
    if (field != CB_ERR && wanted > 0 && wanted != field) {
        SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), wanted);
    }
    const LRESULT line = SendMessageW(combo, CB_GETITEMHEIGHT, 0, 0);
    if (line != CB_ERR && line > 0) {
        // The list's border: one pixel above and below.
        const int list = kComboVisibleEntries * static_cast<int>(line) + 2;
        SetWindowPos(combo, nullptr, 0, 0, now.right - now.left, closed_height + list,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

/// Sizes a label to its text in the font it draws with, as the designer's
/// labels are sized to theirs; its top-left corner stays where it is.
void fit_label(HWND label) noexcept {
    wchar_t text[64] = {};
    GetWindowTextW(label, text, 64);
    HDC dc = GetDC(label);
    if (dc == nullptr) {
        return;
    }
    const HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0));
    const HGDIOBJ old = font != nullptr ? SelectObject(dc, font) : nullptr;
    RECT extent{};
    DrawTextW(dc, text, -1, &extent, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    if (old != nullptr) {
        SelectObject(dc, old);
    }
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, extent.right, extent.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

activex::ClassFactory<&GeneralPage::create> g_page_factory;

}  // namespace

HRESULT get_class_object(REFIID iid, void** object) noexcept {
    return g_page_factory.QueryInterface(iid, object);
}

// ---- Creation -------------------------------------------------------------

GeneralPage::GeneralPage() {
    activex::object_created();
}

GeneralPage::~GeneralPage() {
    if (dialog_ != nullptr) {
        DestroyWindow(dialog_);
    }
    release_objects();
    if (site_ != nullptr) {
        site_->Release();
    }
    if (type_info_ != nullptr) {
        type_info_->Release();
    }
    activex::object_destroyed();
}

HRESULT GeneralPage::create(IUnknown* outer, REFIID iid, void** object) noexcept {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    auto* page = new (std::nothrow) GeneralPage();
    if (page == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = activex::type_info(IID__General, &page->type_info_);
    if (SUCCEEDED(hr)) {
        hr = page->QueryInterface(iid, object);
    }
    page->Release();
    return hr;
}

// ---- IUnknown -------------------------------------------------------------

STDMETHODIMP GeneralPage::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IPropertyPage || iid == IID_IPropertyPage2) {
        *object = static_cast<IPropertyPage2*>(this);
    } else if (iid == IID_IDispatch || iid == IID__General) {
        *object = static_cast<_General*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---- IPropertyPage --------------------------------------------------------

STDMETHODIMP GeneralPage::SetPageSite(IPropertyPageSite* site) {
    if (site != nullptr) {
        if (site_ != nullptr) {
            return E_UNEXPECTED;
        }
        site->AddRef();
        site_ = site;
    } else if (site_ != nullptr) {
        site_->Release();
        site_ = nullptr;
    }
    return S_OK;
}

STDMETHODIMP GeneralPage::Activate(HWND parent, LPCRECT position, BOOL /*modal*/) {
    if (position == nullptr) {
        return E_POINTER;
    }
    if (dialog_ != nullptr) {
        return E_UNEXPECTED;
    }
    DialogScale scale;
    HRESULT hr = measure_dialog_scale(module(), &scale);
    if (FAILED(hr)) {
        return hr;
    }
    std::vector<DWORD> form;
    try {
        form = build_page_template(scale);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    HWND window = CreateDialogIndirectParamW(
        module(), reinterpret_cast<const DLGTEMPLATE*>(form.data()), parent,
        &GeneralPage::dialog_proc, reinterpret_cast<LPARAM>(this));
    if (window == nullptr) {
        const DWORD error = GetLastError();
        return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    dialog_ = window;
    combo_ = GetDlgItem(window, kIdCombo1);
    filling_ = true;
    for (int port = kFirstListedPort; port <= kLastListedPort; ++port) {
        const std::wstring entry = std::to_wstring(port);
        SendMessageW(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    SetWindowTextW(combo_, text_.c_str());
    filling_ = false;
    for (const PageControl& control : kPageControls) {
        if (control.kind == ControlKind::ComboBox) {
            fit_combo(GetDlgItem(window, control.id),
                      twips_to_pixels(control.twips.height, scale.dpi_y));
        } else {
            fit_label(GetDlgItem(window, control.id));
        }
    }
    SetWindowPos(dialog_, nullptr, position->left, position->top, position->right - position->left,
                 position->bottom - position->top, SWP_NOZORDER | SWP_NOACTIVATE);
    return S_OK;
}

STDMETHODIMP GeneralPage::Deactivate() {
    if (dialog_ == nullptr) {
        return E_UNEXPECTED;
    }
    // WM_DESTROY keeps Combo1's text; WM_NCDESTROY forgets the windows.
    DestroyWindow(dialog_);
    return S_OK;
}

STDMETHODIMP GeneralPage::GetPageInfo(PROPPAGEINFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    const SIZE_T bytes = sizeof(kPageCaption);
    auto* title = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (title == nullptr) {
        return E_OUTOFMEMORY;
    }
    CopyMemory(title, kPageCaption, bytes);
    const POINT dpi = screen_dpi();
    *info = PROPPAGEINFO{};
    info->cb = sizeof(PROPPAGEINFO);
    info->pszTitle = title;
    info->size.cx = twips_to_pixels(kPageWidthTwips, dpi.x);
    info->size.cy = twips_to_pixels(kPageHeightTwips, dpi.y);
    return S_OK;
}

STDMETHODIMP GeneralPage::SetObjects(ULONG count, IUnknown** objects) {
    if (count > 0 && objects == nullptr) {
        return E_POINTER;
    }
    std::vector<IUnknown*> selection;
    try {
        selection.assign(objects, objects + count);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    for (IUnknown* object : selection) {
        if (object == nullptr) {
            return E_POINTER;
        }
    }
    for (IUnknown* object : selection) {
        object->AddRef();
    }
    release_objects();
    objects_ = std::move(selection);
    // The frame clears the selection with no objects before it closes.
    if (objects_.empty()) {
        return S_OK;
    }
    AddRef();
    const HRESULT hr = load_port();
    Release();
    return hr;
}

STDMETHODIMP GeneralPage::Show(UINT command) {
    if (dialog_ == nullptr) {
        return E_UNEXPECTED;
    }
    if (command != SW_SHOW && command != SW_SHOWNORMAL && command != SW_HIDE) {
        return E_INVALIDARG;
    }
    ShowWindow(dialog_, static_cast<int>(command));
    return S_OK;
}

STDMETHODIMP GeneralPage::Move(LPCRECT position) {
    if (position == nullptr) {
        return E_POINTER;
    }
    if (dialog_ == nullptr) {
        return E_UNEXPECTED;
    }
    SetWindowPos(dialog_, nullptr, position->left, position->top, position->right - position->left,
                 position->bottom - position->top, SWP_NOZORDER | SWP_NOACTIVATE);
    return S_OK;
}

STDMETHODIMP GeneralPage::IsPageDirty() {
    return changed_ ? S_OK : S_FALSE;
}

STDMETHODIMP GeneralPage::Apply() {
    AddRef();
    const HRESULT hr = apply_port();
    Release();
    return hr;
}

STDMETHODIMP GeneralPage::Help(LPCOLESTR /*help_dir*/) {
    return E_NOTIMPL;
}

STDMETHODIMP GeneralPage::TranslateAccelerator(MSG* message) {
    // The page has no keys of its own: the frame's dialog navigation reaches
    // Combo1 through the page's control-parent window.
    return message == nullptr ? E_POINTER : S_FALSE;
}

STDMETHODIMP GeneralPage::EditProperty(DISPID id) {
    if (dialog_ == nullptr) {
        return E_UNEXPECTED;
    }
    IDispatch* object = nullptr;
    DISPID port = DISPID_UNKNOWN;
    const HRESULT hr = comm_port_of_first(&object, &port, locale());
    if (FAILED(hr)) {
        return hr;
    }
    object->Release();
    if (id != port) {
        return E_INVALIDARG;
    }
    SetFocus(combo_);
    return S_OK;
}

// ---- The handlers ---------------------------------------------------------

INT_PTR CALLBACK GeneralPage::dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lparam);
        return FALSE;  // the frame decides where the focus goes
    }
    auto* page = reinterpret_cast<GeneralPage*>(GetWindowLongPtrW(window, DWLP_USER));
    if (page == nullptr) {
        return FALSE;
    }
    switch (message) {
        case WM_COMMAND:
            // Typing in the text field, or a pick from the list.
            if (LOWORD(wparam) == kIdCombo1 &&
                (HIWORD(wparam) == CBN_EDITCHANGE || HIWORD(wparam) == CBN_SELCHANGE)) {
                if (!page->filling_) {
                    page->mark_changed();
                }
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            // Whoever destroys the window, the text stays for the next
            // Activate and for Apply.
            try {
                page->text_ = page->combo_text();
            } catch (const std::bad_alloc&) {
                // The text shown before the edit stays.
            }
            return FALSE;
        case WM_NCDESTROY:
            page->dialog_ = nullptr;
            page->combo_ = nullptr;
            SetWindowLongPtrW(window, DWLP_USER, 0);
            return FALSE;
        default:
            return FALSE;
    }
}

void GeneralPage::mark_changed() {
    AddRef();
    changed_ = true;
    if (site_ != nullptr) {
        (void)site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
    }
    Release();
}

HRESULT GeneralPage::load_port() {
    const LCID lcid = locale();
    IDispatch* object = nullptr;
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = comm_port_of_first(&object, &id, lcid);
    if (FAILED(hr)) {
        return report(hr);
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    EXCEPINFO exception{};
    UINT bad_argument = 0;
    hr = object->Invoke(id, IID_NULL, lcid, DISPATCH_PROPERTYGET, &none, &value, &exception,
                        &bad_argument);
    object->Release();
    if (FAILED(hr)) {
        VariantClear(&value);
        return report(hr, &exception);
    }
    // Decimal digits as the system writes the number: 3 gives "3".
    VARIANT text;
    VariantInit(&text);
    hr = VariantChangeTypeEx(&text, &value, lcid, VARIANT_ALPHABOOL, VT_BSTR);
    VariantClear(&value);
    if (FAILED(hr)) {
        return report(hr);
    }
    try {
        show_text(std::wstring(V_BSTR(&text), SysStringLen(V_BSTR(&text))));
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    VariantClear(&text);
    return FAILED(hr) ? report(hr) : S_OK;
}

HRESULT GeneralPage::apply_port() {
    std::wstring text;
    try {
        text = combo_text();
    } catch (const std::bad_alloc&) {
        return report(E_OUTOFMEMORY);
    }
    const LCID lcid = locale();
    IDispatch* object = nullptr;
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = comm_port_of_first(&object, &id, lcid);
    if (FAILED(hr)) {
        return report(hr);
    }
    // The text as it stands, as a string: the object converts it.
    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_BSTR;
    V_BSTR(&argument) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (V_BSTR(&argument) == nullptr) {
        object->Release();
        return report(E_OUTOFMEMORY);
    }
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&argument, &named, 1, 1};
    EXCEPINFO exception{};
    UINT bad_argument = 0;
    hr = object->Invoke(id, IID_NULL, lcid, DISPATCH_PROPERTYPUT, &params, nullptr, &exception,
                        &bad_argument);
    object->Release();
    VariantClear(&argument);
    if (FAILED(hr)) {
        return report(hr, &exception);
    }
    changed_ = false;
    return S_OK;
}

HRESULT GeneralPage::comm_port_of_first(IDispatch** object, DISPID* id, LCID lcid) {
    *object = nullptr;
    if (objects_.empty()) {
        return DISP_E_BADINDEX;
    }
    IDispatch* first = nullptr;
    HRESULT hr = objects_[0]->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&first));
    if (FAILED(hr)) {
        return hr;
    }
    LPOLESTR names[1] = {const_cast<LPOLESTR>(kCommPortName)};
    hr = first->GetIDsOfNames(IID_NULL, names, 1, lcid, id);
    if (FAILED(hr)) {
        first->Release();
        return hr;
    }
    *object = first;
    return S_OK;
}

LCID GeneralPage::locale() const {
    LCID lcid = 0;
    if (site_ != nullptr && SUCCEEDED(site_->GetLocaleID(&lcid)) && lcid != 0) {
        return lcid;
    }
    return LOCALE_USER_DEFAULT;
}

std::wstring GeneralPage::combo_text() const {
    if (combo_ == nullptr) {
        return text_;
    }
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(combo_)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(combo_, text.data(), static_cast<int>(text.size()))));
    return text;
}

void GeneralPage::show_text(const std::wstring& text) {
    text_ = text;
    if (combo_ != nullptr) {
        filling_ = true;
        SetWindowTextW(combo_, text_.c_str());
        filling_ = false;
    }
}

void GeneralPage::release_objects() noexcept {
    for (IUnknown* object : objects_) {
        object->Release();
    }
    objects_.clear();
}

}  // namespace kdr::propertypage
