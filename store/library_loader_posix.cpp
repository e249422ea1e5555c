#include <dlfcn.h>

#include "store/library_loader.hpp"

namespace kdr::store::detail {

// The soname libpq has kept since PostgreSQL 8.2.
const std::string_view kLibpqName = "libpq.so.5";
const std::string_view kLibpqInstall = "install the package libpq5 (apt-get install libpq5)";

void* load_libpq(std::string& reason) {
    void* library = ::dlopen(kLibpqName.data(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        reason = why == nullptr ? "no reason given" : why;
    }
    return library;
}

LibrarySymbol libpq_symbol(void* library, const char* name) {
    // POSIX guarantees that a data pointer from dlsym converts to a function
    // pointer.
    return reinterpret_cast<LibrarySymbol>(::dlsym(library, name));  // NOLINT(*-reinterpret-cast)
}

}  // namespace kdr::store::detail
