// Self-registration of KDRCtrl.ocx: the type library, the control class
// KDRController and the property-page class General, with their ProgIDs.
#pragma once

#include "windows_com.hpp"

namespace kdr::registration {

/// Writes the whole registration for the module at its current path. On a
/// failure, what was written is removed again and the failure returned
/// (SELFREG_E_TYPELIB or SELFREG_E_CLASS).
HRESULT register_server() noexcept;

/// Removes everything register_server writes; parts already missing are no
/// failure.
HRESULT unregister_server() noexcept;

}  // namespace kdr::registration
