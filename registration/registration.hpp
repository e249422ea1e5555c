// Self-registration of KDRCtrl.ocx: the type library, the control class
// KDRController and the property-page class General, with their ProgIDs,
// for the whole machine or for the current user only.
#pragma once

#include <optional>

#include "windows_com.hpp"

namespace kdr::registration {

/// Where the registration goes. For the machine it is written through
/// HKEY_CLASSES_ROOT (which needs an elevated process on Windows); for the
/// user, under HKEY_CURRENT_USER\Software\Classes only (no elevation), with
/// nothing written machine-wide.
enum class Scope { machine, user };

/// The scope DllInstall's command line names: "user" for the current user,
/// "machine" or nothing for the machine (case does not matter); nullopt for
/// anything else.
[[nodiscard]] std::optional<Scope> scope_from_command_line(const wchar_t* line) noexcept;

/// Writes the whole registration for the module at its current path. On a
/// failure, what was written is removed again and the failure returned
/// (SELFREG_E_TYPELIB or SELFREG_E_CLASS).
HRESULT register_server(Scope scope = Scope::machine) noexcept;

/// Removes everything register_server writes for that scope; parts already
/// missing are no failure.
HRESULT unregister_server(Scope scope = Scope::machine) noexcept;

}  // namespace kdr::registration
