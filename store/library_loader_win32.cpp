#include <fmt/format.h>
#include <windows.h>

#include "store/library_loader.hpp"

namespace kdr::store::detail {

const std::string_view kLibpqName = "libpq.dll";
const std::string_view kLibpqInstall =
    "install PostgreSQL's client for Windows (its bin folder holds libpq.dll and the DLLs it "
    "needs) and put that folder on the PATH, or copy them beside kdr.exe";

void* load_libpq(std::string& reason) {
    // Beside the program first, then the system's folders and the PATH.
    HMODULE library = LoadLibraryA(kLibpqName.data());
    if (library == nullptr) {
        const DWORD error = GetLastError();
        reason = error == ERROR_MOD_NOT_FOUND ? std::string("it, or a DLL it needs, was not found")
                                              : fmt::format("Windows error {}", error);
    }
    return library;
}

LibrarySymbol libpq_symbol(void* library, const char* name) {
    return reinterpret_cast<LibrarySymbol>(  // NOLINT(*-reinterpret-cast)
        GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace kdr::store::detail
