// The entry points of the in-process server KDRCtrl.ocx.
#include "KDRCtrl_h.h"
#include "general_page.hpp"
#include "kdr_control.hpp"
#include "module.hpp"
#include "registration.hpp"
#include "windows_com.hpp"

namespace {

using kdr::activex::Control;

/// The class factory of KDRController. It lives as long as the module; its
/// references do not keep the module loaded, LockServer does.
class ControlFactory final : public IClassFactory {
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
        return Control::create(outer, iid, object);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        kdr::activex::lock_server(lock != FALSE);
        return S_OK;
    }
};

ControlFactory g_control_factory;

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            kdr::activex::set_module(instance);
            DisableThreadLibraryCalls(instance);
            break;
        case DLL_PROCESS_DETACH:
            // A later load must not find a window class whose procedure was
            // in this copy of the library.
            Control::unregister_window_class();
            break;
        default:
            break;
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (clsid == CLSID_KDRController) {
        return g_control_factory.QueryInterface(iid, object);
    }
    if (clsid == CLSID_General) {
        return kdr::propertypage::get_class_object(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return kdr::activex::can_unload() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    return kdr::registration::register_server();
}

STDAPI DllUnregisterServer() {
    return kdr::registration::unregister_server();
}

}  // extern "C"
