// The SQLite back end: one file, written by any number of collectors at once.
// WAL lets readers go on while one collector writes; synchronous=FULL makes a
// commit durable before it returns (the reader is erased only after that);
// a busy timeout lets collectors queue for the write lock instead of failing.
// Commands that only read open the file so that they leave nothing beside it
// (SqliteDatabase::open_for_reading says how).
#include <fmt/format.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "store/database.hpp"

namespace kdr::store::detail {

namespace {

// How long a collector waits for another one's write to end.
constexpr int kBusyTimeoutMs = 30'000;

constexpr std::string_view kRecordsTable = R"sql(
CREATE TABLE records (
  memory INTEGER NOT NULL,
  position INTEGER NOT NULL,
  download_id INTEGER NOT NULL,
  reader_id INTEGER NOT NULL,
  stamp TEXT,
  date_line TEXT NOT NULL,
  stamp_codes BLOB NOT NULL,
  stamp_state INTEGER NOT NULL,
  stamp_bad_field INTEGER NOT NULL,
  lead INTEGER,
  text BLOB NOT NULL,
  text_utf8 TEXT NOT NULL,
  PRIMARY KEY (memory, position)
);
)sql";

constexpr std::string_view kReadersAndDownloads = R"sql(
CREATE TABLE readers (
  id INTEGER PRIMARY KEY,
  machine_id BLOB NOT NULL UNIQUE,
  memory INTEGER,
  named INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE downloads (
  id INTEGER PRIMARY KEY,
  reader_id INTEGER NOT NULL REFERENCES readers(id),
  port TEXT NOT NULL,
  started_at TEXT NOT NULL,
  ended_at TEXT NOT NULL,
  announced INTEGER NOT NULL,
  received INTEGER NOT NULL,
  complete INTEGER NOT NULL,
  memory INTEGER NOT NULL,
  new_records INTEGER NOT NULL,
  already_stored INTEGER NOT NULL,
  erase TEXT NOT NULL,
  answer BLOB,
  reads INTEGER NOT NULL DEFAULT 1,
  sure INTEGER NOT NULL DEFAULT 1,
  checked TEXT NOT NULL DEFAULT 'sure',
  read_log TEXT NOT NULL DEFAULT ''
);
)sql";

// Version 1 kept the machine ID as text and every record's leading character.
// The records table is made anew for the lead that may be missing (SQLite
// cannot drop NOT NULL); nothing refers to it. readers keeps its declared
// TEXT type, as downloads refer to it: its values become bytes.
constexpr std::string_view kUpgrade1To2Before = R"sql(
ALTER TABLE downloads ADD COLUMN answer BLOB;
ALTER TABLE records RENAME TO records_v1;
)sql";
constexpr std::string_view kUpgrade1To2After = R"sql(
INSERT INTO records SELECT * FROM records_v1;
DROP TABLE records_v1;
)sql";

// The answers of a download's reads that differ from the one it kept.
constexpr std::string_view kDownloadAnswersTable = R"sql(
CREATE TABLE download_answers (
  download_id INTEGER NOT NULL,
  read_number INTEGER NOT NULL,
  answer BLOB NOT NULL,
  PRIMARY KEY (download_id, read_number)
);
)sql";

// Version 2 knew one read per download, and did not tell a reader's own ID
// from a name given for a reader without one. A name is what no reader sent:
// not eight bytes long, or not the ID in a kept answer (STX, then the ID).
constexpr std::string_view kUpgrade2To3 = R"sql(
ALTER TABLE readers ADD COLUMN named INTEGER NOT NULL DEFAULT 0;
UPDATE readers SET named = 1 WHERE length(CAST(machine_id AS BLOB)) <> 8 OR EXISTS (
  SELECT 1 FROM downloads d WHERE d.reader_id = readers.id AND d.answer IS NOT NULL
  AND substr(d.answer, 2, 8) <> CAST(readers.machine_id AS BLOB));
ALTER TABLE downloads ADD COLUMN reads INTEGER NOT NULL DEFAULT 1;
ALTER TABLE downloads ADD COLUMN sure INTEGER NOT NULL DEFAULT 1;
)sql";

// Version 3 had no index beyond the keys: a reader's page of records, its
// records by day and its latest downloads were found by reading every row.
// record_days counts the records of each reader and day, as store.cpp keeps
// it: a chart of the whole store reads it instead of every record.
constexpr std::string_view kForQueries = R"sql(
CREATE INDEX IF NOT EXISTS records_by_reader ON records (reader_id, memory, position);
CREATE INDEX IF NOT EXISTS records_by_reader_stamp ON records (reader_id, stamp);
CREATE INDEX IF NOT EXISTS downloads_by_reader ON downloads (reader_id, id, new_records);
CREATE TABLE record_days (
  reader_id INTEGER NOT NULL,
  day TEXT NOT NULL,
  records INTEGER NOT NULL,
  PRIMARY KEY (reader_id, day)
);
)sql";
constexpr std::string_view kUpgrade3To4After = R"sql(
INSERT INTO record_days (reader_id, day, records)
  SELECT reader_id, substr(stamp, 1, 10), count(*) FROM records WHERE stamp IS NOT NULL GROUP BY 1, 2;
)sql";

// Version 4 kept whether reads agreed as yes or no: a download read once
// (--single-read, or from before downloads were read twice) was "sure"
// without having been compared, and what each read got was not kept.
constexpr std::string_view kUpgrade4To5 = R"sql(
ALTER TABLE downloads ADD COLUMN checked TEXT NOT NULL DEFAULT 'sure';
ALTER TABLE downloads ADD COLUMN read_log TEXT NOT NULL DEFAULT '';
UPDATE downloads SET checked = CASE WHEN sure = 0 THEN 'unsure'
  WHEN reads < 2 THEN 'not checked' ELSE 'sure' END;
)sql";

// Version 5 knew nothing of collects that failed before a download: a
// station keeps each port's last state here, written when it changes; nor of
// records removed by kdr prune, which the counts read from downloads subtract
// (pruned_memories). The
// indexes let a view find each reader's last verified erase and count the
// downloads by outcome without reading every download.
constexpr std::string_view kPortStates = R"sql(
CREATE TABLE pruned_memories (
  memory BIGINT PRIMARY KEY,
  reader_id BIGINT NOT NULL,
  records BIGINT NOT NULL,
  pruned_at TEXT NOT NULL
);
CREATE TABLE port_states (
  port TEXT PRIMARY KEY,
  reachable INTEGER NOT NULL,
  failure TEXT NOT NULL,
  since TEXT NOT NULL,
  reader BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS downloads_by_reader_erase ON downloads (reader_id, erase, id);
CREATE INDEX IF NOT EXISTS downloads_by_outcome ON downloads (checked, complete);
)sql";

// Version 5 searched texts by reading every record. Each record's text,
// folded by kdr_fold (fold_text), is indexed by its trigrams, so that a search
// of three characters or more reads only the records that hold them. The
// index is keyed by the record's key (memory, position), which VACUUM keeps
// (it may renumber a rowid that is not declared), and kept in step by
// triggers, whoever writes or deletes records.
constexpr std::string_view kSearch = R"sql(
ALTER TABLE records ADD COLUMN text_folded TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN search_key INTEGER GENERATED ALWAYS AS (memory * 1048576 + position) VIRTUAL;
UPDATE records SET text_folded = kdr_fold(text_utf8);
CREATE VIRTUAL TABLE record_search USING fts5(text_folded, content='records',
  content_rowid='search_key', tokenize='trigram case_sensitive 1');
CREATE TRIGGER records_search_insert AFTER INSERT ON records BEGIN
  INSERT INTO record_search (rowid, text_folded) VALUES (new.memory * 1048576 + new.position, new.text_folded);
END;
CREATE TRIGGER records_search_delete AFTER DELETE ON records BEGIN
  INSERT INTO record_search (record_search, rowid, text_folded)
    VALUES ('delete', old.memory * 1048576 + old.position, old.text_folded);
END;
CREATE TRIGGER records_search_update AFTER UPDATE OF memory, position, text_folded ON records BEGIN
  INSERT INTO record_search (record_search, rowid, text_folded)
    VALUES ('delete', old.memory * 1048576 + old.position, old.text_folded);
  INSERT INTO record_search (rowid, text_folded) VALUES (new.memory * 1048576 + new.position, new.text_folded);
END;
INSERT INTO record_search (record_search) VALUES ('rebuild');
)sql";

// A search over every reader whose index finds at least this many matches is
// read in the records' order instead, until a page is full: the matches are
// then dense enough that a page is near, and fetching each one found by the
// index would cost more.
constexpr std::int64_t kDenseMatches = 1000;

// kdr_fold(text): fold_text, for the upgrade that folds the stored texts.
void fold_function(sqlite3_context* context, int /*count*/, sqlite3_value** values) {
    const auto* text = sqlite3_value_text(values[0]);
    const int size = sqlite3_value_bytes(values[0]);
    const std::string folded =
        fold_text(text == nullptr ? std::string_view{}
                                  : std::string_view(reinterpret_cast<const char*>(text),
                                                     static_cast<std::size_t>(size)));
    sqlite3_result_text(context, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
}

// `text` with every `from` in it replaced by `to`.
std::string replaced(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t at = 0;
    for (std::size_t found = text.find(from); found != std::string_view::npos;
         found = text.find(from, at)) {
        out.append(text.substr(at, found - at)).append(to);
        at = found + from.size();
    }
    return out.append(text.substr(at));
}

// The search of FTS5's syntax that finds `folded` as it is: one string.
std::string phrase_of(std::string_view folded) {
    return fmt::format("\"{}\"", replaced(folded, "\"", "\"\""));
}

// The number of characters of UTF-8 text.
std::size_t characters(std::string_view utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    }));
}

// The file stayed locked by another connection: worth another try while
// the store is being set up.
class BusyError : public StoreError {
  public:
    explicit BusyError(const std::string& description)
        : StoreError(StoreErrorKind::Locked, description) {}
};

using Deadline = std::chrono::steady_clock::time_point;

Deadline busy_deadline() {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
}

// The SHARED lock SQLite's connections hold on a database file, taken through
// SQLite's own file layer so that its bookkeeping of the process's POSIX locks
// stays right (closing any descriptor of the file would drop them all). While
// it is held, no writer can take the EXCLUSIVE lock with which the last one to
// close checkpoints its log into the file and deletes the log and its index.
class SharedLock {
  public:
    SharedLock(const std::string& path, Deadline deadline) : vfs_(sqlite3_vfs_find(nullptr)) {
        std::string full(static_cast<std::size_t>(vfs_->mxPathname) + 1, '\0');
        // A path through a symbolic link (a folder or the file itself) is
        // resolved and answered SQLITE_OK_SYMLINK: that is success too.
        // Under a service manager's DynamicUser= the state folder always is one.
        if ((vfs_->xFullPathname(vfs_, path.c_str(), vfs_->mxPathname + 1, full.data()) & 0xFF) !=
            SQLITE_OK) {
            fail(path, SQLITE_CANTOPEN);
        }
        name_ = sqlite3_create_filename(full.c_str(), "", "", 0, nullptr);
        file_ = static_cast<sqlite3_file*>(sqlite3_malloc(vfs_->szOsFile));
        if (name_ == nullptr || file_ == nullptr) {
            fail(path, SQLITE_NOMEM);
        }
        file_->pMethods = nullptr;
        int opened = 0;
        const int rc =
            vfs_->xOpen(vfs_, name_, file_, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &opened);
        if (rc != SQLITE_OK) {
            fail(path, rc);
        }
        // A writer holds the file exclusively only while it closes.
        int locked = SQLITE_BUSY;
        while ((locked = file_->pMethods->xLock(file_, SQLITE_LOCK_SHARED)) == SQLITE_BUSY &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (locked != SQLITE_OK) {
            fail(path, locked);
        }
    }
    ~SharedLock() { release(); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

  private:
    void release() noexcept {
        if (file_ != nullptr && file_->pMethods != nullptr) {
            file_->pMethods->xUnlock(file_, SQLITE_LOCK_NONE);
            file_->pMethods->xClose(file_);
        }
        sqlite3_free(file_);
        sqlite3_free_filename(name_);
        file_ = nullptr;
        name_ = nullptr;
    }

    [[noreturn]] void fail(const std::string& path, int rc) {
        release();
        throw StoreError(
            rc == SQLITE_BUSY ? StoreErrorKind::Locked : StoreErrorKind::CannotOpen,
            fmt::format("the store {} cannot be read ({}): {}", path, sqlite3_errstr(rc),
                        rc == SQLITE_BUSY
                            ? fmt::format("another program held it locked for more than {} s",
                                          kBusyTimeoutMs / 1000)
                            : std::string("check the path and that this user may read the file")));
    }

    sqlite3_vfs* vfs_;
    sqlite3_filename name_ = nullptr;
    sqlite3_file* file_ = nullptr;
};

// A URI that opens the file at `path` as one that nothing changes: SQLite
// then takes no lock and opens no log file.
std::string immutable_uri(const std::string& path) {
    std::string uri = "file:";
    for (const char c : std::filesystem::absolute(path).string()) {
        const auto code = static_cast<unsigned char>(c);
        if (std::isalnum(code) != 0 ||
            std::string_view("/-._~").find(c) != std::string_view::npos) {
            uri += c;
        } else {
            uri += fmt::format("%{:02X}", code);
        }
    }
    return uri + "?immutable=1";
}

// A file that exists but cannot be written would be opened read-only, and
// its WAL index made read-only beside it: refuse before opening anything.
void check_writable(const std::string& path) {
    std::error_code error;
    const std::filesystem::path file(path);
    std::filesystem::path folder = file.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    const bool exists = std::filesystem::exists(file, error);
    if (exists && ::access(path.c_str(), W_OK) != 0) {
        throw StoreError(
            StoreErrorKind::ReadOnly,
            fmt::format(
                "the store {} is read-only for this user: give this user write access to the file, "
                "or give another one",
                path));
    }
    if (std::filesystem::exists(folder, error) && ::access(folder.string().c_str(), W_OK) != 0) {
        throw StoreError(
            StoreErrorKind::ReadOnly,
            fmt::format(
                "the store {} cannot be written: its folder {} is read-only for this user (SQLite "
                "keeps its log files beside the store): let this user write the folder, or give "
                "another one",
                path, folder.string()));
    }
}

class SqliteDatabase final : public Database {
  public:
    SqliteDatabase(std::string path, OpenMode mode) : path_(std::move(path)) {
        if (mode == OpenMode::ReadOnly) {
            open_for_reading();
            return;
        }
        check_writable(path_);
        connect(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        try {
            // A store without tables is refused by the caller (MustExist) and
            // must be left as it was: not even its journal mode is written.
            if (mode == OpenMode::CreateIfMissing || has_table("schema_version")) {
                set_up();
            }
        } catch (...) {
            close();
            throw;
        }
    }
    ~SqliteDatabase() override { close(); }
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    // IMMEDIATE takes the write lock at once, so that what is read in the
    // transaction (the reader's memory) cannot change before it is written.
    void begin() override { exec_doing("BEGIN IMMEDIATE", "cannot be locked for writing"); }
    void begin_schema() override { begin(); }
    void commit() override { exec_doing("COMMIT", "cannot be written"); }
    void rollback() noexcept override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

    Rows run(std::string_view sql, const std::vector<Value>& params) override;
    void exec(std::string_view sql) override { exec_doing(sql, "cannot be set up"); }
    void insert_records(const std::vector<RecordRow>& rows) override;

    [[nodiscard]] const std::vector<Migration>& migrations() const override {
        static const std::string version_6 = std::string(kPortStates) + std::string(kSearch);
        static const std::string create =
            std::string(kReadersAndDownloads) + std::string(kRecordsTable) +
            std::string(kDownloadAnswersTable) + std::string(kForQueries) + version_6;
        static const std::string upgrade = std::string(kUpgrade1To2Before) +
                                           std::string(kRecordsTable) +
                                           std::string(kUpgrade1To2After);
        static const std::string upgrade_2_to_3 =
            std::string(kUpgrade2To3) + std::string(kDownloadAnswersTable);
        static const std::vector<Migration> steps{
            {create, false, {}},         {upgrade, true, {}},
            {upgrade_2_to_3, false, {}}, {kForQueries, false, kUpgrade3To4After},
            {kUpgrade4To5, false, {}},   {version_6, false, {}}};
        return steps;
    }
    [[nodiscard]] bool has_table(std::string_view name) override {
        return !run("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1",
                    {std::string(name)})
                    .empty();
    }
    [[nodiscard]] std::string_view lock_suffix() const override { return {}; }
    [[nodiscard]] std::string utc_text(std::string_view column) const override {
        return std::string(column);
    }
    [[nodiscard]] std::string local_text(std::string_view column) const override {
        return std::string(column);
    }
    [[nodiscard]] std::string local_day(std::string_view column) const override {
        return fmt::format("substr({}, 1, 10)", column);
    }
    [[nodiscard]] std::string holds_text(const std::string& folded, TextScan how,
                                         std::vector<Value>& params) override {
        const std::string phrase = phrase_of(folded);
        bool indexed = how != TextScan::OneReader && characters(folded) >= 3;
        if (indexed && how == TextScan::FirstPage) {
            indexed = matches_up_to(phrase, kDenseMatches) < kDenseMatches;
        }
        if (!indexed) {
            params.emplace_back(folded);
            return fmt::format("instr(x.text_folded, ?{}) > 0", params.size());
        }
        // A phrase of the trigram tokenizer matches where the text holds it.
        params.emplace_back(phrase);
        return fmt::format(
            "(x.memory, x.position) IN (SELECT rowid >> 20, rowid & 1048575 FROM record_search "
            "WHERE record_search MATCH ?{})",
            params.size());
    }
    [[nodiscard]] std::int64_t count_holding(const std::string& folded, std::int64_t cap) override {
        if (characters(folded) < 3) {
            return run("SELECT count(*) FROM (SELECT 1 FROM records WHERE instr(text_folded, ?1) "
                       "> 0 LIMIT ?2)",
                       {folded, cap})
                .at(0)
                .integer(0);
        }
        return matches_up_to(phrase_of(folded), cap);
    }
    [[nodiscard]] std::string name() const override { return path_; }
    [[nodiscard]] std::string change_token() override {
        // Counts the commits of other connections, as this one sees them.
        return std::to_string(run("PRAGMA data_version", {}).at(0).integer(0));
    }
    void interrupt() noexcept override {
        interrupted_ = true;
        const std::scoped_lock lock(handle_mutex_);
        if (db_ != nullptr) {
            sqlite3_interrupt(db_);
        }
    }

  private:
    // Reading a WAL database read-only, SQLite makes its log and the log's
    // index beside the file when they are not there, as this user, and cannot
    // remove them when it closes: left behind, owned by whoever read, they
    // can keep the writing user out. So while neither is there (no connection
    // writes the store) the file is read as an immutable one, which opens
    // no other file; a writer that comes meanwhile makes them, and cannot
    // remove them while the SHARED lock is held (nor, in WAL mode, write the
    // file without them). A read during which they appeared may have seen
    // the file half written: it is done again the way SQLite reads a WAL
    // database that is being written, through the writer's files.
    void open_for_reading() {
        lock_.emplace(path_, busy_deadline());
        immutable_ = !log_files_exist();
        if (immutable_) {
            connect(immutable_uri(path_), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        } else {
            connect(path_, SQLITE_OPEN_READONLY);
        }
    }

    // SQLite keeps the log files beside the file a symbolic link names, not
    // beside the link.
    // The link is followed at the first look only: a store that no one
    // writes is looked at after each of its reads.
    [[nodiscard]] bool log_files_exist() {
        std::error_code error;
        if (log_base_.empty()) {
            const std::filesystem::path file = std::filesystem::canonical(path_, error);
            log_base_ = error ? path_ : file.string();
        }
        return std::filesystem::exists(log_base_ + "-wal", error) ||
               std::filesystem::exists(log_base_ + "-shm", error);
    }

    void connect(const std::string& name, int flags) {
        sqlite3* handle = nullptr;
        // One thread at a time uses a store (store.hpp): SQLite's own lock
        // around every call on the connection would only cost time.
        // sqlite3_interrupt needs no lock.
        const int rc = sqlite3_open_v2(name.c_str(), &handle, flags | SQLITE_OPEN_NOMUTEX, nullptr);
        {
            const std::scoped_lock lock(handle_mutex_);
            db_ = handle;
        }
        if (rc != SQLITE_OK) {
            // A failed open still returns a handle, and no destructor runs
            // for a constructor that throws.
            const std::string reason = db_ == nullptr ? "out of memory" : sqlite3_errmsg(db_);
            close();
            throw StoreError(
                StoreErrorKind::CannotOpen,
                fmt::format("the store {} cannot be opened ({}): check the path and that this user "
                            "may {}",
                            path_, reason,
                            (flags & SQLITE_OPEN_READONLY) != 0 ? "read the file"
                                                                : "write the file and its folder"));
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_create_function(db_, "kdr_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                fold_function, nullptr, nullptr);
    }

    void close() noexcept {
        forget_statements();
        const std::scoped_lock lock(handle_mutex_);
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }

    Rows query(std::string_view sql, const std::vector<Value>& params);

    void set_up() {
        // Switching a new file to WAL takes a lock that SQLite does not wait
        // for: collectors that open a new store at once take turns here.
        const auto deadline = busy_deadline();
        while (true) {
            try {
                const Rows mode = run("PRAGMA journal_mode=WAL", {});
                const std::string journal = mode.empty() ? std::string{} : mode.front().bytes(0);
                if (journal != "wal") {
                    throw StoreError(
                        StoreErrorKind::CannotOpen,
                        fmt::format(
                            "the store {} cannot keep a write-ahead log (journal mode {}): give a "
                            "file on a local file system",
                            path_, journal));
                }
                exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON");
                return;
            } catch (const BusyError&) {
                if (std::chrono::steady_clock::now() > deadline) {
                    throw;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }

    // The index's matches of `phrase`, counted up to `cap`.
    std::int64_t matches_up_to(const std::string& phrase, std::int64_t cap) {
        return run("SELECT count(*) FROM (SELECT 1 FROM record_search WHERE record_search MATCH "
                   "?1 LIMIT ?2)",
                   {phrase, cap})
            .at(0)
            .integer(0);
    }

    void exec_doing(std::string_view sql, std::string_view doing) {
        const std::string text(sql);
        if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(doing);
        }
    }

    /// Throws the store's one-sentence error for the last failed call.
    [[noreturn]] void fail(std::string_view doing) const {
        const int code = sqlite3_extended_errcode(db_) & 0xFF;
        const std::string reason = sqlite3_errmsg(db_);
        std::string advice = "check the path and that this user may write the file and its folder";
        if (code == SQLITE_BUSY) {
            advice = fmt::format("another program held it locked for more than {} s",
                                 kBusyTimeoutMs / 1000);
        } else if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
            advice = "it is damaged or no SQLite database: give another file";
        } else if (code == SQLITE_FULL) {
            advice = "the disk is full: make room";
        } else if (code == SQLITE_INTERRUPT) {
            advice = "its answer was no longer wanted";
        }
        std::string message = fmt::format("the store {} {} ({}): {}", path_, doing, reason, advice);
        switch (code) {
            case SQLITE_BUSY:
                throw BusyError(message);
            case SQLITE_CORRUPT:
            case SQLITE_NOTADB:
                throw StoreError(StoreErrorKind::Corrupt, message);
            case SQLITE_READONLY:
            case SQLITE_PERM:
                throw StoreError(StoreErrorKind::ReadOnly, message);
            case SQLITE_CANTOPEN:
                throw StoreError(StoreErrorKind::CannotOpen, message);
            case SQLITE_INTERRUPT:
                throw StoreError(StoreErrorKind::Interrupted, message);
            default:
                throw StoreError(StoreErrorKind::Other, message);
        }
    }

    // The statements run() prepared, kept for the next run of the same SQL:
    // a page runs the same few queries each time, and preparing one costs as
    // much as running it. Bounded: texts that vary (a list of readers' ids)
    // would otherwise pile up.
    static constexpr std::size_t kKeptStatements = 64;
    struct SqlHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view sql) const noexcept {
            return std::hash<std::string_view>{}(sql);
        }
    };
    std::unordered_map<std::string, sqlite3_stmt*, SqlHash, std::equal_to<>> kept_;

    // The kept statement for `sql`, prepared now if there is none.
    sqlite3_stmt* kept_statement(std::string_view sql) {
        if (const auto found = kept_.find(sql); found != kept_.end()) {
            return found->second;
        }
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                               SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
            fail("cannot be read");
        }
        if (kept_.size() >= kKeptStatements) {
            forget_statements();
        }
        kept_.emplace(std::string(sql), statement);
        return statement;
    }

    void forget_statements() noexcept {
        for (auto& [sql, statement] : kept_) {
            sqlite3_finalize(statement);
        }
        kept_.clear();
    }

    // A prepared statement: its own, finalised on every path, or a kept
    // one, reset on every path (a statement left stepping would hold its
    // read transaction, and with it the snapshot, open).
    class Statement {
      public:
        Statement(const SqliteDatabase& db, std::string_view sql) : db_(db), owned_(true) {
            if (sqlite3_prepare_v2(db.db_, sql.data(), static_cast<int>(sql.size()), &statement_,
                                   nullptr) != SQLITE_OK) {
                db.fail("cannot be read");
            }
        }
        Statement(const SqliteDatabase& db, sqlite3_stmt* kept)
            : db_(db), statement_(kept), owned_(false) {}
        ~Statement() {
            if (owned_) {
                sqlite3_finalize(statement_);
            } else {
                reset();
            }
        }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        void bind(int index, const Value& value) {
            if (const auto* integer = std::get_if<std::int64_t>(&value)) {
                bind_integer(index, *integer);
            } else if (const auto* text = std::get_if<std::string>(&value)) {
                bind_text(index, *text);
            } else if (const auto* blob = std::get_if<Blob>(&value)) {
                bind_blob(index, blob->bytes);
            } else {
                sqlite3_bind_null(statement_, index);
            }
        }
        void bind_integer(int index, std::int64_t value) {
            sqlite3_bind_int64(statement_, index, value);
        }
        void bind_text(int index, std::string_view text) {
            sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        }
        void bind_blob(int index, std::string_view bytes) {
            sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                              SQLITE_TRANSIENT);
        }
        void bind_null(int index) { sqlite3_bind_null(statement_, index); }
        /// True while a row is there to read.
        bool step() {
            const int rc = sqlite3_step(statement_);
            if (rc == SQLITE_ROW) {
                return true;
            }
            if (rc != SQLITE_DONE) {
                db_.fail(sqlite3_stmt_readonly(statement_) != 0 ? "cannot be read"
                                                                : "cannot be written");
            }
            return false;
        }
        [[nodiscard]] Row row() const {
            std::vector<Value> values;
            const int columns = sqlite3_column_count(statement_);
            for (int i = 0; i < columns; ++i) {
                switch (sqlite3_column_type(statement_, i)) {
                    case SQLITE_NULL:
                        values.emplace_back(Null{});
                        break;
                    case SQLITE_INTEGER:
                        values.emplace_back(std::int64_t{sqlite3_column_int64(statement_, i)});
                        break;
                    default: {
                        const auto* data = sqlite3_column_blob(statement_, i);
                        const int size = sqlite3_column_bytes(statement_, i);
                        std::string bytes = data == nullptr
                                                ? std::string{}
                                                : std::string(static_cast<const char*>(data),
                                                              static_cast<std::size_t>(size));
                        values.emplace_back(std::move(bytes));
                    }
                }
            }
            return Row(std::move(values));
        }
        void reset() {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }

      private:
        const SqliteDatabase& db_;
        sqlite3_stmt* statement_ = nullptr;
        bool owned_;
    };

    std::string path_;
    std::optional<SharedLock> lock_;  // held while the store is open for reading
    bool immutable_ = false;
    std::string log_base_;  // the file the path names, for its log files
    // interrupt() comes from another thread: it must not find the handle
    // half closed or replaced.
    std::mutex handle_mutex_;
    std::atomic<bool> interrupted_{false};
    sqlite3* db_ = nullptr;
};

Rows SqliteDatabase::run(std::string_view sql, const std::vector<Value>& params) {
    if (interrupted_) {
        // sqlite3_interrupt ends only the statements running when it comes.
        throw StoreError(StoreErrorKind::Interrupted,
                         fmt::format("the store {} was not read further: its answer was no longer "
                                     "wanted",
                                     path_));
    }
    if (!immutable_) {
        return query(sql, params);
    }
    std::optional<Rows> rows;
    try {
        rows = query(sql, params);
    } catch (const StoreError& error) {
        if (error.kind() == StoreErrorKind::Interrupted || !log_files_exist()) {
            throw;
        }
    }
    if (rows && !log_files_exist()) {
        return std::move(*rows);
    }
    // A writer came during the read (open_for_reading says why that counts).
    close();
    immutable_ = false;
    connect(path_, SQLITE_OPEN_READONLY);
    return query(sql, params);
}

Rows SqliteDatabase::query(std::string_view sql, const std::vector<Value>& params) {
    Statement statement(*this, kept_statement(sql));
    for (std::size_t i = 0; i < params.size(); ++i) {
        statement.bind(static_cast<int>(i + 1), params[i]);
    }
    Rows rows;
    while (statement.step()) {
        rows.push_back(statement.row());
    }
    return rows;
}

void SqliteDatabase::insert_records(const std::vector<RecordRow>& rows) {
    Statement insert(*this,
                     "INSERT INTO records (memory, position, download_id, reader_id, stamp, "
                     "date_line, stamp_codes, stamp_state, stamp_bad_field, lead, text, text_utf8, "
                     "text_folded) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const RecordRow& row : rows) {
        insert.bind_integer(1, row.memory);
        insert.bind_integer(2, row.position);
        insert.bind_integer(3, row.download_id);
        insert.bind_integer(4, row.reader_id);
        row.stamp ? insert.bind_text(5, *row.stamp) : insert.bind_null(5);
        insert.bind_text(6, row.date_line);
        insert.bind_blob(7, row.stamp_codes);
        insert.bind_integer(8, row.stamp_state);
        insert.bind_integer(9, row.stamp_bad_field);
        row.lead ? insert.bind_integer(10, *row.lead) : insert.bind_null(10);
        insert.bind_blob(11, row.text);
        insert.bind_text(12, row.text_utf8);
        insert.bind_text(13, row.text_folded);
        insert.step();
        insert.reset();
    }
}

}  // namespace

std::unique_ptr<Database> open_sqlite(const std::string& path, OpenMode mode) {
    return std::make_unique<SqliteDatabase>(path, mode);
}

}  // namespace kdr::store::detail
