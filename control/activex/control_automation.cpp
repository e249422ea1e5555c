// The automation interface _KDRController: IDispatch, with the members that
// bind by-reference arguments themselves, and the fourteen members, each
// run on the portable controller. The four operations keep the system timer
// at 1 ms while they run where the waits have no high-resolution timer.
#include <string>
#include <string_view>
#include <type_traits>

#include "control_internal.hpp"

namespace kdr::activex {
namespace {

// Replaces a by-reference text with a new one, freeing the old.
void replace(BSTR* target, std::string_view bytes) {
    BSTR text = bstr_from_bytes(bytes);
    SysFreeString(*target);
    *target = text;
}

}  // namespace

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
    const win32::TimerResolution precise_waits(clock_.needs_raised_resolution());
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
    const win32::TimerResolution precise_waits(clock_.needs_raised_resolution());
    return call([&] { *result = controller_->SyncUpHostTime(); });
}

STDMETHODIMP Control::DownloadData(BSTR* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    const win32::TimerResolution precise_waits(clock_.needs_raised_resolution());
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
    const win32::TimerResolution precise_waits(clock_.needs_raised_resolution());
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

}  // namespace kdr::activex
