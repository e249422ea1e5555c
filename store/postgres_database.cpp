// The PostgreSQL back end, for stations that share one store. A collect's
// writes are one transaction, committed synchronously; the reader's row is
// locked while its memory is read and extended, so that two collectors never
// interleave there, and a lock is waited for as long as SQLite waits.
#include <fmt/format.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "store/database.hpp"
#include "store/libpq.hpp"

namespace kdr::store::detail {

namespace {

// How long a collector waits for another one's lock on its reader.
constexpr std::string_view kLockTimeout = "30s";
// Prepared statements a connection keeps. A page runs a handful; readers
// named in a condition make texts of their own.
constexpr std::size_t kKeptStatements = 64;

// Serialises schema creation and upgrades between collectors that start at
// once (CREATE TABLE IF NOT EXISTS alone races in PostgreSQL).
constexpr std::string_view kSchemaLock = "SELECT pg_advisory_xact_lock(7037810)";

constexpr std::string_view kCreate = R"sql(
CREATE TABLE readers (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  machine_id BYTEA NOT NULL UNIQUE,
  memory BIGINT,
  named BOOLEAN NOT NULL DEFAULT false
);
CREATE TABLE downloads (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  reader_id BIGINT NOT NULL REFERENCES readers(id),
  port TEXT NOT NULL,
  started_at TIMESTAMPTZ NOT NULL,
  ended_at TIMESTAMPTZ NOT NULL,
  announced INTEGER NOT NULL,
  received INTEGER NOT NULL,
  complete BOOLEAN NOT NULL,
  memory BIGINT NOT NULL,
  new_records INTEGER NOT NULL,
  already_stored INTEGER NOT NULL,
  erase TEXT NOT NULL,
  answer BYTEA,
  reads INTEGER NOT NULL DEFAULT 1,
  sure BOOLEAN NOT NULL DEFAULT true,
  checked TEXT NOT NULL DEFAULT 'sure',
  read_log TEXT NOT NULL DEFAULT ''
);
CREATE TABLE records (
  memory BIGINT NOT NULL,
  position INTEGER NOT NULL,
  download_id BIGINT NOT NULL,
  reader_id BIGINT NOT NULL,
  stamp TIMESTAMP,
  date_line TEXT NOT NULL,
  stamp_codes BYTEA NOT NULL,
  stamp_state SMALLINT NOT NULL,
  stamp_bad_field SMALLINT NOT NULL,
  lead SMALLINT,
  text BYTEA NOT NULL,
  text_utf8 TEXT NOT NULL,
  PRIMARY KEY (memory, position)
);
)sql";

// Version 1 kept the machine ID as text (its UTF-8 bytes are turned back
// into the reader's by the data step) and every record's leading character.
constexpr std::string_view kUpgrade1To2 = R"sql(
ALTER TABLE readers ALTER COLUMN machine_id TYPE BYTEA USING convert_to(machine_id, 'UTF8');
ALTER TABLE downloads ADD COLUMN answer BYTEA;
ALTER TABLE records ALTER COLUMN lead DROP NOT NULL;
)sql";

// The answers of a download's reads that differ from the one it kept.
constexpr std::string_view kDownloadAnswersTable = R"sql(
CREATE TABLE download_answers (
  download_id BIGINT NOT NULL,
  read_number INTEGER NOT NULL,
  answer BYTEA NOT NULL,
  PRIMARY KEY (download_id, read_number)
);
)sql";

// Version 2 knew one read per download, and did not tell a reader's own ID
// from a name given for a reader without one. A name is what no reader sent:
// not eight bytes long, or not the ID in a kept answer (STX, then the ID).
constexpr std::string_view kUpgrade2To3 = R"sql(
ALTER TABLE readers ADD COLUMN named BOOLEAN NOT NULL DEFAULT false;
UPDATE readers r SET named = true WHERE octet_length(r.machine_id) <> 8 OR EXISTS (
  SELECT 1 FROM downloads d WHERE d.reader_id = r.id AND d.answer IS NOT NULL
  AND substring(d.answer from 2 for 8) <> r.machine_id);
ALTER TABLE downloads ADD COLUMN reads INTEGER NOT NULL DEFAULT 1;
ALTER TABLE downloads ADD COLUMN sure BOOLEAN NOT NULL DEFAULT true;
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
  reader_id BIGINT NOT NULL,
  day TEXT NOT NULL,
  records INTEGER NOT NULL,
  PRIMARY KEY (reader_id, day)
);
)sql";
constexpr std::string_view kUpgrade3To4After = R"sql(
INSERT INTO record_days (reader_id, day, records)
  SELECT reader_id, to_char(stamp, 'YYYY-MM-DD'), count(*) FROM records WHERE stamp IS NOT NULL GROUP BY 1, 2;
)sql";

// Version 4 kept whether reads agreed as yes or no: a download read once
// (--single-read, or from before downloads were read twice) was "sure"
// without having been compared, and what each read got was not kept.
constexpr std::string_view kUpgrade4To5 = R"sql(
ALTER TABLE downloads ADD COLUMN checked TEXT NOT NULL DEFAULT 'sure';
ALTER TABLE downloads ADD COLUMN read_log TEXT NOT NULL DEFAULT '';
UPDATE downloads SET checked = CASE WHEN NOT sure THEN 'unsure'
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
  since TIMESTAMPTZ NOT NULL,
  reader BYTEA NOT NULL
);
CREATE INDEX IF NOT EXISTS downloads_by_reader_erase ON downloads (reader_id, erase, id);
CREATE INDEX IF NOT EXISTS downloads_by_outcome ON downloads (checked, complete);
)sql";

// Version 5 searched texts by reading every record. Each record's text,
// folded as fold_text folds (translate() with its letters: lower() would
// follow the server's locale), is indexed by its trigrams (pg_trgm, trusted
// since PostgreSQL 13). A server where the extension cannot be made warns
// once, here, and searches read every record.
std::string search_schema() {
    const FoldedLetters letters = folded_letters();
    return fmt::format(R"sql(
ALTER TABLE records ADD COLUMN text_folded TEXT NOT NULL DEFAULT '';
UPDATE records SET text_folded = translate(text_utf8, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ{}',
  'abcdefghijklmnopqrstuvwxyz{}');
DO $$ BEGIN
  CREATE EXTENSION IF NOT EXISTS pg_trgm;
  EXECUTE 'CREATE INDEX records_by_text ON records USING gin (text_folded gin_trgm_ops)';
EXCEPTION WHEN others THEN
  RAISE WARNING 'kdr: the text search index cannot be made (%): searches will read every record; to have it, let a database owner run CREATE EXTENSION pg_trgm; CREATE INDEX records_by_text ON records USING gin (text_folded gin_trgm_ops)', SQLERRM;
END $$;
)sql",
                       letters.upper, letters.lower);
}

// Type OIDs of the columns read back as numbers or bytes.
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;

// The URI without its password, for messages.
std::string without_password(const std::string& uri) {
    std::string shown = uri;
    const std::size_t scheme = shown.find("://");
    const std::size_t at = shown.find('@');
    if (scheme != std::string::npos && at != std::string::npos && at > scheme) {
        const std::size_t colon = shown.find(':', scheme + 3);
        if (colon != std::string::npos && colon < at) {
            shown.replace(colon, at - colon, ":***");
        }
    }
    const std::size_t password = shown.find("password=");
    if (password != std::string::npos) {
        const std::size_t end = shown.find('&', password);
        shown.replace(password, end == std::string::npos ? std::string::npos : end - password,
                      "password=***");
    }
    return shown;
}

/// The kind of a statement's failure, by its SQLSTATE.
StoreErrorKind refusal_kind(std::string_view state) {
    // insufficient_privilege, read_only_sql_transaction
    if (state == "42501" || state == "25006") {
        return StoreErrorKind::ReadOnly;
    }
    if (state == "XX001" || state == "XX002") {  // data_corrupted, index_corrupted
        return StoreErrorKind::Corrupt;
    }
    // Class 08: connection exceptions.
    return state.starts_with("08") ? StoreErrorKind::ConnectionLost : StoreErrorKind::Other;
}

std::string first_line(const char* message) {
    std::string text = message == nullptr ? "" : message;
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

// PostgreSQL's text holds no NUL character: it shows as U+FFFD in text
// columns (bytes are kept whole in the bytea ones).
std::string without_nul(std::string text) {
    if (text.find('\0') == std::string::npos) {
        return text;
    }
    std::string clean;
    for (const char c : text) {
        clean += c == '\0' ? std::string_view("\xEF\xBF\xBD") : std::string_view(&c, 1);
    }
    return clean;
}

// "?1" placeholders as PostgreSQL writes them, "$1". The store's statements
// hold no "?" in literals.
std::string with_dollar_placeholders(std::string_view sql) {
    std::string out;
    out.reserve(sql.size());
    for (std::size_t i = 0; i < sql.size(); ++i) {
        if (sql[i] == '?' && i + 1 < sql.size() &&
            std::isdigit(static_cast<unsigned char>(sql[i + 1])) != 0) {
            out += '$';
        } else {
            out += sql[i];
        }
    }
    return out;
}

std::string from_hex(std::string_view hex) {
    // bytea in its text form: "\x4142".
    std::string out;
    out.reserve(hex.size() / 2);
    const auto nibble = [](char c) {
        return static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    for (std::size_t i = 2; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>((nibble(hex[i]) << 4U) | nibble(hex[i + 1]));
    }
    return out;
}

// COPY's text format: backslash escapes for the characters it uses.
void append_copy_text(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

void append_copy_bytes(std::string& out, std::string_view bytes) {
    static constexpr std::string_view kHex = "0123456789abcdef";
    out += "\\\\x";
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        out += kHex[code >> 4U];
        out += kHex[code & 0x0FU];
    }
}

class Result {
  public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { libpq().PQclear(result_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    [[nodiscard]] PGresult* raw() const { return result_; }

  private:
    PGresult* result_;
};

class PostgresDatabase final : public Database {
  public:
    PostgresDatabase(std::string uri, bool read_only)
        : uri_(std::move(uri)), name_(without_password(uri_)), read_only_(read_only) {
        connect();
    }
    ~PostgresDatabase() override { disconnect(); }
    PostgresDatabase(const PostgresDatabase&) = delete;
    PostgresDatabase& operator=(const PostgresDatabase&) = delete;

    void begin() override {
        // A long download may outlast the server's idle timeout, or the
        // server may have restarted: the stored download is worth a new
        // connection. Nothing of the transaction is lost, as none began.
        if (pq_.PQstatus(connection_) != CONNECTION_OK || !try_exec("BEGIN")) {
            if (pq_.PQstatus(connection_) == CONNECTION_OK) {
                fail();
            }
            disconnect();
            connect();
            exec("BEGIN");
        }
        in_transaction_ = true;
    }
    void begin_schema() override {
        exec("BEGIN");
        in_transaction_ = true;
        exec(kSchemaLock);
    }
    void commit() override {
        in_transaction_ = false;
        exec("COMMIT");
    }
    void rollback() noexcept override {
        in_transaction_ = false;
        if (connection_ != nullptr && pq_.PQstatus(connection_) == CONNECTION_OK) {
            pq_.PQclear(pq_.PQexec(connection_, "ROLLBACK"));
        }
    }

    Rows run(std::string_view sql, const std::vector<Value>& params) override;
    void exec(std::string_view sql) override {
        if (!try_exec(sql)) {
            fail();
        }
    }
    void insert_records(const std::vector<RecordRow>& rows) override;

    [[nodiscard]] const std::vector<Migration>& migrations() const override {
        static const std::string version_6 = std::string(kPortStates) + search_schema();
        static const std::string create = std::string(kCreate) +
                                          std::string(kDownloadAnswersTable) +
                                          std::string(kForQueries) + version_6;
        static const std::string upgrade_2_to_3 =
            std::string(kUpgrade2To3) + std::string(kDownloadAnswersTable);
        static const std::vector<Migration> steps{
            {create, false, {}},         {kUpgrade1To2, true, {}},
            {upgrade_2_to_3, false, {}}, {kForQueries, false, kUpgrade3To4After},
            {kUpgrade4To5, false, {}},   {version_6, false, {}}};
        return steps;
    }
    [[nodiscard]] bool has_table(std::string_view name) override {
        return !run("SELECT 1 WHERE to_regclass(?1) IS NOT NULL", {std::string(name)}).empty();
    }
    [[nodiscard]] std::string_view lock_suffix() const override { return " FOR UPDATE"; }
    [[nodiscard]] std::string utc_text(std::string_view column) const override {
        return fmt::format("to_char({}, 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')", column);
    }
    [[nodiscard]] std::string local_text(std::string_view column) const override {
        return fmt::format("to_char({}, 'YYYY-MM-DD HH24:MI:SS')", column);
    }
    [[nodiscard]] std::string local_day(std::string_view column) const override {
        return fmt::format("to_char({}, 'YYYY-MM-DD')", column);
    }
    // pg_trgm's index serves LIKE; the planner chooses it or the order. One
    // reader's records are fewer than the index's matches of a common text,
    // which the planner would read all the same: strpos() keeps it from them.
    [[nodiscard]] std::string holds_text(const std::string& folded, TextScan how,
                                         std::vector<Value>& params) override {
        if (how == TextScan::OneReader) {
            params.emplace_back(folded);
            return fmt::format("strpos(x.text_folded, ?{}) > 0", params.size());
        }
        params.emplace_back(contains_pattern(folded));
        return fmt::format(R"(x.text_folded LIKE ?{} ESCAPE '\')", params.size());
    }
    [[nodiscard]] std::int64_t count_holding(const std::string& folded, std::int64_t cap) override {
        return run(R"(SELECT count(*) FROM (SELECT 1 FROM records WHERE text_folded LIKE ?1 ESCAPE '\' LIMIT ?2) c)",
                   {contains_pattern(folded), cap})
            .at(0)
            .integer(0);
    }
    [[nodiscard]] std::string name() const override { return name_; }
    [[nodiscard]] std::string change_token() override {
        // The transactions running and the next to begin: a commit since the
        // last look changes them (so do other databases' transactions, which
        // costs only a read again).
        return run("SELECT txid_current_snapshot()::text", {}).at(0).bytes(0);
    }
    void interrupt() noexcept override {
        interrupted_ = true;
        const std::scoped_lock lock(cancel_mutex_);
        if (cancel_ != nullptr) {
            std::array<char, 256> reason{};
            (void)pq_.PQcancel(cancel_, reason.data(), static_cast<int>(reason.size()));
        }
    }

  private:
    void connect() {
        connection_ = pq_.PQconnectdb(uri_.c_str());
        if (pq_.PQstatus(connection_) != CONNECTION_OK) {
            const std::string reason = first_line(pq_.PQerrorMessage(connection_));
            disconnect();
            throw StoreError(
                StoreErrorKind::CannotOpen,
                fmt::format("the store {} cannot be reached ({}): check that the PostgreSQL server "
                            "runs and that the URI names it, its database and a user allowed in",
                            name_, reason));
        }
        // Commits are durable before they return, whatever the server's
        // default; times are kept and shown in UTC.
        exec(
            "SET synchronous_commit = on; SET TimeZone = 'UTC'; SET client_min_messages = "
            "warning");
        // The server refuses every write of a session opened for reading,
        // whatever the URI's options say.
        if (read_only_) {
            exec("SET default_transaction_read_only = on");
        }
        // Statements are prepared once a connection, which spares the server
        // a tenth of a page's work, but each run is planned for its values: a
        // plan made for any LIKE pattern cannot tell a rare text, which the
        // index finds, from a common one, which the records' order finds
        // soonest. Servers before PostgreSQL 12 lack the setting: there
        // nothing is prepared.
        prepares_ = try_exec("SET plan_cache_mode = force_custom_plan");
        // A lock held by another session is waited for as long as SQLite
        // waits, unless the administrator chose a bound (the server's
        // settings, or options=-c lock_timeout=... in the URI).
        const Result current(pq_.PQexec(connection_, "SHOW lock_timeout"));
        if (pq_.PQresultStatus(current.raw()) == PGRES_TUPLES_OK &&
            pq_.PQntuples(current.raw()) == 1 &&
            std::string_view(pq_.PQgetvalue(current.raw(), 0, 0)) == "0") {
            exec(fmt::format("SET lock_timeout = '{}'", kLockTimeout));
        }
        const std::scoped_lock lock(cancel_mutex_);
        cancel_ = pq_.PQgetCancel(connection_);
    }

    /// `text` prepared on this connection: its name; or the server's
    /// refusal, which is the statement's own failure (a lost connection, a
    /// lock not granted, a fault in the text); or neither where nothing is
    /// prepared.
    struct Prepared {
        const std::string* name = nullptr;
        PGresult* refusal = nullptr;
    };
    Prepared prepare(const std::string& text, int param_count);

    void disconnect() noexcept {
        {
            const std::scoped_lock lock(cancel_mutex_);
            pq_.PQfreeCancel(cancel_);
            cancel_ = nullptr;
        }
        pq_.PQfinish(connection_);
        connection_ = nullptr;
        prepared_.clear();  // a server's statements end with its session
    }

    [[noreturn]] void throw_interrupted() const {
        throw StoreError(StoreErrorKind::Interrupted,
                         fmt::format("the store {} was not read further: its answer was no longer "
                                     "wanted",
                                     name_));
    }

    bool try_exec(std::string_view sql) {
        const std::string text(sql);
        const Result result(pq_.PQexec(connection_, text.c_str()));
        const ExecStatusType status = pq_.PQresultStatus(result.raw());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            return true;
        }
        last_state_ = sqlstate(result.raw());
        return false;
    }

    [[nodiscard]] std::string sqlstate(const PGresult* result) const {
        const char* state = pq_.PQresultErrorField(result, PG_DIAG_SQLSTATE);
        return state == nullptr ? std::string{} : std::string(state);
    }

    /// `what` the server refused, for the message: "a write" or "a read".
    [[noreturn]] void fail(std::string_view what = "a write") const {
        if (interrupted_) {
            throw_interrupted();
        }
        const std::string reason = first_line(pq_.PQerrorMessage(connection_));
        if (pq_.PQstatus(connection_) != CONNECTION_OK) {
            throw StoreError(
                StoreErrorKind::ConnectionLost,
                fmt::format("the store {} was lost ({}): check that the PostgreSQL server runs",
                            name_, reason));
        }
        if (last_state_ == "55P03") {  // lock_not_available
            throw StoreError(StoreErrorKind::Locked,
                             fmt::format("the store {} kept this reader locked past the lock "
                                         "timeout (another collect or session holds it): try "
                                         "again when it has ended",
                                         name_));
        }
        throw StoreError(refusal_kind(last_state_),
                         fmt::format("the store {} refused {} ({}): check the server's log", name_,
                                     what, reason));
    }

    void check(const Result& result, std::string_view what = "a write") {
        const ExecStatusType status = pq_.PQresultStatus(result.raw());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            last_state_ = sqlstate(result.raw());
            fail(what);
        }
    }

    // First, so that a missing client library is told before anything else.
    const Libpq& pq_ = libpq();
    std::string uri_;
    std::string name_;
    bool read_only_ = false;
    PGconn* connection_ = nullptr;
    std::string last_state_;
    bool in_transaction_ = false;
    // interrupt() comes from another thread, while a statement runs here.
    std::mutex cancel_mutex_;
    PGcancel* cancel_ = nullptr;
    std::atomic<bool> interrupted_{false};
    // The statements this connection has prepared, by their text.
    std::unordered_map<std::string, std::string> prepared_;
    std::uint64_t next_statement_ = 0;
    bool prepares_ = false;
};

PostgresDatabase::Prepared PostgresDatabase::prepare(const std::string& text, int param_count) {
    if (!prepares_) {
        return {};
    }
    if (const auto found = prepared_.find(text); found != prepared_.end()) {
        return {&found->second, nullptr};
    }
    if (prepared_.size() >= kKeptStatements) {
        pq_.PQclear(pq_.PQexec(connection_, "DEALLOCATE ALL"));
        prepared_.clear();
    }
    // Names are never used twice, so one that a failed DEALLOCATE left on
    // the server is never asked for again.
    std::string name = fmt::format("kdr_{}", next_statement_++);
    PGresult* made = pq_.PQprepare(connection_, name.c_str(), text.c_str(), param_count, nullptr);
    if (pq_.PQresultStatus(made) != PGRES_COMMAND_OK) {
        return {nullptr, made};
    }
    pq_.PQclear(made);
    return {&prepared_.emplace(text, std::move(name)).first->second, nullptr};
}

Rows PostgresDatabase::run(std::string_view sql, const std::vector<Value>& params) {
    // Text parameters, but bytes go in binary form: they may hold any byte.
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    std::vector<int> lengths(params.size(), 0);
    std::vector<int> formats(params.size(), 0);
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (const auto* integer = std::get_if<std::int64_t>(&params[i])) {
            texts[i] = std::to_string(*integer);
        } else if (const auto* text = std::get_if<std::string>(&params[i])) {
            texts[i] = without_nul(*text);
        } else if (const auto* blob = std::get_if<Blob>(&params[i])) {
            values[i] = blob->bytes.data();
            lengths[i] = static_cast<int>(blob->bytes.size());
            formats[i] = 1;
            continue;
        } else {
            continue;  // NULL
        }
        values[i] = texts[i].c_str();
    }
    if (interrupted_) {
        throw_interrupted();
    }
    const std::string text = with_dollar_placeholders(sql);
    const auto execute = [&] {
        const Prepared prepared = prepare(text, static_cast<int>(params.size()));
        if (prepared.refusal != nullptr) {
            return prepared.refusal;
        }
        if (prepared.name != nullptr) {
            return pq_.PQexecPrepared(connection_, prepared.name->c_str(),
                                      static_cast<int>(params.size()), values.data(),
                                      lengths.data(), formats.data(), 0);
        }
        return pq_.PQexecParams(connection_, text.c_str(), static_cast<int>(params.size()), nullptr,
                                values.data(), lengths.data(), formats.data(), 0);
    };
    const bool read = sql.starts_with("SELECT");
    PGresult* first = execute();
    const ExecStatusType status = pq_.PQresultStatus(first);
    // A server restarted since the last statement, or an idle connection it
    // closed: a read outside a transaction loses nothing by a new connection,
    // so a pooled connection's first read after a restart is still answered.
    if (read && !in_transaction_ && !interrupted_ && status != PGRES_COMMAND_OK &&
        status != PGRES_TUPLES_OK && pq_.PQstatus(connection_) == CONNECTION_BAD) {
        pq_.PQclear(first);
        disconnect();
        try {
            connect();
        } catch (const StoreError& error) {
            throw StoreError(StoreErrorKind::ConnectionLost, error.what());
        }
        first = execute();
    }
    const Result result(first);
    check(result, read ? "a read" : "a write");
    Rows rows;
    const int count = pq_.PQntuples(result.raw());
    const int columns = pq_.PQnfields(result.raw());
    rows.reserve(static_cast<std::size_t>(count));
    for (int row = 0; row < count; ++row) {
        std::vector<Value> fields;
        fields.reserve(static_cast<std::size_t>(columns));
        for (int column = 0; column < columns; ++column) {
            if (pq_.PQgetisnull(result.raw(), row, column) != 0) {
                fields.emplace_back(Null{});
                continue;
            }
            const std::string_view field(
                pq_.PQgetvalue(result.raw(), row, column),
                static_cast<std::size_t>(pq_.PQgetlength(result.raw(), row, column)));
            switch (pq_.PQftype(result.raw(), column)) {
                case kBoolOid:
                    fields.emplace_back(std::int64_t{field == "t" ? 1 : 0});
                    break;
                case kByteaOid:
                    fields.emplace_back(Blob{from_hex(field)});
                    break;
                case kInt2Oid:
                case kInt4Oid:
                case kInt8Oid:
                    fields.emplace_back(std::int64_t{std::stoll(std::string(field))});
                    break;
                default:
                    fields.emplace_back(std::string(field));
            }
        }
        rows.emplace_back(std::move(fields));
    }
    return rows;
}

void PostgresDatabase::insert_records(const std::vector<RecordRow>& rows) {
    if (rows.empty()) {
        return;
    }
    // One COPY for all records: a round trip per record would cost more than
    // the download itself at a station's 100,000 records.
    std::string data;
    for (const RecordRow& row : rows) {
        data += fmt::format("{}\t{}\t{}\t{}\t", row.memory, row.position, row.download_id,
                            row.reader_id);
        data += row.stamp ? *row.stamp : "\\N";
        data += '\t';
        append_copy_text(data, row.date_line);
        data += '\t';
        append_copy_bytes(data, row.stamp_codes);
        data += fmt::format("\t{}\t{}\t", row.stamp_state, row.stamp_bad_field);
        data += row.lead ? std::to_string(*row.lead) : "\\N";
        data += '\t';
        append_copy_bytes(data, row.text);
        data += '\t';
        append_copy_text(data, without_nul(row.text_utf8));
        data += '\t';
        append_copy_text(data, without_nul(row.text_folded));
        data += '\n';
    }
    const Result start(
        pq_.PQexec(connection_,
                   "COPY records (memory, position, download_id, reader_id, stamp, "
                   "date_line, stamp_codes, stamp_state, stamp_bad_field, lead, text, "
                   "text_utf8, text_folded) FROM STDIN"));
    if (pq_.PQresultStatus(start.raw()) != PGRES_COPY_IN) {
        fail();
    }
    if (pq_.PQputCopyData(connection_, data.data(), static_cast<int>(data.size())) != 1 ||
        pq_.PQputCopyEnd(connection_, nullptr) != 1) {
        fail();
    }
    const Result end(pq_.PQgetResult(connection_));
    // The COPY is over when no result follows.
    while (PGresult* more = pq_.PQgetResult(connection_)) {
        pq_.PQclear(more);
    }
    check(end);
}

}  // namespace

std::unique_ptr<Database> open_postgres(const std::string& uri, bool read_only) {
    return std::make_unique<PostgresDatabase>(uri, read_only);
}

}  // namespace kdr::store::detail
