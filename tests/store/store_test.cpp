// The store on both back ends: sequences of collects, erases and failures
// against the never-twice rule, texts byte for byte, the schema version, the
// export filters.
#include <sqlite3.h>

#include <map>
#include <vector>

#include "kdr/error.hpp"
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
            return store->store_download({"/dev/ttyUSB0", now, now, &download, erase_follows, {}});
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
    store->store_download({"1", now, now, &a, false, {}});
    store->store_download({"2", now, now, &b, false, {}});

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

INSTANTIATE_TEST_SUITE_P(Backends, StoreBackend,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres), backend_name);

TEST(StoreOpen, SaysWhyItCannotOpen) {
    const TempDir dir;
    const std::string missing = (dir.path() / "missing.sqlite").string();
    struct Case {
        std::string target;
        OpenMode mode;
        std::string message;
    };
    const std::vector<Case> cases{
        {(dir.path() / "no-such-folder" / "records.sqlite").string(), OpenMode::CreateIfMissing,
         "cannot be opened"},
        {dir.path().string(), OpenMode::CreateIfMissing, "cannot be"},
        {missing, OpenMode::MustExist, "does not exist"},
        {"postgresql:///kdr?host=" + (dir.path() / "no-server").string() + "&user=kdr",
         OpenMode::CreateIfMissing, "cannot be reached"},
    };
    for (const Case& c : cases) {
        try {
            static_cast<void>(open_store(c.target, c.mode));
            ADD_FAILURE() << c.target << " opened";
        } catch (const StoreError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
    EXPECT_FALSE(std::filesystem::exists(missing)) << "a store to read was made";
}

}  // namespace
}  // namespace kdr::store::test
