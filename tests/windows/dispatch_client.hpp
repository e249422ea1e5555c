// A late-bound caller as scripting hosts are: IDispatch calls by name or by
// dispatch id with VARIANT arguments, given left to right.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace kdr::wintest {

/// What one IDispatch::Invoke gave back.
struct Outcome {
    HRESULT hr = S_OK;
    HRESULT scode = S_OK;  ///< from EXCEPINFO when hr is DISP_E_EXCEPTION
    std::string description;
    std::string source;
    UINT bad_argument = 0;
};

inline VARIANT bstr_arg(const wchar_t* text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}
inline VARIANT i2_arg(short value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I2;
    V_I2(&v) = value;
    return v;
}
inline VARIANT i4_arg(LONG value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}
inline VARIANT bool_arg(bool value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}
inline VARIANT null_arg() {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_NULL;
    return v;
}
/// A by-reference argument pointing at the caller's own VARIANT, as scripts pass variables.
inline VARIANT ref_arg(VARIANT* target) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&v) = target;
    return v;
}

/// Invokes `id` with the arguments (left to right); by-value arguments are
/// freed afterwards, by-reference ones left to their owner.
inline Outcome invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
                      VARIANT* result) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr,
                      static_cast<UINT>(reversed.size()), 0};
    if ((flags & DISPATCH_PROPERTYPUT) != 0) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    EXCEPINFO exception{};
    Outcome outcome;
    outcome.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                &exception, &outcome.bad_argument);
    if (outcome.hr == DISP_E_EXCEPTION) {
        if (exception.pfnDeferredFillIn != nullptr) {
            exception.pfnDeferredFillIn(&exception);
        }
        outcome.scode = exception.scode;
        if (exception.bstrDescription != nullptr) {
            outcome.description = narrow(exception.bstrDescription);
        }
        if (exception.bstrSource != nullptr) {
            outcome.source = narrow(exception.bstrSource);
        }
    }
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    for (VARIANT& arg : args) {
        if ((V_VT(&arg) & VT_BYREF) == 0) {
            VariantClear(&arg);
        }
    }
    return outcome;
}

inline DISPID id_of(IDispatch* object, const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
        return DISPID_UNKNOWN;
    }
    return id;
}

/// Calls a member by name.
inline Outcome call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args,
                    VARIANT* result) {
    return invoke(object, id_of(object, name), flags, std::move(args), result);
}

inline std::string text_of(const VARIANT& value) {
    if (V_VT(&value) != VT_BSTR) {
        return "<not text, vt " + std::to_string(V_VT(&value)) + ">";
    }
    return narrow(std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value))));
}

}  // namespace kdr::wintest
