// In-place activation: the control's window inside the container's
// (activate, IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject).
#include "control_internal.hpp"

namespace kdr::activex {

// ---- Activation -------------------------------------------------------------

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

}  // namespace kdr::activex
