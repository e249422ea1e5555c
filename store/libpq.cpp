#include "store/libpq.hpp"

#include <fmt/format.h>

#include <string>

#include "store/library_loader.hpp"
#include "store/store.hpp"

namespace kdr::store::detail {

namespace {

[[noreturn]] void missing(const std::string& what) {
    throw StoreError(StoreErrorKind::CannotOpen,
                     fmt::format("PostgreSQL stores need the PostgreSQL client library, and {}: {}",
                                 what, kLibpqInstall));
}

template <typename Function>
void bind(void* library, Function& function, const char* name) {
    const LibrarySymbol symbol = libpq_symbol(library, name);
    if (symbol == nullptr) {
        missing(fmt::format("{} lacks {}", kLibpqName, name));
    }
    function = reinterpret_cast<Function>(symbol);  // NOLINT(*-reinterpret-cast)
}

Libpq load() {
    std::string reason;
    void* library = load_libpq(reason);
    if (library == nullptr) {
        missing(fmt::format("{} could not be loaded ({})", kLibpqName, reason));
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
