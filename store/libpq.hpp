// The PostgreSQL client library, loaded the first time a PostgreSQL store is
// opened rather than linked into the program: libpq brings some twenty
// libraries of its own (TLS, Kerberos, LDAP), and loading them cost every run
// of `kdr` about 8 ms of processor time, stations on SQLite included. Not part
// of the store's interface.
#pragma once

#include <libpq-fe.h>

namespace kdr::store::detail {

/// The libpq functions the PostgreSQL back end calls, by their own names.
/// NOLINTBEGIN(readability-identifier-naming)
struct Libpq {
    decltype(&::PQconnectdb) PQconnectdb = nullptr;
    decltype(&::PQstatus) PQstatus = nullptr;
    decltype(&::PQerrorMessage) PQerrorMessage = nullptr;
    decltype(&::PQfinish) PQfinish = nullptr;
    decltype(&::PQexec) PQexec = nullptr;
    decltype(&::PQexecParams) PQexecParams = nullptr;
    decltype(&::PQprepare) PQprepare = nullptr;
    decltype(&::PQexecPrepared) PQexecPrepared = nullptr;
    decltype(&::PQresultStatus) PQresultStatus = nullptr;
    decltype(&::PQresultErrorField) PQresultErrorField = nullptr;
    decltype(&::PQclear) PQclear = nullptr;
    decltype(&::PQntuples) PQntuples = nullptr;
    decltype(&::PQnfields) PQnfields = nullptr;
    decltype(&::PQftype) PQftype = nullptr;
    decltype(&::PQgetisnull) PQgetisnull = nullptr;
    decltype(&::PQgetvalue) PQgetvalue = nullptr;
    decltype(&::PQgetlength) PQgetlength = nullptr;
    decltype(&::PQputCopyData) PQputCopyData = nullptr;
    decltype(&::PQputCopyEnd) PQputCopyEnd = nullptr;
    decltype(&::PQgetResult) PQgetResult = nullptr;
    decltype(&::PQgetCancel) PQgetCancel = nullptr;
    decltype(&::PQcancel) PQcancel = nullptr;
    decltype(&::PQfreeCancel) PQfreeCancel = nullptr;
};
/// NOLINTEND(readability-identifier-naming)

/// The library, loaded on the first call and kept for the program's life.
/// Throws StoreError (CannotOpen) saying which package to install when it is
/// missing or lacks a function.
[[nodiscard]] const Libpq& libpq();

}  // namespace kdr::store::detail
