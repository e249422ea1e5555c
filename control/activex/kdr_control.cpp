// The control object: creation, destruction, the interfaces it answers to,
// and what describes it to containers and design tools (class information,
// property pages, error information). The members of each interface family
// are in the files named for it: control_automation.cpp, control_embedding.cpp,
// control_in_place.cpp, control_persistence.cpp, control_connection_points.cpp
// and control_window.cpp.
#include "kdr_control.hpp"

#include <new>

#include "connection_point.hpp"
#include "control_internal.hpp"
#include "kdr/port_factory.hpp"
#include "module.hpp"

namespace kdr::activex {

// ---- Creation -------------------------------------------------------------

Control::Control()
    : host_([this] { return owner_window(); }), events_(std::make_unique<ConnectionPoint>(*this)) {
    auto bar = std::make_unique<win32::ProgressBar>();
    bar_ = bar.get();
    controller_ =
        std::make_unique<KDRController>(&make_numbered_port, std::move(bar), host_, clock_);
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
