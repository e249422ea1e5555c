// The PostgreSQL back end, for stations that share one store. The same
// schema and guarantees as the SQLite file: a collect's writes are one
// transaction, committed synchronously; the reader's row is locked while its
// memory is read and extended, so that two collectors never interleave there.
#include <fmt/format.h>
#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "store/backend.hpp"

namespace kdr::store::detail {

namespace {

// Serialises schema creation and upgrades between collectors that start at
// once (CREATE TABLE IF NOT EXISTS alone races in PostgreSQL).
constexpr std::string_view kSchemaLock = "SELECT pg_advisory_xact_lock(7037810)";

constexpr std::array<std::string_view, 1> kMigrations{R"sql(
CREATE TABLE readers (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  machine_id TEXT NOT NULL UNIQUE,
  memory BIGINT
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
  erase TEXT NOT NULL
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
  lead SMALLINT NOT NULL,
  text BYTEA NOT NULL,
  text_utf8 TEXT NOT NULL,
  PRIMARY KEY (memory, position)
);
)sql"};

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

std::string first_line(const char* message) {
    std::string text = message == nullptr ? "" : message;
    const std::size_t end = text.find('\n');
    if (end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

// PostgreSQL's text holds no NUL character; such a byte shows as U+FFFD in
// the UTF-8 copy (the bytes themselves are kept whole in the bytea column).
std::string pg_text(std::string_view text) {
    std::string utf8 = latin1_to_utf8(text);
    if (utf8.find('\0') == std::string::npos) {
        return utf8;
    }
    std::string clean;
    for (const char c : utf8) {
        clean += c == '\0' ? std::string_view("\xEF\xBF\xBD") : std::string_view(&c, 1);
    }
    return clean;
}

class Result {
  public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result& operator=(Result&&) = delete;

    [[nodiscard]] PGresult* raw() const { return result_; }
    [[nodiscard]] int rows() const { return PQntuples(result_); }
    [[nodiscard]] bool is_null(int row, int column) const {
        return PQgetisnull(result_, row, column) != 0;
    }
    [[nodiscard]] std::string text(int row, int column) const {
        return {PQgetvalue(result_, row, column),
                static_cast<std::size_t>(PQgetlength(result_, row, column))};
    }
    [[nodiscard]] std::int64_t integer(int row, int column) const {
        return std::stoll(text(row, column));
    }
    /// A bytea column, sent in the hex form "\x4142".
    [[nodiscard]] std::string bytes(int row, int column) const {
        const std::string hex = text(row, column);
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

  private:
    PGresult* result_;
};

class Connection {
  public:
    explicit Connection(const std::string& uri) : name_(without_password(uri)) {
        connection_ = PQconnectdb(uri.c_str());
        if (PQstatus(connection_) != CONNECTION_OK) {
            const std::string reason = first_line(PQerrorMessage(connection_));
            PQfinish(connection_);
            connection_ = nullptr;
            throw StoreError(fmt::format(
                "the store {} cannot be reached ({}): check that the PostgreSQL server runs and "
                "that the URI names it, its database and a user allowed in",
                name_, reason));
        }
    }
    ~Connection() { PQfinish(connection_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Runs a statement with text parameters; throws unless it succeeded.
    Result run(std::string_view sql, const std::vector<std::string>& params = {}) {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const std::string& param : params) {
            values.push_back(param.c_str());
        }
        const std::string text(sql);
        Result result(PQexecParams(connection_, text.c_str(), static_cast<int>(values.size()),
                                   nullptr, values.data(), nullptr, nullptr, 0));
        check(result);
        return result;
    }
    /// Runs statements without parameters (several, separated by ";").
    void exec(std::string_view sql) {
        const std::string text(sql);
        Result result(PQexec(connection_, text.c_str()));
        check(result);
    }

    /// Sends rows in COPY's text format to a COPY ... FROM STDIN.
    void copy_in(std::string_view sql, const std::string& rows) {
        const std::string text(sql);
        Result start(PQexec(connection_, text.c_str()));
        if (PQresultStatus(start.raw()) != PGRES_COPY_IN) {
            fail();
        }
        if (PQputCopyData(connection_, rows.data(), static_cast<int>(rows.size())) != 1 ||
            PQputCopyEnd(connection_, nullptr) != 1) {
            fail();
        }
        Result end(PQgetResult(connection_));
        check(end);
        // The COPY is over when no result follows.
        while (PGresult* more = PQgetResult(connection_)) {
            PQclear(more);
        }
    }

    [[noreturn]] void fail() const {
        const std::string reason = first_line(PQerrorMessage(connection_));
        if (PQstatus(connection_) != CONNECTION_OK) {
            throw StoreError(
                fmt::format("the store {} was lost ({}): check that the PostgreSQL server runs",
                            name_, reason));
        }
        throw StoreError(fmt::format("the store {} refused a write ({}): check the server's log",
                                     name_, reason));
    }

    [[nodiscard]] const std::string& name() const { return name_; }

  private:
    void check(const Result& result) const {
        const ExecStatusType status = PQresultStatus(result.raw());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            fail();
        }
    }

    std::string name_;
    PGconn* connection_ = nullptr;
};

// A transaction rolled back unless committed.
class Transaction {
  public:
    explicit Transaction(Connection& connection) : connection_(connection) {
        connection_.exec("BEGIN");
    }
    ~Transaction() {
        if (!done_) {
            try {
                connection_.exec("ROLLBACK");
            } catch (const StoreError&) {  // NOLINT(bugprone-empty-catch): already failing
            }
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        done_ = true;
        connection_.exec("COMMIT");
    }

  private:
    Connection& connection_;
    bool done_ = false;
};

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

class PostgresStore final : public Store {
  public:
    explicit PostgresStore(const std::string& uri) : db_(uri) {
        // Commits are durable before they return, whatever the server's
        // default; times are kept and shown in UTC.
        db_.exec(
            "SET synchronous_commit = on; SET TimeZone = 'UTC'; SET client_min_messages = "
            "warning");
        migrate();
    }

    StoreOutcome store_download(const CollectedDownload& collected) override;
    void set_erase_result(std::int64_t download_id, EraseResult result) override;
    std::vector<StoredRecord> records(const RecordFilter& filter) override;
    std::vector<StoredDownload> downloads() override;
    [[nodiscard]] std::string name() const override { return db_.name(); }

  private:
    void migrate() {
        Transaction transaction(db_);
        db_.exec(kSchemaLock);
        db_.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        const Result read = db_.run("SELECT max(version) FROM schema_version");
        const std::int64_t version = read.is_null(0, 0) ? 0 : read.integer(0, 0);
        if (version > kSchemaVersion) {
            throw StoreError(fmt::format(
                "the store {} has schema version {}, newer than this kdr knows ({}): use a "
                "newer kdr",
                db_.name(), version, kSchemaVersion));
        }
        for (auto v = static_cast<std::size_t>(version); v < kMigrations.size(); ++v) {
            db_.exec(kMigrations.at(v));
        }
        if (version < kSchemaVersion) {
            db_.exec("DELETE FROM schema_version");
            db_.run("INSERT INTO schema_version (version) VALUES ($1)",
                    {std::to_string(kSchemaVersion)});
        }
        transaction.commit();
    }

    Connection db_;
};

StoreOutcome PostgresStore::store_download(const CollectedDownload& collected) {
    check_storable(collected);
    const Download& download = *collected.download;
    const std::string machine_id = pg_text(download.machine_id);
    Transaction transaction(db_);

    db_.run("INSERT INTO readers (machine_id) VALUES ($1) ON CONFLICT (machine_id) DO NOTHING",
            {machine_id});
    const Result reader =
        db_.run("SELECT id, memory FROM readers WHERE machine_id = $1 FOR UPDATE", {machine_id});
    const std::string reader_id = reader.text(0, 0);
    // The download that began the reader's current memory; 0 for none (ids
    // start at 1).
    const std::int64_t memory = reader.is_null(0, 1) ? 0 : reader.integer(0, 1);

    std::vector<DownloadedRecord> held;
    if (memory != 0) {
        const Result stored = db_.run(
            "SELECT stamp_codes, stamp_state, stamp_bad_field, lead, text FROM records WHERE "
            "memory = $1 ORDER BY position",
            {std::to_string(memory)});
        held.reserve(static_cast<std::size_t>(stored.rows()));
        for (int row = 0; row < stored.rows(); ++row) {
            held.push_back(record_from(stored.bytes(row, 0), stored.integer(row, 1),
                                       stored.integer(row, 2), stored.integer(row, 3),
                                       stored.bytes(row, 4)));
        }
    }
    const Plan plan = plan_download(held, download);

    const EraseResult erase = !download.complete()      ? EraseResult::Skipped
                              : collected.erase_follows ? EraseResult::Pending
                                                        : EraseResult::NotRequested;
    const Result inserted = db_.run(
        "INSERT INTO downloads (reader_id, port, started_at, ended_at, announced, received, "
        "complete, memory, new_records, already_stored, erase) VALUES ($1, $2, $3, $4, $5, $6, "
        "$7, 0, $8, $9, $10) RETURNING id",
        {reader_id, collected.port, iso_utc(collected.started), iso_utc(collected.ended),
         std::to_string(download.announced), std::to_string(download.records.size()),
         download.complete() ? "true" : "false", std::to_string(plan.end - plan.first_new),
         std::to_string(plan.first_new), std::string(to_string(erase))});
    const std::int64_t download_id = inserted.integer(0, 0);
    const std::int64_t memory_id = memory != 0 && !plan.new_memory ? memory : download_id;
    db_.run("UPDATE downloads SET memory = $1 WHERE id = $2",
            {std::to_string(memory_id), std::to_string(download_id)});

    if (plan.end > plan.first_new) {
        // One COPY for all records: a round trip per record would cost more
        // than the download itself at a station's 100,000 records.
        std::string rows;
        const std::string fixed =
            fmt::format("\t{}\t{}\t", download_id, reader_id);  // after memory and position
        for (std::size_t i = plan.first_new; i < plan.end; ++i) {
            const DownloadedRecord& record = download.records[i];
            rows += std::to_string(memory_id);
            rows += '\t';
            rows += std::to_string(i + 1);
            rows += fixed;
            if (const std::optional<std::string> time = stamp_time(record.stamp)) {
                rows += *time;
            } else {
                rows += "\\N";
            }
            rows += '\t';
            append_copy_text(rows, record.stamp.line());
            rows += '\t';
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes as bytes
            append_copy_bytes(rows, {reinterpret_cast<const char*>(record.stamp.codes.data()),
                                     record.stamp.codes.size()});
            rows += fmt::format("\t{}\t{}\t{}", static_cast<unsigned>(record.stamp.state),
                                unsigned{record.stamp.bad_field},
                                static_cast<unsigned char>(record.lead));
            rows += '\t';
            append_copy_bytes(rows, record.text);
            rows += '\t';
            append_copy_text(rows, pg_text(record.text));
            rows += '\n';
        }
        db_.copy_in(
            "COPY records (memory, position, download_id, reader_id, stamp, date_line, "
            "stamp_codes, stamp_state, stamp_bad_field, lead, text, text_utf8) FROM STDIN",
            rows);
    }
    db_.run("UPDATE readers SET memory = $1 WHERE id = $2", {std::to_string(memory_id), reader_id});
    transaction.commit();
    return {download_id, plan.end - plan.first_new, plan.first_new, plan.new_memory};
}

void PostgresStore::set_erase_result(std::int64_t download_id, EraseResult result) {
    Transaction transaction(db_);
    const std::string id = std::to_string(download_id);
    db_.run("UPDATE downloads SET erase = $1 WHERE id = $2", {std::string(to_string(result)), id});
    if (result == EraseResult::Acknowledged) {
        // Only if no later download began another memory meanwhile.
        db_.run(
            "UPDATE readers r SET memory = NULL FROM downloads d WHERE d.id = $1 AND r.id = "
            "d.reader_id AND r.memory = d.memory",
            {id});
    }
    transaction.commit();
}

std::vector<StoredRecord> PostgresStore::records(const RecordFilter& filter) {
    std::string sql =
        "SELECT r.machine_id, x.download_id, x.position, x.stamp_codes, x.stamp_state, "
        "x.stamp_bad_field, x.lead, x.text, x.date_line, to_char(x.stamp, 'YYYY-MM-DD HH24:MI:SS') "
        "FROM records x JOIN readers r "
        "ON r.id = x.reader_id";
    std::vector<std::string> params;
    if (filter.since) {
        sql += " WHERE x.stamp >= $1";
        params.push_back(iso_day(*filter.since));
    }
    sql += " ORDER BY r.machine_id COLLATE \"C\", x.memory, x.position";
    const Result query = db_.run(sql, params);
    std::vector<StoredRecord> rows;
    for (int row = 0; row < query.rows(); ++row) {
        const std::string id = query.text(row, 0);
        if (filter.machine_id && !same_machine_id(id, *filter.machine_id)) {
            continue;
        }
        StoredRecord stored;
        stored.machine_id = utf8_to_latin1(id);
        stored.download_id = query.integer(row, 1);
        stored.position = query.integer(row, 2);
        stored.record =
            record_from(query.bytes(row, 3), query.integer(row, 4), query.integer(row, 5),
                        query.integer(row, 6), query.bytes(row, 7));
        stored.date_line = query.text(row, 8);
        if (!query.is_null(row, 9)) {
            stored.time = query.text(row, 9);
        }
        rows.push_back(std::move(stored));
    }
    return rows;
}

std::vector<StoredDownload> PostgresStore::downloads() {
    const Result query = db_.run(
        "SELECT d.id, r.machine_id, d.port, to_char(d.started_at, "
        "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), to_char(d.ended_at, "
        "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), d.announced, d.received, d.complete, "
        "d.new_records, d.already_stored, d.erase FROM downloads d JOIN readers r ON r.id = "
        "d.reader_id ORDER BY d.id");
    std::vector<StoredDownload> rows;
    for (int row = 0; row < query.rows(); ++row) {
        StoredDownload download;
        download.id = query.integer(row, 0);
        download.machine_id = utf8_to_latin1(query.text(row, 1));
        download.port = query.text(row, 2);
        download.started = query.text(row, 3);
        download.ended = query.text(row, 4);
        download.announced = query.integer(row, 5);
        download.received = query.integer(row, 6);
        download.complete = query.text(row, 7) == "t";
        download.new_records = query.integer(row, 8);
        download.already_stored = query.integer(row, 9);
        download.erase = erase_result_from(query.text(row, 10)).value_or(EraseResult::Failed);
        rows.push_back(std::move(download));
    }
    return rows;
}

}  // namespace

std::unique_ptr<Store> open_postgres(const std::string& uri) {
    return std::make_unique<PostgresStore>(uri);
}

}  // namespace kdr::store::detail
