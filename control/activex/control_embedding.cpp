// OLE embedding: IOleObject (the client site, verbs, extent, advise sinks),
// IOleControl and IViewObject2, through which containers embed, size and draw
// the control.
#include "control_internal.hpp"

namespace kdr::activex {

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

}  // namespace kdr::activex
