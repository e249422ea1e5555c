// The store on both back ends: sequences of collects, erases and failures
// against the never-twice rule, texts byte for byte, the schema version, the
// export filters.
#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "kdr/error.hpp"
#include "kdr/simulator.hpp"
#include "kdr/text_encoding.hpp"
#include "protocol/record_decoding.hpp"
#include "sequences.hpp"
#include "store_support.hpp"

namespace kdr::store::test {
namespace {

class NeverTwice : public ::testing::TestWithParam<std::tuple<Backend, Sequence>> {};

TEST_P(NeverTwice, StoresEachRecordOnce) {
    const auto& [backend, sequence] = GetParam();
    const TempDir dir;
    KDR_NEW_STORE(target, backend, dir);
    std::unique_ptr<Store> store = open_store(target);
    const std::set<std::string> downloaded = run_sequence(
        sequence,
        [&](const Download& download, bool erase_follows) {
            const auto now = std::chrono::system_clock::now();
            return store->store_download({"/dev/ttyUSB0",
                                          now,
                                          now,
                                          &download,
                                          erase_follows,
                                          {},
                                          1,
                                          store::ReadCheck::Sure,
                                          {}});
        },
        [&](std::int64_t id, EraseResult result) { store->set_erase_result(id, result); });

    // Every record of a whole download is stored, once, byte for byte.
    const std::multiset<std::string> texts = stored_texts(*store);
    for (const std::string& text : downloaded) {
        EXPECT_EQ(texts.count(text), 1U) << text;
    }
    EXPECT_TRUE(doubled(texts).empty());
    expect_downloads_whole(*store);
    for (const StoredRecord& stored : store->records({})) {
        if (stored.record.has_lead) {
            const int n = std::stoi(stored.record.text.substr(stored.record.text.find('#') + 1));
            EXPECT_EQ(stored.record, nth_record(n));
        }
        EXPECT_EQ(stored.machine_id, "KDR00077");
    }
}

std::vector<Sequence> database_sequences() {
    std::vector<Sequence> chosen;
    for (const Sequence& sequence : sequences()) {
        if (sequence.on_databases) {
            chosen.push_back(sequence);
        }
    }
    return chosen;
}

std::string sequence_name(const ::testing::TestParamInfo<std::tuple<Backend, Sequence>>& param) {
    return std::get<1>(param.param).name +
           (std::get<0>(param.param) == Backend::Sqlite ? "_Sqlite" : "_Postgres");
}

INSTANTIATE_TEST_SUITE_P(Sequences, NeverTwice,
                         ::testing::Combine(::testing::Values(Backend::Sqlite, Backend::Postgres),
                                            ::testing::ValuesIn(database_sequences())),
                         sequence_name);

class StoreBackend : public ::testing::TestWithParam<Backend> {};

TEST_P(StoreBackend, RefusesASchemaNewerThanItKnows) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    static_cast<void>(open_store(target));  // creates the current version
    const std::string bump = "UPDATE schema_version SET version = 99";
    if (GetParam() == Backend::Sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(target.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, bump.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    } else {
        postgres_exec(target, bump);
    }
    try {
        static_cast<void>(open_store(target));
        FAIL() << "a newer schema was opened";
    } catch (const StoreError& error) {
        EXPECT_EQ(error.kind(), StoreErrorKind::NewerSchema);
        EXPECT_NE(std::string(error.what()).find("schema version 99"), std::string::npos)
            << error.what();
    }
}

TEST_P(StoreBackend, FiltersByReaderAndDay) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::unique_ptr<Store> store = open_store(target);
    const auto now = std::chrono::system_clock::now();
    // Reader A: records on 1 and 2 May, one without a valid stamp; reader B
    // (a right-aligned number) on 1 May.
    Download a;
    a.has_header = true;
    a.machine_id = "KDRA    ";
    a.records = {nth_record(0), nth_record(720), nth_record(1)};
    a.records[2].stamp.codes[1] = 16;  // month 0
    a.records[2].stamp.state = StampState::NotADate;
    a.announced = 3;
    Download b = a;
    b.machine_id = "     123";
    b.records = {nth_record(2)};
    b.announced = 1;
    store->store_download({"1", now, now, &a, false, {}, 1, store::ReadCheck::Sure, {}});
    store->store_download({"2", now, now, &b, false, {}, 1, store::ReadCheck::Sure, {}});

    const auto texts = [&](const RecordFilter& filter) {
        std::vector<std::string> found;
        for (const StoredRecord& record : store->records(filter)) {
            found.push_back(record.record.text);
        }
        return found;
    };
    using std::chrono::May;
    EXPECT_EQ(texts({}).size(), 4U);
    EXPECT_EQ(texts({"KDRA", std::nullopt}),
              (std::vector<std::string>{a.records[0].text, a.records[1].text, a.records[2].text}));
    EXPECT_EQ(texts({"123", std::nullopt}), std::vector<std::string>{b.records[0].text});
    EXPECT_EQ(texts({"KDRA", std::chrono::year{2024} / May / 2}),
              std::vector<std::string>{a.records[1].text});
    EXPECT_EQ(texts({std::nullopt, std::chrono::year{2024} / May / 1}).size(), 3U);
    EXPECT_EQ(store->records({"KDRA", std::nullopt})[2].record, a.records[2]);

    const std::vector<StoredDownload> downloads = store->downloads();
    ASSERT_EQ(downloads.size(), 2U);
    EXPECT_EQ(downloads[1].machine_id, "     123");
    EXPECT_EQ(downloads[1].port, "2");
    EXPECT_EQ(downloads[1].erase, EraseResult::NotRequested);
}

// Downloads by reader (its ID as typed), by the UTC day they ended, and the
// most recent N of those, still oldest first; the readers the store holds.
TEST_P(StoreBackend, FiltersDownloadsByReaderDayAndCount) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::unique_ptr<Store> store = open_store(target);
    Download a;
    a.has_header = true;
    a.machine_id = "KDRA    ";
    a.records = {nth_record(0)};
    a.announced = 1;
    Download b = a;
    b.machine_id = "     123";
    // Ended: A on 1 May 23:59:59.999 and 2 May 00:00 and 3 May, B on 2 May (UTC).
    using std::chrono::May;
    const auto at = [](std::chrono::year_month_day day, std::chrono::milliseconds time) {
        return std::chrono::system_clock::time_point{std::chrono::sys_days{day}} + time;
    };
    const auto may = [](unsigned day) {
        return std::chrono::year{2024} / May / std::chrono::day{day};
    };
    const struct {
        const Download* download;
        std::chrono::system_clock::time_point ended;
    } stored[] = {{&a, at(may(1), std::chrono::hours{24} - std::chrono::milliseconds{1})},
                  {&a, at(may(2), {})},
                  {&b, at(may(2), std::chrono::hours{12})},
                  {&a, at(may(3), std::chrono::hours{1})}};
    std::vector<std::int64_t> ids;
    for (const auto& one : stored) {
        ids.push_back(store
                          ->store_download({"1",
                                            one.ended,
                                            one.ended,
                                            one.download,
                                            false,
                                            {},
                                            1,
                                            store::ReadCheck::Sure,
                                            {}})
                          .download_id);
    }
    const auto found = [&](const DownloadFilter& filter) {
        std::vector<std::int64_t> chosen;
        for (const StoredDownload& download : store->downloads(filter)) {
            chosen.push_back(download.id);
        }
        return chosen;
    };
    // A vector filled row by row: g++ 12 at -O3 takes an array of these
    // for one whose optionals may be left unset.
    struct Case {
        DownloadFilter filter;
        std::vector<std::int64_t> expected;
    };
    std::vector<Case> cases;
    const auto row = [&](std::optional<std::string> id,
                         std::optional<std::chrono::year_month_day> since,
                         std::optional<std::size_t> limit, std::vector<std::int64_t> expected) {
        cases.push_back({DownloadFilter{std::move(id), since, limit}, std::move(expected)});
    };
    row(std::nullopt, std::nullopt, std::nullopt, ids);
    row("KDRA", std::nullopt, std::nullopt, {ids[0], ids[1], ids[3]});
    row("123", std::nullopt, std::nullopt, {ids[2]});
    row("KDRZ", std::nullopt, std::nullopt, {});
    row(std::nullopt, may(2), std::nullopt, {ids[1], ids[2], ids[3]});
    row(std::nullopt, may(4), std::nullopt, {});
    row(std::nullopt, std::nullopt, 2, {ids[2], ids[3]});
    row(std::nullopt, std::nullopt, 10, ids);
    row("KDRA", may(2), 1, {ids[3]});
    row("KDRA", std::nullopt, 2, {ids[1], ids[3]});
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(found(cases[i].filter), cases[i].expected) << "case " << i;
    }
    EXPECT_EQ(store->readers(), (std::vector<std::string>{"     123", "KDRA    "}));
    EXPECT_TRUE(same_reader("     123", "123"));
    EXPECT_FALSE(same_reader("KDRA    ", "KDR"));
}

// The first column of the first row a query gives, as text.
std::string first_value(Backend backend, const std::string& target, const std::string& sql) {
    std::string value;
    if (backend == Backend::Sqlite) {
        sqlite3* db = nullptr;
        sqlite3_open(target.c_str(), &db);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
        if (sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(statement, 0);
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): SQLite's text
            value.assign(reinterpret_cast<const char*>(text),
                         static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
    } else {
        PGconn* connection = PQconnectdb(target.c_str());
        PGresult* result = PQexec(connection, sql.c_str());
        if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0) {
            value = PQgetvalue(result, 0, 0);
        }
        PQclear(result);
        PQfinish(connection);
    }
    return value;
}

// Machine IDs are the reader's bytes in both databases, NUL and 8-bit ones
// too; the UTF-8 copy of a text is decoded as every output decodes it.
TEST_P(StoreBackend, KeepsBytesAndDecodesTextAsTheOutputsDo) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::unique_ptr<Store> store = open_store(target);
    Download download;
    download.has_header = true;
    download.machine_id = std::string("K\0D\xE9R\x80 1", 8);
    download.records = {nth_record(0), nth_record(1)};
    download.records[0].text = "\x80uro \x9f";
    // A first record as the controller's text would trim it: kept as sent.
    download.records[0].stamp = Stamp::from_codes("\x28\x1E\x11\x18\x10\x10");  // month 14
    download.records[0].lead = ' ';
    download.records[0].text = "  \x80uro \x9f";
    download.announced = 2;
    const auto now = std::chrono::system_clock::now();
    store->store_download({"p", now, now, &download, false, {}, 1, store::ReadCheck::Sure, {}});
    EXPECT_EQ(store->downloads().at(0).machine_id, download.machine_id);
    const std::vector<StoredRecord> stored =
        store->records({std::string("K\0D\xE9R\x80 1", 8), std::nullopt});
    ASSERT_EQ(stored.size(), 2U);
    EXPECT_EQ(stored[0].record, download.records[0]);
    EXPECT_EQ(first_value(GetParam(), target, "SELECT text_utf8 FROM records WHERE position = 1"),
              "  \u20ACuro \u0178");
}

// A store written by the first schema: machine IDs and the text copies are
// converted, the records kept; its downloads have no answers to rebuild from.
// Statements run on the store's database behind its back.
void run_sql(Backend backend, const std::string& target, const std::string& sql) {
    if (backend == Backend::Sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(target.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    } else {
        postgres_exec(target, sql);
    }
}

TEST_P(StoreBackend, UpgradesTheFirstSchema) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    const bool sqlite = GetParam() == Backend::Sqlite;
    const std::string key =
        sqlite ? "INTEGER PRIMARY KEY" : "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY";
    const std::string bytes = sqlite ? "BLOB" : "BYTEA";
    const std::string v1 = fmt::format(
        R"sql(
CREATE TABLE schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version VALUES (1);
CREATE TABLE readers (id {0}, machine_id TEXT NOT NULL UNIQUE, memory BIGINT);
CREATE TABLE downloads (id {0}, reader_id BIGINT NOT NULL REFERENCES readers(id),
  port TEXT NOT NULL, started_at {6} NOT NULL, ended_at {6} NOT NULL, announced INTEGER NOT NULL,
  received INTEGER NOT NULL, complete {7} NOT NULL, memory BIGINT NOT NULL,
  new_records INTEGER NOT NULL, already_stored INTEGER NOT NULL, erase TEXT NOT NULL);
CREATE TABLE records (memory BIGINT NOT NULL, position INTEGER NOT NULL,
  download_id BIGINT NOT NULL, reader_id BIGINT NOT NULL, stamp {9}, date_line TEXT NOT NULL,
  stamp_codes {1} NOT NULL, stamp_state INTEGER NOT NULL, stamp_bad_field INTEGER NOT NULL,
  lead INTEGER NOT NULL, text {1} NOT NULL, text_utf8 TEXT NOT NULL,
  PRIMARY KEY (memory, position));
INSERT INTO readers (machine_id, memory) VALUES ('KDR{2}0001', 1);
INSERT INTO downloads (reader_id, port, started_at, ended_at, announced, received, complete,
  memory, new_records, already_stored, erase) VALUES (1, 'p', '2026-01-01T00:00:00.000Z',
  '2026-01-01T00:00:01.000Z', 1, 1, {8}, 1, 1, 0, 'not requested');
INSERT INTO records VALUES (1, 1, 1, 1, '2024-05-01 08:00:00', '2024/05/01 08:00:00',
  {3}, 0, 0, 48, {4}, '{5}uro');
)sql",
        key, bytes, "\xC3\xA9", sqlite ? "X'281511181010'" : "'\\x281511181010'",
        sqlite ? "X'8075726F'" : "'\\x8075726f'", "\xC2\x80", sqlite ? "TEXT" : "TIMESTAMPTZ",
        sqlite ? "INTEGER" : "BOOLEAN", sqlite ? "1" : "true", sqlite ? "TEXT" : "TIMESTAMP");
    run_sql(GetParam(), target, v1);

    // Upgrading is a write: a store opened for reading is not upgraded.
    try {
        static_cast<void>(open_store(target, OpenMode::ReadOnly));
        ADD_FAILURE() << "a store of the first schema was opened for reading";
    } catch (const StoreError& error) {
        EXPECT_EQ(error.kind(), StoreErrorKind::ReadOnly) << error.what();
        EXPECT_NE(std::string(error.what()).find("run kdr collect"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(first_value(GetParam(), target, "SELECT version FROM schema_version"), "1");

    std::unique_ptr<Store> store = open_store(target);
    EXPECT_EQ(first_value(GetParam(), target, "SELECT version FROM schema_version"),
              std::to_string(kSchemaVersion));
    EXPECT_EQ(first_value(GetParam(), target, "SELECT text_utf8 FROM records"), "\u20ACuro");
    const std::string indexes = fmt::format(
        "SELECT count(*) FROM {} IN ('records_by_reader', 'records_by_reader_stamp', "
        "'downloads_by_reader')",
        sqlite ? "sqlite_master WHERE type = 'index' AND name" : "pg_indexes WHERE indexname");
    EXPECT_EQ(first_value(GetParam(), target, indexes), "3");
    ASSERT_EQ(store->records_per_day({}).size(), 1U);
    EXPECT_EQ(store->records_per_day({}).at(0).records, 1);
    const std::vector<StoredDownload> downloads = store->downloads();
    ASSERT_EQ(downloads.size(), 1U);
    EXPECT_EQ(downloads[0].machine_id,
              "KDR\xE9"
              "0001");
    EXPECT_FALSE(downloads[0].has_answer);
    ASSERT_EQ(store->records({}).size(), 1U);
    EXPECT_EQ(store->records({}).at(0).record.text, "\x80uro");
    const RebuildReport report = store->rebuild();
    EXPECT_EQ(report.downloads, 0U);
    EXPECT_EQ(report.kept_readers, std::vector<std::string>{"KDR\xE9"
                                                            "0001"});
    EXPECT_EQ(store->records({}).size(), 1U);
}

// Takes a store of the current schema back to version 5: no folded texts, no
// search index.
std::string undo_version_6(Backend backend) {
    return backend == Backend::Sqlite
               ? "DROP TABLE pruned_memories; DROP TABLE port_states; DROP INDEX "
                 "downloads_by_reader_erase; "
                 "DROP INDEX downloads_by_outcome; "
                 "DROP TRIGGER records_search_insert; DROP TRIGGER records_search_delete; "
                 "DROP TRIGGER records_search_update; DROP TABLE record_search; "
                 "ALTER TABLE records DROP COLUMN search_key; "
                 "ALTER TABLE records DROP COLUMN text_folded; "
                 "UPDATE schema_version SET version = 5;"
               : "DROP TABLE pruned_memories; DROP TABLE port_states; DROP INDEX "
                 "downloads_by_reader_erase; "
                 "DROP INDEX downloads_by_outcome; "
                 "DROP INDEX records_by_text; ALTER TABLE records DROP COLUMN text_folded; "
                 "UPDATE schema_version SET version = 5;";
}

// A search finds a text whatever the case of its letters, beyond ASCII too,
// and nothing else; pages by key neither skip nor repeat a record. On a store
// upgraded from version 5, whose index is built from the records it holds,
// and after records were deleted behind the store's back.
TEST_P(StoreBackend, SearchesTextsAndPagesByKey) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    // Code page 1252: "Größe", "ŠKODA œuvre", "Ÿes", "2×3", "ÀÞ".
    const std::vector<std::string> texts{
        "Gr\xF6\xDF"
        "e 40",
        "\x8AKODA \x9Cuvre",
        "\x9F"
        "es",
        "2\xD7"
        "3",
        "\xC0\xDE",
        "50% OFF",
        "50 OFF",
        "A_B",
        "AxB",
        "back\\slash",
        "plain"};
    const auto now = std::chrono::system_clock::now();
    const auto collect = [&](Store& store, const std::string& id, std::vector<std::string> more) {
        std::vector<simulator::Record> records;
        for (std::size_t i = 0; i < more.size(); ++i) {
            records.push_back({{2024, 5, 1, 8, static_cast<int>(i % 60), 0}, more[i], 'A'});
        }
        const Download download =
            protocol::decode_records(simulator::download_answer(id, records), 2024);
        store.store_download({"p", now, now, &download, false, {}, 2, ReadCheck::Sure, {}});
    };
    {
        std::unique_ptr<Store> store = open_store(target);
        for (const char* id : {"KDRC", "KDRA", "KDRB"}) {  // stored in this order
            std::vector<std::string> mine = texts;
            for (int n = 0; n < 40; ++n) {
                mine.push_back(fmt::format("LOT {} DAMAGED", n));
            }
            mine.emplace_back("gone");
            collect(*store, id, mine);
        }
    }
    run_sql(GetParam(), target, undo_version_6(GetParam()));
    std::unique_ptr<Store> store = open_store(target);  // upgraded
    collect(*store, "KDRA",
            {"Gr\xD6\xDF"
             "E",
             "kept"});  // a new memory, indexed as stored
    // As a prune would: the search must not find what is gone.
    run_sql(GetParam(), target, "DELETE FROM records WHERE text_utf8 = 'gone'");

    const struct {
        std::string query;
        std::vector<std::string> found;  // the texts, as stored, once per reader
    } cases[] = {
        {"GR\u00D6\u00DFE",
         {"Gr\xF6\xDF"
          "e 40",
          "Gr\xD6\xDF"
          "E"}},
        {"gr\u00F6",
         {"Gr\xF6\xDF"
          "e 40",
          "Gr\xD6\xDF"
          "E"}},  // three characters
        {"\u00F6\u00DF",
         {"Gr\xF6\xDF"
          "e 40",
          "Gr\xD6\xDF"
          "E"}},  // two: read in order
        {"\u0161koda \u0152UVRE", {"\x8AKODA \x9Cuvre"}},
        {"\u00FFES",
         {"\x9F"
          "es"}},
        {"\u00D7",
         {"2\xD7"
          "3"}},  // no letter: as it is
        {"\u00E0\u00FE", {"\xC0\xDE"}},
        {"50%", {"50% OFF"}},
        {"a_b", {"A_B"}},
        {"\\", {"back\\slash"}},
        {"k\\s", {"back\\slash"}},
        {"gone", {}},
        {"nowhere", {}},
    };
    for (const auto& [query, found] : cases) {
        for (const auto& reader :
             {std::optional<std::string>{}, std::optional<std::string>{"KDRB"}}) {
            std::multiset<std::string> expected;
            for (const std::string& text : found) {
                const bool second_memory = text ==
                                           "Gr\xD6\xDF"
                                           "E";
                for (int copy = 0; copy < (reader ? 1 : 3); ++copy) {
                    if (!second_memory || (!reader && copy == 0)) {
                        expected.insert(text);
                    }
                }
            }
            std::multiset<std::string> got;
            for (const StoredRecord& record :
                 store->records({.machine_id = reader, .text = query})) {
                got.insert(record.record.text);
            }
            EXPECT_EQ(got, expected) << query << " in " << reader.value_or("every reader");
            EXPECT_EQ(store->count_records_up_to({.machine_id = reader, .text = query}, 1000),
                      static_cast<std::int64_t>(expected.size()))
                << query;
        }
    }

    // Pages of 7 by key, forwards and back, against the whole list.
    for (const RecordFilter& filter : {RecordFilter{}, RecordFilter{.text = "damaged"},
                                       RecordFilter{.machine_id = "KDRA", .text = "damaged"}}) {
        const std::vector<StoredRecord> all = store->records(filter);
        ASSERT_GT(all.size(), 14U);
        EXPECT_TRUE(std::is_sorted(all.begin(), all.end(),
                                   [](const auto& a, const auto& b) { return a.key < b.key; }));
        std::vector<StoredRecord> forwards;
        RecordFilter page = filter;
        page.limit = 7;
        for (std::vector<StoredRecord> got = store->records(page); !got.empty();
             got = store->records(page)) {
            forwards.insert(forwards.end(), got.begin(), got.end());
            page.after = got.back().key;
        }
        std::vector<StoredRecord> backwards;
        page.after.reset();
        page.before = all.back().key;
        backwards.push_back(all.back());
        for (std::vector<StoredRecord> got = store->records(page); !got.empty();
             got = store->records(page)) {
            backwards.insert(backwards.begin(), got.begin(), got.end());
            page.before = got.front().key;
        }
        const auto keys = [](const std::vector<StoredRecord>& records) {
            std::vector<RecordKey> found;
            for (const StoredRecord& record : records) {
                found.push_back(record.key);
            }
            return found;
        };
        EXPECT_EQ(keys(forwards), keys(all));
        EXPECT_EQ(keys(backwards), keys(all));
    }

    // The chart of a search counts its matches per day.
    const std::vector<DayCount> days = store->records_per_day({.text = "DAMAGED"});
    ASSERT_EQ(days.size(), 1U);
    EXPECT_EQ(days[0].records, 120);
}

// A download from a reader with this ID (eight spaces for none), its answer
// beginning as a reader's does: STX, then the ID.
Download download_from(const std::string& id, int first_record) {
    Download download;
    download.has_header = true;
    download.machine_id = id;
    download.records = {nth_record(first_record)};
    download.announced = 1;
    download.answer = "\x02" + id + "00001";
    return download;
}

StoreOutcome store_as(Store& store, const Download& download, const std::string& name,
                      bool sure = true, std::vector<std::pair<int, std::string>> others = {}) {
    const auto now = std::chrono::system_clock::now();
    return store.store_download({"p", now, now, &download, false, name, sure ? 2 : 3,
                                 sure ? ReadCheck::Sure : ReadCheck::Unsure, std::move(others)});
}

// Downgrades a store to version 2, as an older kdr left it.
void make_version_2(Backend backend, const std::string& target) {
    run_sql(backend, target,
            undo_version_6(backend) +
                "DROP INDEX records_by_reader; DROP INDEX records_by_reader_stamp; "
                "DROP INDEX downloads_by_reader; DROP TABLE record_days; "
                "ALTER TABLE readers DROP COLUMN named; ALTER TABLE downloads DROP COLUMN reads; "
                "ALTER TABLE downloads DROP COLUMN sure; DROP TABLE download_answers; "
                "ALTER TABLE downloads DROP COLUMN checked; ALTER TABLE downloads DROP COLUMN "
                "read_log; UPDATE schema_version SET version = 2;");
}

// Version 4 kept a single read as "sure": upgraded, it is a read never
// compared, and reads that disagreed stay unsure.
TEST_P(StoreBackend, UpgradedSingleReadsAreNotChecked) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    {
        std::unique_ptr<Store> store = open_store(target);
        const auto now = std::chrono::system_clock::now();
        const Download one = download_from("KDR00001", 0);
        store->store_download({"p", now, now, &one, false, {}, 2, ReadCheck::Sure, {}});
        store->store_download({"p", now, now, &one, false, {}, 1, ReadCheck::Sure, {}});
        store->store_download({"p", now, now, &one, false, {}, 3, ReadCheck::Unsure, {}});
    }
    run_sql(GetParam(), target,
            undo_version_6(GetParam()) +
                "ALTER TABLE downloads DROP COLUMN checked; ALTER TABLE downloads DROP COLUMN "
                "read_log; UPDATE schema_version SET version = 4;");
    std::vector<ReadCheck> checks;
    for (const StoredDownload& download : open_store(target)->downloads()) {
        checks.push_back(download.check);
    }
    EXPECT_EQ(checks,
              (std::vector<ReadCheck>{ReadCheck::Sure, ReadCheck::NotChecked, ReadCheck::Unsure}));
}

TEST_P(StoreBackend, NeverMergesANamedReaderWithAReadersOwnId) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    const std::string blank(8, ' ');
    {
        std::unique_ptr<Store> store = open_store(target);
        store_as(*store, download_from("KDR00001", 0), {});
        store_as(*store, download_from(blank, 1), "CRADLE-7");  // eight bytes, as an ID
    }
    for (const bool upgraded : {false, true}) {
        if (upgraded) {
            // An older store tells names from IDs by the answers it kept.
            make_version_2(GetParam(), target);
        }
        std::unique_ptr<Store> store = open_store(target);
        const auto conflict = [](const std::function<void()>& attempt) {
            try {
                attempt();
            } catch (const StoreError& error) {
                return error.kind() == StoreErrorKind::ReaderConflict;
            }
            return false;
        };
        EXPECT_TRUE(conflict([&] { store->check_reader_name("KDR00001"); })) << upgraded;
        EXPECT_FALSE(conflict([&] { store->check_reader_name("CRADLE-7"); })) << upgraded;
        EXPECT_TRUE(conflict([&] { store_as(*store, download_from(blank, 2), "KDR00001"); }));
        EXPECT_TRUE(conflict([&] { store_as(*store, download_from("CRADLE-7", 3), {}); }));
        EXPECT_EQ(store_as(*store, download_from(blank, 1), "CRADLE-7").already_stored, 1U);
    }
}

TEST_P(StoreBackend, KeepsTheAnswersOfReadsThatDisagreeAndStoresNoRecord) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::unique_ptr<Store> store = open_store(target);
    store_as(*store, download_from("KDR00001", 0), {}, false, {{2, "two"}, {3, "three"}});
    EXPECT_TRUE(store->records({}).empty());
    const std::vector<StoredDownload> downloads = store->downloads();
    ASSERT_EQ(downloads.size(), 1U);
    EXPECT_EQ(downloads[0].check, ReadCheck::Unsure);
    EXPECT_EQ(downloads[0].reads, 3);
    EXPECT_EQ(downloads[0].erase, EraseResult::Skipped);
    EXPECT_EQ(first_value(GetParam(), target,
                          "SELECT count(*) FROM download_answers WHERE download_id = 1"),
              "2");
    const std::vector<KeptAnswer> kept = store->answers(1);
    ASSERT_EQ(kept.size(), 3U);
    EXPECT_EQ(kept[0].read, 0);
    EXPECT_EQ(kept[0].bytes, download_from("KDR00001", 0).answer);
    EXPECT_EQ(kept[2].read, 3);
    EXPECT_EQ(kept[2].bytes, "three");
    EXPECT_TRUE(store->answers(2).empty());
    EXPECT_EQ(store->download(1)->check, ReadCheck::Unsure);
    EXPECT_FALSE(store->download(2));
    EXPECT_EQ(store->rebuild().records_after, 0U);  // a rebuild is no surer
    // The reader's memory is untouched: a sure download later stores it all.
    EXPECT_EQ(store_as(*store, download_from("KDR00001", 0), {}).new_records, 1U);
}

// What the view's counts and the station's port states read back: each
// reader's last collect and last verified erase, the downloads by check and
// completeness, a port's state replaced in place.
TEST_P(StoreBackend, KeepsPortStatesAndCountsWhatMonitoringAsks) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::unique_ptr<Store> store = open_store(target);
    const StoreOutcome first = store_as(*store, download_from("KDR00001", 1), {});
    store->set_erase_result(first.download_id, EraseResult::Verified);
    store_as(*store, download_from("KDR00001", 2), {});
    store_as(*store, download_from("KDR00002", 1), {}, false);
    const std::vector<ReaderTimes> times = store->reader_times();
    ASSERT_EQ(times.size(), 2U);
    EXPECT_EQ(times[0].last_collect, store->download(2)->ended);
    EXPECT_EQ(times[0].last_verified, store->download(1)->ended);
    EXPECT_EQ(times[1].last_collect, store->download(3)->ended);
    EXPECT_EQ(times[1].last_verified, "");
    std::map<std::pair<ReadCheck, bool>, std::int64_t> counts;
    for (const DownloadCount& count : store->download_counts()) {
        counts[{count.check, count.complete}] += count.downloads;
    }
    const std::map<std::pair<ReadCheck, bool>, std::int64_t> expected{
        {{ReadCheck::Sure, true}, 2}, {{ReadCheck::Unsure, true}, 1}};
    EXPECT_EQ(counts, expected);

    store->record_port_state({"/dev/ttyS7", false, "missing", {}, "KDR00001"});
    store->record_port_state({"/dev/ttyS8", true, {}, {}, {}});
    store->record_port_state({"/dev/ttyS7", false, "busy", {}, "KDR00001"});
    const std::vector<PortState> ports = open_store(target, OpenMode::ReadOnly)->port_states();
    ASSERT_EQ(ports.size(), 2U);
    EXPECT_EQ(ports[0].port, "/dev/ttyS7");
    EXPECT_FALSE(ports[0].reachable);
    EXPECT_EQ(ports[0].failure, "busy");
    EXPECT_EQ(ports[0].reader, "KDR00001");
    EXPECT_EQ(ports[0].since.size(), 24U) << ports[0].since;
    EXPECT_TRUE(ports[1].reachable);
}

// A store to read or rebuild is not made where there is none: an empty
// database stays empty. One opened for reading reads, and writes nothing.
TEST_P(StoreBackend, OpensOnlyAStoreThatHoldsItsTables) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    const bool sqlite = GetParam() == Backend::Sqlite;
    if (sqlite) {
        std::ofstream{target};  // an empty file
    }
    const std::string tables = sqlite
                                   ? "SELECT count(*) FROM sqlite_master"
                                   : "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'";
    for (const OpenMode mode : {OpenMode::MustExist, OpenMode::ReadOnly}) {
        try {
            static_cast<void>(open_store(target, mode));
            ADD_FAILURE() << "an empty database was opened";
        } catch (const StoreError& error) {
            EXPECT_EQ(error.kind(), StoreErrorKind::NotFound) << error.what();
            EXPECT_NE(std::string(error.what()).find("holds no tables"), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(first_value(GetParam(), target, tables), "0");
    }
    if (sqlite) {
        EXPECT_EQ(std::filesystem::file_size(target), 0U);
    }

    Download download;
    download.has_header = true;
    download.machine_id = "KDR00077";
    download.records = {nth_record(0)};
    download.announced = 1;
    const auto now = std::chrono::system_clock::now();
    open_store(target)->store_download(
        {"p", now, now, &download, false, {}, 1, store::ReadCheck::Sure, {}});
    std::unique_ptr<Store> reader = open_store(target, OpenMode::ReadOnly);
    ASSERT_EQ(reader->records({}).size(), 1U);
    try {
        reader->store_download(
            {"p", now, now, &download, false, {}, 1, store::ReadCheck::Sure, {}});
        ADD_FAILURE() << "a store opened for reading was written";
    } catch (const StoreError& error) {
        EXPECT_EQ(error.kind(), StoreErrorKind::ReadOnly) << error.what();
    }
    EXPECT_EQ(reader->downloads().size(), 1U);
}

// Records as a reader sends them, from the `first`-th: texts with the
// characters of a LIKE pattern, in either case, on five days of May 2024;
// every seventh stamp out of range.
std::vector<simulator::Record> query_records(int first, int count) {
    static const std::vector<std::string> kTexts{"50% off", "50x OFF",     "a_b",
                                                 "axb",     "back\\slash", "caf\xE9"};
    std::vector<simulator::Record> records;
    for (int i = first; i < first + count; ++i) {
        simulator::Record record;
        record.stamp = {2024, i % 7 == 6 ? 13 : 5, 1 + i % 5, 8, i % 60, 0};
        record.text = fmt::format("{} {}", kTexts[static_cast<std::size_t>(i) % kTexts.size()], i);
        records.push_back(record);
    }
    return records;
}

// What the view's queries give agrees with the full list of records the
// test filters itself, also after a rebuild has stored the records again:
// pages, counts, days, summaries; the kept answers and the last download.
TEST_P(StoreBackend, QueriesAgreeWithTheRecordsTheyFilter) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::unique_ptr<Store> store = open_store(target);
    EXPECT_EQ(store->last_download_id(), 0);
    std::map<std::int64_t, std::string> answers;
    const auto collect = [&](const std::string& id, int first, int count, bool sure) {
        const Download download = protocol::decode_records(
            simulator::download_answer(id, query_records(first, count)), 2024);
        const auto now = std::chrono::system_clock::now();
        const std::int64_t stored =
            store
                ->store_download({"p",
                                  now,
                                  now,
                                  &download,
                                  false,
                                  {},
                                  1,
                                  sure ? ReadCheck::NotChecked : ReadCheck::Unsure,
                                  {}})
                .download_id;
        answers[stored] = download.answer;
    };
    collect("KDRA", 0, 20, true);
    collect("KDRB", 100, 12, true);
    collect("KDRA", 0, 30, true);  // ten more
    collect("KDRC", 200, 5, false);

    const std::vector<StoredRecord> all = store->records({});
    ASSERT_EQ(all.size(), 42U);
    const auto day = [](const StoredRecord& record) { return record.time->substr(0, 10); };
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return text;
    };
    const auto lets_through = [&](const RecordFilter& filter, const StoredRecord& record) {
        const auto day_of = [](std::chrono::year_month_day d) {
            return fmt::format("{:04}-{:02}-{:02}", int{d.year()}, unsigned{d.month()},
                               unsigned{d.day()});
        };
        return (!filter.machine_id || same_reader(record.machine_id, *filter.machine_id)) &&
               (!filter.since || (record.time && day(record) >= day_of(*filter.since))) &&
               (!filter.until || (record.time && day(record) <= day_of(*filter.until))) &&
               (!filter.text ||
                lower(cp1252_to_utf8(record.record.text)).find(lower(*filter.text)) !=
                    std::string::npos);
    };
    using Key = std::tuple<std::string, std::int64_t, std::string>;
    const auto keys = [](const std::vector<StoredRecord>& records) {
        std::vector<Key> found;
        for (const StoredRecord& record : records) {
            found.emplace_back(record.machine_id, record.position, record.record.text);
        }
        return found;
    };
    using std::chrono::May;
    const auto may = [](unsigned d) { return std::chrono::year{2024} / May / std::chrono::day{d}; };
    std::vector<RecordFilter> filters{
        {},
        {.machine_id = "KDRA"},
        {.machine_id = "KDRA", .offset = 5, .limit = 10},
        {.offset = 25, .limit = 10},  // across two readers
        {.offset = 50},
        {.machine_id = "KDRZ"},
        {.since = may(2)},
        {.until = may(3)},
        {.since = may(2), .until = may(2)},
        {.text = "50%"},
        {.text = "A_B"},
        {.text = "OFF"},
        {.text = "\\"},
        {.text = "caf\u00E9"},
        {.machine_id = "KDRB", .since = may(2), .text = "off", .offset = 1, .limit = 2},
    };
    // Every mix of the fields besides: more statements than a connection
    // keeps (64), so that the first are run again after others pushed them
    // out.
    for (unsigned mix = 0; mix < 48; ++mix) {
        RecordFilter filter;
        filter.machine_id = (mix & 1U) != 0 ? std::optional<std::string>("KDRA") : std::nullopt;
        filter.since = (mix & 2U) != 0 ? std::optional(may(2)) : std::nullopt;
        filter.until = (mix & 4U) != 0 ? std::optional(may(3)) : std::nullopt;
        filter.text = (mix & 8U) != 0 ? std::optional<std::string>("off") : std::nullopt;
        filter.offset = mix / 16 == 1 ? 1 : 0;
        filter.limit = mix / 16 == 0 ? std::nullopt : std::optional<std::size_t>(mix / 16 * 2);
        filters.push_back(filter);
    }
    for (const bool rebuilt : {false, true}) {
        if (rebuilt) {
            ASSERT_EQ(store->rebuild().records_after, all.size());
        }
        for (std::size_t i = 0; i < filters.size(); ++i) {
            const RecordFilter& filter = filters[i];
            std::vector<StoredRecord> through;
            std::map<std::string, std::int64_t> days;
            for (const StoredRecord& record : all) {
                if (lets_through(filter, record)) {
                    through.push_back(record);
                }
                days[record.time ? day(record) : ""] += lets_through(filter, record) ? 1 : 0;
            }
            EXPECT_EQ(store->count_records(filter), static_cast<std::int64_t>(through.size()))
                << "filter " << i << rebuilt;
            const auto begin = through.begin() +
                               static_cast<std::ptrdiff_t>(std::min(filter.offset, through.size()));
            through.erase(through.begin(), begin);
            through.resize(std::min(through.size(), filter.limit.value_or(through.size())));
            EXPECT_EQ(keys(store->records(filter)), keys(through)) << "filter " << i << rebuilt;
            std::vector<DayCount> per_day;
            for (const auto& [name, count] : days) {
                if (!name.empty() && count > 0) {
                    per_day.push_back({name, count});
                }
            }
            const std::vector<DayCount> stored_days = store->records_per_day(filter);
            ASSERT_EQ(stored_days.size(), per_day.size()) << "filter " << i << rebuilt;
            for (std::size_t d = 0; d < per_day.size(); ++d) {
                EXPECT_EQ(stored_days[d].day, per_day[d].day) << "filter " << i << rebuilt;
                EXPECT_EQ(stored_days[d].records, per_day[d].records) << "filter " << i << rebuilt;
            }
        }

        const std::vector<ReaderSummary> summaries = store->reader_summaries();
        ASSERT_EQ(summaries.size(), 3U);
        for (const ReaderSummary& summary : summaries) {
            const RecordFilter mine{.machine_id = summary.machine_id};
            EXPECT_EQ(summary.records, static_cast<std::int64_t>(store->records(mine).size()))
                << summary.machine_id << rebuilt;
            const std::vector<StoredDownload> last =
                store->downloads({.machine_id = summary.machine_id, .limit = 1});
            ASSERT_TRUE(summary.last_download.has_value());
            EXPECT_EQ(summary.last_download->id, last.at(0).id);
            EXPECT_EQ(summary.last_download->machine_id, summary.machine_id);
        }
    }
    for (const auto& [id, answer] : answers) {
        EXPECT_EQ(store->answer(id), answer);
    }
    EXPECT_EQ(store->answer(answers.rbegin()->first + 1), std::nullopt);
    EXPECT_EQ(store->last_download_id(), answers.rbegin()->first);
    const std::vector<StoredDownload> second_newest = store->downloads({.limit = 1, .offset = 1});
    ASSERT_EQ(second_newest.size(), 1U);
    EXPECT_EQ(second_newest[0].id, std::next(answers.rbegin())->first);

    // A reading store keeps its summaries only while no other connection
    // wrote: a new download and an erase result (no new download) show.
    std::unique_ptr<Store> viewer = open_store(target, OpenMode::ReadOnly);
    const auto summary_of = [&](const std::string& id) {
        for (const ReaderSummary& summary : viewer->reader_summaries()) {
            if (same_reader(summary.machine_id, id)) {
                return summary;
            }
        }
        return ReaderSummary{};
    };
    const std::int64_t before = summary_of("KDRB").records;
    collect("KDRB", 100, 15, true);  // three more
    EXPECT_EQ(summary_of("KDRB").records, before + 3);
    store->set_erase_result(answers.rbegin()->first, EraseResult::Verified);
    EXPECT_EQ(summary_of("KDRB").last_download->erase, EraseResult::Verified);
    // So does the list of readers by which a reader's records are found.
    EXPECT_TRUE(viewer->records({.machine_id = "KDRD"}).empty());
    collect("KDRD", 300, 4, true);
    EXPECT_EQ(viewer->records({.machine_id = "KDRD"}).size(), 4U);
    EXPECT_EQ(viewer->count_records({.machine_id = "KDRD"}), 4);
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreBackend,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres), backend_name);

TEST(StoreOpen, SaysWhyItCannotOpen) {
    const TempDir dir;
    const std::string missing = (dir.path() / "missing.sqlite").string();
    struct Case {
        std::string target;
        OpenMode mode;
        StoreErrorKind kind;
        std::string message;
    };
    const std::vector<Case> cases{
        {(dir.path() / "no-such-folder" / "records.sqlite").string(), OpenMode::CreateIfMissing,
         StoreErrorKind::CannotOpen, "cannot be opened"},
        {dir.path().string(), OpenMode::CreateIfMissing, StoreErrorKind::CannotOpen, "cannot be"},
        {missing, OpenMode::MustExist, StoreErrorKind::NotFound, "does not exist"},
        {"postgresql:///kdr?host=" + (dir.path() / "no-server").string() + "&user=kdr",
         OpenMode::CreateIfMissing, StoreErrorKind::CannotOpen, "cannot be reached"},
    };
    for (const Case& c : cases) {
        try {
            static_cast<void>(open_store(c.target, c.mode));
            ADD_FAILURE() << c.target << " opened";
        } catch (const StoreError& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
    EXPECT_FALSE(std::filesystem::exists(missing)) << "a store to read was made";
}

// Reading a SQLite store leaves no file beside it, and sees every commit: as
// an immutable file while no writer has its log there, again through the
// writer's log when one came during the read, through it when it was there.
TEST(StoreReadOnly, SeesWhatAWriterLogsAndLeavesNothingBehind) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    const auto store_one = [&](Store& store, int n) {
        Download download;
        download.has_header = true;
        download.machine_id = "KDR00077";
        download.records = {nth_record(n)};
        download.announced = 1;
        const auto now = std::chrono::system_clock::now();
        store.store_download({"p", now, now, &download, false, {}, 1, store::ReadCheck::Sure, {}});
    };
    const auto log_files = [&] {
        return std::filesystem::exists(target + "-wal") || std::filesystem::exists(target + "-shm");
    };
    store_one(*open_store(target), 0);
    ASSERT_FALSE(log_files());

    std::unique_ptr<Store> before = open_store(target, OpenMode::ReadOnly);
    EXPECT_EQ(before->downloads().size(), 1U);
    std::unique_ptr<Store> writer = open_store(target);
    store_one(*writer, 1);
    EXPECT_EQ(before->downloads().size(), 2U);
    std::unique_ptr<Store> during = open_store(target, OpenMode::ReadOnly);
    EXPECT_EQ(during->records({}).size(), 2U);

    before.reset();
    during.reset();
    store_one(*writer, 2);
    writer.reset();
    EXPECT_FALSE(log_files());
    EXPECT_EQ(open_store(target, OpenMode::ReadOnly)->records({}).size(), 3U);
    EXPECT_FALSE(log_files());
}

// A server's request whose client has left is interrupted from the thread
// that saw it leave: the read running ends, and the connection is done with.
TEST_P(StoreBackend, AnInterruptFromAnotherThreadEndsTheReads) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    {
        Download download;
        download.has_header = true;
        download.machine_id = "KDR00077";
        download.records = {nth_record(0), nth_record(1)};
        download.announced = 2;
        const auto now = std::chrono::system_clock::now();
        open_store(target)->store_download(
            {"p", now, now, &download, false, {}, 1, store::ReadCheck::Sure, {}});
    }
    std::unique_ptr<Store> reader = open_store(target, OpenMode::ReadOnly);
    ASSERT_EQ(reader->records({}).size(), 2U);
    std::thread interrupter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        reader->interrupt();
    });
    const auto read_until_stopped = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            (void)reader->records({});
        }
    };
    for (const char* when : {"while reading", "after"}) {
        try {
            read_until_stopped();
            ADD_FAILURE() << "not interrupted " << when;
        } catch (const StoreError& error) {
            EXPECT_EQ(error.kind(), StoreErrorKind::Interrupted) << when << ": " << error.what();
        }
    }
    interrupter.join();
}

// A server restarted, or one that ended an idle connection: the next read
// outside a transaction is answered on a new connection.
TEST(PostgresStore, AReadAfterTheServerEndedTheConnectionIsAnswered) {
    const TempDir dir;
    KDR_NEW_STORE(target, Backend::Postgres, dir);
    std::unique_ptr<Store> writer = open_store(target);
    std::unique_ptr<Store> reader = open_store(target, OpenMode::ReadOnly);
    ASSERT_EQ(reader->last_download_id(), 0);
    postgres_exec(target,
                  "DO $$ BEGIN PERFORM pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                  "datname = current_database() AND pid <> pg_backend_pid(); END $$");
    EXPECT_EQ(reader->last_download_id(), 0);
    EXPECT_EQ(reader->readers().size(), 0U);
}

}  // namespace
}  // namespace kdr::store::test
