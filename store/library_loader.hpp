// The PostgreSQL client library, loaded when a PostgreSQL store is first
// opened: a program that keeps its records in SQLite never needs it. Each
// system loads it its own way (library_loader_posix.cpp, _win32.cpp).
#pragma once

#include <string>
#include <string_view>

namespace kdr::store::detail {

/// Any function of a loaded library, before it is given its real type.
using LibrarySymbol = void (*)();

/// The client library's file name on this system ("libpq.so.5",
/// "libpq.dll").
extern const std::string_view kLibpqName;
/// What to install when it is missing, as the end of a sentence.
extern const std::string_view kLibpqInstall;

/// Loads the client library for good (connections may outlive any owner we
/// could give it). Null when it cannot be loaded, with why in `reason`.
[[nodiscard]] void* load_libpq(std::string& reason);

/// The function `name` of the loaded library; null when it lacks it.
[[nodiscard]] LibrarySymbol libpq_symbol(void* library, const char* name);

}  // namespace kdr::store::detail
