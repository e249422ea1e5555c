// The SQLite back end: one file, written by any number of collectors at once.
// WAL lets readers go on while one collector writes; synchronous=FULL makes a
// commit durable before it returns (the reader is erased only after that);
// a busy timeout lets collectors queue for the write lock instead of failing.
#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#include "store/backend.hpp"

namespace kdr::store::detail {

namespace {

// How long a collector waits for another one's write to end.
constexpr int kBusyTimeoutMs = 30'000;

// Each migration takes the schema from the version before it to its own.
constexpr std::array<std::string_view, 1> kMigrations{R"sql(
CREATE TABLE readers (
  id INTEGER PRIMARY KEY,
  machine_id TEXT NOT NULL UNIQUE,
  memory INTEGER
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
  erase TEXT NOT NULL
);
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
  lead INTEGER NOT NULL,
  text BLOB NOT NULL,
  text_utf8 TEXT NOT NULL,
  PRIMARY KEY (memory, position)
);
)sql"};

// The file stayed locked by another connection: worth another try while
// the store is being set up (see SqliteStore's constructor).
class BusyError : public StoreError {
  public:
    using StoreError::StoreError;
};

class Database;

class Statement {
  public:
    Statement(Database& db, std::string_view sql);
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, std::string_view text);
    Statement& bind_blob(int index, std::string_view bytes);
    Statement& bind_null(int index);
    /// True while a row is there to read.
    bool step();
    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

    [[nodiscard]] std::int64_t integer(int column) const {
        return sqlite3_column_int64(statement_, column);
    }
    [[nodiscard]] bool is_null(int column) const {
        return sqlite3_column_type(statement_, column) == SQLITE_NULL;
    }
    [[nodiscard]] std::string text(int column) const {
        const auto* data = sqlite3_column_blob(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return data == nullptr
                   ? std::string{}
                   : std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
    }

  private:
    Database& db_;
    sqlite3_stmt* statement_ = nullptr;
};

class Database {
  public:
    explicit Database(std::string path) : path_(std::move(path)) {
        const int rc = sqlite3_open_v2(path_.c_str(), &db_,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc != SQLITE_OK) {
            // A failed open still returns a handle, and no destructor runs
            // for a constructor that throws.
            try {
                fail("cannot be opened");
            } catch (...) {
                sqlite3_close_v2(db_);
                db_ = nullptr;
                throw;
            }
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);
    }
    ~Database() { sqlite3_close_v2(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(std::string_view sql, std::string_view doing) {
        char* message = nullptr;
        const std::string text(sql);
        if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            sqlite3_free(message);
            fail(doing);
        }
    }

    /// Throws the store's one-sentence error for the last failed call.
    [[noreturn]] void fail(std::string_view doing) const {
        const int code = db_ == nullptr ? SQLITE_CANTOPEN : sqlite3_extended_errcode(db_);
        const std::string reason = db_ == nullptr ? "out of memory" : sqlite3_errmsg(db_);
        std::string advice = "check the path and that this user may write the file and its folder";
        if ((code & 0xFF) == SQLITE_BUSY) {
            advice = fmt::format("another program held it locked for more than {} s",
                                 kBusyTimeoutMs / 1000);
        } else if ((code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB) {
            advice = "it is damaged or no SQLite database: give another file";
        } else if ((code & 0xFF) == SQLITE_FULL) {
            advice = "the disk is full: make room";
        }
        std::string message = fmt::format("the store {} {} ({}): {}", path_, doing, reason, advice);
        if ((code & 0xFF) == SQLITE_BUSY) {
            throw BusyError(message);
        }
        throw StoreError(message);
    }

    [[nodiscard]] sqlite3* handle() const { return db_; }
    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

Statement::Statement(Database& db, std::string_view sql) : db_(db) {
    if (sqlite3_prepare_v2(db.handle(), sql.data(), static_cast<int>(sql.size()), &statement_,
                           nullptr) != SQLITE_OK) {
        db.fail("cannot be read");
    }
}

Statement& Statement::bind(int index, std::int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind_blob(int index, std::string_view bytes) {
    sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind_null(int index) {
    sqlite3_bind_null(statement_, index);
    return *this;
}

bool Statement::step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    db_.fail("cannot be written");
}

// A write transaction, rolled back unless committed. IMMEDIATE takes the
// write lock at once, so that what is read in it (the reader's memory)
// cannot change before it is written.
class Transaction {
  public:
    explicit Transaction(Database& db) : db_(db) {
        db_.exec("BEGIN IMMEDIATE", "cannot be locked for writing");
    }
    ~Transaction() {
        if (!done_) {
            sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        db_.exec("COMMIT", "cannot be written");
        done_ = true;
    }

  private:
    Database& db_;
    bool done_ = false;
};

std::string_view codes_view(const Stamp& stamp) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes as bytes
    return {reinterpret_cast<const char*>(stamp.codes.data()), stamp.codes.size()};
}

class SqliteStore final : public Store {
  public:
    explicit SqliteStore(const std::string& path) : db_(path) {
        // Switching a new file to WAL takes a lock that SQLite does not wait
        // for: collectors that open a new store at once take turns here.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        while (true) {
            try {
                set_up(path);
                return;
            } catch (const BusyError&) {
                if (std::chrono::steady_clock::now() > deadline) {
                    throw;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }

    StoreOutcome store_download(const CollectedDownload& collected) override;
    void set_erase_result(std::int64_t download_id, EraseResult result) override;
    std::vector<StoredRecord> records(const RecordFilter& filter) override;
    std::vector<StoredDownload> downloads() override;
    [[nodiscard]] std::string name() const override { return db_.path(); }

  private:
    void set_up(const std::string& path) {
        const std::string mode = pragma("PRAGMA journal_mode=WAL");
        if (mode != "wal") {
            throw StoreError(fmt::format(
                "the store {} cannot keep a write-ahead log (journal mode {}): give a file on a "
                "local file system",
                path, mode));
        }
        db_.exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON", "cannot be set up");
        migrate();
    }

    std::string pragma(std::string_view sql) {
        Statement statement(db_, sql);
        return statement.step() ? statement.text(0) : std::string{};
    }

    void migrate() {
        Transaction transaction(db_);
        db_.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)",
                 "cannot be set up");
        Statement read(db_, "SELECT max(version) FROM schema_version");
        const std::int64_t version = read.step() && !read.is_null(0) ? read.integer(0) : 0;
        if (version > kSchemaVersion) {
            throw StoreError(fmt::format(
                "the store {} has schema version {}, newer than this kdr knows ({}): use a "
                "newer kdr",
                db_.path(), version, kSchemaVersion));
        }
        for (auto v = static_cast<std::size_t>(version); v < kMigrations.size(); ++v) {
            db_.exec(kMigrations.at(v), "cannot be set up");
        }
        if (version < kSchemaVersion) {
            db_.exec("DELETE FROM schema_version", "cannot be set up");
            Statement(db_, "INSERT INTO schema_version (version) VALUES (?)")
                .bind(1, std::int64_t{kSchemaVersion})
                .step();
        }
        transaction.commit();
    }

    Database db_;
};

StoreOutcome SqliteStore::store_download(const CollectedDownload& collected) {
    check_storable(collected);
    const Download& download = *collected.download;
    const std::string machine_id = stored_machine_id(download.machine_id);
    Transaction transaction(db_);

    Statement(db_, "INSERT OR IGNORE INTO readers (machine_id) VALUES (?)")
        .bind(1, machine_id)
        .step();
    Statement reader(db_, "SELECT id, memory FROM readers WHERE machine_id = ?");
    reader.bind(1, machine_id).step();
    const std::int64_t reader_id = reader.integer(0);
    // The download that began the reader's current memory; 0 for none (ids
    // start at 1).
    const std::int64_t memory = reader.is_null(1) ? 0 : reader.integer(1);

    std::vector<DownloadedRecord> held;
    if (memory != 0) {
        Statement stored(
            db_,
            "SELECT stamp_codes, stamp_state, stamp_bad_field, lead, text FROM records "
            "WHERE memory = ? ORDER BY position");
        stored.bind(1, memory);
        while (stored.step()) {
            held.push_back(record_from(stored.text(0), stored.integer(1), stored.integer(2),
                                       stored.integer(3), stored.text(4)));
        }
    }
    const Plan plan = plan_download(held, download);

    const EraseResult erase = !download.complete()      ? EraseResult::Skipped
                              : collected.erase_follows ? EraseResult::Pending
                                                        : EraseResult::NotRequested;
    Statement insert_download(
        db_,
        "INSERT INTO downloads (reader_id, port, started_at, ended_at, announced, received, "
        "complete, memory, new_records, already_stored, erase) VALUES (?, ?, ?, ?, ?, ?, ?, 0, ?, "
        "?, ?)");
    insert_download.bind(1, reader_id)
        .bind(2, collected.port)
        .bind(3, iso_utc(collected.started))
        .bind(4, iso_utc(collected.ended))
        .bind(5, std::int64_t{download.announced})
        .bind(6, static_cast<std::int64_t>(download.records.size()))
        .bind(7, std::int64_t{download.complete() ? 1 : 0})
        .bind(8, static_cast<std::int64_t>(plan.end - plan.first_new))
        .bind(9, static_cast<std::int64_t>(plan.first_new))
        .bind(10, to_string(erase))
        .step();
    const std::int64_t download_id = sqlite3_last_insert_rowid(db_.handle());
    const std::int64_t memory_id = memory != 0 && !plan.new_memory ? memory : download_id;
    Statement(db_, "UPDATE downloads SET memory = ? WHERE id = ?")
        .bind(1, memory_id)
        .bind(2, download_id)
        .step();

    Statement insert(db_,
                     "INSERT INTO records (memory, position, download_id, reader_id, stamp, "
                     "date_line, stamp_codes, stamp_state, stamp_bad_field, lead, text, text_utf8) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (std::size_t i = plan.first_new; i < plan.end; ++i) {
        const DownloadedRecord& record = download.records[i];
        insert.bind(1, memory_id)
            .bind(2, static_cast<std::int64_t>(i + 1))
            .bind(3, download_id)
            .bind(4, reader_id);
        if (const std::optional<std::string> time = stamp_time(record.stamp)) {
            insert.bind(5, *time);
        } else {
            insert.bind_null(5);
        }
        insert.bind(6, record.stamp.line())
            .bind_blob(7, codes_view(record.stamp))
            .bind(8, std::int64_t{static_cast<std::uint8_t>(record.stamp.state)})
            .bind(9, std::int64_t{record.stamp.bad_field})
            .bind(10, std::int64_t{static_cast<unsigned char>(record.lead)})
            .bind_blob(11, record.text)
            .bind(12, latin1_to_utf8(record.text))
            .step();
        insert.reset();
    }
    Statement(db_, "UPDATE readers SET memory = ? WHERE id = ?")
        .bind(1, memory_id)
        .bind(2, reader_id)
        .step();
    transaction.commit();
    return {download_id, plan.end - plan.first_new, plan.first_new, plan.new_memory};
}

void SqliteStore::set_erase_result(std::int64_t download_id, EraseResult result) {
    Transaction transaction(db_);
    Statement(db_, "UPDATE downloads SET erase = ? WHERE id = ?")
        .bind(1, to_string(result))
        .bind(2, download_id)
        .step();
    if (result == EraseResult::Acknowledged) {
        // Only if no later download began another memory meanwhile.
        Statement(db_,
                  "UPDATE readers SET memory = NULL WHERE (id, memory) = (SELECT reader_id, "
                  "memory FROM downloads WHERE id = ?)")
            .bind(1, download_id)
            .step();
    }
    transaction.commit();
}

std::vector<StoredRecord> SqliteStore::records(const RecordFilter& filter) {
    std::string sql =
        "SELECT r.machine_id, x.download_id, x.position, x.stamp_codes, x.stamp_state, "
        "x.stamp_bad_field, x.lead, x.text, x.date_line, x.stamp FROM records x JOIN readers r ON "
        "r.id = x.reader_id";
    if (filter.since) {
        sql += " WHERE x.stamp >= ?";
    }
    sql += " ORDER BY r.machine_id, x.memory, x.position";
    Statement query(db_, sql);
    if (filter.since) {
        query.bind(1, iso_day(*filter.since));
    }
    std::vector<StoredRecord> rows;
    while (query.step()) {
        const std::string id = query.text(0);
        if (filter.machine_id && !same_machine_id(id, *filter.machine_id)) {
            continue;
        }
        StoredRecord row;
        row.machine_id = utf8_to_latin1(id);
        row.download_id = query.integer(1);
        row.position = query.integer(2);
        row.record = record_from(query.text(3), query.integer(4), query.integer(5),
                                 query.integer(6), query.text(7));
        row.date_line = query.text(8);
        if (!query.is_null(9)) {
            row.time = query.text(9);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<StoredDownload> SqliteStore::downloads() {
    Statement query(db_,
                    "SELECT d.id, r.machine_id, d.port, d.started_at, d.ended_at, d.announced, "
                    "d.received, d.complete, d.new_records, d.already_stored, d.erase FROM "
                    "downloads d JOIN readers r ON r.id = d.reader_id ORDER BY d.id");
    std::vector<StoredDownload> rows;
    while (query.step()) {
        StoredDownload row;
        row.id = query.integer(0);
        row.machine_id = utf8_to_latin1(query.text(1));
        row.port = query.text(2);
        row.started = query.text(3);
        row.ended = query.text(4);
        row.announced = query.integer(5);
        row.received = query.integer(6);
        row.complete = query.integer(7) != 0;
        row.new_records = query.integer(8);
        row.already_stored = query.integer(9);
        row.erase = erase_result_from(query.text(10)).value_or(EraseResult::Failed);
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

std::unique_ptr<Store> open_sqlite(const std::string& path) {
    return std::make_unique<SqliteStore>(path);
}

}  // namespace kdr::store::detail
