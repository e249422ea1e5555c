// The store on both back ends: sequences of collects, erases and failures
// against the never-twice rule, texts byte for byte, the schema version, the
// export filters.
#include <sqlite3.h>

#include <map>
#include <vector>

#include "kdr/error.hpp"
#include "store_support.hpp"

namespace kdr::store::test {
namespace {

// A record with a unique text and stamp: the n-th record ever taken.
DownloadedRecord nth_record(int n) {
    DownloadedRecord record;
    // 2024-05-01 08:00:00 plus n minutes, each field's code its value plus 16.
    const int minutes = n % 60;
    const int hours = 8 + (n / 60) % 12;
    const int day = 1 + (n / 720) % 28;
    record.stamp.codes = {
        static_cast<std::uint8_t>(24 + 16),      5 + 16,
        static_cast<std::uint8_t>(day + 16),     static_cast<std::uint8_t>(hours + 16),
        static_cast<std::uint8_t>(minutes + 16), 16};
    // Texts with the characters a store could mangle: 8-bit, tab, newline,
    // backslash, quote.
    static const std::vector<std::string> kinds{"ITEM", "caf\xE9\tQTY", "A\\B \"C\"", "L1\nL2"};
    record.text = kinds[static_cast<std::size_t>(n) % kinds.size()] + " #" + std::to_string(n);
    record.lead = static_cast<char>('0' + n % 10);
    return record;
}

// One step of a sequence. The reader holds `memory` (numbers of records);
// a collect downloads it, or its first `cut` records when cut.
struct Step {
    enum Kind { Take, Collect, ExternalErase } kind = Collect;
    int count = 0;                     // Take: records taken
    std::optional<EraseResult> erase;  // Collect: what the erase came to (nullopt: none)
    bool erased = false;               // Collect: whether the reader really erased (Silent, Failed)
    std::optional<std::size_t> cut;    // Collect: the download ends after this many records
    std::size_t expect_new = 0;
    std::size_t expect_held = 0;
    bool expect_new_memory = false;
};

Step take(int count) {
    Step step;
    step.kind = Step::Take;
    step.count = count;
    return step;
}
Step collect(std::size_t expect_new, std::size_t expect_held,
             std::optional<EraseResult> erase = std::nullopt, bool erased = false,
             bool new_memory = false) {
    Step step;
    step.erase = erase;
    step.erased = erased || erase == EraseResult::Acknowledged;
    step.expect_new = expect_new;
    step.expect_held = expect_held;
    step.expect_new_memory = new_memory;
    return step;
}
Step collect_cut(std::size_t cut, std::size_t expect_new, std::size_t expect_held) {
    Step step = collect(expect_new, expect_held);
    step.cut = cut;
    return step;
}
Step external_erase() {
    Step step;
    step.kind = Step::ExternalErase;
    return step;
}

struct Sequence {
    std::string name;
    std::vector<Step> steps;
};

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

const std::vector<Sequence>& sequences() {
    using E = EraseResult;
    static const std::vector<Sequence> all{
        {"FirstCollectStoresAll", {take(3), collect(3, 0)}},
        {"AgainWithoutEraseStoresNothing", {take(3), collect(3, 0), collect(0, 3)}},
        {"OnlyNewRecordsAfterNoErase", {take(3), collect(3, 0), take(2), collect(2, 3)}},
        {"AcknowledgedEraseStartsAfresh",
         {take(3), collect(3, 0, E::Acknowledged), take(2), collect(2, 0), collect(0, 2)}},
        {"RefusedEraseKeepsMemory",
         {take(3), collect(3, 0, E::Refused), take(1), collect(1, 3, E::Acknowledged),
          collect(0, 0)}},
        {"SilentEraseThatErased",
         {take(3), collect(3, 0, E::Silent, true), take(2), collect(2, 0, {}, false, true)}},
        {"SilentEraseThatDidNot", {take(3), collect(3, 0, E::Silent), collect(0, 3)}},
        {"FailedEraseThatErased",
         {take(2), collect(2, 0, E::Failed, true), take(4), collect(4, 0, {}, false, true)}},
        {"KilledBeforeEraseResultStored",  // stays Pending: treated as unconfirmed
         {take(3), collect(3, 0, E::Pending, true), collect(0, 0, {}, false, true), take(1),
          collect(1, 0)}},
        {"CutDownloadThenWhole", {take(5), collect_cut(2, 2, 0), collect(3, 2)}},
        {"CutDownloadOfNewRecords",
         {take(2), collect(2, 0), take(4), collect_cut(4, 2, 2), collect(2, 4)}},
        {"ErasedOutsideThenSameCount",
         {take(3), collect(3, 0), external_erase(), take(3), collect(3, 0, {}, false, true)}},
        {"EmptyReader", {collect(0, 0), take(1), collect(1, 0)}},
    };
    return all;
}

class NeverTwice : public ::testing::TestWithParam<std::tuple<Backend, Sequence>> {};

TEST_P(NeverTwice, StoresEachRecordOnce) {
    const auto& [backend, sequence] = GetParam();
    const TempDir dir;
    KDR_NEW_STORE(target, backend, dir);
    std::unique_ptr<Store> store = open_store(target);

    std::vector<DownloadedRecord> reader;  // what the reader holds
    std::set<std::string> downloaded;      // every text that arrived in a download
    int taken = 0;
    for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
        const Step& step = sequence.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        if (step.kind == Step::Take) {
            for (int n = 0; n < step.count; ++n) {
                reader.push_back(nth_record(taken++));
            }
            continue;
        }
        if (step.kind == Step::ExternalErase) {
            reader.clear();
            continue;
        }
        Download download;
        download.has_header = true;
        download.machine_id = "KDR00077";
        download.announced = static_cast<std::int32_t>(reader.size());
        download.records = reader;
        if (step.cut) {
            download.records.resize(*step.cut);
            download.cut = true;
            download.bare_stamps.push_back({*step.cut, Stamp{}});
        }
        for (const DownloadedRecord& record : download.records) {
            downloaded.insert(record.text);
        }
        const auto now = std::chrono::system_clock::now();
        const StoreOutcome outcome =
            store->store_download({"/dev/ttyUSB0", now, now, &download, step.erase.has_value()});
        EXPECT_EQ(outcome.new_records, step.expect_new);
        EXPECT_EQ(outcome.already_stored, step.expect_held);
        EXPECT_EQ(outcome.new_memory, step.expect_new_memory);
        if (step.erase && *step.erase != EraseResult::Pending) {
            store->set_erase_result(outcome.download_id, *step.erase);
        }
        if (step.erased) {
            reader.clear();
        }
    }

    // Every record that arrived is stored, once, byte for byte.
    const std::multiset<std::string> texts = stored_texts(*store);
    EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()), downloaded);
    EXPECT_TRUE(doubled(texts).empty());
    expect_downloads_whole(*store);
    for (const StoredRecord& stored : store->records({})) {
        const int n = std::stoi(stored.record.text.substr(stored.record.text.find('#') + 1));
        EXPECT_EQ(stored.record, nth_record(n));
        EXPECT_EQ(stored.machine_id, "KDR00077");
    }
}

std::string sequence_name(const ::testing::TestParamInfo<std::tuple<Backend, Sequence>>& param) {
    return std::get<1>(param.param).name +
           (std::get<0>(param.param) == Backend::Sqlite ? "_Sqlite" : "_Postgres");
}

INSTANTIATE_TEST_SUITE_P(Sequences, NeverTwice,
                         ::testing::Combine(::testing::Values(Backend::Sqlite, Backend::Postgres),
                                            ::testing::ValuesIn(sequences())),
                         sequence_name);

class StoreBackend : public ::testing::TestWithParam<Backend> {};

TEST_P(StoreBackend, RefusesASchemaNewerThanItKnows) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    static_cast<void>(open_store(target));  // creates version 1
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
    store->store_download({"1", now, now, &a, false});
    store->store_download({"2", now, now, &b, false});

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
