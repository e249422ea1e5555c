// The ActiveX control KDRController: the portable controller behind the
// automation interface _KDRController and the interfaces containers use to
// place, activate, size and draw a control.
//
// One object a control instance, apartment-threaded: every call comes on the
// thread that created it. The control draws nothing itself; its one child
// window is the progress bar, which always fills it.
#pragma once

#include <memory>

#include "KDRCtrl_h.h"
#include "automation.hpp"
#include "com_object.hpp"
#include "kdr/controller.hpp"
#include "kdr/win32_platform.hpp"
#include "windows_com.hpp"

namespace kdr::activex {

/// The control's design size in HIMETRIC (4320 by 795 twips).
inline constexpr SIZEL kDesignExtentHimetric{7620, 1402};

/// The miscellaneous status of the control, as registered and as reported by
/// IOleObject::GetMiscStatus.
inline constexpr DWORD kMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE |
                                     OLEMISC_INSIDEOUT | OLEMISC_ACTIVATEWHENVISIBLE |
                                     OLEMISC_SETCLIENTSITEFIRST;

/// The dispatch id of CommPort, which late-bound callers may also assign.
inline constexpr DISPID kDispIdCommPort = 0x68030003;
/// The members with by-reference text and number parameters.
inline constexpr DISPID kDispIdPwdSum = 0x6003000A;
inline constexpr DISPID kDispIdSetDeaultYMDtime = 0x6003000D;
inline constexpr DISPID kDispIdSetDeaultHMStime = 0x6003000F;

class ConnectionPoint;

class Control final : public TypeInfoDispatch<_KDRController>,
                      public IOleObject,
                      public IOleInPlaceObject,
                      public IOleInPlaceActiveObject,
                      public IOleControl,
                      public IViewObject2,
                      public IPersistStreamInit,
                      public IPersistPropertyBag,
                      public IProvideClassInfo2,
                      public IConnectionPointContainer,
                      public ISpecifyPropertyPages,
                      public ISupportErrorInfo {
  public:
    /// Creates an instance for a class factory: the object with one reference
    /// and the interface asked for.
    static HRESULT create(IUnknown* outer, REFIID iid, void** object) noexcept;

    /// Registers nothing; unregisters the window class when the library goes.
    static void unregister_window_class() noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return references_.add(); }
    STDMETHODIMP_(ULONG) Release() override { return references_.release(this); }

    // IDispatch: Invoke runs CommPort's assignment and the members with
    // by-reference parameters itself (the rest comes from TypeInfoDispatch).
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* bad_argument) override;

    // _KDRController
    STDMETHODIMP get_CommPort(short* value) override;
    STDMETHODIMP get_Opened(VARIANT_BOOL* value) override;
    STDMETHODIMP get_ShowMachineID(VARIANT_BOOL* value) override;
    STDMETHODIMP put_ShowMachineID(VARIANT_BOOL value) override;
    STDMETHODIMP get_ShowRTC(VARIANT_BOOL* value) override;
    STDMETHODIMP put_ShowRTC(VARIANT_BOOL value) override;
    STDMETHODIMP OpenKDR(VARIANT vPassword, VARIANT* vPort, VARIANT_BOOL* result) override;
    STDMETHODIMP CloseKDR(VARIANT* result) override;
    STDMETHODIMP PwdSum(BSTR* NewPwd, LONG* CheckSum) override;
    STDMETHODIMP SyncUpHostTime(VARIANT_BOOL* result) override;
    STDMETHODIMP DownloadData(BSTR* result) override;
    STDMETHODIMP SetDeaultYMDtime(LONG* i, BSTR* TempTimeStr, BSTR* TimeStr,
                                  BSTR* ReceiveStr) override;
    STDMETHODIMP EraseData(VARIANT* result) override;
    STDMETHODIMP SetDeaultHMStime(LONG* i, BSTR* TempTimeStr, BSTR* TimeStr,
                                  BSTR* ReceiveStr) override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
    STDMETHODIMP Close(DWORD save_option) override;
    STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
    STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
    STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG message, IOleClientSite* site, LONG index, HWND parent,
                        LPCRECT position) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override;
    STDMETHODIMP IsUpToDate() override;
    STDMETHODIMP GetUserClassID(CLSID* clsid) override;
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* name) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

    // IOleWindow, through IOleInPlaceObject and IOleInPlaceActiveObject
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
    // IOleInPlaceObject
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override;
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
    STDMETHODIMP ReactivateAndUndo() override;
    // IOleInPlaceActiveObject
    STDMETHODIMP TranslateAccelerator(LPMSG message) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
    STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
    STDMETHODIMP OnMnemonic(MSG* message) override;
    STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
    STDMETHODIMP FreezeEvents(BOOL freeze) override;

    // IViewObject2
    STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* device,
                      HDC target, HDC draw, LPCRECTL bounds, LPCRECTL window_bounds,
                      BOOL(STDMETHODCALLTYPE* go_on)(ULONG_PTR), ULONG_PTR go_on_arg) override;
    STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* device,
                             HDC target, LOGPALETTE** colors) override;
    STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspect_info, DWORD* freeze) override;
    STDMETHODIMP Unfreeze(DWORD freeze) override;
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;

    // IPersist, IPersistStreamInit, IPersistPropertyBag: the control keeps no
    // properties, so loading reads nothing and saving writes nothing.
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPSTREAM stream) override;
    STDMETHODIMP Save(LPSTREAM stream, BOOL clear_dirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clear_dirty, BOOL save_all) override;

    // IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // ISpecifyPropertyPages
    STDMETHODIMP GetPages(CAUUID* pages) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    /// The control's window procedure hands its messages here.
    LRESULT on_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  private:
    friend class ReferenceCount;

    Control();
    ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Runs one member of the automation interface: keeps the object alive for
    // the call (a message-loop turn inside may let the host release it) and
    // turns exceptions into automation errors.
    template <typename Body>
    HRESULT call(Body&& body) noexcept;

    HRESULT invoke_member(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                          EXCEPINFO* exception, UINT* bad_argument);
    // PwdSum and the two field methods with arguments as late-bound callers
    // pass them, by-reference variants of scripts included.
    HRESULT invoke_by_reference(DISPID id, DISPPARAMS* params, UINT* bad_argument);

    HRESULT activate(LONG verb, HWND parent, LPCRECT position);
    HRESULT create_window(HWND parent, const RECT& position);
    void resize_to_window();
    void resize_to_extent();
    HWND owner_window() const noexcept;

    ReferenceCount references_;
    // The error of the member that ran last, for Invoke's EXCEPINFO.
    AutomationError last_error_;

    // Platform components; the controller owns the serial port and the bar.
    win32::HostServices host_;
    win32::Clock clock_;
    win32::ProgressBar* bar_ = nullptr;
    std::unique_ptr<KDRController> controller_;

    // Hosting state.
    IOleClientSite* site_ = nullptr;
    IOleInPlaceSite* in_place_site_ = nullptr;
    IOleInPlaceFrame* frame_ = nullptr;
    IOleInPlaceUIWindow* ui_window_ = nullptr;
    IOleAdviseHolder* advise_holder_ = nullptr;
    IAdviseSink* view_sink_ = nullptr;
    DWORD view_aspects_ = 0;
    DWORD view_flags_ = 0;
    HWND window_ = nullptr;
    bool in_place_active_ = false;
    bool ui_active_ = false;
    SIZEL extent_ = kDesignExtentHimetric;
    std::unique_ptr<ConnectionPoint> events_;
};

}  // namespace kdr::activex
