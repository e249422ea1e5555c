#include "kdr_control.hpp"

#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "module.hpp"

namespace kdr::activex {
namespace {

constexpr wchar_t kWindowClass[] = L"KDRCtrlKDRController";
constexpr LONG kHimetricPerInch = 2540;
constexpr LONG kTwipsPerInch = 1440;

ATOM g_window_class = 0;

float himetric_to_twips(LONG himetric) {
    return static_cast<float>(himetric) * static_cast<float>(kTwipsPerInch) /
           static_cast<float>(kHimetricPerInch);
}

template <typename T>
void release(T*& pointer) noexcept {
    if (pointer != nullptr) {
        pointer->Release();
        pointer = nullptr;
    }
}

template <typename T>
void assign(T*& pointer, T* value) noexcept {
    if (value != nullptr) {
        value->AddRef();
    }
    release(pointer);
    pointer = value;
}

// Replaces a by-reference text with a new one, freeing the old.
void replace(BSTR* target, std::string_view bytes) {
    BSTR text = bstr_from_bytes(bytes);
    SysFreeString(*target);
    *target = text;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* control = reinterpret_cast<Control*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (control == nullptr) {
        return DefWindowProcW(window, message, wparam, lparam);
    }
    return control->on_message(window, message, wparam, lparam);
}

/// An enumerator over a fixed list of COM pointers or plain records.
template <typename Enum, typename Item>
class ListEnum final : public Enum {
  public:
    ListEnum(IUnknown* owner, std::vector<Item> items, std::size_t position = 0)
        : owner_(owner), items_(std::move(items)), position_(position) {
        owner_->AddRef();
        for (Item& item : items_) {
            add_ref(item);
        }
    }
    ~ListEnum() {
        for (Item& item : items_) {
            release_item(item);
        }
        owner_->Release();
    }
    ListEnum(const ListEnum&) = delete;
    ListEnum& operator=(const ListEnum&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == __uuidof(Enum)) {
            *object = static_cast<Enum*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return references_.add(); }
    STDMETHODIMP_(ULONG) Release() override { return references_.release(this); }
    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (out == nullptr || (count > 1 && fetched == nullptr)) {
            return E_POINTER;
        }
        ULONG done = 0;
        while (done < count && position_ < items_.size()) {
            out[done] = items_[position_++];
            add_ref(out[done]);
            ++done;
        }
        if (fetched != nullptr) {
            *fetched = done;
        }
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const std::size_t left = items_.size() - position_;
        if (count > left) {
            position_ = items_.size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** copy) override {
        if (copy == nullptr) {
            return E_POINTER;
        }
        *copy = new (std::nothrow) ListEnum(owner_, items_, position_);
        return *copy == nullptr ? E_OUTOFMEMORY : S_OK;
    }

  private:
    static void add_ref(IConnectionPoint* item) { item->AddRef(); }
    static void add_ref(CONNECTDATA& item) { item.pUnk->AddRef(); }
    static void release_item(IConnectionPoint* item) { item->Release(); }
    static void release_item(CONNECTDATA& item) { item.pUnk->Release(); }

    ReferenceCount references_;
    IUnknown* owner_;
    std::vector<Item> items_;
    std::size_t position_;
};

}  // namespace

/// The connection point of the event interface __KDRController. The control
/// raises no events; hosts still connect their sinks here.
class ConnectionPoint final : public IConnectionPoint {
  public:
    explicit ConnectionPoint(Control& owner) : owner_(owner) {}
    ~ConnectionPoint() {
        for (auto& [cookie, sink] : sinks_) {
            sink->Release();
        }
    }
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
            *object = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The connection point lives and dies with its control.
    STDMETHODIMP_(ULONG) AddRef() override {
        return static_cast<IConnectionPointContainer&>(owner_).AddRef();
    }
    STDMETHODIMP_(ULONG) Release() override {
        return static_cast<IConnectionPointContainer&>(owner_).Release();
    }
    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (iid == nullptr) {
            return E_POINTER;
        }
        *iid = DIID___KDRController;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (container == nullptr) {
            return E_POINTER;
        }
        *container = &owner_;
        (*container)->AddRef();
        return S_OK;
    }
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
        if (sink == nullptr || cookie == nullptr) {
            return E_POINTER;
        }
        *cookie = 0;
        IUnknown* events = nullptr;
        if (FAILED(sink->QueryInterface(DIID___KDRController, reinterpret_cast<void**>(&events))) &&
            FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events)))) {
            return CONNECT_E_CANNOTCONNECT;
        }
        *cookie = ++last_cookie_;
        sinks_.emplace(*cookie, events);
        return S_OK;
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        const auto found = sinks_.find(cookie);
        if (found == sinks_.end()) {
            return CONNECT_E_NOCONNECTION;
        }
        found->second->Release();
        sinks_.erase(found);
        return S_OK;
    }
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override {
        if (connections == nullptr) {
            return E_POINTER;
        }
        std::vector<CONNECTDATA> items;
        for (const auto& [cookie, sink] : sinks_) {
            items.push_back(CONNECTDATA{sink, cookie});
        }
        *connections = new (std::nothrow) ListEnum<IEnumConnections, CONNECTDATA>(
            static_cast<IConnectionPoint*>(this), std::move(items));
        return *connections == nullptr ? E_OUTOFMEMORY : S_OK;
    }

  private:
    Control& owner_;
    std::map<DWORD, IUnknown*> sinks_;
    DWORD last_cookie_ = 0;
};

// ---- Creation -------------------------------------------------------------

Control::Control()
    : host_([this] { return owner_window(); }), events_(std::make_unique<ConnectionPoint>(*this)) {
    auto bar = std::make_unique<win32::ProgressBar>();
    bar_ = bar.get();
    controller_ = std::make_unique<KDRController>(std::make_unique<win32::SerialPort>(),
                                                  std::move(bar), host_, clock_);
    // The first sizing: the design size, until the host gives its own.
    resize_to_extent();
    object_created();
}

Control::~Control() {
    if (window_ != nullptr) {
        bar_->detach();
        DestroyWindow(window_);
    }
    release(ui_window_);
    release(frame_);
    release(in_place_site_);
    release(site_);
    release(advise_holder_);
    release(view_sink_);
    release(type_info_);
    object_destroyed();
}

HRESULT Control::create(IUnknown* outer, REFIID iid, void** object) noexcept {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    Control* control = nullptr;
    try {
        control = new Control();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::exception& error) {
        return raise(automation_error(error), IID__KDRController);
    }
    HRESULT hr = type_info(IID__KDRController, &control->type_info_);
    if (SUCCEEDED(hr)) {
        hr = control->QueryInterface(iid, object);
    }
    control->Release();
    return hr;
}

void Control::unregister_window_class() noexcept {
    if (g_window_class != 0) {
        UnregisterClassW(kWindowClass, module());
        g_window_class = 0;
    }
}

// ---- IUnknown -------------------------------------------------------------

STDMETHODIMP Control::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__KDRController) {
        *object = static_cast<_KDRController*>(this);
    } else if (iid == IID_IOleObject) {
        *object = static_cast<IOleObject*>(this);
    } else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceObject) {
        *object = static_cast<IOleInPlaceObject*>(this);
    } else if (iid == IID_IOleInPlaceActiveObject) {
        *object = static_cast<IOleInPlaceActiveObject*>(this);
    } else if (iid == IID_IOleControl) {
        *object = static_cast<IOleControl*>(this);
    } else if (iid == IID_IViewObject || iid == IID_IViewObject2) {
        *object = static_cast<IViewObject2*>(this);
    } else if (iid == IID_IPersist || iid == IID_IPersistStreamInit) {
        *object = static_cast<IPersistStreamInit*>(this);
    } else if (iid == IID_IPersistPropertyBag) {
        *object = static_cast<IPersistPropertyBag*>(this);
    } else if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) {
        *object = static_cast<IProvideClassInfo2*>(this);
    } else if (iid == IID_IConnectionPointContainer) {
        *object = static_cast<IConnectionPointContainer*>(this);
    } else if (iid == IID_ISpecifyPropertyPages) {
        *object = static_cast<ISpecifyPropertyPages*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
        *object = static_cast<ISupportErrorInfo*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---- IDispatch ------------------------------------------------------------

STDMETHODIMP Control::Invoke(DISPID id, REFIID iid, LCID /*lcid*/, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* exception, UINT* bad_argument) {
    if (iid != IID_NULL) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    if (params == nullptr) {
        return E_INVALIDARG;
    }
    if (exception != nullptr) {
        *exception = EXCEPINFO{};
    }
    // A message-loop turn inside the member may let the host release its last
    // reference; the object must outlive this call all the same.
    AddRef();
    const HRESULT hr = invoke_member(id, flags, params, result, exception, bad_argument);
    Release();
    return hr;
}

HRESULT Control::invoke_member(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* exception, UINT* bad_argument) {
    last_error_ = {};
    HRESULT hr = S_OK;
    if (id == kDispIdCommPort && (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0) {
        // The interface offers CommPort for reading; a design environment's
        // property page assigns it by name, and the controller takes that.
        if (params->cArgs != 1 || params->cNamedArgs != 1 ||
            params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
            return DISP_E_BADPARAMCOUNT;
        }
        hr = call([&] { controller_->put_CommPort(from_variant(params->rgvarg[0])); });
    } else if ((id == kDispIdPwdSum || id == kDispIdSetDeaultYMDtime ||
                id == kDispIdSetDeaultHMStime) &&
               (flags & DISPATCH_METHOD) != 0) {
        hr = invoke_by_reference(id, params, bad_argument);
        if (result != nullptr) {
            VariantInit(result);
        }
    } else {
        hr = invoke_from_type_info(id, flags, params, result, exception, bad_argument);
    }
    if (FAILED(hr) && FAILED(last_error_.code)) {
        // A member of the control failed: the caller gets its description.
        if (exception != nullptr) {
            SysFreeString(exception->bstrSource);
            SysFreeString(exception->bstrDescription);
            SysFreeString(exception->bstrHelpFile);
            *exception = EXCEPINFO{};
            fill_excepinfo(exception, last_error_);
        }
        return DISP_E_EXCEPTION;
    }
    return hr;
}

namespace {

/// One by-reference parameter of type T (BSTR or LONG) as a late-bound caller
/// passed it: a typed reference is used in place; a reference to a variant
/// (a script's variable) is converted and gets the new value written back; a
/// value is converted into a copy that nobody sees again.
template <typename T>
class ReferenceArgument {
  public:
    static constexpr VARTYPE kType = std::is_same_v<T, BSTR> ? VT_BSTR : VT_I4;

    ReferenceArgument() { VariantInit(&local_); }
    ~ReferenceArgument() {
        if (variant_ != nullptr) {
            // The script's variable takes the value, converted or changed.
            (void)VariantClear(variant_);
            *variant_ = local_;
        } else {
            (void)VariantClear(&local_);
        }
    }
    ReferenceArgument(const ReferenceArgument&) = delete;
    ReferenceArgument& operator=(const ReferenceArgument&) = delete;

    /// False for an argument that cannot be converted to T.
    bool bind(VARIANT& argument) {
        if (V_VT(&argument) == (kType | VT_BYREF)) {
            target_ = static_cast<T*>(V_BYREF(&argument));
            return target_ != nullptr;
        }
        VARIANT* source = &argument;
        if (V_VT(&argument) == (VT_VARIANT | VT_BYREF)) {
            variant_ = V_VARIANTREF(&argument);
            source = variant_;
            if (source == nullptr) {
                return false;
            }
        } else if ((V_VT(&argument) & VT_BYREF) != 0) {
            return false;  // a reference of another type cannot take a T back
        }
        if (FAILED(VariantChangeType(&local_, source, 0, kType))) {
            variant_ = nullptr;
            return false;
        }
        target_ = kType == VT_BSTR ? reinterpret_cast<T*>(&V_BSTR(&local_))
                                   : reinterpret_cast<T*>(&V_I4(&local_));
        return true;
    }
    T* get() noexcept { return target_; }

  private:
    VARIANT local_;
    VARIANT* variant_ = nullptr;
    T* target_ = nullptr;
};

}  // namespace

HRESULT Control::invoke_by_reference(DISPID id, DISPPARAMS* params, UINT* bad_argument) {
    const UINT expected = id == kDispIdPwdSum ? 2 : 4;
    if (params->cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }
    if (params->cArgs != expected) {
        return DISP_E_BADPARAMCOUNT;
    }
    // Arguments arrive last first.
    auto argument = [&](UINT position) -> VARIANT& {
        return params->rgvarg[expected - 1 - position];
    };
    auto mismatch = [&](UINT position) {
        if (bad_argument != nullptr) {
            *bad_argument = expected - 1 - position;
        }
        return DISP_E_TYPEMISMATCH;
    };
    if (id == kDispIdPwdSum) {
        ReferenceArgument<BSTR> password;
        ReferenceArgument<LONG> sum;
        if (!password.bind(argument(0))) {
            return mismatch(0);
        }
        if (!sum.bind(argument(1))) {
            return mismatch(1);
        }
        return PwdSum(password.get(), sum.get());
    }
    ReferenceArgument<LONG> field;
    ReferenceArgument<BSTR> temp;
    ReferenceArgument<BSTR> time;
    ReferenceArgument<BSTR> receive;
    if (!field.bind(argument(0))) {
        return mismatch(0);
    }
    if (!temp.bind(argument(1))) {
        return mismatch(1);
    }
    if (!time.bind(argument(2))) {
        return mismatch(2);
    }
    if (!receive.bind(argument(3))) {
        return mismatch(3);
    }
    return id == kDispIdSetDeaultYMDtime
               ? SetDeaultYMDtime(field.get(), temp.get(), time.get(), receive.get())
               : SetDeaultHMStime(field.get(), temp.get(), time.get(), receive.get());
}

// ---- _KDRController -------------------------------------------------------

template <typename Body>
HRESULT Control::call(Body&& body) noexcept {
    AddRef();
    HRESULT hr = S_OK;
    try {
        body();
    } catch (const std::exception& error) {
        last_error_ = automation_error(error);
        hr = raise(last_error_, IID__KDRController);
    }
    Release();
    return hr;
}

STDMETHODIMP Control::get_CommPort(short* value) {
    if (value == nullptr) {
        return E_POINTER;
    }
    *value = controller_->get_CommPort();
    return S_OK;
}

STDMETHODIMP Control::get_Opened(VARIANT_BOOL* value) {
    if (value == nullptr) {
        return E_POINTER;
    }
    return call([&] { *value = controller_->get_Opened(); });
}

STDMETHODIMP Control::get_ShowMachineID(VARIANT_BOOL* value) {
    if (value == nullptr) {
        return E_POINTER;
    }
    *value = controller_->get_ShowMachineID();
    return S_OK;
}

STDMETHODIMP Control::put_ShowMachineID(VARIANT_BOOL value) {
    controller_->put_ShowMachineID(value);
    return S_OK;
}

STDMETHODIMP Control::get_ShowRTC(VARIANT_BOOL* value) {
    if (value == nullptr) {
        return E_POINTER;
    }
    return call([&] { *value = controller_->get_ShowRTC(); });
}

STDMETHODIMP Control::put_ShowRTC(VARIANT_BOOL value) {
    return call([&] { controller_->put_ShowRTC(value); });
}

STDMETHODIMP Control::OpenKDR(VARIANT vPassword, VARIANT* vPort, VARIANT_BOOL* result) {
    if (vPort == nullptr || result == nullptr) {
        return E_POINTER;
    }
    return call([&] {
        const kdr::Variant password = from_variant(vPassword);
        // The port is read, never written back.
        kdr::Variant port = from_variant(*vPort);
        *result = controller_->OpenKDR(password, port);
    });
}

STDMETHODIMP Control::CloseKDR(VARIANT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    VariantInit(result);
    return call([&] { to_variant(controller_->CloseKDR(), result); });
}

STDMETHODIMP Control::PwdSum(BSTR* NewPwd, LONG* CheckSum) {
    if (NewPwd == nullptr || CheckSum == nullptr) {
        return E_POINTER;
    }
    return call([&] {
        std::string password = bytes_from_bstr(*NewPwd);
        std::int32_t sum = *CheckSum;
        controller_->PwdSum(password, sum);
        replace(NewPwd, password);
        *CheckSum = sum;
    });
}

STDMETHODIMP Control::SyncUpHostTime(VARIANT_BOOL* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    return call([&] { *result = controller_->SyncUpHostTime(); });
}

STDMETHODIMP Control::DownloadData(BSTR* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    return call([&] { *result = bstr_from_bytes(controller_->DownloadData()); });
}

namespace {

// The field methods change all four arguments; the caller sees every change,
// including those made before a failure.
template <typename Method>
void run_field_method(Method method, LONG* i, BSTR* TempTimeStr, BSTR* TimeStr, BSTR* ReceiveStr) {
    std::int32_t field = *i;
    std::string temp = bytes_from_bstr(*TempTimeStr);
    std::string time = bytes_from_bstr(*TimeStr);
    std::string receive = bytes_from_bstr(*ReceiveStr);
    auto write_back = [&] {
        *i = field;
        replace(TempTimeStr, temp);
        replace(TimeStr, time);
        replace(ReceiveStr, receive);
    };
    try {
        method(field, temp, time, receive);
    } catch (...) {
        write_back();
        throw;
    }
    write_back();
}

}  // namespace

STDMETHODIMP Control::SetDeaultYMDtime(LONG* i, BSTR* TempTimeStr, BSTR* TimeStr,
                                       BSTR* ReceiveStr) {
    if (i == nullptr || TempTimeStr == nullptr || TimeStr == nullptr || ReceiveStr == nullptr) {
        return E_POINTER;
    }
    return call([&] {
        run_field_method([this](std::int32_t& f, std::string& a, std::string& b,
                                std::string& c) { controller_->SetDeaultYMDtime(f, a, b, c); },
                         i, TempTimeStr, TimeStr, ReceiveStr);
    });
}

STDMETHODIMP Control::EraseData(VARIANT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    VariantInit(result);
    return call([&] { to_variant(controller_->EraseData(), result); });
}

STDMETHODIMP Control::SetDeaultHMStime(LONG* i, BSTR* TempTimeStr, BSTR* TimeStr,
                                       BSTR* ReceiveStr) {
    if (i == nullptr || TempTimeStr == nullptr || TimeStr == nullptr || ReceiveStr == nullptr) {
        return E_POINTER;
    }
    return call([&] {
        run_field_method([this](std::int32_t& f, std::string& a, std::string& b,
                                std::string& c) { controller_->SetDeaultHMStime(f, a, b, c); },
                         i, TempTimeStr, TimeStr, ReceiveStr);
    });
}

// ---- Sizing ---------------------------------------------------------------

void Control::resize_to_extent() {
    controller_->Resize(himetric_to_twips(extent_.cx), himetric_to_twips(extent_.cy));
}

void Control::resize_to_window() {
    RECT client{};
    if (window_ == nullptr || !GetClientRect(window_, &client)) {
        return;
    }
    const win32::ScreenScale scale = win32::ScreenScale::current();
    controller_->Resize(scale.x_to_twips(client.right - client.left),
                        scale.y_to_twips(client.bottom - client.top));
}

HWND Control::owner_window() const noexcept {
    if (window_ != nullptr) {
        return window_;
    }
    HWND container = nullptr;
    if (in_place_site_ != nullptr && SUCCEEDED(in_place_site_->GetWindow(&container))) {
        return container;
    }
    return nullptr;
}

LRESULT Control::on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_SIZE:
            resize_to_window();
            return 0;
        case WM_ERASEBKGND:
            // The bar covers the whole control.
            return 1;
        case WM_DESTROY:
            // The child goes with the window; the bar keeps its values.
            bar_->detach();
            break;
        case WM_NCDESTROY:
            if (window == window_) {
                window_ = nullptr;
            }
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HRESULT Control::create_window(HWND parent, const RECT& position) {
    if (g_window_class == 0) {
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = window_procedure;
        window_class.hInstance = module();
        window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
        window_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        window_class.lpszClassName = kWindowClass;
        g_window_class = RegisterClassExW(&window_class);
        if (g_window_class == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
    }
    window_ = CreateWindowExW(0, kWindowClass, L"KDRController",
                              WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, position.left,
                              position.top, position.right - position.left,
                              position.bottom - position.top, parent, nullptr, module(), this);
    if (window_ == nullptr) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    try {
        bar_->attach(window_);
    } catch (const std::exception& error) {
        DestroyWindow(window_);
        window_ = nullptr;
        return raise(automation_error(error), IID_IOleObject);
    }
    resize_to_window();
    return S_OK;
}

// ---- IOleObject -----------------------------------------------------------

STDMETHODIMP Control::SetClientSite(IOleClientSite* site) {
    assign(site_, site);
    if (site == nullptr) {
        release(in_place_site_);
    }
    return S_OK;
}

STDMETHODIMP Control::GetClientSite(IOleClientSite** site) {
    if (site == nullptr) {
        return E_POINTER;
    }
    *site = site_;
    if (site_ != nullptr) {
        site_->AddRef();
    }
    return S_OK;
}

STDMETHODIMP Control::SetHostNames(LPCOLESTR /*app*/, LPCOLESTR /*object*/) {
    return S_OK;
}

STDMETHODIMP Control::Close(DWORD /*save_option*/) {
    (void)InPlaceDeactivate();
    if (advise_holder_ != nullptr) {
        (void)advise_holder_->SendOnClose();
    }
    return S_OK;
}

STDMETHODIMP Control::SetMoniker(DWORD /*which*/, IMoniker* /*moniker*/) {
    return E_NOTIMPL;
}

STDMETHODIMP Control::GetMoniker(DWORD /*assign*/, DWORD /*which*/, IMoniker** moniker) {
    if (moniker != nullptr) {
        *moniker = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP Control::InitFromData(IDataObject* /*data*/, BOOL /*creation*/, DWORD /*reserved*/) {
    return E_NOTIMPL;
}

STDMETHODIMP Control::GetClipboardData(DWORD /*reserved*/, IDataObject** data) {
    if (data != nullptr) {
        *data = nullptr;
    }
    return E_NOTIMPL;
}

STDMETHODIMP Control::DoVerb(LONG verb, LPMSG /*message*/, IOleClientSite* site, LONG /*index*/,
                             HWND parent, LPCRECT position) {
    if (site_ == nullptr && site != nullptr) {
        assign(site_, site);
    }
    switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_OPEN:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE:
            return activate(verb, parent, position);
        case OLEIVERB_HIDE:
            if (window_ != nullptr) {
                ShowWindow(window_, SW_HIDE);
            }
            return S_OK;
        default:
            return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
}

HRESULT Control::activate(LONG verb, HWND parent, LPCRECT position) {
    if (site_ == nullptr) {
        return E_UNEXPECTED;
    }
    if (in_place_site_ == nullptr &&
        FAILED(site_->QueryInterface(IID_IOleInPlaceSite,
                                     reinterpret_cast<void**>(&in_place_site_)))) {
        in_place_site_ = nullptr;
        return OLEOBJ_E_INVALIDVERB;
    }
    if (!in_place_active_) {
        if (in_place_site_->CanInPlaceActivate() != S_OK) {
            return E_FAIL;
        }
        (void)in_place_site_->OnInPlaceActivate();
        in_place_active_ = true;
    }
    if (window_ == nullptr) {
        HWND container = nullptr;
        if (FAILED(in_place_site_->GetWindow(&container))) {
            container = parent;
        }
        RECT place{};
        RECT clip{};
        OLEINPLACEFRAMEINFO frame_info{};
        frame_info.cb = sizeof(frame_info);
        release(frame_);
        release(ui_window_);
        const HRESULT context =
            in_place_site_->GetWindowContext(&frame_, &ui_window_, &place, &clip, &frame_info);
        if (FAILED(context)) {
            frame_ = nullptr;
            ui_window_ = nullptr;
            if (position == nullptr) {
                return context;
            }
            place = *position;
        }
        const HRESULT created = create_window(container, place);
        if (FAILED(created)) {
            return created;
        }
    }
    ShowWindow(window_, SW_SHOW);
    if ((verb == OLEIVERB_UIACTIVATE || verb == OLEIVERB_PRIMARY) && !ui_active_) {
        ui_active_ = true;
        (void)in_place_site_->OnUIActivate();
        if (frame_ != nullptr) {
            (void)frame_->SetActiveObject(this, L"KDRController");
        }
        if (ui_window_ != nullptr) {
            (void)ui_window_->SetActiveObject(this, L"KDRController");
        }
    }
    (void)site_->ShowObject();
    return S_OK;
}

STDMETHODIMP Control::EnumVerbs(IEnumOLEVERB** verbs) {
    return OleRegEnumVerbs(CLSID_KDRController, verbs);
}

STDMETHODIMP Control::Update() {
    return S_OK;
}
STDMETHODIMP Control::IsUpToDate() {
    return S_OK;
}

STDMETHODIMP Control::GetUserClassID(CLSID* clsid) {
    if (clsid == nullptr) {
        return E_POINTER;
    }
    *clsid = CLSID_KDRController;
    return S_OK;
}

STDMETHODIMP Control::GetUserType(DWORD form, LPOLESTR* name) {
    return OleRegGetUserType(CLSID_KDRController, form, name);
}

STDMETHODIMP Control::SetExtent(DWORD aspect, SIZEL* size) {
    if (size == nullptr) {
        return E_POINTER;
    }
    if (aspect != DVASPECT_CONTENT) {
        return DV_E_DVASPECT;
    }
    extent_ = *size;
    if (window_ == nullptr) {
        return call([&] { resize_to_extent(); });
    }
    return S_OK;
}

STDMETHODIMP Control::GetExtent(DWORD aspect, SIZEL* size) {
    if (size == nullptr) {
        return E_POINTER;
    }
    if (aspect != DVASPECT_CONTENT) {
        return DV_E_DVASPECT;
    }
    *size = extent_;
    return S_OK;
}

STDMETHODIMP Control::Advise(IAdviseSink* sink, DWORD* cookie) {
    if (advise_holder_ == nullptr) {
        const HRESULT hr = CreateOleAdviseHolder(&advise_holder_);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return advise_holder_->Advise(sink, cookie);
}

STDMETHODIMP Control::Unadvise(DWORD cookie) {
    if (advise_holder_ == nullptr) {
        return OLE_E_NOCONNECTION;
    }
    return advise_holder_->Unadvise(cookie);
}

STDMETHODIMP Control::EnumAdvise(IEnumSTATDATA** advise) {
    if (advise == nullptr) {
        return E_POINTER;
    }
    *advise = nullptr;
    if (advise_holder_ == nullptr) {
        return S_OK;
    }
    return advise_holder_->EnumAdvise(advise);
}

STDMETHODIMP Control::GetMiscStatus(DWORD /*aspect*/, DWORD* status) {
    if (status == nullptr) {
        return E_POINTER;
    }
    *status = kMiscStatus;
    return S_OK;
}

STDMETHODIMP Control::SetColorScheme(LOGPALETTE* /*palette*/) {
    return E_NOTIMPL;
}

// ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject -------------

STDMETHODIMP Control::GetWindow(HWND* window) {
    if (window == nullptr) {
        return E_POINTER;
    }
    *window = window_;
    return window_ != nullptr ? S_OK : E_FAIL;
}

STDMETHODIMP Control::ContextSensitiveHelp(BOOL /*enter*/) {
    return E_NOTIMPL;
}

STDMETHODIMP Control::InPlaceDeactivate() {
    if (!in_place_active_) {
        return S_OK;
    }
    (void)UIDeactivate();
    if (window_ != nullptr) {
        bar_->detach();
        DestroyWindow(window_);
        window_ = nullptr;
    }
    in_place_active_ = false;
    release(frame_);
    release(ui_window_);
    if (in_place_site_ != nullptr) {
        (void)in_place_site_->OnInPlaceDeactivate();
    }
    return S_OK;
}

STDMETHODIMP Control::UIDeactivate() {
    if (!ui_active_) {
        return S_OK;
    }
    ui_active_ = false;
    if (ui_window_ != nullptr) {
        (void)ui_window_->SetActiveObject(nullptr, nullptr);
    }
    if (frame_ != nullptr) {
        (void)frame_->SetActiveObject(nullptr, nullptr);
    }
    if (in_place_site_ != nullptr) {
        (void)in_place_site_->OnUIDeactivate(FALSE);
    }
    return S_OK;
}

STDMETHODIMP Control::SetObjectRects(LPCRECT position, LPCRECT /*clip*/) {
    if (position == nullptr) {
        return E_POINTER;
    }
    // The new size reaches the controller through WM_SIZE.
    const win32::ScreenScale scale = win32::ScreenScale::current();
    extent_.cx = MulDiv(position->right - position->left, kHimetricPerInch, scale.dpi_x);
    extent_.cy = MulDiv(position->bottom - position->top, kHimetricPerInch, scale.dpi_y);
    if (window_ != nullptr) {
        MoveWindow(window_, position->left, position->top, position->right - position->left,
                   position->bottom - position->top, TRUE);
    } else {
        return call([&] { resize_to_extent(); });
    }
    return S_OK;
}

STDMETHODIMP Control::ReactivateAndUndo() {
    return E_NOTIMPL;
}

STDMETHODIMP Control::TranslateAccelerator(LPMSG /*message*/) {
    return S_FALSE;
}
STDMETHODIMP Control::OnFrameWindowActivate(BOOL /*activate*/) {
    return S_OK;
}
STDMETHODIMP Control::OnDocWindowActivate(BOOL /*activate*/) {
    return S_OK;
}
STDMETHODIMP Control::ResizeBorder(LPCRECT /*border*/, IOleInPlaceUIWindow* /*window*/,
                                   BOOL /*frame*/) {
    return S_OK;
}
STDMETHODIMP Control::EnableModeless(BOOL /*enable*/) {
    return S_OK;
}

// ---- IOleControl ----------------------------------------------------------

STDMETHODIMP Control::GetControlInfo(CONTROLINFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    info->cb = sizeof(CONTROLINFO);
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

STDMETHODIMP Control::OnMnemonic(MSG* /*message*/) {
    return S_OK;
}
STDMETHODIMP Control::OnAmbientPropertyChange(DISPID /*id*/) {
    return S_OK;
}
STDMETHODIMP Control::FreezeEvents(BOOL /*freeze*/) {
    return S_OK;
}

// ---- IViewObject2 ---------------------------------------------------------

STDMETHODIMP Control::Draw(DWORD aspect, LONG /*index*/, void* /*aspect_info*/,
                           DVTARGETDEVICE* /*device*/, HDC /*target*/, HDC draw, LPCRECTL bounds,
                           LPCRECTL /*window_bounds*/,
                           BOOL(STDMETHODCALLTYPE* /*go_on*/)(ULONG_PTR), ULONG_PTR /*go_on_arg*/) {
    if (aspect != DVASPECT_CONTENT) {
        return DV_E_DVASPECT;
    }
    if (draw == nullptr || bounds == nullptr) {
        return E_INVALIDARG;
    }
    // What the bar shows, drawn for containers that render the control
    // without activating it (design views, printing).
    RECT area{bounds->left, bounds->top, bounds->right, bounds->bottom};
    FillRect(draw, &area, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(draw, &area, BDR_SUNKENOUTER, BF_RECT);
    const float max = bar_->get_Max();
    float share = max > 0.0F ? bar_->get_Value() / max : 0.0F;
    share = share < 0.0F ? 0.0F : (share > 1.0F ? 1.0F : share);
    RECT filled = area;
    InflateRect(&filled, -1, -1);
    filled.right =
        filled.left + static_cast<LONG>(static_cast<float>(filled.right - filled.left) * share);
    if (filled.right > filled.left) {
        FillRect(draw, &filled, GetSysColorBrush(COLOR_HIGHLIGHT));
    }
    return S_OK;
}

STDMETHODIMP Control::GetColorSet(DWORD /*aspect*/, LONG /*index*/, void* /*aspect_info*/,
                                  DVTARGETDEVICE* /*device*/, HDC /*target*/, LOGPALETTE** colors) {
    if (colors != nullptr) {
        *colors = nullptr;
    }
    return S_FALSE;
}

STDMETHODIMP Control::Freeze(DWORD /*aspect*/, LONG /*index*/, void* /*aspect_info*/,
                             DWORD* /*freeze*/) {
    return E_NOTIMPL;
}

STDMETHODIMP Control::Unfreeze(DWORD /*freeze*/) {
    return E_NOTIMPL;
}

STDMETHODIMP Control::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    assign(view_sink_, sink);
    view_aspects_ = aspects;
    view_flags_ = flags;
    return S_OK;
}

STDMETHODIMP Control::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects != nullptr) {
        *aspects = view_aspects_;
    }
    if (flags != nullptr) {
        *flags = view_flags_;
    }
    if (sink != nullptr) {
        *sink = view_sink_;
        if (view_sink_ != nullptr) {
            view_sink_->AddRef();
        }
    }
    return S_OK;
}

STDMETHODIMP Control::GetExtent(DWORD aspect, LONG /*index*/, DVTARGETDEVICE* /*device*/,
                                LPSIZEL size) {
    return GetExtent(aspect, size);
}

// ---- Persistence: nothing is kept ------------------------------------------

STDMETHODIMP Control::GetClassID(CLSID* clsid) {
    return GetUserClassID(clsid);
}
STDMETHODIMP Control::IsDirty() {
    return S_FALSE;
}
STDMETHODIMP Control::Load(LPSTREAM /*stream*/) {
    return S_OK;
}
STDMETHODIMP Control::Save(LPSTREAM /*stream*/, BOOL /*clear_dirty*/) {
    return S_OK;
}
STDMETHODIMP Control::GetSizeMax(ULARGE_INTEGER* size) {
    if (size == nullptr) {
        return E_POINTER;
    }
    size->QuadPart = 0;
    return S_OK;
}
STDMETHODIMP Control::InitNew() {
    return S_OK;
}
STDMETHODIMP Control::Load(IPropertyBag* /*bag*/, IErrorLog* /*log*/) {
    return S_OK;
}
STDMETHODIMP Control::Save(IPropertyBag* /*bag*/, BOOL /*clear_dirty*/, BOOL /*save_all*/) {
    return S_OK;
}

// ---- IProvideClassInfo2 ---------------------------------------------------

STDMETHODIMP Control::GetClassInfo(ITypeInfo** info) {
    return type_info(CLSID_KDRController, info);
}

STDMETHODIMP Control::GetGUID(DWORD kind, GUID* guid) {
    if (guid == nullptr) {
        return E_POINTER;
    }
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = GUID_NULL;
        return E_INVALIDARG;
    }
    *guid = DIID___KDRController;
    return S_OK;
}

// ---- IConnectionPointContainer --------------------------------------------

STDMETHODIMP Control::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (points == nullptr) {
        return E_POINTER;
    }
    std::vector<IConnectionPoint*> items{events_.get()};
    *points = new (std::nothrow) ListEnum<IEnumConnectionPoints, IConnectionPoint*>(
        static_cast<IConnectionPointContainer*>(this), std::move(items));
    return *points == nullptr ? E_OUTOFMEMORY : S_OK;
}

STDMETHODIMP Control::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    if (point == nullptr) {
        return E_POINTER;
    }
    *point = nullptr;
    if (iid != DIID___KDRController) {
        return CONNECT_E_NOCONNECTION;
    }
    *point = events_.get();
    (*point)->AddRef();
    return S_OK;
}

// ---- ISpecifyPropertyPages ------------------------------------------------

STDMETHODIMP Control::GetPages(CAUUID* pages) {
    if (pages == nullptr) {
        return E_POINTER;
    }
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (pages->pElems == nullptr) {
        pages->cElems = 0;
        return E_OUTOFMEMORY;
    }
    pages->cElems = 1;
    pages->pElems[0] = CLSID_General;
    return S_OK;
}

// ---- ISupportErrorInfo ----------------------------------------------------

STDMETHODIMP Control::InterfaceSupportsErrorInfo(REFIID iid) {
    return iid == IID__KDRController ? S_OK : S_FALSE;
}

}  // namespace kdr::activex
