// The property page General: the port number of a KDRController, chosen from
// Combo1 in a host's property frame.
//
// The page talks to the selected objects only by name, through IDispatch: it
// reads "CommPort" of the first selected object when the frame hands over the
// selection and assigns Combo1's text (a string) to it when the frame applies
// the page. Other selected objects are neither read nor written. A failure of
// either reaches the frame as the method's HRESULT (with an error object
// carrying the object's description) and changes nothing: Combo1 keeps its
// text and the page stays changed.
//
// Editing Combo1's text or picking an entry from its list marks the page
// changed and tells the frame through IPropertyPageSite::OnStatusChange
// (PROPPAGESTATUS_DIRTY). A successful Apply clears the mark.
//
// Apartment-threaded: the frame calls every method on its user-interface
// thread. The text of Combo1 outlives its window: a selection handed over
// before Activate is shown when the page is activated, and an Apply after
// Deactivate writes what Combo1 showed last.
#pragma once

#include <string>
#include <vector>

#include "KDRCtrl_h.h"
#include "com_object.hpp"
#include "windows_com.hpp"

namespace kdr::propertypage {

// IDispatch comes whole from TypeInfoDispatch: _General has no members of
// its own.
class GeneralPage final : public IPropertyPage2, public activex::TypeInfoDispatch<_General> {
  public:
    /// Creates an instance for the class factory; no aggregation.
    static HRESULT create(IUnknown* outer, REFIID iid, void** object) noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return references_.add(); }
    STDMETHODIMP_(ULONG) Release() override { return references_.release(this); }

    // IPropertyPage
    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
    STDMETHODIMP Activate(HWND parent, LPCRECT position, BOOL modal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
    STDMETHODIMP Show(UINT command) override;
    STDMETHODIMP Move(LPCRECT position) override;
    STDMETHODIMP IsPageDirty() override;
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCOLESTR help_dir) override;
    STDMETHODIMP TranslateAccelerator(MSG* message) override;
    // IPropertyPage2: puts the focus on Combo1 for the first object's CommPort.
    STDMETHODIMP EditProperty(DISPID id) override;

  private:
    friend class activex::ReferenceCount;

    GeneralPage();
    ~GeneralPage();
    GeneralPage(const GeneralPage&) = delete;
    GeneralPage& operator=(const GeneralPage&) = delete;

    static INT_PTR CALLBACK dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    // The four handlers.
    void mark_changed();
    HRESULT load_port();
    HRESULT apply_port();

    // The first selected object's IDispatch and the dispatch id of its
    // "CommPort".
    HRESULT comm_port_of_first(IDispatch** object, DISPID* id, LCID lcid);
    LCID locale() const;
    std::wstring combo_text() const;
    void show_text(const std::wstring& text);
    void release_objects() noexcept;

    activex::ReferenceCount references_;
    IPropertyPageSite* site_ = nullptr;
    std::vector<IUnknown*> objects_;
    HWND dialog_ = nullptr;
    HWND combo_ = nullptr;
    // Combo1's text while the page has no window.
    std::wstring text_ = L"1";
    bool changed_ = false;
    // Set while the page itself fills Combo1, whose notifications are no edit.
    bool filling_ = false;
};

/// The class factory of General, for DllGetClassObject.
HRESULT get_class_object(REFIID iid, void** object) noexcept;

}  // namespace kdr::propertypage
