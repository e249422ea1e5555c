// The record store: where `kdr collect` keeps what it downloaded, so that a
// reader is erased only once its records are stored, and no record is stored
// twice. One algorithm over two databases: a SQLite file (the default) and a
// PostgreSQL database that several stations share. docs/STORE.md describes
// the schema and the rule that keeps records from being stored twice
// (store/rule.hpp).
//
// Thread safety: one Store is used by one thread at a time. Any number of
// Stores, in any number of processes, may work on the same database at once.
#pragma once

#include <array>
#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kdr/download.hpp"

namespace kdr::store {

/// Why the store failed. The set is small and stable: callers may switch on it.
enum class StoreErrorKind : std::uint8_t {
    CannotOpen,      ///< the store cannot be opened or reached (bad path, no server, login refused)
    NotFound,        ///< a store to read or rebuild does not exist or holds no tables
    ReadOnly,        ///< this user, or a store opened for reading, may not write it
    Locked,          ///< another program or session held it locked past the wait
    ConnectionLost,  ///< the connection to the database server broke during use
    NewerSchema,     ///< a newer program made the store: this one cannot read it
    ReaderConflict,  ///< a reader name is another reader's machine ID, or the other way round:
                     ///< their records would be taken for one reader's
    Corrupt,         ///< the store is damaged or no database of this kind
    Interrupted,     ///< interrupt() ended the call: its answer is no longer wanted
    Other,           ///< any other failure: a full disk, a statement the server refused, ...
};

/// The store could not be opened, read or written. what() is one sentence
/// saying why and what to do; kind() says which of a few kinds of failure it
/// is. Nothing of the failed call was stored.
class StoreError : public std::runtime_error {
  public:
    StoreError(StoreErrorKind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}

    [[nodiscard]] StoreErrorKind kind() const noexcept { return kind_; }

  private:
    StoreErrorKind kind_;
};

/// The schema version this program creates and reads.
inline constexpr int kSchemaVersion = 6;

/// What became of the erase after a download, as the store keeps it.
enum class EraseResult : std::uint8_t {
    NotRequested,  ///< the collect was not asked to erase
    Skipped,       ///< not tried: the download was incomplete
    Pending,       ///< the erase was about to be sent when the collect ended (killed)
    Verified,      ///< read back after the erase: the reader holds no record
    NotErased,     ///< read back after the erase: the reader still holds records
    Acknowledged,  ///< the reader confirmed it, but could not be read back
    Silent,        ///< sent, no answer, and the reader could not be read back: not confirmed
    Refused,       ///< the reader refused: it keeps its records
    Failed,        ///< not sent whole, or an answer that is no reply: not confirmed
    OtherReader,   ///< read back, another machine ID answered: not confirmed
};
/// The word the store keeps for a result ("acknowledged", ...).
[[nodiscard]] std::string_view to_string(EraseResult result) noexcept;
/// The result for a stored word; nullopt for an unknown one.
[[nodiscard]] std::optional<EraseResult> erase_result_from(std::string_view word) noexcept;

/// Whether a download's reads were compared, as the store keeps it.
enum class ReadCheck : std::uint8_t {
    Sure,        ///< two reads agreed byte for byte
    Unsure,      ///< no two reads agreed: the answers are kept, no record is stored
    NotChecked,  ///< one read was trusted, never compared (or it was made before
                 ///< downloads were read twice): its records are stored as read
};
/// The word the store keeps for a check ("sure", "unsure", "not checked").
[[nodiscard]] std::string_view to_string(ReadCheck check) noexcept;
/// The check for a stored word; nullopt for an unknown one.
[[nodiscard]] std::optional<ReadCheck> read_check_from(std::string_view word) noexcept;
/// Whether a download so checked stores its records.
[[nodiscard]] constexpr bool stores_records(ReadCheck check) noexcept {
    return check != ReadCheck::Unsure;
}

/// A download as the store takes it.
struct CollectedDownload {
    std::string port;  ///< the port the reader was on, as the user named it
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    /// The records; only a download with a header (a machine ID) can be stored.
    const Download* download = nullptr;
    /// Set when the collect is going to erase the reader: the download is
    /// stored with EraseResult::Pending until set_erase_result says more.
    bool erase_follows = false;
    /// The name to store a reader without a machine ID of its own under
    /// (one that sends eight spaces); empty for any other reader.
    std::string reader_name;
    /// How many times the reader was read for this download: 1 when one read
    /// was trusted, else the reads it took for two to agree (or to give up).
    int reads = 1;
    /// Whether reads agreed. A download that is unsure is kept with its
    /// answers and stores no record.
    ReadCheck check = ReadCheck::Sure;
    /// The answers of the reads that differ from the download's, by read
    /// number from 1, kept for diagnosis.
    std::vector<std::pair<int, std::string>> other_answers;
    /// What each read got, as the collect wrote it down (kept as it is given,
    /// for the collect's own words later).
    std::string read_log{};
};

/// What store_download did.
struct StoreOutcome {
    std::int64_t download_id = 0;
    std::size_t new_records = 0;     ///< records stored by this download
    std::size_t already_stored = 0;  ///< records an earlier download had stored
    bool new_memory = false;         ///< the download was no continuation of the stored memory
};

/// Where a record stands in the order records() gives: its reader (as
/// numbered in the store), the memory it belongs to, its place there. Keys
/// compare in that order.
struct RecordKey {
    std::int64_t reader_id = 0;
    std::int64_t memory = 0;
    std::int64_t position = 0;
    friend auto operator<=>(const RecordKey&, const RecordKey&) = default;
};

/// A stored record.
struct StoredRecord {
    std::string machine_id;           ///< the reader's eight characters as sent (or its name)
    std::int64_t download_id = 0;     ///< the download that stored it
    std::int64_t position = 0;        ///< its place in the reader's memory, from 1
    DownloadedRecord record;          ///< stamp codes, lead and text as downloaded
    std::string date_line;            ///< as the controller shows it ("2024/05/01 08:15:00")
    std::optional<std::string> time;  ///< "2024-05-01 08:15:00" (reader's local time) when valid
    RecordKey key;                    ///< for a page that follows this record (RecordFilter::after)
};

/// A stored download.
struct StoredDownload {
    std::int64_t id = 0;
    std::string machine_id;
    std::string port;
    std::string started;  ///< UTC, "2026-12-07T13:05:00.123Z"
    std::string ended;
    std::int64_t announced = 0;
    std::int64_t received = 0;
    bool complete = false;
    std::int64_t new_records = 0;
    std::int64_t already_stored = 0;
    EraseResult erase = EraseResult::NotRequested;
    bool has_answer = false;  ///< the reader's answer is kept (downloads since schema 2)
    std::int64_t reads = 1;   ///< times the reader was read for it
    ReadCheck check = ReadCheck::Sure;
    std::string read_log;  ///< as CollectedDownload::read_log; empty before schema 5
};

/// What rebuild did.
struct RebuildReport {
    std::size_t downloads = 0;        ///< downloads replayed
    std::size_t records_before = 0;   ///< records of the replayed readers before
    std::size_t records_after = 0;    ///< and after
    std::size_t records_changed = 0;  ///< records that are not as they were (added, gone or other)
    /// Readers left as they were: a download of theirs has no answer kept.
    std::vector<std::string> kept_readers;
    /// Readers left as they were: records of theirs were pruned, and their
    /// memories could not be derived again as they stood.
    std::vector<std::string> pruned_readers;
};

/// What prune removed (or, for a dry run, would remove), reader by reader.
struct PruneReport {
    struct Reader {
        std::string machine_id;    ///< as stored
        std::size_t memories = 0;  ///< memories whose records were removed
        std::size_t records = 0;
    };
    std::vector<Reader> readers;  ///< in the order of readers(); only those with records removed
};

/// Which records records() gives, in the order of readers (as first stored),
/// then of their memory: the order of RecordKey.
struct RecordFilter {
    std::optional<std::string> machine_id{};  ///< one reader (its ID, trailing spaces optional)
    /// Records stamped on or after this day (reader's local time); records
    /// without a valid stamp are left out when set.
    std::optional<std::chrono::year_month_day> since{};
    /// Records stamped on or before this day (reader's local time); records
    /// without a valid stamp are left out when set.
    std::optional<std::chrono::year_month_day> until{};
    /// Records whose text, as UTF-8 (decoded from code page 1252), holds this,
    /// letters in either case (fold_text says which); "%", "_" and
    /// backslashes are plain characters. Valid UTF-8 without NUL (a NUL
    /// matches nothing). Three characters or more are found through an index.
    std::optional<std::string> text{};
    /// Leave out the first this many (of those the fields above let through).
    /// A deep page is cheaper by `after`.
    std::size_t offset = 0;
    /// At most this many.
    std::optional<std::size_t> limit{};
    /// Only records after this key (a page that follows another), in time
    /// that does not grow with the depth of the page.
    std::optional<RecordKey> after{};
    /// Only records before this key: with limit, the last `limit` of them (a
    /// page that precedes another), still in the order of keys.
    std::optional<RecordKey> before{};
};

/// Which downloads downloads() gives.
struct DownloadFilter {
    std::optional<std::string> machine_id{};  ///< one reader (its ID, trailing spaces optional)
    /// Downloads that ended on or after this day, UTC (as StoredDownload::ended).
    std::optional<std::chrono::year_month_day> since{};
    /// The most recent this many (of those the other fields let through).
    std::optional<std::size_t> limit{};
    /// With limit: leave out the most recent this many first (a page further back).
    std::size_t offset = 0;
};

/// One reader as a summary shows it.
struct ReaderSummary {
    std::string machine_id;  ///< as stored: its eight characters, or the name given it
    bool named = false;      ///< a name given with --reader, not an ID the reader sent
    std::int64_t records = 0;
    /// Its most recent download; none for a reader whose downloads were all removed.
    std::optional<StoredDownload> last_download;
};

/// Records stamped on one day.
struct DayCount {
    std::string day;  ///< "2024-05-01", the reader's local date
    std::int64_t records = 0;
};

/// A station's port as its last poll left it. Kept per port, written when
/// the state changes (not at each poll), so that a view knows of collects
/// that failed before any download.
struct PortState {
    std::string port;  ///< as the station names it (as StoredDownload::port)
    bool reachable = true;
    /// For an unreachable port: why, in a word the station chose ("missing",
    /// "busy", "unusable").
    std::string failure{};
    std::string since{};   ///< UTC, as StoredDownload::ended; ignored when recorded
    std::string reader{};  ///< the machine ID of the reader last docked there; empty for none
};

/// One kept answer of a download.
struct KeptAnswer {
    /// The read's number, from 1; 0 for the answer the download kept (the
    /// read the others are compared with, whose number the read log tells).
    int read = 0;
    std::string bytes;
};

/// When a reader was last collected and last erased with the erase verified.
struct ReaderTimes {
    std::string machine_id;       ///< as stored
    std::string last_collect{};   ///< UTC as StoredDownload::ended; empty for none
    std::string last_verified{};  ///< the same, of its last verified erase; empty for none
};

/// How many stored downloads have this check and completeness (what a
/// download's outcome is decided from).
struct DownloadCount {
    ReadCheck check = ReadCheck::Sure;
    bool complete = false;
    std::int64_t downloads = 0;
};

/// `utf8` with its letters folded to lower case, for searching: ASCII, and
/// beyond it the letters code page 1252 holds (A-Z, U+00C0-U+00DE but U+00D7,
/// U+0160, U+0152, U+017D, U+0178 to their lower case), so that both
/// databases fold alike, whatever their locale. Other characters are kept.
[[nodiscard]] std::string fold_text(std::string_view utf8);

/// Whether `named`, as a user typed it, names the reader stored as `stored`:
/// spaces around either are left aside (readers pad IDs with spaces, and may
/// right-align numbers), and characters beyond ASCII match the ID as the
/// outputs show it (code page 1252).
[[nodiscard]] bool same_reader(std::string_view stored, std::string_view named);

class Store {
  public:
    virtual ~Store() = default;
    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /// Stores the download and those of its records the store does not hold
    /// yet, in one transaction that is durably committed when this returns
    /// (see docs/STORE.md for which records count as held). From an
    /// incomplete download only the records before its first gap are stored.
    /// Throws StoreError, having stored nothing; kdr::Error (InvalidArgument)
    /// for a download without a header.
    virtual StoreOutcome store_download(const CollectedDownload& collected) = 0;

    /// Refuses a name for a reader without a machine ID that the store keeps
    /// as another reader's own ID (its records would be taken for that
    /// reader's): throws StoreError (ReaderConflict). Reads only.
    virtual void check_reader_name(const std::string& name) = 0;

    /// Records what became of the erase after download `download_id`. An
    /// acknowledged erase ends the reader's stored memory: its next download
    /// starts a new one. Throws StoreError.
    virtual void set_erase_result(std::int64_t download_id, EraseResult result) = 0;

    /// Stored records by reader and position. Throws StoreError.
    [[nodiscard]] virtual std::vector<StoredRecord> records(const RecordFilter& filter) = 0;
    /// Stored downloads the filter lets through, oldest first. Throws StoreError.
    [[nodiscard]] virtual std::vector<StoredDownload> downloads(const DownloadFilter& filter) = 0;
    /// Every stored download, oldest first. Throws StoreError.
    [[nodiscard]] std::vector<StoredDownload> downloads() { return downloads(DownloadFilter{}); }
    /// The IDs (or names) of the readers the store holds, as stored, in
    /// order. Throws StoreError.
    [[nodiscard]] virtual std::vector<std::string> readers() = 0;

    /// How many records the filter lets through, its offset and limit left
    /// aside. Throws StoreError.
    [[nodiscard]] virtual std::int64_t count_records(const RecordFilter& filter) = 0;
    /// As count_records, but counting no further than `cap`: a text search's
    /// count costs as much as reading every match. Throws StoreError.
    [[nodiscard]] virtual std::int64_t count_records_up_to(const RecordFilter& filter,
                                                           std::int64_t cap) = 0;
    /// Every reader with its record count and last download, in the order of
    /// readers(); valid until the next call on this store, or its end (a
    /// reading store hands out the same rows while the store is unchanged).
    /// Throws StoreError.
    [[nodiscard]] virtual const std::vector<ReaderSummary>& reader_summaries() = 0;
    /// Records per day of their stamp, oldest day first, of the records the
    /// filter lets through (its offset, limit and keys left aside); records
    /// without a valid stamp are not counted, days without records are not
    /// given. Throws StoreError.
    [[nodiscard]] virtual std::vector<DayCount> records_per_day(const RecordFilter& filter) = 0;
    /// The reader's answer kept for a download, byte for byte as it arrived;
    /// none for a download that does not exist or whose answer was not kept.
    /// Throws StoreError.
    [[nodiscard]] virtual std::optional<std::string> answer(std::int64_t download_id) = 0;
    /// Download `download_id`; none when there is no such download. Throws
    /// StoreError.
    [[nodiscard]] virtual std::optional<StoredDownload> download(std::int64_t download_id) = 0;
    /// Every answer kept for a download: its own (read 0) first, then those of
    /// the reads that differed from it, by read number; empty for a download
    /// that does not exist or kept none. Throws StoreError.
    [[nodiscard]] virtual std::vector<KeptAnswer> answers(std::int64_t download_id) = 0;
    /// Every reader's last collect and last verified erase, in the order of
    /// readers(), read through indexes (not every download). Throws StoreError.
    [[nodiscard]] virtual std::vector<ReaderTimes> reader_times() = 0;
    /// The downloads counted by check and completeness, through an index.
    /// Throws StoreError.
    [[nodiscard]] virtual std::vector<DownloadCount> download_counts() = 0;
    /// Records a port's state when it differs from the one kept (the station
    /// calls it on a change; `state.since` is now). Throws StoreError.
    virtual void record_port_state(const PortState& state) = 0;
    /// Every port's state as last recorded, by port. Throws StoreError.
    [[nodiscard]] virtual std::vector<PortState> port_states() = 0;
    /// The id of the most recent download; 0 for none. It changes whenever a
    /// download is stored. Throws StoreError.
    [[nodiscard]] virtual std::int64_t last_download_id() = 0;

    /// Derives every record anew from the kept answers: the downloads are
    /// replayed in order, each with the erase result it had, through the
    /// current rules, in one transaction. Readers with a download from before
    /// answers were kept are left as they are. Throws StoreError, having
    /// changed nothing.
    virtual RebuildReport rebuild() = 0;

    /// Removes the records of every memory that a verified erase (the reader
    /// read back empty) ended before `before` (UTC), in one transaction; with
    /// `dry_run` removes nothing and says the same. A reader's current memory,
    /// and any memory ended otherwise, is kept: the never-twice rule may need
    /// it. Downloads and their answers stay; the records they stored are
    /// counted as pruned. Throws StoreError, having removed nothing.
    virtual PruneReport prune(std::chrono::year_month_day before, bool dry_run) = 0;

    /// The store as the user named it, without a password.
    [[nodiscard]] virtual std::string name() const = 0;

    /// Ends the call running on this store, from any other thread, as soon
    /// as its database allows: it throws StoreError (Interrupted), and so
    /// does every call after it, so that an interrupted Store is only
    /// closed. Harmless when no call runs.
    virtual void interrupt() noexcept = 0;
};

/// The longest reader name the store takes, in bytes.
inline constexpr std::size_t kMaxReaderName = 32;
/// Why `name` cannot name a reader without a machine ID (empty, characters
/// beyond printable ASCII, spaces around it, longer than kMaxReaderName);
/// empty when it can.
[[nodiscard]] std::string reader_name_problem(std::string_view name);

/// What open_store is for.
enum class OpenMode : std::uint8_t {
    /// Writing (`kdr collect`): a SQLite file is made when missing, the
    /// tables created or upgraded. A SQLite file or folder this user cannot
    /// write is refused before it is opened, so that nothing is left behind.
    CreateIfMissing,
    /// Writing a store that exists (`kdr rebuild`): as CreateIfMissing, but a
    /// SQLite file that does not exist, or a store that holds no tables, is
    /// refused (NotFound) and left as it was.
    MustExist,
    /// Reading (`kdr history`, `kdr export`): the store is opened read-only,
    /// and nothing is created, changed or left behind, by any user (no
    /// tables, no schema upgrade, no log files beside a SQLite file). A store
    /// that does not exist or holds no tables is refused (NotFound); one of
    /// an older schema (ReadOnly), since upgrading it is a write. The
    /// Store's writing calls throw StoreError (ReadOnly).
    ReadOnly,
};

/// Opens the store `target` names: "postgresql://..." or "postgres://..." (a
/// libpq connection URI) is a PostgreSQL database, anything else the path of
/// a SQLite file; `mode` says what else it does. Throws StoreError when it
/// cannot be opened, holds a newer schema, or is refused by `mode`.
[[nodiscard]] std::unique_ptr<Store> open_store(const std::string& target,
                                                OpenMode mode = OpenMode::CreateIfMissing);

/// Whether `target` names a PostgreSQL database (a libpq URI), not a SQLite
/// file.
[[nodiscard]] bool is_postgres_target(std::string_view target) noexcept;

}  // namespace kdr::store
