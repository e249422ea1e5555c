// The class factory of a class of the library, one for each creatable class.
#pragma once

#include "module.hpp"
#include "windows_com.hpp"

namespace kdr::activex {

/// The signature of a class's creation function: no aggregation when `outer`
/// is given, the new object's interface `iid` in `*object`.
using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** object) noexcept;

/// The class factory whose CreateInstance is `Create`. It lives as long as
/// the module (a static object); its references do not keep the module
/// loaded, LockServer does.
template <CreateFunction Create>
class ClassFactory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        return Create(outer, iid, object);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        lock_server(lock != FALSE);
        return S_OK;
    }
};

}  // namespace kdr::activex
