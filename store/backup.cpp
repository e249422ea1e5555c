#include "store/backup.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "store/store.hpp"

namespace kdr::store {

namespace {

// Pages a step copies (4 KiB each): a step's locks are short, and the copy
// is written as it goes rather than in one piece at the end.
constexpr int kPagesPerStep = 1024;
// How long a copy waits in all for a source or copy that stays busy.
constexpr std::chrono::seconds kBusyWait{30};

struct Closer {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, Closer>;

Connection open(const std::string& path, int flags, const std::string& why) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Connection db(raw);
    if (rc != SQLITE_OK) {
        throw StoreError(StoreErrorKind::CannotOpen,
                         fmt::format("{} cannot be opened ({}): {}", path,
                                     raw == nullptr ? "out of memory" : sqlite3_errmsg(raw), why));
    }
    sqlite3_busy_timeout(db.get(), static_cast<int>(kBusyWait.count() * 1000));
    return db;
}

// The first column of each row of a statement without parameters.
std::vector<std::string> column(sqlite3* db, const char* sql, const std::string& what) {
    sqlite3_stmt* statement = nullptr;
    std::vector<std::string> values;
    int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(statement, 0);
        values.emplace_back(text == nullptr ? "" : reinterpret_cast<const char*>(text));
        rc = SQLITE_OK;
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) {
        throw StoreError(rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT ? StoreErrorKind::Corrupt
                                                                     : StoreErrorKind::Other,
                         fmt::format("{} cannot be read ({}): {}", what, sqlite3_errmsg(db),
                                     rc == SQLITE_NOTADB ? "check that it names a store"
                                                         : "check the file and try again"));
    }
    return values;
}

// The copy in the making, removed unless it was renamed into place.
class PartialFile {
  public:
    explicit PartialFile(const std::filesystem::path& file) {
        std::mt19937_64 random(std::random_device{}());
        path_ = file.parent_path() /
                fmt::format(".{}.{:016x}.partial", file.filename().string(), random());
    }
    ~PartialFile() {
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            std::filesystem::remove(path_.string() + suffix, ignored);
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

void copy_pages(sqlite3* source, sqlite3* copy, const std::string& path) {
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
    if (backup == nullptr) {
        throw StoreError(StoreErrorKind::Other,
                         fmt::format("the copy of {} cannot begin ({}): check the copy's folder",
                                     path, sqlite3_errmsg(copy)));
    }
    const auto deadline = std::chrono::steady_clock::now() + kBusyWait;
    int rc = SQLITE_OK;
    while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        rc = sqlite3_backup_step(backup, kPagesPerStep);
        if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) &&
            std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    const int finished = sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE || finished != SQLITE_OK) {
        const int failed = rc != SQLITE_DONE ? rc : finished;
        throw StoreError(failed == SQLITE_BUSY || failed == SQLITE_LOCKED ? StoreErrorKind::Locked
                                                                          : StoreErrorKind::Other,
                         fmt::format("copying {} failed ({}): {}", path, sqlite3_errstr(failed),
                                     failed == SQLITE_BUSY || failed == SQLITE_LOCKED
                                         ? "another program held it locked; try again"
                                         : "check the free space of the copy's folder"));
    }
}

}  // namespace

std::string uri_without_password(std::string_view uri) {
    std::string shown(uri);
    const std::size_t scheme = shown.find("://");
    const std::size_t at = shown.find('@');
    if (scheme != std::string::npos && at != std::string::npos && at > scheme) {
        const std::size_t colon = shown.find(':', scheme + 3);
        if (colon != std::string::npos && colon < at) {
            shown.erase(colon, at - colon);
        }
    }
    const std::size_t query = shown.find('?');
    if (query == std::string::npos) {
        return shown;
    }
    std::string kept;
    std::size_t start = query + 1;
    while (start <= shown.size()) {
        const std::size_t end = std::min(shown.find('&', start), shown.size());
        const std::string_view parameter = std::string_view(shown).substr(start, end - start);
        if (!parameter.empty() && !parameter.starts_with("password=")) {
            kept += kept.empty() ? "?" : "&";
            kept += parameter;
        }
        start = end + 1;
    }
    return shown.substr(0, query) + kept;
}

BackupReport backup_sqlite(const std::string& path, const std::string& file, bool replace) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        throw StoreError(
            StoreErrorKind::NotFound,
            fmt::format("the store {} does not exist: check the path (kdr collect creates it)",
                        path));
    }
    // Renamed over the store, the copy would take the place of the file
    // that collects go on writing.
    if (std::filesystem::equivalent(path, file, error)) {
        throw StoreError(
            StoreErrorKind::CannotOpen,
            fmt::format("{} is the store itself: give another file for the copy", file));
    }
    if (!replace && std::filesystem::exists(file, error)) {
        throw StoreError(
            StoreErrorKind::CannotOpen,
            fmt::format("{} exists: give --force to replace it, or another file", file));
    }
    // Opened as a collect opens it, so that its write-ahead log is read and
    // left as collects expect; nothing is written.
    const Connection source = open(path, SQLITE_OPEN_READWRITE,
                                   "check the path and that this user may read and write it");
    if (column(source.get(),
               "SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'",
               "the store " + path)
            .empty()) {
        throw StoreError(StoreErrorKind::NotFound,
                         fmt::format("the store {} holds no tables: check that it names the store "
                                     "(kdr collect creates the tables)",
                                     path));
    }
    // One read transaction for the whole copy: every step copies the same
    // moment, and in WAL mode collects go on committing meanwhile.
    sqlite3_exec(source.get(), "BEGIN", nullptr, nullptr, nullptr);
    static_cast<void>(column(source.get(), "SELECT count(*) FROM schema_version", path));

    const std::filesystem::path target = std::filesystem::absolute(file, error);
    const PartialFile partial(target);
    BackupReport report;
    {
        const Connection copy =
            open(partial.path().string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                 "check that this user may write the copy's folder");
        copy_pages(source.get(), copy.get(), path);
        sqlite3_exec(source.get(), "COMMIT", nullptr, nullptr, nullptr);
        const std::vector<std::string> check =
            column(copy.get(), "PRAGMA quick_check", "the copy " + partial.path().string());
        if (check.size() != 1 || check.front() != "ok") {
            throw StoreError(StoreErrorKind::Corrupt,
                             fmt::format("the copy of {} fails SQLite's quick check ({}): check "
                                         "the store itself with PRAGMA integrity_check",
                                         path, check.empty() ? "no answer" : check.front()));
        }
        const auto count = [&](const char* sql) {
            return std::stoll(column(copy.get(), sql, "the copy").at(0));
        };
        report.readers = count("SELECT count(*) FROM readers");
        report.downloads = count("SELECT count(*) FROM downloads");
        report.records = count("SELECT count(*) FROM records");
        // Closed first, so that the copy is one file with its log folded in.
        sqlite3_exec(copy.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    }
    std::filesystem::rename(partial.path(), target, error);
    if (error) {
        throw StoreError(StoreErrorKind::CannotOpen,
                         fmt::format("the copy cannot be renamed to {} ({}): check that this user "
                                     "may write there",
                                     file, error.message()));
    }
    report.bytes = std::filesystem::file_size(target, error);
    return report;
}

}  // namespace kdr::store
