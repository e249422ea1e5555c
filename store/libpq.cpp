#include "store/libpq.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <string>

#include "store/store.hpp"

namespace kdr::store::detail {

namespace {

// The soname libpq has kept since PostgreSQL 8.2.
constexpr const char* kLibrary = "libpq.so.5";

[[noreturn]] void missing(const std::string& what) {
    throw StoreError(StoreErrorKind::CannotOpen,
                     fmt::format("PostgreSQL stores need the PostgreSQL client library, and {}: "
                                 "install the package libpq5 (apt-get install libpq5)",
                                 what));
}

template <typename Function>
void bind(void* library, Function& function, const char* name) {
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
        missing(fmt::format("{} lacks {}", kLibrary, name));
    }
    // POSIX guarantees that a data pointer from dlsym converts to a function
    // pointer.
    function = reinterpret_cast<Function>(symbol);  // NOLINT(*-reinterpret-cast)
}

Libpq load() {
    // Never closed: connections may outlive any owner we could give it.
    void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        missing(fmt::format("{} could not be loaded ({})", kLibrary,
                            reason == nullptr ? "no reason given" : reason));
    }
    Libpq pq;
#define KDR_BIND(name) bind(library, pq.name, #name)
    KDR_BIND(PQconnectdb);
    KDR_BIND(PQstatus);
    KDR_BIND(PQerrorMessage);
    KDR_BIND(PQfinish);
    KDR_BIND(PQexec);
    KDR_BIND(PQexecParams);
    KDR_BIND(PQprepare);
    KDR_BIND(PQexecPrepared);
    KDR_BIND(PQresultStatus);
    KDR_BIND(PQresultErrorField);
    KDR_BIND(PQclear);
    KDR_BIND(PQntuples);
    KDR_BIND(PQnfields);
    KDR_BIND(PQftype);
    KDR_BIND(PQgetisnull);
    KDR_BIND(PQgetvalue);
    KDR_BIND(PQgetlength);
    KDR_BIND(PQputCopyData);
    KDR_BIND(PQputCopyEnd);
    KDR_BIND(PQgetResult);
    KDR_BIND(PQgetCancel);
    KDR_BIND(PQcancel);
    KDR_BIND(PQfreeCancel);
#undef KDR_BIND
    return pq;
}

}  // namespace

const Libpq& libpq() {
    // A failed load throws out of the initialiser, so the next call tries
    // again (after the package was installed, say).
    static const Libpq loaded = load();
    return loaded;
}

}  // namespace kdr::store::detail
