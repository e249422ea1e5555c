// The store's algorithm, once for both databases: the schema's versions, a
// download stored in one transaction by the never-twice rule (rule.hpp), the
// erase result, reading back, and the rebuild from kept answers. What differs
// between SQLite and PostgreSQL is behind detail::Database.
#include "store/store.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "kdr/error.hpp"
#include "kdr/text_encoding.hpp"
#include "protocol/record_decoding.hpp"
#include "store/database.hpp"
#include "store/prune.hpp"
#include "store/rule.hpp"

namespace kdr::store {

namespace {

using detail::Blob;
using detail::Database;
using detail::Null;
using detail::RecordRow;
using detail::Row;
using detail::Rows;
using detail::TextScan;
using detail::Transaction;
using detail::Value;

constexpr std::array<std::pair<EraseResult, std::string_view>, 10> kEraseWords{{
    {EraseResult::NotRequested, "not requested"},
    {EraseResult::Skipped, "skipped"},
    {EraseResult::Pending, "pending"},
    {EraseResult::Verified, "verified"},
    {EraseResult::NotErased, "not erased"},
    {EraseResult::Acknowledged, "acknowledged"},
    {EraseResult::Silent, "silent"},
    {EraseResult::Refused, "refused"},
    {EraseResult::Failed, "failed"},
    {EraseResult::OtherReader, "other reader"},
}};

// "2026-12-07T13:05:00.123Z"
std::string iso_utc(std::chrono::system_clock::time_point time) {
    const auto millis = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto day = std::chrono::floor<std::chrono::days>(millis);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{millis - day};
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", int{date.year()},
                       unsigned{date.month()}, unsigned{date.day()}, clock.hours().count(),
                       clock.minutes().count(), clock.seconds().count(),
                       clock.subseconds().count());
}

// "2024-05-01 08:15:00" for a valid stamp.
std::optional<std::string> stamp_time(const Stamp& stamp) {
    const std::optional<std::chrono::local_seconds> time = stamp.time();
    if (!time) {
        return std::nullopt;
    }
    const auto day = std::chrono::floor<std::chrono::days>(*time);
    const std::chrono::year_month_day date{std::chrono::sys_days{day.time_since_epoch()}};
    const std::chrono::hh_mm_ss clock{*time - day};
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", int{date.year()},
                       unsigned{date.month()}, unsigned{date.day()}, clock.hours().count(),
                       clock.minutes().count(), clock.seconds().count());
}

// A stored machine ID is the one a user typed, spaces around either left
// aside (readers pad IDs with spaces, and may right-align numbers); typed
// characters beyond ASCII match the ID as the outputs show it.
bool same_machine_id(std::string_view stored, std::string_view wanted) {
    const std::string_view id = trim_spaces(stored);
    return id == trim_spaces(wanted) || cp1252_to_utf8(id) == trim_spaces(wanted);
}

// The ID a reader's records are kept under: its own, or the name given for
// one that has none.
std::string stored_machine_id(const CollectedDownload& collected) {
    const std::string& sent = collected.download->machine_id;
    if (trim_spaces(sent).empty()) {
        if (trim_spaces(collected.reader_name).empty()) {
            throw Error(ErrorKind::InvalidArgument,
                        "a reader without a machine ID cannot be told from another one: give it "
                        "an ID, or a name for this collect");
        }
        return collected.reader_name;
    }
    return sent;
}

// A name given for a reader without an ID and a reader's own ID must never
// meet: the records of two readers would be taken for one's. `name` is
// compared as export compares, spaces around it left aside.
void refuse_conflict(Database& db, std::string_view id, bool named) {
    for (const Row& row : db.run("SELECT machine_id, named FROM readers")) {
        if ((row.integer(1) != 0) == named || !same_machine_id(row.bytes(0), id)) {
            continue;
        }
        const std::string shown = cp1252_to_utf8(trim_spaces(row.bytes(0)));
        if (named) {
            throw StoreError(
                StoreErrorKind::ReaderConflict,
                fmt::format("--reader {} is the machine ID of a reader the store {} holds: a "
                            "reader without an ID stored under it would have its records taken "
                            "for that reader's: choose another name",
                            cp1252_to_utf8(trim_spaces(id)), db.name()));
        }
        throw StoreError(
            StoreErrorKind::ReaderConflict,
            fmt::format("the store {} keeps readers without a machine ID under the name {} "
                        "(given with --reader), which is this reader's own ID: its records would "
                        "be taken for theirs: store this reader in another store",
                        db.name(), shown));
    }
}

DownloadedRecord record_from(const Row& row, std::size_t first) {
    DownloadedRecord record;
    const std::string codes = row.bytes(first);
    std::copy_n(codes.begin(), std::min(codes.size(), record.stamp.codes.size()),
                record.stamp.codes.begin());
    record.stamp.state = static_cast<StampState>(row.integer(first + 1));
    record.stamp.bad_field = static_cast<std::uint8_t>(row.integer(first + 2));
    record.has_lead = !row.is_null(first + 3);
    record.lead = record.has_lead ? static_cast<char>(row.integer(first + 3)) : '\0';
    record.text = row.bytes(first + 4);
    return record;
}

// The columns record_from reads, in its order.
constexpr std::string_view kRecordColumns =
    "x.stamp_codes, x.stamp_state, x.stamp_bad_field, x.lead, x.text";

std::vector<RecordRow> rows_for(const Download& download, const Plan& plan, std::int64_t memory,
                                std::int64_t download_id, std::int64_t reader_id) {
    std::vector<RecordRow> rows;
    rows.reserve(plan.new_records());
    for (std::size_t i = plan.first_new; i < plan.end; ++i) {
        const DownloadedRecord& record = download.records[i];
        RecordRow row;
        row.memory = memory;
        row.position = static_cast<std::int64_t>(i + 1);
        row.download_id = download_id;
        row.reader_id = reader_id;
        row.stamp = stamp_time(record.stamp);
        row.date_line = record.stamp.line();
        row.stamp_codes = record.stamp.chars();
        row.stamp_state = static_cast<std::int64_t>(record.stamp.state);
        row.stamp_bad_field = record.stamp.bad_field;
        if (record.has_lead) {
            row.lead = static_cast<unsigned char>(record.lead);
        }
        row.text = record.text;
        row.text_utf8 = cp1252_to_utf8(record.text);
        row.text_folded = fold_text(row.text_utf8);
        rows.push_back(std::move(row));
    }
    return rows;
}

// A reader's memory as this transaction sees it.
struct Memory {
    std::int64_t id = 0;  // the download that began it; 0 for none (ids start at 1)
    std::vector<DownloadedRecord> records;
};

// What storing a download changes, decided and applied to `memory`.
struct Stored {
    Plan plan;
    std::int64_t memory_id = 0;
    std::vector<RecordRow> rows;
};

// Where the records `plan` stores go: the memory they extend, or a new one.
Stored apply(Memory& memory, const Download& download, const Plan& plan, std::int64_t download_id,
             std::int64_t reader_id) {
    Stored stored;
    stored.plan = plan;
    if (memory.id == 0 || plan.new_memory) {
        memory.id = download_id;
        memory.records.clear();
    }
    stored.memory_id = memory.id;
    stored.rows = rows_for(download, plan, memory.id, download_id, reader_id);
    return stored;
}

// "2024-05-01", as a stored stamp begins.
std::string day_text(std::chrono::year_month_day day) {
    return fmt::format("{:04}-{:02}-{:02}", int{day.year()}, unsigned{day.month()},
                       unsigned{day.day()});
}

// " WHERE a AND b", or nothing for no condition.
std::string where(const std::vector<std::string>& conditions) {
    return conditions.empty() ? std::string{}
                              : fmt::format(" WHERE {}", fmt::join(conditions, " AND "));
}

std::int64_t sql_count(std::size_t count) {
    return static_cast<std::int64_t>(
        std::min<std::size_t>(count, std::numeric_limits<std::int64_t>::max()));
}

StoredDownload download_from(const Row& row, std::size_t first) {
    StoredDownload download;
    download.id = row.integer(first);
    download.machine_id = row.bytes(first + 1);
    download.port = row.bytes(first + 2);
    download.started = row.bytes(first + 3);
    download.ended = row.bytes(first + 4);
    download.announced = row.integer(first + 5);
    download.received = row.integer(first + 6);
    download.complete = row.integer(first + 7) != 0;
    download.new_records = row.integer(first + 8);
    download.already_stored = row.integer(first + 9);
    download.erase = erase_result_from(row.bytes(first + 10)).value_or(EraseResult::Failed);
    download.has_answer = row.integer(first + 11) != 0;
    download.reads = row.integer(first + 12);
    download.check = read_check_from(row.bytes(first + 14)).value_or(ReadCheck::NotChecked);
    download.read_log = row.bytes(first + 15);
    return download;
}

class RecordStore final : public Store {
  public:
    RecordStore(std::unique_ptr<Database> db, OpenMode mode)
        : db_(std::move(db)), read_only_(mode == OpenMode::ReadOnly) {
        migrate(mode);
    }

    StoreOutcome store_download(const CollectedDownload& collected) override;
    void check_reader_name(const std::string& name) override { refuse_conflict(*db_, name, true); }
    void set_erase_result(std::int64_t download_id, EraseResult result) override;
    std::vector<StoredRecord> records(const RecordFilter& filter) override;
    std::vector<StoredDownload> downloads(const DownloadFilter& filter) override;
    std::vector<std::string> readers() override;
    std::int64_t count_records(const RecordFilter& filter) override;
    std::int64_t count_records_up_to(const RecordFilter& filter, std::int64_t cap) override;
    const std::vector<ReaderSummary>& reader_summaries() override;
    std::vector<DayCount> records_per_day(const RecordFilter& filter) override;
    std::optional<std::string> answer(std::int64_t download_id) override;
    std::optional<StoredDownload> download(std::int64_t download_id) override;
    std::vector<KeptAnswer> answers(std::int64_t download_id) override;
    std::vector<ReaderTimes> reader_times() override;
    std::vector<DownloadCount> download_counts() override;
    void record_port_state(const PortState& state) override;
    std::vector<PortState> port_states() override;
    std::int64_t last_download_id() override;
    RebuildReport rebuild() override;
    PruneReport prune(std::chrono::year_month_day before, bool dry_run) override {
        Transaction transaction(*db_);
        PruneReport report = detail::prune_memories(*db_, before, dry_run);
        if (!dry_run) {
            transaction.commit();
        }
        return report;
    }
    [[nodiscard]] std::string name() const override { return db_->name(); }
    void interrupt() noexcept override { db_->interrupt(); }

  private:
    /// "<column> IN (?n, ...)" for the readers `named` names, their ids added
    /// to `params`; "<column> IN (NULL)" (nothing) for none. A reader's ID is
    /// matched here as same_reader says, which SQL cannot: readers are few.
    std::string reader_condition(std::string_view column, const std::string& named,
                                 std::vector<Value>& params);
    /// The conditions on records `x` the filter's reader, days, text and
    /// keys make, their parameters added to `params`; `how` as holds_text.
    std::vector<std::string> record_conditions(const RecordFilter& filter, TextScan how,
                                               std::vector<Value>& params);
    /// The same on record_days `x`, the text left aside.
    std::vector<std::string> day_conditions(const RecordFilter& filter, std::vector<Value>& params);
    /// The columns download_from reads, in its order, of downloads `d` and
    /// readers `r`.
    [[nodiscard]] std::string download_columns() const;
    /// Adds the stamped ones of `rows`, a reader's, to record_days.
    void count_days(const std::vector<RecordRow>& rows);
    void migrate(OpenMode mode);
    void convert_version_1();
    Memory memory_of(std::int64_t memory_id);

    std::unique_ptr<Database> db_;
    bool read_only_;
    /// The last summaries a read-only store gave, and the change token they
    /// were read under: a view asks for them with every page.
    std::optional<std::pair<std::string, std::vector<ReaderSummary>>> summaries_;
    /// The same for the readers' ids and machine IDs reader_condition
    /// matches against, with the last name matched: a reader's page asks
    /// for one reader's rows three times.
    struct ReaderIds {
        std::string token;
        std::vector<std::pair<std::int64_t, std::string>> readers;
        std::optional<std::string> last_named;
        std::vector<std::int64_t> last_ids;
    };
    std::optional<ReaderIds> reader_ids_;
};

void RecordStore::migrate(OpenMode mode) {
    const auto read_version = [this] {
        const Rows read = db_->run("SELECT max(version) FROM schema_version");
        return read.empty() || read.front().is_null(0) ? std::int64_t{0} : read.front().integer(0);
    };
    const auto refuse_newer = [this](std::int64_t version) {
        if (version > kSchemaVersion) {
            throw StoreError(StoreErrorKind::NewerSchema,
                             fmt::format("the store {} has schema version {}, newer than this kdr "
                                         "knows ({}): use a newer kdr",
                                         db_->name(), version, kSchemaVersion));
        }
    };
    // Nearly every open finds the schema current: that is read without the
    // schema's lock, which many stations starting at once would take in turn.
    const bool made = db_->has_table("schema_version");
    const std::int64_t found = made ? read_version() : 0;
    if (!made && mode != OpenMode::CreateIfMissing) {
        throw StoreError(StoreErrorKind::NotFound,
                         fmt::format("the store {} holds no tables: check that it names the store "
                                     "(kdr collect creates the tables)",
                                     db_->name()));
    }
    refuse_newer(found);
    if (found == kSchemaVersion) {
        return;
    }
    if (mode == OpenMode::ReadOnly) {
        throw StoreError(
            StoreErrorKind::ReadOnly,
            fmt::format("the store {} has schema version {}, older than this kdr "
                        "reads ({}): run kdr collect or kdr rebuild once to upgrade it",
                        db_->name(), found, kSchemaVersion));
    }
    Transaction transaction(*db_, true);
    db_->exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const std::int64_t version = read_version();
    refuse_newer(version);
    if (version == kSchemaVersion) {
        return;
    }
    // Step 0 makes the current schema at once; step v takes version v to v + 1.
    const auto& steps = db_->migrations();
    const auto run_step = [&](const detail::Migration& step) {
        db_->exec(step.before);
        if (step.convert_data) {
            convert_version_1();  // the one step that converts data
        }
        if (!step.after.empty()) {
            db_->exec(step.after);
        }
    };
    if (version == 0) {
        run_step(steps.at(0));
    }
    for (std::int64_t v = version; v > 0 && v < kSchemaVersion; ++v) {
        run_step(steps.at(static_cast<std::size_t>(v)));
    }
    db_->exec("DELETE FROM schema_version");
    db_->run("INSERT INTO schema_version (version) VALUES (?1)", {std::int64_t{kSchemaVersion}});
    transaction.commit();
}

// Version 1 kept machine IDs as UTF-8 of their bytes taken as Latin-1 (with
// U+FFFD for NUL in PostgreSQL), and text_utf8 decoded as Latin-1: both are
// taken back to the reader's bytes, and text_utf8 decoded as every output
// decodes it.
void RecordStore::convert_version_1() {
    for (const Row& reader : db_->run("SELECT id, machine_id FROM readers")) {
        const std::string utf8 = reader.bytes(1);
        std::string bytes;
        for (std::size_t i = 0; i < utf8.size(); ++i) {
            const auto code = static_cast<unsigned char>(utf8[i]);
            if (utf8.compare(i, 3, "\xEF\xBF\xBD") == 0) {
                bytes += '\0';
                i += 2;
            } else if ((code & 0xE0U) == 0xC0U && i + 1 < utf8.size()) {
                const auto next = static_cast<unsigned char>(utf8[i + 1]);
                bytes += static_cast<char>(((code & 0x1FU) << 6U) | (next & 0x3FU));
                ++i;
            } else {
                bytes += utf8[i];
            }
        }
        db_->run("UPDATE readers SET machine_id = ?1 WHERE id = ?2",
                 {Blob{bytes}, reader.integer(0)});
    }
    for (const Row& record : db_->run("SELECT memory, position, text FROM records")) {
        db_->run("UPDATE records SET text_utf8 = ?1 WHERE memory = ?2 AND position = ?3",
                 {cp1252_to_utf8(record.bytes(2)), record.integer(0), record.integer(1)});
    }
}

Memory RecordStore::memory_of(std::int64_t memory_id) {
    Memory memory{memory_id, {}};
    if (memory_id != 0) {
        const Rows rows = db_->run(fmt::format("SELECT {} FROM records x WHERE x.memory = ?1 "
                                               "ORDER BY x.position",
                                               kRecordColumns),
                                   {memory_id});
        memory.records.reserve(rows.size());
        for (const Row& row : rows) {
            memory.records.push_back(record_from(row, 0));
        }
    }
    return memory;
}

StoreOutcome RecordStore::store_download(const CollectedDownload& collected) {
    if (collected.download == nullptr || !collected.download->has_header) {
        throw Error(ErrorKind::InvalidArgument,
                    "a download without the reader's header has no machine ID to store it under");
    }
    const Download& download = *collected.download;
    const Blob machine_id{stored_machine_id(collected)};
    const bool named = trim_spaces(download.machine_id).empty();
    Transaction transaction(*db_);

    refuse_conflict(*db_, machine_id.bytes, named);
    db_->run(
        "INSERT INTO readers (machine_id, named) VALUES (?1, ?2) ON CONFLICT (machine_id) DO "
        "NOTHING",
        {machine_id, std::int64_t{named ? 1 : 0}});
    const Rows reader = db_->run(
        fmt::format("SELECT id, memory FROM readers WHERE machine_id = ?1{}", db_->lock_suffix()),
        {machine_id});
    const std::int64_t reader_id = reader.at(0).integer(0);
    Memory memory = memory_of(reader.at(0).is_null(1) ? 0 : reader.at(0).integer(1));

    // Reads that did not agree store no record: only their answers are kept.
    const bool sure = stores_records(collected.check);
    const Plan plan = sure ? plan_download(memory.records, download) : Plan{};
    const EraseResult erase =
        sure ? initial_erase_result(download, collected.erase_follows) : EraseResult::Skipped;
    const Rows inserted = db_->run(
        "INSERT INTO downloads (reader_id, port, started_at, ended_at, announced, received, "
        "complete, memory, new_records, already_stored, erase, answer, reads, sure, checked, "
        "read_log) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16) "
        "RETURNING id",
        {reader_id, collected.port, iso_utc(collected.started), iso_utc(collected.ended),
         std::int64_t{download.announced}, static_cast<std::int64_t>(download.records.size()),
         std::int64_t{download.complete() ? 1 : 0}, memory.id,
         static_cast<std::int64_t>(plan.new_records()),
         static_cast<std::int64_t>(plan.already_stored), std::string(to_string(erase)),
         Blob{download.answer}, std::int64_t{collected.reads}, std::int64_t{sure ? 1 : 0},
         std::string(to_string(collected.check)), collected.read_log});
    const std::int64_t download_id = inserted.at(0).integer(0);
    for (const auto& [read, answer] : collected.other_answers) {
        db_->run(
            "INSERT INTO download_answers (download_id, read_number, answer) VALUES (?1, ?2, ?3)",
            {download_id, std::int64_t{read}, Blob{answer}});
    }
    if (sure) {
        const Stored stored = apply(memory, download, plan, download_id, reader_id);
        db_->run("UPDATE downloads SET memory = ?1 WHERE id = ?2", {stored.memory_id, download_id});
        db_->insert_records(stored.rows);
        count_days(stored.rows);
        db_->run("UPDATE readers SET memory = ?1 WHERE id = ?2", {stored.memory_id, reader_id});
    }
    transaction.commit();
    return {download_id, plan.new_records(), plan.already_stored, plan.new_memory};
}

void RecordStore::count_days(const std::vector<RecordRow>& rows) {
    std::map<std::string, std::int64_t> days;
    for (const RecordRow& row : rows) {
        if (row.stamp) {
            ++days[row.stamp->substr(0, 10)];  // "2024-05-01 08:15:00"
        }
    }
    // A few hundred days a statement: a download of years of records is
    // not a statement per day, nor past SQLite's bound on parameters.
    constexpr std::size_t kDaysPerStatement = 300;
    auto day = days.begin();
    while (day != days.end()) {
        std::vector<Value> params;
        std::vector<std::string> values;
        for (; day != days.end() && values.size() < kDaysPerStatement; ++day) {
            params.emplace_back(rows.front().reader_id);
            params.emplace_back(day->first);
            params.emplace_back(day->second);
            values.push_back(fmt::format("(?{}, ?{}, ?{})", params.size() - 2, params.size() - 1,
                                         params.size()));
        }
        db_->run(fmt::format("INSERT INTO record_days (reader_id, day, records) VALUES {} ON "
                             "CONFLICT (reader_id, day) DO UPDATE SET records = "
                             "record_days.records + excluded.records",
                             fmt::join(values, ", ")),
                 params);
    }
}

void RecordStore::set_erase_result(std::int64_t download_id, EraseResult result) {
    Transaction transaction(*db_);
    db_->run("UPDATE downloads SET erase = ?1 WHERE id = ?2",
             {std::string(to_string(result)), download_id});
    if (ends_memory(result)) {
        // Only if no later download began another memory meanwhile.
        db_->run(
            "UPDATE readers SET memory = NULL WHERE (id, memory) = (SELECT reader_id, memory FROM "
            "downloads WHERE id = ?1)",
            {download_id});
    }
    transaction.commit();
}

std::string RecordStore::reader_condition(std::string_view column, const std::string& named,
                                          std::vector<Value>& params) {
    // Kept as reader_summaries keeps its rows, under the same rule.
    std::string token = read_only_ ? db_->change_token() : std::string();
    if (!read_only_ || !reader_ids_ || reader_ids_->token != token) {
        ReaderIds read{std::move(token), {}, {}, {}};
        for (const Row& row : db_->run("SELECT id, machine_id FROM readers")) {
            read.readers.emplace_back(row.integer(0), row.bytes(1));
        }
        reader_ids_ = std::move(read);
    }
    if (reader_ids_->last_named != named) {
        reader_ids_->last_ids.clear();
        for (const auto& [id, machine_id] : reader_ids_->readers) {
            if (same_machine_id(machine_id, named)) {
                reader_ids_->last_ids.push_back(id);
            }
        }
        reader_ids_->last_named = named;
    }
    std::vector<std::string> places;
    for (const std::int64_t id : reader_ids_->last_ids) {
        params.emplace_back(id);
        places.push_back(fmt::format("?{}", params.size()));
    }
    return fmt::format(
        "{} IN ({})", column,
        places.empty() ? std::string("NULL") : fmt::format("{}", fmt::join(places, ", ")));
}

std::vector<std::string> RecordStore::record_conditions(const RecordFilter& filter, TextScan how,
                                                        std::vector<Value>& params) {
    std::vector<std::string> conditions;
    if (filter.machine_id) {
        conditions.push_back(reader_condition("x.reader_id", *filter.machine_id, params));
    }
    // Stamps are kept as "2024-05-01 08:15:00" (SQLite) or as a timestamp,
    // which PostgreSQL compares with the day's text as its midnight.
    if (filter.since) {
        params.emplace_back(day_text(*filter.since));
        conditions.push_back(fmt::format("x.stamp >= ?{}", params.size()));
    }
    if (filter.until) {
        params.emplace_back(day_text(std::chrono::sys_days{*filter.until} + std::chrono::days{1}));
        conditions.push_back(fmt::format("x.stamp < ?{}", params.size()));
    }
    if (filter.text) {
        // No stored text holds a NUL (PostgreSQL's show it as U+FFFD).
        if (filter.text->find('\0') != std::string::npos) {
            conditions.emplace_back("1 = 0");
        } else {
            conditions.push_back(db_->holds_text(
                fold_text(*filter.text), filter.machine_id ? TextScan::OneReader : how, params));
        }
    }
    // Keys compared as rows: both databases read the index from the key on.
    for (const auto& [key, op] : {std::pair{filter.after, ">"}, std::pair{filter.before, "<"}}) {
        if (key) {
            params.emplace_back(key->reader_id);
            params.emplace_back(key->memory);
            params.emplace_back(key->position);
            conditions.push_back(
                fmt::format("(x.reader_id, x.memory, x.position) {} (?{}, ?{}, ?{})", op,
                            params.size() - 2, params.size() - 1, params.size()));
        }
    }
    return conditions;
}

std::vector<StoredRecord> RecordStore::records(const RecordFilter& filter) {
    std::vector<Value> params;
    const std::vector<std::string> conditions =
        record_conditions(filter, TextScan::FirstPage, params);
    // A page before a key is the last ones before it: read backwards, then
    // turned round below.
    const bool backwards = filter.before && !filter.after && filter.limit;
    std::string page;
    if (filter.limit || filter.offset > 0) {
        params.emplace_back(
            sql_count(filter.limit.value_or(std::numeric_limits<std::size_t>::max())));
        params.emplace_back(sql_count(filter.offset));
        page = fmt::format(" LIMIT ?{} OFFSET ?{}", params.size() - 1, params.size());
    }
    const std::string direction = backwards ? " DESC" : "";
    const std::string order =
        fmt::format("ORDER BY x.reader_id{0}, x.memory{0}, x.position{0}", direction);
    // A page is cut from the records alone, then joined to its readers:
    // PostgreSQL otherwise may walk the readers in order and compare each
    // with every match (70 ms for a page that begins near the last reader).
    const bool paged = !page.empty();
    const std::string from =
        paged ? fmt::format("(SELECT * FROM records x{} {}{})", where(conditions), order, page)
              : "records";
    const std::string sql = fmt::format(
        "SELECT r.machine_id, x.download_id, x.position, {}, x.date_line, {}, x.reader_id, "
        "x.memory FROM {} x JOIN readers r ON r.id = x.reader_id{} {}",
        kRecordColumns, db_->local_text("x.stamp"), from, paged ? std::string() : where(conditions),
        order);
    // Sized once: an export's 10,000 rows would otherwise be copied as the
    // vector grows, the old and the new held at once.
    const Rows found = db_->run(sql, params);
    std::vector<StoredRecord> rows;
    rows.reserve(found.size());
    for (const Row& row : found) {
        StoredRecord stored;
        stored.machine_id = row.bytes(0);
        stored.download_id = row.integer(1);
        stored.position = row.integer(2);
        stored.record = record_from(row, 3);
        stored.date_line = row.bytes(8);
        if (!row.is_null(9)) {
            stored.time = row.bytes(9);
        }
        stored.key = {row.integer(10), row.integer(11), stored.position};
        rows.push_back(std::move(stored));
    }
    if (backwards) {
        std::reverse(rows.begin(), rows.end());
    }
    return rows;
}

std::int64_t RecordStore::count_records(const RecordFilter& filter) {
    std::vector<Value> params;
    std::string sql;
    if (filter.text || filter.after || filter.before) {
        sql = fmt::format("SELECT count(*) FROM records x{}",
                          where(record_conditions(filter, TextScan::Every, params)));
    } else if (filter.since || filter.until) {
        // record_days counts the stamped records of each reader and day.
        sql = fmt::format("SELECT coalesce(sum(x.records), 0) FROM record_days x{}",
                          where(day_conditions(filter, params)));
    } else {
        // Every record was stored by one download, which counts it: the
        // downloads are far fewer than the records.
        sql = "SELECT coalesce(sum(x.new_records), 0) FROM downloads x";
        if (filter.machine_id) {
            sql += " WHERE " + reader_condition("x.reader_id", *filter.machine_id, params);
        }
        // Less the records pruned since.
        sql = fmt::format(
            "SELECT ({}) - (SELECT coalesce(sum(x.records), 0) FROM pruned_memories x{})", sql,
            filter.machine_id
                ? " WHERE " + reader_condition("x.reader_id", *filter.machine_id, params)
                : std::string());
    }
    return db_->run(sql, params).at(0).integer(0);
}

std::vector<std::string> RecordStore::day_conditions(const RecordFilter& filter,
                                                     std::vector<Value>& params) {
    std::vector<std::string> conditions;
    if (filter.machine_id) {
        conditions.push_back(reader_condition("x.reader_id", *filter.machine_id, params));
    }
    if (filter.since) {
        params.emplace_back(day_text(*filter.since));
        conditions.push_back(fmt::format("x.day >= ?{}", params.size()));
    }
    if (filter.until) {
        params.emplace_back(day_text(*filter.until));
        conditions.push_back(fmt::format("x.day <= ?{}", params.size()));
    }
    return conditions;
}

std::int64_t RecordStore::count_records_up_to(const RecordFilter& filter, std::int64_t cap) {
    if (!filter.text) {
        return std::min(count_records(filter), cap);  // read from the counts kept
    }
    if (!filter.machine_id && !filter.since && !filter.until && !filter.after && !filter.before &&
        filter.text->find('\0') == std::string::npos) {
        return db_->count_holding(fold_text(*filter.text), cap);
    }
    std::vector<Value> params;
    const std::vector<std::string> conditions =
        record_conditions(filter, TextScan::FirstPage, params);
    params.emplace_back(cap);
    return db_
        ->run(fmt::format("SELECT count(*) FROM (SELECT 1 FROM records x{} LIMIT ?{}) c",
                          where(conditions), params.size()),
              params)
        .at(0)
        .integer(0);
}

std::vector<DayCount> RecordStore::records_per_day(const RecordFilter& filter) {
    std::vector<Value> params;
    std::string sql;
    if (filter.text) {
        // The matches themselves are counted (through the text's index).
        RecordFilter days = filter;
        days.after.reset();
        days.before.reset();
        sql = fmt::format(
            "SELECT {0}, count(*) FROM records x{1} AND x.stamp IS NOT NULL GROUP BY {0} ORDER "
            "BY {0}",
            db_->local_day("x.stamp"), where(record_conditions(days, TextScan::Every, params)));
    } else {
        sql = fmt::format(
            "SELECT x.day, sum(x.records) FROM record_days x{} GROUP BY x.day ORDER BY x.day",
            where(day_conditions(filter, params)));
    }
    std::vector<DayCount> days;
    for (const Row& row : db_->run(sql, params)) {
        days.push_back({row.bytes(0), row.integer(1)});
    }
    return days;
}

const std::vector<ReaderSummary>& RecordStore::reader_summaries() {
    // The token is read first: a commit after it changes it, so summaries
    // read meanwhile are read again next time. A writing connection does not
    // see its own commits in the token, so it keeps nothing.
    std::string token = read_only_ ? db_->change_token() : std::string();
    if (read_only_ && summaries_ && summaries_->first == token) {
        return summaries_->second;
    }
    // Each record counts in the download that stored it (count_records says
    // why); a reader's last download is its highest id.
    // Less the records pruned since.
    const std::string sql = fmt::format(
        "SELECT r.machine_id, r.named, coalesce(s.records, 0) - coalesce(p.records, 0), s.last, "
        "{} FROM readers r LEFT JOIN (SELECT reader_id, sum(new_records) AS records, max(id) AS "
        "last FROM downloads GROUP BY reader_id) s ON s.reader_id = r.id LEFT JOIN downloads d "
        "ON d.id = s.last LEFT JOIN (SELECT reader_id, sum(records) AS records FROM "
        "pruned_memories GROUP BY reader_id) p ON p.reader_id = r.id ORDER BY r.machine_id",
        download_columns());
    std::vector<ReaderSummary> summaries;
    for (const Row& row : db_->run(sql)) {
        ReaderSummary summary;
        summary.machine_id = row.bytes(0);
        summary.named = row.integer(1) != 0;
        summary.records = row.integer(2);
        if (!row.is_null(3)) {
            summary.last_download = download_from(row, 4);
        }
        summaries.push_back(std::move(summary));
    }
    // Kept for the caller either way; only a reading store looks at it again.
    summaries_.emplace(std::move(token), std::move(summaries));
    return summaries_->second;
}

std::optional<std::string> RecordStore::answer(std::int64_t download_id) {
    const Rows rows = db_->run("SELECT answer FROM downloads WHERE id = ?1", {download_id});
    if (rows.empty() || rows.front().is_null(0)) {
        return std::nullopt;
    }
    return rows.front().bytes(0);
}

std::optional<StoredDownload> RecordStore::download(std::int64_t download_id) {
    const Rows rows = db_->run(
        fmt::format(
            "SELECT {} FROM downloads d JOIN readers r ON r.id = d.reader_id WHERE d.id = ?1",
            download_columns()),
        {download_id});
    if (rows.empty()) {
        return std::nullopt;
    }
    return download_from(rows.front(), 0);
}

std::vector<KeptAnswer> RecordStore::answers(std::int64_t download_id) {
    std::vector<KeptAnswer> kept;
    if (std::optional<std::string> own = answer(download_id)) {
        kept.push_back({0, std::move(*own)});
    }
    for (const Row& row : db_->run("SELECT read_number, answer FROM download_answers WHERE "
                                   "download_id = ?1 ORDER BY read_number",
                                   {download_id})) {
        kept.push_back({static_cast<int>(row.integer(0)), row.bytes(1)});
    }
    return kept;
}

std::vector<ReaderTimes> RecordStore::reader_times() {
    // The highest id of a reader (and of its verified erases) is its latest:
    // both from one pass over downloads_by_reader_erase. A look-up of each
    // reader's two ids took PostgreSQL twice as long.
    const std::string sql = fmt::format(
        "SELECT r.machine_id, {}, {} FROM readers r LEFT JOIN (SELECT reader_id, max(id) AS "
        "last, max(CASE WHEN erase = 'verified' THEN id END) AS erased FROM downloads GROUP BY "
        "reader_id) l ON l.reader_id = r.id LEFT JOIN downloads c ON c.id = l.last LEFT JOIN "
        "downloads v ON v.id = l.erased ORDER BY r.machine_id",
        db_->utc_text("c.ended_at"), db_->utc_text("v.ended_at"));
    std::vector<ReaderTimes> times;
    for (const Row& row : db_->run(sql)) {
        times.push_back({row.bytes(0), row.bytes(1), row.bytes(2)});
    }
    return times;
}

std::vector<DownloadCount> RecordStore::download_counts() {
    std::vector<DownloadCount> counts;
    // Read from downloads_by_outcome alone, not the downloads' rows.
    for (const Row& row :
         db_->run("SELECT checked, complete, count(*) FROM downloads GROUP BY checked, complete")) {
        counts.push_back({read_check_from(row.bytes(0)).value_or(ReadCheck::NotChecked),
                          row.integer(1) != 0, row.integer(2)});
    }
    return counts;
}

void RecordStore::record_port_state(const PortState& state) {
    Transaction transaction(*db_);
    db_->run(
        "INSERT INTO port_states (port, reachable, failure, since, reader) VALUES (?1, ?2, ?3, ?4, "
        "?5) ON CONFLICT (port) DO UPDATE SET reachable = excluded.reachable, failure = "
        "excluded.failure, since = excluded.since, reader = excluded.reader",
        {state.port, std::int64_t{state.reachable ? 1 : 0}, state.failure,
         iso_utc(std::chrono::system_clock::now()), Blob{state.reader}});
    transaction.commit();
}

std::vector<PortState> RecordStore::port_states() {
    std::vector<PortState> states;
    for (const Row& row :
         db_->run(fmt::format("SELECT port, reachable, failure, {}, reader FROM port_states ORDER "
                              "BY port",
                              db_->utc_text("since")))) {
        states.push_back(
            {row.bytes(0), row.integer(1) != 0, row.bytes(2), row.bytes(3), row.bytes(4)});
    }
    return states;
}

std::int64_t RecordStore::last_download_id() {
    return db_->run("SELECT coalesce(max(id), 0) FROM downloads").at(0).integer(0);
}

std::vector<std::string> RecordStore::readers() {
    std::vector<std::string> ids;
    for (const Row& row : db_->run("SELECT machine_id FROM readers ORDER BY machine_id")) {
        ids.push_back(row.bytes(0));
    }
    return ids;
}

// Whether an answer is kept is read from its length: SQLite reads that
// without the answer's bytes, which "answer IS NOT NULL" reads.
std::string RecordStore::download_columns() const {
    return fmt::format(
        "d.id, r.machine_id, d.port, {}, {}, d.announced, d.received, d.complete, d.new_records, "
        "d.already_stored, d.erase, length(d.answer) IS NOT NULL, d.reads, d.sure, d.checked, "
        "d.read_log",
        db_->utc_text("d.started_at"), db_->utc_text("d.ended_at"));
}

std::vector<StoredDownload> RecordStore::downloads(const DownloadFilter& filter) {
    std::vector<std::string> conditions;
    std::vector<Value> params;
    if (filter.machine_id) {
        conditions.push_back(reader_condition("d.reader_id", *filter.machine_id, params));
    }
    if (filter.since) {
        // Times are kept as iso_utc writes them: as text (SQLite) they sort
        // as the moments do; PostgreSQL reads the text as a moment.
        params.emplace_back(iso_utc(std::chrono::sys_days{*filter.since}));
        conditions.push_back(fmt::format("d.ended_at >= ?{}", params.size()));
    }
    // The most recent N: newest first to cut, then turned back below.
    std::string order = " ORDER BY d.id";
    if (filter.limit) {
        params.emplace_back(sql_count(*filter.limit));
        params.emplace_back(sql_count(filter.offset));
        order = fmt::format(" ORDER BY d.id DESC LIMIT ?{} OFFSET ?{}", params.size() - 1,
                            params.size());
    }
    const std::string sql =
        fmt::format("SELECT {} FROM downloads d JOIN readers r ON r.id = d.reader_id{}{}",
                    download_columns(), where(conditions), order);
    std::vector<StoredDownload> rows;
    for (const Row& row : db_->run(sql, params)) {
        rows.push_back(download_from(row, 0));
    }
    if (filter.limit) {
        std::reverse(rows.begin(), rows.end());
    }
    return rows;
}

RebuildReport RecordStore::rebuild() {
    Transaction transaction(*db_);
    // Every reader's row, as a collect locks its own: none stores meanwhile.
    static_cast<void>(
        db_->run(fmt::format("SELECT id FROM readers ORDER BY id{}", db_->lock_suffix())));
    RebuildReport report;
    const Rows downloads = db_->run(
        "SELECT d.id, d.reader_id, d.answer, d.erase, r.machine_id, d.sure FROM downloads d "
        "JOIN readers r ON r.id = d.reader_id ORDER BY d.id");
    std::set<std::int64_t> kept;
    for (const Row& row : downloads) {
        if (row.is_null(2) && kept.insert(row.integer(1)).second) {
            report.kept_readers.push_back(row.bytes(4));
        }
    }
    // A pruned memory's records are gone, and the replay would store the
    // kept answers' records again: such readers stay as they are.
    for (const Row& row :
         db_->run("SELECT DISTINCT p.reader_id, r.machine_id FROM pruned_memories p JOIN "
                  "readers r ON r.id = p.reader_id ORDER BY r.machine_id")) {
        if (kept.insert(row.integer(0)).second) {
            report.pruned_readers.push_back(row.bytes(1));
        }
    }
    // The records as they were, to tell what changed.
    using Key = std::tuple<std::int64_t, std::int64_t>;
    std::map<Key, DownloadedRecord> before;
    std::set<std::int64_t> replayed;
    for (const Row& row : downloads) {
        if (kept.count(row.integer(1)) == 0) {
            replayed.insert(row.integer(1));
        }
    }
    for (const std::int64_t reader_id : replayed) {
        for (const Row& row :
             db_->run(fmt::format(
                          "SELECT x.memory, x.position, {} FROM records x WHERE x.reader_id = ?1",
                          kRecordColumns),
                      {reader_id})) {
            before.emplace(Key{row.integer(0), row.integer(1)}, record_from(row, 2));
        }
        db_->run("DELETE FROM records WHERE reader_id = ?1", {reader_id});
        db_->run("DELETE FROM record_days WHERE reader_id = ?1", {reader_id});
    }
    report.records_before = before.size();

    std::map<std::int64_t, Memory> memories;
    std::map<Key, DownloadedRecord> after;
    for (const Row& row : downloads) {
        const std::int64_t reader_id = row.integer(1);
        if (kept.count(reader_id) != 0 || row.integer(5) == 0) {
            continue;  // reads that disagreed stored nothing, and still do
        }
        const std::int64_t download_id = row.integer(0);
        Download download;
        try {
            download = protocol::decode_records(row.bytes(2), 0);
        } catch (const Error&) {
            download = {};  // nothing in it could be read: it stores nothing
        }
        Memory& memory = memories[reader_id];
        const Stored stored = apply(memory, download, plan_download(memory.records, download),
                                    download_id, reader_id);
        memory.records.insert(
            memory.records.end(),
            download.records.begin() + static_cast<std::ptrdiff_t>(stored.plan.first_new),
            download.records.begin() + static_cast<std::ptrdiff_t>(stored.plan.end));
        for (const RecordRow& record : stored.rows) {
            after.emplace(Key{record.memory, record.position},
                          download.records.at(static_cast<std::size_t>(record.position - 1)));
        }
        db_->insert_records(stored.rows);
        count_days(stored.rows);
        db_->run(
            "UPDATE downloads SET announced = ?1, received = ?2, complete = ?3, memory = ?4, "
            "new_records = ?5, already_stored = ?6 WHERE id = ?7",
            {std::int64_t{download.announced}, static_cast<std::int64_t>(download.records.size()),
             std::int64_t{download.complete() ? 1 : 0}, stored.memory_id,
             static_cast<std::int64_t>(stored.plan.new_records()),
             static_cast<std::int64_t>(stored.plan.already_stored), download_id});
        const std::optional<EraseResult> erase = erase_result_from(row.bytes(3));
        if (erase && ends_memory(*erase)) {
            memory = {};
        }
        ++report.downloads;
    }
    for (const auto& [reader_id, memory] : memories) {
        db_->run("UPDATE readers SET memory = ?1 WHERE id = ?2",
                 {memory.id == 0 ? Value{Null{}} : Value{memory.id}, reader_id});
    }
    report.records_after = after.size();
    for (const auto& [key, record] : before) {
        const auto found = after.find(key);
        report.records_changed += found == after.end() || !(found->second == record) ? 1U : 0U;
    }
    for (const auto& [key, record] : after) {
        report.records_changed += before.count(key) == 0 ? 1U : 0U;
    }
    transaction.commit();
    return report;
}

}  // namespace

std::string_view to_string(EraseResult result) noexcept {
    for (const auto& [value, word] : kEraseWords) {
        if (value == result) {
            return word;
        }
    }
    return "failed";
}

std::optional<EraseResult> erase_result_from(std::string_view word) noexcept {
    for (const auto& [value, known] : kEraseWords) {
        if (known == word) {
            return value;
        }
    }
    return std::nullopt;
}

std::string_view to_string(ReadCheck check) noexcept {
    switch (check) {
        case ReadCheck::Sure:
            return "sure";
        case ReadCheck::Unsure:
            return "unsure";
        case ReadCheck::NotChecked:
            break;
    }
    return "not checked";
}

std::optional<ReadCheck> read_check_from(std::string_view word) noexcept {
    for (const ReadCheck check : {ReadCheck::Sure, ReadCheck::Unsure, ReadCheck::NotChecked}) {
        if (to_string(check) == word) {
            return check;
        }
    }
    return std::nullopt;
}

std::string reader_name_problem(std::string_view name) {
    if (name.empty()) {
        return "the name is empty";
    }
    if (name.size() > kMaxReaderName) {
        return fmt::format("the name is {} bytes long, more than the {} the store takes",
                           name.size(), kMaxReaderName);
    }
    // Machine IDs are shown decoded from the reader's code page: a name in
    // printable ASCII is shown as typed, in every output.
    if (std::any_of(name.begin(), name.end(), [](char c) {
            const auto code = static_cast<unsigned char>(c);
            return code < 0x20 || code > 0x7E;
        })) {
        return "it holds a character that is not a printable ASCII character (letters, digits, "
               "punctuation, spaces inside)";
    }
    if (name.front() == ' ' || name.back() == ' ') {
        return "it begins or ends with a space";
    }
    return {};
}

std::string fold_text(std::string_view utf8) {
    std::string folded(utf8);
    for (std::size_t i = 0; i < folded.size(); ++i) {
        const auto byte = static_cast<unsigned char>(folded[i]);
        if (byte >= 'A' && byte <= 'Z') {
            folded[i] = static_cast<char>(byte + ('a' - 'A'));
            continue;
        }
        if (i + 1 >= folded.size()) {
            break;
        }
        // Lead bytes of the two-byte letters: U+00C0-U+00FF and U+0140-U+017F.
        const auto next = static_cast<unsigned char>(folded[i + 1]);
        if (byte == 0xC3 && next >= 0x80 && next <= 0x9E && next != 0x97) {  // À-Þ but ×
            folded[i + 1] = static_cast<char>(next + 0x20);
        } else if (byte == 0xC5 && (next == 0x92 || next == 0xA0 || next == 0xBD)) {  // Œ Š Ž
            folded[i + 1] = static_cast<char>(next + 1);
        } else if (byte == 0xC5 && next == 0xB8) {  // Ÿ, whose lower case is U+00FF
            folded[i] = static_cast<char>(0xC3);
            folded[i + 1] = static_cast<char>(0xBF);
        }
        if (byte >= 0xC0) {
            ++i;
        }
    }
    return folded;
}

bool same_reader(std::string_view stored, std::string_view named) {
    return same_machine_id(stored, named);
}

bool is_postgres_target(std::string_view target) noexcept {
    return target.starts_with("postgresql://") || target.starts_with("postgres://");
}

std::unique_ptr<Store> open_store(const std::string& target, OpenMode mode) {
    if (target.empty()) {
        throw StoreError(StoreErrorKind::CannotOpen,
                         "--db is empty: give a SQLite file such as records.sqlite or a "
                         "postgresql:// URI");
    }
    if (is_postgres_target(target)) {
        return std::make_unique<RecordStore>(
            detail::open_postgres(target, mode == OpenMode::ReadOnly), mode);
    }
    // Reading a store under a mistyped name must not leave an empty one there.
    std::error_code error;
    if (mode != OpenMode::CreateIfMissing && !std::filesystem::exists(target, error)) {
        throw StoreError(
            StoreErrorKind::NotFound,
            fmt::format("the store {} does not exist: check the path (kdr collect creates it)",
                        target));
    }
    return std::make_unique<RecordStore>(detail::open_sqlite(target, mode), mode);
}

namespace detail {

FoldedLetters folded_letters() {
    FoldedLetters letters;
    // Every letter here is below U+0800: two bytes of UTF-8.
    const auto add = [&](char32_t code) {
        const std::string upper{static_cast<char>(0xC0U | (code >> 6U)),
                                static_cast<char>(0x80U | (code & 0x3FU))};
        letters.upper += upper;
        letters.lower += fold_text(upper);
    };
    for (char32_t code = 0xC0; code <= 0xDE; ++code) {
        if (code != 0xD7) {
            add(code);
        }
    }
    for (const char32_t code : {0x160U, 0x152U, 0x17DU, 0x178U}) {
        add(code);
    }
    return letters;
}

std::string contains_pattern(std::string_view text) {
    std::string pattern = "%";
    for (const char c : text) {
        if (c == '%' || c == '_' || c == '\\') {
            pattern += '\\';
        }
        pattern += c;
    }
    return pattern + "%";
}

std::int64_t Row::integer(std::size_t column) const {
    const Value& value = values_.at(column);
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        return *integer;
    }
    if (const auto* text = std::get_if<std::string>(&value)) {
        return std::stoll(*text);
    }
    return 0;
}

std::string Row::bytes(std::size_t column) const {
    const Value& value = values_.at(column);
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    if (const auto* blob = std::get_if<Blob>(&value)) {
        return blob->bytes;
    }
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        return std::to_string(*integer);
    }
    return {};
}

}  // namespace detail

}  // namespace kdr::store
