// Persistence: IPersistStreamInit and IPersistPropertyBag. The control keeps
// no properties, so every instance starts from its creation values: loading
// reads nothing and saving writes nothing.
#include "kdr_control.hpp"

namespace kdr::activex {

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

}  // namespace kdr::activex
