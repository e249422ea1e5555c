// What the library's COM objects share: a reference count that deletes its
// object with the last reference, and IDispatch from type information.
#pragma once

#include "windows_com.hpp"

namespace kdr::activex {

/// The reference count of an object that deletes itself when its last
/// reference goes; a new object holds one reference. An object whose
/// destructor is private names ReferenceCount its friend.
class ReferenceCount {
  public:
    ULONG add() noexcept { return static_cast<ULONG>(InterlockedIncrement(&count_)); }
    /// Drops one reference; the last one deletes `owner` (whose member this
    /// count is).
    template <typename Object>
    ULONG release(Object* owner) noexcept {
        const LONG left = InterlockedDecrement(&count_);
        if (left == 0) {
            delete owner;
        }
        return static_cast<ULONG>(left);
    }

  private:
    LONG count_ = 1;
};

/// The IDispatch of the dual interface `Interface`, served from its type
/// information in the library's type library: names and dispatch ids come
/// from DispGetIDsOfNames, calls go through DispInvoke. The deriving class
/// loads `type_info_` when it creates an object, before handing it out, and
/// releases it in its destructor; it may override Invoke to run some members
/// itself and pass the others to invoke_from_type_info.
template <typename Interface>
class TypeInfoDispatch : public Interface {
  public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 1;
        return S_OK;
    }

    STDMETHODIMP GetTypeInfo(UINT index, LCID /*lcid*/, ITypeInfo** info) override {
        if (info == nullptr) {
            return E_POINTER;
        }
        *info = nullptr;
        if (index != 0) {
            return DISP_E_BADINDEX;
        }
        type_info_->AddRef();
        *info = type_info_;
        return S_OK;
    }

    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID /*lcid*/,
                               DISPID* ids) override {
        if (iid != IID_NULL) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        return DispGetIDsOfNames(type_info_, names, count, ids);
    }

    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID /*lcid*/, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* bad_argument) override {
        if (iid != IID_NULL) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        return invoke_from_type_info(id, flags, params, result, exception, bad_argument);
    }

  protected:
    TypeInfoDispatch() = default;
    ~TypeInfoDispatch() = default;
    TypeInfoDispatch(const TypeInfoDispatch&) = delete;
    TypeInfoDispatch& operator=(const TypeInfoDispatch&) = delete;

    /// Runs member `id` on this object's `Interface` as the type information
    /// describes it.
    HRESULT invoke_from_type_info(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                  EXCEPINFO* exception, UINT* bad_argument) {
        return DispInvoke(static_cast<Interface*>(this), type_info_, id, flags, params, result,
                          exception, bad_argument);
    }

    ITypeInfo* type_info_ = nullptr;
};

}  // namespace kdr::activex
