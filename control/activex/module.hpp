// The in-process server's module: its handle, the counts that tell whether it
// may be unloaded, and its type library.
#pragma once

#include <string>

#include "windows_com.hpp"

namespace kdr::activex {

/// The module handle of KDRCtrl.ocx, set when the library is loaded.
void set_module(HINSTANCE module) noexcept;
[[nodiscard]] HINSTANCE module() noexcept;
/// The full path of KDRCtrl.ocx.
[[nodiscard]] std::wstring module_path();

/// Objects alive and locks held (IClassFactory::LockServer). The library may
/// be unloaded only when both are 0.
void object_created() noexcept;
void object_destroyed() noexcept;
void lock_server(bool lock) noexcept;
[[nodiscard]] bool can_unload() noexcept;
[[nodiscard]] long live_objects() noexcept;

/// The type information of a type of the library embedded in this module
/// (loaded from the module's own file, whatever the registry says). The
/// caller releases it.
HRESULT type_info(REFGUID type, ITypeInfo** info) noexcept;

}  // namespace kdr::activex
