// A consistent copy of a SQLite store taken while collects write to it, and
// what a PostgreSQL store is copied with instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kdr::store {

/// What a backup copied.
struct BackupReport {
    std::int64_t readers = 0;
    std::int64_t downloads = 0;
    std::int64_t records = 0;
    std::uintmax_t bytes = 0;  ///< the copy's size
};

/// A libpq URI without its password (in the user part or as a parameter),
/// for a command line a user may copy.
[[nodiscard]] std::string uri_without_password(std::string_view uri);

/// Copies the SQLite store at `path` into `file` as of one moment, every
/// committed collect included (also those still in the store's write-ahead
/// log), while collects go on writing. The copy is written beside `file`
/// and renamed into place only once it is whole and passes SQLite's quick
/// check; an existing `file` is replaced only when `replace`. Throws
/// StoreError (NotFound: no store there; CannotOpen: `file` exists or
/// cannot be written; Corrupt: the copy failed its check), leaving `file`
/// as it was.
BackupReport backup_sqlite(const std::string& path, const std::string& file, bool replace);

}  // namespace kdr::store
