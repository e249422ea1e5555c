// The entry points of the in-process server KDRCtrl.ocx.
#include "KDRCtrl_h.h"
#include "class_factory.hpp"
#include "general_page.hpp"
#include "kdr_control.hpp"
#include "module.hpp"
#include "registration.hpp"
#include "windows_com.hpp"

namespace {

using kdr::activex::Control;

kdr::activex::ClassFactory<&Control::create> g_control_factory;

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

// regsvr32 /n /i:user registers for the current user only, /u /n /i:user
// removes that registration; "machine" or no text is the machine-wide one.
STDAPI DllInstall(BOOL install, PCWSTR command_line) {
    const auto scope = kdr::registration::scope_from_command_line(command_line);
    if (!scope) {
        return E_INVALIDARG;
    }
    return install ? kdr::registration::register_server(*scope)
                   : kdr::registration::unregister_server(*scope);
}

}  // extern "C"
