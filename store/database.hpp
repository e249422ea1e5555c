// The narrow interface the store's algorithm (store.cpp) works through: what
// differs between SQLite and PostgreSQL lives behind it, and nothing else.
// Not part of the store's interface.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/store.hpp"

namespace kdr::store::detail {

struct Null {};
/// Bytes, as opposed to text: BLOB, bytea.
struct Blob {
    std::string bytes;
};
/// A parameter or a column value.
using Value = std::variant<Null, std::int64_t, std::string, Blob>;

/// One row of a result.
class Row {
  public:
    explicit Row(std::vector<Value> values) : values_(std::move(values)) {}
    [[nodiscard]] bool is_null(std::size_t column) const {
        return std::holds_alternative<Null>(values_.at(column));
    }
    [[nodiscard]] std::int64_t integer(std::size_t column) const;
    /// Text or bytes, as stored; empty for NULL.
    [[nodiscard]] std::string bytes(std::size_t column) const;

  private:
    std::vector<Value> values_;
};
using Rows = std::vector<Row>;

/// A record as the records table holds it.
struct RecordRow {
    std::int64_t memory = 0;
    std::int64_t position = 0;
    std::int64_t download_id = 0;
    std::int64_t reader_id = 0;
    std::optional<std::string> stamp;  ///< "2024-05-01 08:15:00", reader's local time
    std::string date_line;
    std::string stamp_codes;
    std::int64_t stamp_state = 0;
    std::int64_t stamp_bad_field = 0;
    std::optional<std::int64_t> lead;  ///< none for an empty record
    std::string text;
    std::string text_utf8;
    std::string text_folded;  ///< fold_text(text_utf8): what a search looks in
};

/// Which records a statement with a text condition reads.
enum class TextScan : std::uint8_t {
    OneReader,  ///< one reader's: few enough to read in order
    FirstPage,  ///< the first of every reader's that match, in order (a page, a capped count)
    Every,      ///< every match (a count per day)
};

/// The pairs of letters beyond ASCII that fold_text folds, as UTF-8: the
/// upper-case letters in one text, their lower-case ones at the same places in
/// the other, for SQL's translate().
struct FoldedLetters {
    std::string upper;
    std::string lower;
};
[[nodiscard]] FoldedLetters folded_letters();

/// A LIKE pattern for text holding `text`, its own "%", "_" and backslashes
/// taken as plain characters (the escape is a backslash).
[[nodiscard]] std::string contains_pattern(std::string_view text);

/// One version step of the schema: statements, then (when set) a step of the
/// algorithm's own over the data, then more statements.
struct Migration {
    std::string_view before;
    bool convert_data = false;
    std::string_view after;
};

class Database {
  public:
    virtual ~Database() = default;
    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    /// Begins a transaction for storing: what it reads cannot change before
    /// it commits (SQLite takes the write lock at once; PostgreSQL locks the
    /// rows read with lock_suffix()). A connection lost since the last
    /// transaction is made again first.
    virtual void begin() = 0;
    /// Begins the transaction that creates or upgrades the schema, excluding
    /// every other store doing the same.
    virtual void begin_schema() = 0;
    /// Commits durably.
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;

    /// Runs one statement whose parameters are written ?1, ?2, ...; returns
    /// its rows. Throws StoreError.
    virtual Rows run(std::string_view sql, const std::vector<Value>& params = {}) = 0;
    /// Runs statements without parameters, separated by ";".
    virtual void exec(std::string_view sql) = 0;
    /// Adds records in bulk.
    virtual void insert_records(const std::vector<RecordRow>& rows) = 0;
    /// Whether the schema has a table of this name. Throws StoreError.
    [[nodiscard]] virtual bool has_table(std::string_view name) = 0;

    /// The steps from no schema (index 0) up to the current version.
    [[nodiscard]] virtual const std::vector<Migration>& migrations() const = 0;
    /// What a SELECT adds to lock the rows it reads until commit.
    [[nodiscard]] virtual std::string_view lock_suffix() const = 0;
    /// An expression giving a stored UTC time as "2026-12-07T13:05:00.123Z".
    [[nodiscard]] virtual std::string utc_text(std::string_view column) const = 0;
    /// An expression giving a stored local time as "2024-05-01 08:15:00".
    [[nodiscard]] virtual std::string local_text(std::string_view column) const = 0;
    /// An expression giving a stored local time's day as "2024-05-01".
    [[nodiscard]] virtual std::string local_day(std::string_view column) const = 0;
    /// A condition: the folded text of records `x` holds `folded` (a
    /// fold_text of the search), its parameters added to `params`. `how`
    /// says which records the statement reads, so that the back end can
    /// choose between its index and reading records in order.
    [[nodiscard]] virtual std::string holds_text(const std::string& folded, TextScan how,
                                                 std::vector<Value>& params) = 0;
    /// How many records hold `folded` (a fold_text), counting no further
    /// than `cap`: through the index alone where the back end can.
    [[nodiscard]] virtual std::int64_t count_holding(const std::string& folded,
                                                     std::int64_t cap) = 0;
    /// The store as the user named it, without a password.
    [[nodiscard]] virtual std::string name() const = 0;
    /// A text that changes whenever another connection has committed a
    /// change since it was last read (it may also change without one), for
    /// a connection that only reads to know that what it read is still so.
    [[nodiscard]] virtual std::string change_token() = 0;
    /// Ends the statement running, from any other thread (Store::interrupt);
    /// it and every later one throw StoreError (Interrupted).
    virtual void interrupt() noexcept = 0;
};

/// A transaction rolled back unless committed.
class Transaction {
  public:
    Transaction(Database& db, bool schema = false) : db_(db) {
        schema ? db_.begin_schema() : db_.begin();
    }
    ~Transaction() {
        if (!done_) {
            db_.rollback();
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        db_.commit();
        done_ = true;
    }

  private:
    Database& db_;
    bool done_ = false;
};

/// Opens the database: for ReadOnly, so that it cannot be written and,
/// for SQLite, nothing is created beside the file; otherwise for writing.
/// The schema is open_store's concern.
[[nodiscard]] std::unique_ptr<Database> open_sqlite(const std::string& path, OpenMode mode);
[[nodiscard]] std::unique_ptr<Database> open_postgres(const std::string& uri, bool read_only);

}  // namespace kdr::store::detail
