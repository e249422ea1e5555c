// The built `kdr collect` against simulated readers on ptys and real stores:
// killed at random points, failing lines and readers, a store it cannot
// write, two collectors at once, and the station mode.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <sstream>
#include <thread>

#include "sequences.hpp"
#include "store_support.hpp"
#include "tests/e2e/reader.hpp"

namespace kdr::store::test {
namespace {

using namespace std::chrono_literals;
using e2e::BackgroundKdr;
using e2e::ProcessResult;
using e2e::run_kdr;
using e2e::SimulatedReader;
namespace sim = kdr::simulator;

constexpr e2e::Seconds kDeadline = 30s;

// A password of this run's own: other tests on the machine that open a pty
// path of theirs which is now one of these readers (pty numbers are reused)
// are refused rather than download or erase.
const std::string& password() {
    static const std::string text = [] {
        std::mt19937 random(std::random_device{}());
        std::string chosen;
        for (int i = 0; i < 8; ++i) {
            chosen += static_cast<char>('a' + random() % 26);
        }
        return chosen;
    }();
    return text;
}

// The letters of the requests that came with this run's password (a stray
// client's show as refused), or only of those the reader accepted.
std::string letters_of(SimulatedReader& reader, bool accepted_only = false) {
    std::string letters;
    for (const sim::Request& request : reader.server().requests()) {
        if (request.verdict == sim::Verdict::Accepted ||
            (!accepted_only && request.verdict != sim::Verdict::WrongPassword)) {
            letters += request.letter;
        }
    }
    return letters;
}

// run_kdr, again when a stray client of another test on the machine held the
// pty for a moment (then nothing was sent).
ProcessResult run_collect(const std::vector<std::string>& args) {
    ProcessResult result;
    for (int attempt = 0; attempt < 5; ++attempt) {
        result = run_kdr(args, kDeadline);
        if (result.err.find("in use by another program") == std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(200ms);
    }
    return result;
}

// Records with texts no other reader of the test has.
class RecordSource {
  public:
    explicit RecordSource(std::string prefix) : prefix_(std::move(prefix)) {}
    std::vector<sim::Record> take(std::size_t count) {
        std::vector<sim::Record> records;
        for (std::size_t i = 0; i < count; ++i, ++taken_) {
            records.push_back({sim::add_seconds(base_, static_cast<std::int64_t>(taken_) * 61),
                               fmt::format("{} {:06} caf\xE9, \"q\"", prefix_, taken_),
                               static_cast<char>('0' + taken_ % 10)});
            given_.insert(records.back().text);
        }
        return records;
    }
    [[nodiscard]] const std::set<std::string>& given() const { return given_; }

  private:
    std::string prefix_;
    LocalDateTime base_{2024, 5, 1, 8, 0, 0};
    std::size_t taken_ = 0;
    std::set<std::string> given_;
};

sim::ReaderConfig config(const std::string& id, std::vector<sim::Record> records,
                         const std::vector<std::string>& faults = {}) {
    sim::ReaderConfig config;
    config.password = password();
    config.machine_id = id;
    config.clock = ConsoleHost().Now();
    config.records = std::move(records);
    config.pacing = sim::Pacing::Fast;
    for (const std::string& fault : faults) {
        config.faults.push_back(sim::parse_fault(fault));
    }
    return config;
}

std::vector<std::string> collect_args(const std::string& port, const std::string& target,
                                      std::vector<std::string> extra = {"--erase"}) {
    std::vector<std::string> args{"collect",  "--port", port,  "--password",
                                  password(), "--db",   target};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::set<std::string> as_set(const std::multiset<std::string>& texts) {
    return {texts.begin(), texts.end()};
}

// The lines of standard error that are the command's own ("kdr: ...").
int own_lines(const std::string& err) {
    int lines = 0;
    for (std::size_t at = err.find("kdr: "); at != std::string::npos;
         at = err.find("kdr: ", at + 1)) {
        lines += (at == 0 || err[at - 1] == '\n') ? 1 : 0;
    }
    return lines;
}

std::string whole_file(const std::filesystem::path& path) {
    // Not through std::istreambuf_iterator: g++ 12 at -O3 (the release
    // build) reports a false -Wnull-dereference inside it.
    return kdr::e2e::read_file_text(path.string());
}

// `kdr` with these arguments, on a SQLite store, as a user the store's
// permissions apply to: root writes anywhere, so as root the command runs as
// nobody, from a copy that nobody may run wherever the build is.
ProcessResult kdr_as_nobody(const TempDir& dir, const std::vector<std::string>& args) {
    const std::string out = (dir.path() / "out").string();
    const std::string err = (dir.path() / "err").string();
    std::string program = e2e::kdr_binary();
    std::string as;
    if (::geteuid() == 0) {
        const std::filesystem::path copy = dir.path() / "kdr";
        if (!std::filesystem::exists(copy)) {
            std::filesystem::copy_file(program, copy);
        }
        program = copy.string();
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    const std::string line =
        fmt::format("{}{} {} >{} 2>{}", as, program, fmt::join(args, " "), out, err);
    const int status = std::system(line.c_str());
    ProcessResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = whole_file(out);
    result.err = whole_file(err);
    return result;
}

ProcessResult collect_as_nobody(const TempDir& dir, const std::string& port,
                                const std::string& target) {
    return kdr_as_nobody(dir, collect_args(port, target));
}

class Collect : public ::testing::TestWithParam<Backend> {};

// A line or reader that fails: nothing erased, one sentence, exit 1, and
// what was stored is whole; the next collect stores the rest and nothing
// twice. A reader that erases without a word is read back empty: exit 0.
TEST_P(Collect, SurvivesLineAndReaderFaults) {
    struct Case {
        std::string fault;
        int exit_code;
        bool erase_sent;
        std::string message;
        std::optional<EraseResult> erase;
    };
    const std::vector<Case> cases{
        {"drop", 1, false, "kdr: ", std::nullopt},
        {"pause", 1, false, "not erased", EraseResult::Skipped},
        {"refuse:E", 1, true, "refused the erase", EraseResult::Refused},
        {"silent:E", 1, true, "still holds 40 record(s) after the erase", EraseResult::NotErased},
        // Erased without a word: read back empty, so the erase is sure.
        {"mute:E", 0, true, "erased (read back", EraseResult::Verified},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const TempDir dir;
        KDR_NEW_STORE(target, GetParam(), dir);
        RecordSource source("R");
        const std::vector<sim::Record> records = source.take(40);
        {
            SimulatedReader reader(config("KDR00077", records, {c.fault}));
            const ProcessResult result = run_collect(collect_args(reader.path(), target));
            EXPECT_EQ(result.exit_code, c.exit_code) << result.out << result.err;
            const std::string letters = letters_of(reader);
            EXPECT_NE(letters.find('D'), std::string::npos) << letters;
            EXPECT_EQ(letters.find('E') != std::string::npos, c.erase_sent) << letters;
            if (c.erase != EraseResult::Verified) {
                EXPECT_EQ(reader.server().records(), records) << "the reader lost records";
            }
            const std::string& said = c.exit_code == 0 ? result.out : result.err;
            EXPECT_NE(said.find(c.message), std::string::npos) << said;
            if (c.exit_code != 0) {
                EXPECT_EQ(own_lines(result.err), 1) << result.err;
            }
            std::unique_ptr<Store> store = open_store(target);
            expect_downloads_whole(*store);
            if (c.erase) {
                ASSERT_FALSE(store->downloads().empty());
                EXPECT_EQ(store->downloads().back().erase, *c.erase);
            }
        }
        if (c.erase == EraseResult::Verified) {
            continue;
        }
        // The reader, fault gone, collected again: the rest, nothing twice.
        SimulatedReader reader(config("KDR00077", records));
        const ProcessResult again = run_collect(collect_args(reader.path(), target));
        EXPECT_EQ(again.exit_code, 0) << again.err;
        std::unique_ptr<Store> store = open_store(target);
        const std::multiset<std::string> texts = stored_texts(*store);
        EXPECT_EQ(as_set(texts), source.given());
        EXPECT_TRUE(doubled(texts).empty());
    }
}

// Downloads cut short or damaged on the line after a memory is stored: each
// fails, nothing is erased, nothing stored twice; a whole one then erases.
TEST_P(Collect, CutOrDamagedDownloadsNeitherDoubleNorErase) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    RecordSource source("D");
    std::vector<sim::Record> records = source.take(30);
    // A "?" near a text's end: the line's split of it keeps the count.
    records[12].text += " ?x";
    std::set<std::string> texts;
    for (const sim::Record& record : records) {
        texts.insert(record.text);
    }
    {
        SimulatedReader reader(config("KDR000D1", records));
        ASSERT_EQ(run_collect(collect_args(reader.path(), target, {})).exit_code, 0);
    }
    for (const std::string fault : {"pause", "merge", "split"}) {
        SCOPED_TRACE(fault);
        SimulatedReader reader(config("KDR000D1", records, {fault}));
        const ProcessResult result = run_collect(collect_args(reader.path(), target));
        EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
        EXPECT_NE(result.err.find(": 0 new,"), std::string::npos) << result.err;
        EXPECT_EQ(letters_of(reader).find('E'), std::string::npos) << letters_of(reader);
        EXPECT_EQ(reader.server().records(), records);
    }
    SimulatedReader reader(config("KDR000D1", records));
    const ProcessResult whole = run_collect(collect_args(reader.path(), target));
    EXPECT_EQ(whole.exit_code, 0) << whole.err;
    EXPECT_NE(whole.out.find("0 new, 30 already stored; erased"), std::string::npos) << whole.out;
    std::unique_ptr<Store> store = open_store(target);
    EXPECT_EQ(as_set(stored_texts(*store)), texts);
    EXPECT_TRUE(doubled(stored_texts(*store)).empty());
}

// The reader is read again before anything is stored: a read the line
// damaged is outvoted, and reads that never agree store no record and erase
// nothing.
TEST_P(Collect, StoresOnlyWhatTwoReadsAgreeOn) {
    struct Case {
        std::vector<std::string> faults;
        int exit_code;
        std::string said;
        std::size_t downloads;  // the reader's download requests, read-back included
    };
    const std::vector<Case> cases{
        {{"garble:D@1"}, 0, "sure after a third read (read 1 ", 4},
        {{"flip"}, 1, "the line is damaging the data", 3},
        // Later reads that get no answer are no damage.
        {{"silent:D@2", "silent:D@3"},
         1,
         "read 1 whole, read 2 no answer, read 3 no answer: no second answer to compare",
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults.front());
        const TempDir dir;
        KDR_NEW_STORE(target, GetParam(), dir);
        RecordSource source("V");
        const std::vector<sim::Record> records = source.take(6);
        SimulatedReader reader(config("KDR00077", records, c.faults));
        const ProcessResult result = run_collect(collect_args(reader.path(), target));
        EXPECT_EQ(result.exit_code, c.exit_code) << result.out << result.err;
        EXPECT_NE((c.exit_code == 0 ? result.out : result.err).find(c.said), std::string::npos)
            << result.out << result.err;
        const std::string letters = letters_of(reader);
        EXPECT_EQ(static_cast<std::size_t>(std::count(letters.begin(), letters.end(), 'D')),
                  c.downloads)
            << letters;
        std::unique_ptr<Store> store = open_store(target);
        for (const StoredDownload& download : store->downloads()) {
            EXPECT_EQ(download.machine_id, "KDR00077");  // never a damaged ID
        }
        if (c.exit_code == 0) {
            EXPECT_EQ(as_set(stored_texts(*store)), source.given());
            EXPECT_TRUE(reader.server().records().empty());
        } else {
            EXPECT_TRUE(stored_texts(*store).empty());
            EXPECT_EQ(reader.server().records(), records);
            EXPECT_EQ(store->downloads().at(0).check, ReadCheck::Unsure);
        }
    }
}

// Names a reader without an ID cannot have are refused before the reader is
// asked anything: usage errors, and another reader's ID.
TEST(CollectNames, RefusedBeforeTheReaderIsTouched) {
    const TempDir dir;
    const std::string target = (dir.path() / "s.sqlite").string();
    RecordSource source("N");
    {
        SimulatedReader reader(config("KDR00031", source.take(2)));
        ASSERT_EQ(run_collect(collect_args(reader.path(), target)).exit_code, 0);
    }
    SimulatedReader blank(config("", source.take(2)));
    const std::vector<std::pair<std::vector<std::string>, int>> cases{
        {{"--reader", ""}, 2},
        {{"--reader", "A\tB"}, 2},
        {{"--reader", "GR\xC3\x96SSE"}, 2},
        {{"--reader", std::string(33, 'x')}, 2},
        {{"--reader", " KDR"}, 2},
        {{"--reader", "CRADLE-7", "--watch"}, 2},  // without --erase
        {{"--reader", "KDR00031"}, 1},
    };
    for (const auto& [options, exit_code] : cases) {
        const ProcessResult result = run_collect(collect_args(blank.path(), target, options));
        EXPECT_EQ(result.exit_code, exit_code) << options.at(1) << result.err;
        EXPECT_EQ(own_lines(result.err), 1) << result.err;
    }
    EXPECT_EQ(letters_of(blank), "");
    EXPECT_EQ(open_store(target)->downloads().size(), 1U);
}

// An empty record is a record; a reader without an ID is stored only under a
// name given for it.
TEST_P(Collect, EmptyRecordsAndReadersWithoutAnId) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    RecordSource source("Z");
    std::vector<sim::Record> records = source.take(3);
    records.insert(records.begin() + 1, sim::Record{records[0].stamp, "", '0', true});
    {
        SimulatedReader reader(config("KDR000Z1", records));
        const ProcessResult result = run_collect(collect_args(reader.path(), target));
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.out.find("4 new, 0 already stored; erased"), std::string::npos)
            << result.out;
        const std::vector<StoredRecord> stored = open_store(target)->records({});
        ASSERT_EQ(stored.size(), 4U);
        EXPECT_FALSE(stored[1].record.has_lead);
        EXPECT_EQ(stored[1].record.text, "");
    }
    SimulatedReader blank(config("", source.take(2)));
    const ProcessResult refused = run_collect(collect_args(blank.path(), target));
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("has no machine ID"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--reader NAME"), std::string::npos) << refused.err;
    EXPECT_EQ(blank.server().records().size(), 2U);
    const ProcessResult named =
        run_collect(collect_args(blank.path(), target, {"--erase", "--reader", "CRADLE-7"}));
    EXPECT_EQ(named.exit_code, 0) << named.err;
    EXPECT_NE(named.out.find("CRADLE-7 on "), std::string::npos) << named.out;
    EXPECT_EQ(open_store(target)->downloads().back().machine_id, "CRADLE-7");
}

// The kept answers rebuild records that were derived wrongly: the store is
// then what collecting the same answers gives.
TEST_P(Collect, RebuildDerivesTheRecordsAnewFromTheKeptAnswers) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    RecordSource source("B");
    std::vector<sim::Record> records = source.take(6);
    records.insert(records.begin() + 2, sim::Record{records[0].stamp, "", '0', true});
    for (const std::size_t more : {std::size_t{0}, std::size_t{3}}) {
        const std::vector<sim::Record> added = source.take(more);
        records.insert(records.end(), added.begin(), added.end());
        SimulatedReader reader(config("KDR000B1", records));
        ASSERT_EQ(run_collect(collect_args(reader.path(), target, {})).exit_code, 0);
    }
    const ProcessResult before = run_kdr({"export", "--db", target}, kDeadline);
    const std::string wrong =
        "UPDATE records SET text = " +
        std::string(GetParam() == Backend::Sqlite ? "X'57524F4E47'" : "'\\x57524f4e47'::bytea") +
        " WHERE position = 2; DELETE FROM records WHERE position = 5";
    if (GetParam() == Backend::Sqlite) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(target.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, wrong.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    } else {
        postgres_exec(target, wrong);
    }
    ASSERT_NE(run_kdr({"export", "--db", target}, kDeadline).out, before.out);

    const ProcessResult rebuilt = run_kdr({"rebuild", "--db", target}, kDeadline);
    EXPECT_EQ(rebuilt.exit_code, 0) << rebuilt.err;
    EXPECT_NE(rebuilt.out.find("2 download(s) replayed; 9 record(s) before, 10 after, 2 changed"),
              std::string::npos)
        << rebuilt.out;
    EXPECT_EQ(run_kdr({"export", "--db", target}, kDeadline).out, before.out);
}

// A store that cannot be written: the reader is not even asked for its
// records, the command says so in one sentence, and what was stored stays.
TEST_P(Collect, LeavesTheReaderAloneWhenTheStoreIsUnavailable) {
    const TempDir dir;
    RecordSource source("U");
    const std::vector<sim::Record> records = source.take(5);
    SimulatedReader reader(config("KDR00077", records));
    std::string target;
    std::string message;
    ProcessResult result;
    if (GetParam() == Backend::Sqlite) {
        // A store collected into before, in a folder since made read-only.
        const std::filesystem::path folder = dir.path() / "ro";
        std::filesystem::create_directory(folder);
        target = (folder / "records.sqlite").string();
        ASSERT_EQ(run_collect(collect_args(reader.path(), target, {})).exit_code, 0);
        ::chmod(dir.path().c_str(), 0755);
        ::chmod(folder.c_str(), 0555);
        result = collect_as_nobody(dir, reader.path(), target);
        message = "nothing was downloaded or erased";

        // A read-only file in a folder that may be written: refused before
        // it is opened, so that no read-only log files are left beside it.
        ::chmod(folder.c_str(), 0777);
        ::chmod(target.c_str(), 0444);
        const ProcessResult file = collect_as_nobody(dir, reader.path(), target);
        EXPECT_EQ(file.exit_code, 1) << file.err;
        EXPECT_NE(file.err.find("is read-only"), std::string::npos) << file.err;
        // The commands that only read it read it, and leave nothing either.
        for (const std::string command : {"history", "export"}) {
            const ProcessResult read = kdr_as_nobody(dir, {command, "--db", target});
            EXPECT_EQ(read.exit_code, 0) << command << ": " << read.err;
            EXPECT_NE(read.out.find("KDR00077"), std::string::npos) << command << ": " << read.out;
        }
        EXPECT_FALSE(std::filesystem::exists(target + "-shm"));
        EXPECT_FALSE(std::filesystem::exists(target + "-wal"));
        ::chmod(target.c_str(), 0666);
        EXPECT_EQ(run_collect(collect_args(reader.path(), target, {})).exit_code, 0);
        ::chmod(folder.c_str(), 0555);
    } else {
        std::string why;
        if (!postgres_server(why)) {
            GTEST_SKIP() << why;
        }
        // The server stopped: its socket folder holds no server.
        target = "postgresql:///records?host=" + (dir.path()).string() + "&user=kdr";
        result = run_collect(collect_args(reader.path(), target));
        message = "cannot be reached";
    }
    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(own_lines(result.err), 1) << result.err;
    EXPECT_EQ(reader.server().records(), records);
    if (GetParam() == Backend::Sqlite) {
        // Only the collects into a store that could be written downloaded
        // (each reads the reader twice).
        const std::string letters = letters_of(reader);
        EXPECT_EQ(std::count(letters.begin(), letters.end(), 'D'), 4) << letters;
        ::chmod((dir.path() / "ro").c_str(), 0755);
        std::unique_ptr<Store> store = open_store(target);
        EXPECT_EQ(as_set(stored_texts(*store)), source.given());
    } else {
        EXPECT_EQ(letters_of(reader), "");  // not even the password
    }
}

// SIGKILL at random points of collects with --erase, again and again: every
// download is stored wholly or not at all, no reader is erased before its
// records are stored, and the next collect stores what is missing, once.
// Readers are killed on several lanes at once (each its own reader, all one
// store), so that the rounds' waits overlap and collectors also race.
TEST_P(Collect, SurvivesBeingKilledAnywhere) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    constexpr int kLanes = 8;
    const int rounds = (GetParam() == Backend::Sqlite ? 200 : 64) / kLanes;

    // How long a whole collect takes here, measured on a store of the same
    // kind: a PostgreSQL connection costs more than a SQLite file, and the reader's
    // part is short now that the waits end with what they wait for.
    e2e::Seconds whole{};
    {
        const TempDir scratch;
        KDR_NEW_STORE(measured, GetParam(), scratch);
        SimulatedReader reader(config("KDR00001", RecordSource("X").take(30)));
        const ProcessResult result = run_collect(collect_args(reader.path(), measured));
        ASSERT_EQ(result.exit_code, 0) << result.err;
        whole = result.elapsed;
    }
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(fmt::format("seed {}", seed));

    std::vector<RecordSource> sources;
    for (int lane = 0; lane < kLanes; ++lane) {
        sources.emplace_back(fmt::format("K{}", lane));
    }
    std::atomic<int> erased{0};
    const auto run_lane = [&](int lane) {
        const std::string id = fmt::format("KDR0K{:03}", lane);
        std::mt19937 random(seed + static_cast<unsigned>(lane));
        // Eight lanes at once make each collect slower than the one alone.
        std::uniform_real_distribution<double> when(0.0, whole.count() * 1.5);
        RecordSource& source = sources[static_cast<std::size_t>(lane)];
        std::vector<sim::Record> records = source.take(30);
        for (int round = 0; round < rounds; ++round) {
            std::vector<sim::Record> left;
            {
                SimulatedReader reader(config(id, records));
                BackgroundKdr collect(collect_args(reader.path(), target));
                std::this_thread::sleep_for(e2e::Seconds(when(random)));
                static_cast<void>(collect.stop(SIGKILL, kDeadline));
                left = reader.server().records();
            }
            std::unique_ptr<Store> store = open_store(target);
            const std::multiset<std::string> texts = stored_texts(*store);
            if (!doubled(texts).empty()) {
                ADD_FAILURE() << "lane " << lane << " round " << round
                              << ": stored twice: " << *doubled(texts).begin();
                return;
            }
            if (left.size() < records.size()) {
                ++erased;
                for (const sim::Record& record : records) {
                    if (texts.count(record.text) != 1) {
                        ADD_FAILURE() << "lane " << lane << " round " << round
                                      << ": erased before stored: " << record.text;
                        return;
                    }
                }
            }
            records = left;
            const std::vector<sim::Record> more = source.take(3);
            records.insert(records.end(), more.begin(), more.end());
        }
        // The next collect, not killed, completes what is missing.
        SimulatedReader reader(config(id, records));
        const ProcessResult last = run_collect(collect_args(reader.path(), target));
        EXPECT_EQ(last.exit_code, 0) << last.err;
    };
    std::vector<std::thread> lanes;
    for (int lane = 0; lane < kLanes; ++lane) {
        lanes.emplace_back(run_lane, lane);
    }
    for (std::thread& lane : lanes) {
        lane.join();
    }
    // The kills hit before, during and after the erase.
    EXPECT_GT(erased.load(), 0);
    EXPECT_LT(erased.load(), rounds * kLanes);

    std::unique_ptr<Store> store = open_store(target);
    std::set<std::string> given;
    for (const RecordSource& source : sources) {
        given.insert(source.given().begin(), source.given().end());
    }
    const std::multiset<std::string> texts = stored_texts(*store);
    EXPECT_EQ(as_set(texts), given);
    EXPECT_TRUE(doubled(texts).empty());
    expect_downloads_whole(*store);
}

// Two stations' collectors on two readers, writing one store at once.
TEST_P(Collect, TwoCollectorsShareOneStore) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::vector<RecordSource> sources{RecordSource("A"), RecordSource("B")};
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(fmt::format("round {}", round));
        SimulatedReader a(config("KDR000A1", sources[0].take(1500)));
        SimulatedReader b(config("KDR000B2", sources[1].take(1500)));
        ProcessResult result_a;
        ProcessResult result_b;
        std::thread other([&] { result_b = run_collect(collect_args(b.path(), target)); });
        result_a = run_collect(collect_args(a.path(), target));
        other.join();
        EXPECT_EQ(result_a.exit_code, 0) << result_a.err;
        EXPECT_EQ(result_b.exit_code, 0) << result_b.err;
        EXPECT_TRUE(a.server().records().empty());
        EXPECT_TRUE(b.server().records().empty());
    }
    std::unique_ptr<Store> store = open_store(target);
    std::set<std::string> given = sources[0].given();
    given.insert(sources[1].given().begin(), sources[1].given().end());
    const std::multiset<std::string> texts = stored_texts(*store);
    EXPECT_EQ(as_set(texts), given);
    EXPECT_TRUE(doubled(texts).empty());
    // Eight downloads brought records (a collect repeated after a stray
    // client held the port brings none).
    const std::vector<StoredDownload> downloads = store->downloads();
    EXPECT_EQ(std::count_if(downloads.begin(), downloads.end(),
                            [](const StoredDownload& d) { return d.new_records > 0; }),
              8);
}

INSTANTIATE_TEST_SUITE_P(Backends, Collect, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         backend_name);

// The PostgreSQL server stops while the reader is sending: the transaction
// cannot be written, so nothing is erased, and the command says why.
TEST(CollectPostgres, ServerStoppedDuringTheDownload) {
    std::string why;
    if (!postgres_server(why)) {
        GTEST_SKIP() << why;
    }
    // A server of this test's own, since it is stopped.
    const TempDir dir;
    const std::string script = std::string("bash ") + KDR_PG_SCRIPT + " ";
    const std::string state = (dir.path() / "pg").string();
    ASSERT_EQ(std::system((script + "start " + state + " 2>/dev/null").c_str()), 0);
    const std::string server = read_file(std::filesystem::path(state) / "url");
    const std::string target = fresh_postgres_database(server);

    RecordSource source("S");
    const std::vector<sim::Record> records = source.take(200);  // about 3 s on the line
    sim::ReaderConfig paced = config("KDR000S1", records);
    paced.pacing = sim::Pacing::LineRate;
    SimulatedReader reader(paced);
    BackgroundKdr collect(collect_args(reader.path(), target));
    std::this_thread::sleep_for(1500ms);
    static_cast<void>(std::system((script + "stop " + state).c_str()));
    const ProcessResult result = collect.stop(0, kDeadline);  // waits for it to end

    EXPECT_EQ(result.exit_code, 1) << result.out << result.err;
    EXPECT_NE(result.err.find("nothing stored, nothing erased"), std::string::npos) << result.err;
    EXPECT_EQ(own_lines(result.err), 1) << result.err;
    EXPECT_EQ(letters_of(reader).find('E'), std::string::npos) << letters_of(reader);
    EXPECT_EQ(reader.server().records(), records);
}

// What export writes of a collected reader is what download writes of it, and
// history shows the collect.
// Another session holding the reader's row: the collect gives up after the
// lock timeout with a sentence, erasing nothing. A connection closed by the
// server during a long download is made again: the download is stored.
TEST(CollectPostgres, BoundedLockWaitAndReconnectAfterALongDownload) {
    std::string why;
    const std::optional<std::string> server = postgres_server(why);
    if (!server) {
        GTEST_SKIP() << why;
    }
    const std::string target = fresh_postgres_database(*server);
    RecordSource source("L");
    const std::vector<sim::Record> records = source.take(5);
    SimulatedReader reader(config("KDR000L1", records));
    ASSERT_EQ(run_collect(collect_args(reader.path(), target, {})).exit_code, 0);

    PGconn* holder = PQconnectdb(target.c_str());
    ASSERT_EQ(PQstatus(holder), CONNECTION_OK) << PQerrorMessage(holder);
    PQclear(PQexec(holder, "BEGIN"));
    PQclear(PQexec(holder, "SELECT id FROM readers FOR UPDATE"));
    const ProcessResult locked =
        run_collect(collect_args(reader.path(), target + "&options=-c%20lock_timeout%3D500"));
    PQclear(PQexec(holder, "ROLLBACK"));
    PQfinish(holder);
    EXPECT_EQ(locked.exit_code, 1);
    EXPECT_NE(locked.err.find("locked past the lock timeout"), std::string::npos) << locked.err;
    EXPECT_EQ(own_lines(locked.err), 1) << locked.err;
    EXPECT_EQ(letters_of(reader).find('E'), std::string::npos);

    sim::ReaderConfig paced = config("KDR000L2", source.take(60));
    paced.pacing = sim::Pacing::LineRate;  // about 1.5 s on the line
    SimulatedReader slow(paced);
    const ProcessResult long_download =
        run_collect(collect_args(slow.path(), target + "&options=-c%20idle_session_timeout%3D500"));
    EXPECT_EQ(long_download.exit_code, 0) << long_download.err;
    EXPECT_NE(long_download.out.find("60 new"), std::string::npos) << long_download.out;
}

// Export writes what download writes, but for the count a reader announced
// and whether its whole memory arrived: stored records have neither.
TEST(CollectExport, WritesWhatDownloadWrites) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    RecordSource source("E");
    SimulatedReader reader(config("KDR000E1", source.take(6)));
    std::vector<std::string> downloaded;
    for (const std::string format : {"csv", "json"}) {
        const ProcessResult result = run_kdr(
            {"download", "--port", reader.path(), "--password", password(), "--format", format},
            kDeadline);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        downloaded.push_back(result.out);
    }
    const ProcessResult collected =
        run_collect(collect_args(reader.path(), target, {"--erase", "--format", "json"}));
    ASSERT_EQ(collected.exit_code, 0) << collected.err;
    const nlohmann::json outcome = nlohmann::json::parse(collected.out);
    EXPECT_EQ(outcome.at("outcome"), "stored");
    EXPECT_EQ(outcome.at("new"), 6);
    EXPECT_EQ(outcome.at("erase"), "verified");

    std::string csv_expected = downloaded[0];
    for (std::size_t at = csv_expected.find("KDR000E1,6,"); at != std::string::npos;
         at = csv_expected.find("KDR000E1,6,", at)) {
        csv_expected.replace(at, 11, "KDR000E1,,");
    }
    const ProcessResult csv = run_kdr({"export", "--db", target}, kDeadline);
    EXPECT_EQ(csv.exit_code, 0) << csv.err;
    EXPECT_EQ(csv.out, csv_expected);

    nlohmann::json json_expected = nlohmann::json::parse(downloaded[1]);
    json_expected["record_count"] = nullptr;
    json_expected["complete"] = nullptr;
    const ProcessResult json =
        run_kdr({"export", "--db", target, "--reader", "KDR000E1", "--format", "json"}, kDeadline);
    EXPECT_EQ(json.exit_code, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out), nlohmann::json::array({json_expected}));

    const ProcessResult history = run_kdr({"history", "--db", target}, kDeadline);
    EXPECT_EQ(history.exit_code, 0) << history.err;
    EXPECT_NE(history.out.find("KDR000E1"), std::string::npos) << history.out;
    EXPECT_NE(history.out.find("verified"), std::string::npos) << history.out;
    const ProcessResult history_json =
        run_kdr({"history", "--db", target, "--format", "json"}, kDeadline);
    const nlohmann::json downloads = nlohmann::json::parse(history_json.out);
    ASSERT_EQ(downloads.size(), 1U) << history_json.out;
    EXPECT_EQ(downloads[0].at("erase"), "verified");
    EXPECT_EQ(downloads[0].at("received"), 6);
}

// The commands that need a store say so, in one sentence, where there is
// none, and make none: a missing file, an empty file, an empty database.
TEST(StoreCommands, RefuseAStoreThatIsNotThere) {
    const TempDir dir;
    const std::string empty = (dir.path() / "empty.sqlite").string();
    std::ofstream{empty};
    struct Case {
        std::string target;
        std::string message;
    };
    const Case missing{(dir.path() / "missing.sqlite").string(), "does not exist"};
    const Case no_tables{empty, "holds no tables"};
    std::string why;
    const std::optional<std::string> server = postgres_server(why);
    // A fixed array, not a vector: g++ 12 reports false warnings about a
    // vector made here, grown (-Wuse-after-free at -O3) or chosen between
    // two (-Wmaybe-uninitialized at -O1).
    const std::array<Case, 3> all{
        missing, no_tables,
        Case{server ? fresh_postgres_database(*server) : std::string(), "holds no tables"}};
    const std::span<const Case> cases(all.data(), server ? 3 : 2);
    for (const Case& c : cases) {
        // rebuild, which writes, first: the others would find what it made.
        for (const std::string command : {"rebuild", "history", "export"}) {
            const ProcessResult result = run_kdr({command, "--db", c.target}, kDeadline);
            EXPECT_EQ(result.exit_code, 1) << command << " " << c.target;
            EXPECT_NE(result.err.find(c.message), std::string::npos)
                << command << ": " << result.err;
            EXPECT_EQ(own_lines(result.err), 1) << result.err;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(cases[0].target));
    EXPECT_EQ(std::filesystem::file_size(empty), 0U);
}

// A SQLite store with downloads of two readers, one a day from 1 May 2024
// (UTC): KDRA on days 1, 2 and 4, KDRB on day 3.
std::string store_of_two_readers(const TempDir& dir) {
    const std::string target = (dir.path() / "records.sqlite").string();
    std::unique_ptr<Store> store = open_store(target);
    for (int day = 0; day < 4; ++day) {
        Download download;
        download.has_header = true;
        download.machine_id = day == 2 ? "KDRB    " : "KDRA    ";
        download.records = {nth_record(day)};  // found in an export by its text
        download.announced = 1;
        const auto ended = std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} +
                           std::chrono::days{day} + std::chrono::hours{9};
        store->store_download(
            {"/dev/ttyUSB0", ended, ended, &download, false, {}, 1, store::ReadCheck::Sure, {}});
    }
    return target;
}

// A store reached through a symbolic link, a folder's or the file's own (a
// service's state folder under DynamicUser= is one), reads as the file does.
TEST(StoreCommands, AStoreThroughASymbolicLinkIsRead) {
    const TempDir dir;
    const std::string target = store_of_two_readers(dir);
    namespace fs = std::filesystem;
    fs::create_directory_symlink(dir.path(), dir.path() / "folder-link");
    fs::create_symlink(target, dir.path() / "file-link.sqlite");
    for (const fs::path& linked :
         {dir.path() / "folder-link" / "records.sqlite", dir.path() / "file-link.sqlite"}) {
        for (const std::string command : {"history", "export"}) {
            const ProcessResult result = run_kdr({command, "--db", linked.string()}, kDeadline);
            EXPECT_EQ(result.exit_code, 0) << command << " " << linked << ": " << result.err;
            EXPECT_NE(result.out.find("KDRA"), std::string::npos) << command << " " << linked;
        }
    }
}

// history's filters and export's file, as the commands take them: the
// filters themselves are the store's (FiltersDownloadsByReaderDayAndCount).
TEST(StoreCommands, HistoryFiltersAndExportToAFile) {
    const TempDir dir;
    const std::string target = store_of_two_readers(dir);
    const auto ids = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"history", "--db", target, "--format", "json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const ProcessResult result = run_kdr(args, kDeadline);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        std::vector<int> found;
        for (const nlohmann::json& download : nlohmann::json::parse(result.out)) {
            found.push_back(download.at("id").get<int>());
        }
        return found;
    };
    const struct {
        std::vector<std::string> args;
        std::vector<int> expected;
    } cases[] = {
        {{}, {1, 2, 3, 4}},
        {{"--reader", "KDRA"}, {1, 2, 4}},
        {{"--since", "2024-05-03"}, {3, 4}},
        {{"--limit", "3"}, {2, 3, 4}},
        {{"--reader", "KDRA", "--since", "2024-05-02", "--limit", "1"}, {4}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ids(c.args), c.expected) << ::testing::PrintToString(c.args);
    }
    // The text table too, oldest first.
    const ProcessResult table = run_kdr({"history", "--db", target, "--limit", "2"}, kDeadline);
    EXPECT_EQ(table.exit_code, 0) << table.err;
    EXPECT_LT(table.out.find("2024-05-03"), table.out.find("2024-05-04")) << table.out;
    EXPECT_EQ(table.out.find("2024-05-02"), std::string::npos) << table.out;

    // export -o writes what export writes to standard output, replacing the file.
    const std::string file = (dir.path() / "records.csv").string();
    std::ofstream(file) << "old\n";
    const ProcessResult out = run_kdr({"export", "--db", target, "--reader", "KDRB"}, kDeadline);
    ASSERT_EQ(out.exit_code, 0) << out.err;
    const ProcessResult to_file =
        run_kdr({"export", "--db", target, "--reader", "KDRB", "-o", file}, kDeadline);
    EXPECT_EQ(to_file.exit_code, 0) << to_file.err;
    EXPECT_EQ(to_file.out, "");
    EXPECT_EQ(whole_file(file), out.out);
    EXPECT_NE(out.out.find(nth_record(2).text.substr(0, 4)), std::string::npos) << out.out;
    const ProcessResult folder =
        run_kdr({"export", "--db", target, "-o", dir.path().string()}, kDeadline);
    EXPECT_EQ(folder.exit_code, 2) << folder.err;
}

// kdr check: a line for each reader that needs attention, and the exit
// status cron and monitoring plugins read.
TEST_P(Collect, CheckSaysWhichReadersNeedAttention) {
    const TempDir dir;
    const TempDir other;
    KDR_NEW_STORE(target, GetParam(), dir);
    KDR_NEW_STORE(empty, GetParam(), other);
    {
        std::unique_ptr<Store> store = open_store(target);
        const auto now = std::chrono::system_clock::now();
        const auto collected = [&](const char* id, std::chrono::hours ago, ReadCheck check,
                                   bool erase) {
            Download download;
            download.has_header = true;
            download.machine_id = id;
            download.records = {nth_record(0)};
            download.announced = 1;
            const StoreOutcome stored = store->store_download(
                {"/dev/ttyUSB0", now - ago, now - ago, &download, erase, {}, 3, check, {}});
            if (erase) {
                store->set_erase_result(stored.download_id, EraseResult::Verified);
            }
        };
        collected("KDRA    ", std::chrono::hours{1}, ReadCheck::Sure, true);
        collected("KDRB    ", std::chrono::hours{3 * 24 + 1}, ReadCheck::Sure, false);
        collected("KDRC    ", std::chrono::hours{1}, ReadCheck::Unsure, false);
        (void)open_store(empty);
    }
    const std::string unsure = "KDRC: last collect unsure: 3 reads, no two agreed\n";
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string out;
    } cases[] = {
        {{"--db", target}, 1, unsure},
        {{"--db", target, "--stale-days", "3"}, 1, "KDRB: not collected for 3 days\n" + unsure},
        {{"--db", empty}, 0, ""},
        {{"--db", (dir.path() / "none.sqlite").string()}, 3, ""},
        {{"--db", target, "--stale-days", "0"}, 2, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"check"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult result = run_kdr(args, kDeadline);
        EXPECT_EQ(result.exit_code, c.exit_code) << ::testing::PrintToString(c.args) << result.err;
        EXPECT_EQ(result.out, c.out) << ::testing::PrintToString(c.args);
    }
}

// A --reader that names no stored reader is said, not an empty result.
TEST(StoreCommands, AReaderTheStoreDoesNotHoldIsAFailure) {
    const TempDir dir;
    const std::string target = store_of_two_readers(dir);
    for (const std::string command : {"export", "history"}) {
        const ProcessResult result =
            run_kdr({command, "--db", target, "--reader", "KDRC"}, kDeadline);
        EXPECT_EQ(result.exit_code, 1) << command << ": " << result.err;
        EXPECT_EQ(result.out, "") << command;
        EXPECT_NE(result.err.find("--reader KDRC: the store " + target +
                                  " holds no such reader; it holds KDRA, KDRB"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(own_lines(result.err), 1) << result.err;
    }
}

// A damaged store is one that cannot be read, for the commands that read it.
TEST(StoreCommands, ADamagedStoreCannotBeRead) {
    const TempDir dir;
    const std::string target = store_of_two_readers(dir);
    {
        std::fstream file(target, std::ios::in | std::ios::out | std::ios::binary);
        const auto size = static_cast<std::streamoff>(std::filesystem::file_size(target));
        // The b-tree header of every page after the first (the schema's).
        for (std::streamoff page = 4096; page < size; page += 4096) {
            file.seekp(page);
            file << std::string(8, '\xFF');
        }
    }
    for (const std::string command : {"export", "history"}) {
        const ProcessResult result = run_kdr({command, "--db", target}, kDeadline);
        EXPECT_EQ(result.exit_code, 1) << command;
        EXPECT_NE(result.err.find("cannot be read"), std::string::npos)
            << command << ": " << result.err;
        EXPECT_EQ(result.err.find("written"), std::string::npos) << command << ": " << result.err;
    }
}

// -o onto a file this user may not write, in a folder it may: refused, and
// the file left as it was (a rename in the folder would have replaced it).
TEST(StoreCommands, OutputToAFileTheUserMayNotWriteIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to make a file another user may not write";
    }
    const TempDir dir;
    const std::string target = store_of_two_readers(dir);
    ::chmod(dir.path().c_str(), 0777);
    ::chmod(target.c_str(), 0644);
    const std::string file = (dir.path() / "root.csv").string();
    std::ofstream(file) << "root's\n";
    ::chmod(file.c_str(), 0644);
    const std::vector<std::vector<std::string>> commands{
        {"export", "--db", target, "-o", file},
        {"download", "--port", "/dev/kdr-no-such-device", "-o", file},
    };
    for (const std::vector<std::string>& args : commands) {
        const ProcessResult result = kdr_as_nobody(dir, args);
        EXPECT_EQ(result.exit_code, 2) << args[0] << ": " << result.err;
        EXPECT_NE(result.err.find("-o " + file + ": this user may not write that file"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(whole_file(file), "root's\n") << args[0];
        struct stat status {};
        ASSERT_EQ(::stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, 0U) << args[0];
    }
    // Replaced by a user who may set them, a file keeps its owner and mode.
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0604), 0);
    const ProcessResult replaced = run_kdr(commands[0], kDeadline);
    EXPECT_EQ(replaced.exit_code, 0) << replaced.err;
    EXPECT_NE(whole_file(file).find("KDRA"), std::string::npos);
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 65534U);
    EXPECT_EQ(status.st_gid, 65534U);
    EXPECT_EQ(status.st_mode & 07777U, 0604U);
}

// The station mode: each reader set into the cradle is collected once, also
// one swapped in at once for the last; a reader whose collect fails is tried
// again, each try said; Ctrl-C ends it.
TEST(CollectWatch, CollectsEachReaderSetIntoTheCradle) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    const std::filesystem::path cradle = dir.path() / "cradle";
    const auto dock = [&](const SimulatedReader& reader) {
        const std::filesystem::path next = dir.path() / "cradle.next";
        std::filesystem::create_symlink(reader.path(), next);
        std::filesystem::rename(next, cradle);
    };
    RecordSource source("W");
    auto first = std::make_unique<SimulatedReader>(config("KDR000W1", source.take(4)));
    dock(*first);
    BackgroundKdr watch(collect_args(cradle.string(), target, {"--erase", "--watch"}));
    ASSERT_TRUE(watch.read_line(10s).has_value());  // "watching ..."
    const std::optional<std::string> one = watch.read_line(10s);
    ASSERT_TRUE(one.has_value());
    EXPECT_NE(one->find("KDR000W1 on " + cradle.string() + ": 4 new, 0 already stored; erased"),
              std::string::npos)
        << *one;

    // While it stays it is erased once; polls and looks at its header go on.
    std::this_thread::sleep_for(2500ms);
    const std::string letters = letters_of(*first, true);
    EXPECT_EQ(std::count(letters.begin(), letters.end(), 'E'), 1) << letters;
    EXPECT_GE(std::count(letters.begin(), letters.end(), 'P'), 4) << letters;

    // Swapped for another at once, between two polls.
    SimulatedReader second(config("KDR000W2", source.take(3)));
    dock(second);
    first.reset();
    const std::optional<std::string> two = watch.read_line(10s);
    ASSERT_TRUE(two.has_value());
    EXPECT_NE(two->find("KDR000W2 on " + cradle.string() + ": 3 new"), std::string::npos) << *two;

    // A reader whose download is cut each time: tried again and again.
    RecordSource paused_source("V");
    SimulatedReader third(config("KDR000W3", paused_source.take(400), {"pause"}));
    dock(third);
    for (const std::string_view attempt : {"(try 1; again in 2 s", "(try 2; again in 4 s"}) {
        const std::optional<std::string> line = watch.read_line(15s);
        ASSERT_TRUE(line.has_value()) << attempt;
        EXPECT_NE(line->find(attempt), std::string::npos) << *line;
        EXPECT_NE(line->find("KDR000W3"), std::string::npos) << *line;
    }
    EXPECT_EQ(third.server().records().size(), 400U);

    const ProcessResult stopped = watch.stop(SIGINT, 10s);
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("stopped"), std::string::npos) << stopped.out;
    std::unique_ptr<Store> store = open_store(target);
    const std::set<std::string> texts = as_set(stored_texts(*store));
    for (const std::string& text : source.given()) {
        EXPECT_EQ(texts.count(text), 1U) << text;
    }
    EXPECT_TRUE(doubled(stored_texts(*store)).empty());
}

// A cradle in the test's folder: a link to the reader docked in it, swapped
// at once.
class Cradle {
  public:
    explicit Cradle(const TempDir& dir) : path_(dir.path() / "cradle") {}
    void dock(const SimulatedReader& reader) const {
        const std::filesystem::path next = path_.string() + ".next";
        std::filesystem::create_symlink(reader.path(), next);
        std::filesystem::rename(next, path_);
    }
    [[nodiscard]] std::string path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

// Every line of the station's output until it stops, after `wait`.
std::vector<std::string> lines_after(BackgroundKdr& station, std::chrono::milliseconds wait) {
    std::this_thread::sleep_for(wait);
    const ProcessResult stopped = station.stop(SIGINT, 10s);
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
    std::vector<std::string> lines;
    std::istringstream text(stopped.out);
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::size_t lines_with(const std::vector<std::string>& lines, std::string_view text) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(),
        [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

// A port word that can never name a port is bad usage, said at the start.
TEST(CollectWatch, PortWordThatNamesNoPortIsBadUsage) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    for (const std::string word : {"tcp://127.0.0.1", "bogus://x"}) {
        const ProcessResult result = run_kdr(collect_args(word, target, {"--watch"}), kDeadline);
        EXPECT_EQ(result.exit_code, 2) << word << ": " << result.err;
        EXPECT_TRUE(result.err.starts_with("kdr: " + word + ": ")) << result.err;
        EXPECT_EQ(result.out, "") << word;
    }
}

// A reader whose password is not the station's is said once while it stays,
// and nothing is asked of it beyond the polls.
// A reply to the password that the line garbled is neither an acceptance
// nor a refusal: nothing is said of a password, and the next poll collects.
TEST(CollectWatch, AGarbledAcknowledgementIsNoRefusal) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    const Cradle cradle(dir);
    SimulatedReader reader(config("KDR000G1", RecordSource("G").take(2), {"garble:P@1"}));
    cradle.dock(reader);
    BackgroundKdr station(collect_args(cradle.path(), target, {"--erase", "--watch"}));
    ASSERT_TRUE(station.read_line(10s).has_value());  // "watching ..."
    const std::optional<std::string> collected = station.read_line(10s);
    ASSERT_TRUE(collected.has_value());
    EXPECT_NE(collected->find("KDR000G1 on " + cradle.path() + ": 2 new, 0 already stored; erased"),
              std::string::npos)
        << *collected;
    const std::vector<std::string> rest = lines_after(station, 5s);
    ASSERT_EQ(rest.size(), 1U) << testing::PrintToString(rest);
    EXPECT_TRUE(reader.server().records().empty());
}

TEST(CollectWatch, RefusedPasswordIsSaidOnce) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    const Cradle cradle(dir);
    sim::ReaderConfig other = config("KDR000R1", RecordSource("R").take(2));
    other.password = "another";
    SimulatedReader reader(other);
    cradle.dock(reader);
    BackgroundKdr station(collect_args(cradle.path(), target, {"--erase", "--watch"}));
    ASSERT_TRUE(station.read_line(10s).has_value());  // "watching ..."
    const std::optional<std::string> refused = station.read_line(10s);
    ASSERT_TRUE(refused.has_value());
    EXPECT_NE(refused->find("kdr: the reader on " + cradle.path() + " refuses the password"),
              std::string::npos)
        << *refused;
    const std::vector<std::string> rest = lines_after(station, 5s);
    ASSERT_EQ(rest.size(), 1U) << testing::PrintToString(rest);
    EXPECT_TRUE(rest[0].ends_with(" stopped")) << rest[0];
    EXPECT_GE(reader.server().requests().size(), 3U);  // the polls went on
    EXPECT_EQ(reader.server().records().size(), 2U);
}

// A reader already empty, left in the cradle, is one line and one download
// stored per docking.
TEST(CollectWatch, EmptyReaderIsOneLinePerDocking) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    const Cradle cradle(dir);
    SimulatedReader empty(config("KDR000Z1", {}));
    SimulatedReader nobody(config("KDR000Z0", {}, {"silent"}));  // an empty cradle
    cradle.dock(empty);
    BackgroundKdr station(collect_args(cradle.path(), target, {"--erase", "--watch"}));
    const std::string line = "KDR000Z1 on " + cradle.path() + ": 0 new, 0 already stored; erased";
    ASSERT_TRUE(station.read_line(10s).has_value());  // "watching ..."
    const std::optional<std::string> first = station.read_line(10s);
    ASSERT_TRUE(first.has_value());
    EXPECT_NE(first->find(line), std::string::npos) << *first;
    std::this_thread::sleep_for(4500ms);  // two looks at its header
    cradle.dock(nobody);
    std::this_thread::sleep_for(6s);  // two polls unanswered: taken out
    cradle.dock(empty);
    const std::optional<std::string> second = station.read_line(15s);
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(second->find(line), std::string::npos) << *second;
    const std::vector<std::string> rest = lines_after(station, 4500ms);
    EXPECT_EQ(lines_with(rest, "KDR000Z1"), 0U) << testing::PrintToString(rest);
    const std::string letters = letters_of(empty, true);
    EXPECT_EQ(std::count(letters.begin(), letters.end(), 'E'), 2) << letters;
    EXPECT_GE(std::count(letters.begin(), letters.end(), 'D'), 4) << letters;
    EXPECT_EQ(open_store(target)->downloads().size(), 2U);
}

// Ctrl-C in the middle of a long download ends the station at once; the
// reader keeps every record.
TEST(CollectWatch, StopDuringADownloadErasesNothing) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    const Cradle cradle(dir);
    sim::ReaderConfig slow = config("KDR000S1", RecordSource("S").take(2000));
    slow.pacing = sim::Pacing::LineRate;  // about 30 s for the download
    SimulatedReader reader(slow);
    cradle.dock(reader);
    BackgroundKdr station(collect_args(cradle.path(), target, {"--erase", "--watch"}));
    ASSERT_TRUE(station.read_line(10s).has_value());  // "watching ..."
    const auto asked = [&] { return letters_of(reader, true).find('D') != std::string::npos; };
    for (int i = 0; i < 100 && !asked(); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(asked());
    std::this_thread::sleep_for(1s);
    const ProcessResult stopped = station.stop(SIGINT, 10s);
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
    EXPECT_LT(stopped.elapsed, 1s);
    EXPECT_NE(stopped.out.find("stopped during the download from " + cradle.path() +
                               ": nothing stored, nothing erased\n"),
              std::string::npos)
        << stopped.out;
    EXPECT_TRUE(stopped.out.ends_with(" stopped\n")) << stopped.out;
    EXPECT_EQ(letters_of(reader, true).find('E'), std::string::npos);
    EXPECT_EQ(reader.server().records().size(), 2000U);
    EXPECT_TRUE(open_store(target)->downloads().empty());
}

}  // namespace
}  // namespace kdr::store::test
