// Getting data out of real stores: `kdr backup` taken while another
// connection writes, `kdr prune` keeping what the never-twice rule needs, and
// exports a spreadsheet opens safely.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <sqlite3.h>

#include <filesystem>
#include <numeric>
#include <sstream>

#include "protocol/record_decoding.hpp"
#include "sequences.hpp"
#include "store_support.hpp"
#include "tests/e2e/process.hpp"
#include "web/web_view.hpp"

namespace kdr::store::test {
namespace {

using namespace std::chrono_literals;
using e2e::run_kdr;

constexpr e2e::Seconds kDeadline = 30s;

std::chrono::system_clock::time_point on(int year, unsigned month, unsigned day) {
    return std::chrono::sys_days{std::chrono::year_month_day{
        std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}}};
}

// One collect of `id` holding records `numbers` (nth_record), ended on
// `ended` and erased with `erase`; its new and held counts.
std::pair<std::size_t, std::size_t> collect(Store& store, const std::string& id,
                                            const std::vector<int>& numbers,
                                            std::chrono::system_clock::time_point ended,
                                            std::optional<EraseResult> erase = {}) {
    // The answer as a reader sends it, so that kdr rebuild can replay it.
    std::string answer = fmt::format("\x02{}{:05}", id, numbers.size());
    for (const int n : numbers) {
        const DownloadedRecord record = nth_record(n);
        answer += std::string(record.stamp.chars()) + record.lead + record.text + "?\r";
    }
    const Download download = protocol::decode_records(answer, 0);
    const StoreOutcome outcome = store.store_download(
        {"/dev/ttyUSB0", ended, ended, &download, erase.has_value(), {}, 1, ReadCheck::Sure, {}});
    if (erase) {
        store.set_erase_result(outcome.download_id, *erase);
    }
    return {outcome.new_records, outcome.already_stored};
}

class Maintenance : public ::testing::TestWithParam<Backend> {};

TEST_P(Maintenance, BackupAndPruneKeepWhatTheRuleNeeds) {
    const TempDir dir;
    KDR_NEW_STORE(target, GetParam(), dir);
    std::unique_ptr<Store> store = open_store(target);
    // KDRA: an old memory erased and verified, then its current one. KDRB: an
    // old memory whose erase was only acknowledged. KDRC: a verified erase
    // after the day pruned before.
    collect(*store, "KDRA    ", {0, 720, 1440}, on(2024, 1, 10), EraseResult::Verified);
    collect(*store, "KDRA    ", {1, 2}, on(2024, 2, 1));
    collect(*store, "KDRB    ", {3, 4}, on(2024, 1, 5), EraseResult::Acknowledged);
    collect(*store, "KDRB    ", {5}, on(2024, 2, 1));
    collect(*store, "KDRC    ", {6}, on(2025, 6, 1), EraseResult::Verified);
    const std::multiset<std::string> all = stored_texts(*store);
    const std::string first_memory = nth_record(0).text;

    const std::string copy = (dir.path() / "copy.sqlite").string();
    struct Step {
        std::string name;
        std::vector<std::string> args;
        int exit_code;
        std::string says;
        std::size_t records_after;
    };
    const std::vector<Step> steps{
        {"dry run",
         {"prune", "--before", "2025-01-01", "--dry-run"},
         0,
         "KDRA: would remove 3 record(s) of 1 memory(ies)",
         9},
        {"prune",
         {"prune", "--before", "2025-01-01"},
         0,
         "KDRA: removed 3 record(s) of 1 memory(ies)",
         6},
        {"again", {"prune", "--before", "2025-01-01"}, 0, "removed 0 record(s) of 0 reader(s)", 6},
        {"rebuild", {"rebuild"}, 0, "KDRA    : left as it was (records of its ended", 6},
        {"backup",
         {"backup", copy},
         GetParam() == Backend::Sqlite ? 0 : 2,
         GetParam() == Backend::Sqlite ? "3 reader(s), 6 record(s), 5 download(s)"
                                       : "pg_dump --format=custom --file=",
         6},
        {"no overwrite",
         {"backup", copy},
         GetParam() == Backend::Sqlite ? 1 : 2,
         GetParam() == Backend::Sqlite ? "exists: give --force" : "pg_dump",
         6},
        {"not over the store",
         {"backup", "--force", target},
         GetParam() == Backend::Sqlite ? 1 : 2,
         GetParam() == Backend::Sqlite ? "is the store itself" : "pg_dump",
         6},
    };
    for (const Step& step : steps) {
        std::vector<std::string> args = step.args;
        args.insert(args.begin() + 1, {"--db", target});
        const e2e::ProcessResult result = run_kdr(args, kDeadline);
        EXPECT_EQ(result.exit_code, step.exit_code) << step.name << ": " << result.err;
        EXPECT_NE((result.out + result.err).find(step.says), std::string::npos)
            << step.name << ": " << result.out << result.err;
        EXPECT_EQ(store->count_records({}), static_cast<std::int64_t>(step.records_after))
            << step.name;
        EXPECT_EQ(stored_texts(*store).size(), step.records_after) << step.name;
    }

    // Only the verified, ended memory went; the per-day counts follow.
    std::multiset<std::string> kept = all;
    for (const int n : {0, 720, 1440}) {
        kept.erase(nth_record(n).text);
    }
    EXPECT_EQ(stored_texts(*store), kept);
    const std::vector<DayCount> days = store->records_per_day({});
    EXPECT_EQ(
        std::accumulate(days.begin(), days.end(), std::int64_t{0},
                        [](std::int64_t sum, const DayCount& day) { return sum + day.records; }),
        6);
    for (const ReaderSummary& reader : store->reader_summaries()) {
        EXPECT_EQ(reader.records,
                  static_cast<std::int64_t>(store->records({reader.machine_id}).size()))
            << reader.machine_id;
    }
    // The readers still hold their current memories: nothing is stored twice.
    EXPECT_EQ(collect(*store, "KDRA    ", {1, 2, 7}, on(2026, 1, 1)),
              (std::pair<std::size_t, std::size_t>{1, 2}));
    EXPECT_EQ(collect(*store, "KDRB    ", {5}, on(2026, 1, 1)),
              (std::pair<std::size_t, std::size_t>{0, 1}));
    EXPECT_TRUE(doubled(stored_texts(*store)).empty());
    EXPECT_EQ(stored_texts(*store).count(first_memory), 0U);
}

INSTANTIATE_TEST_SUITE_P(Backends, Maintenance,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres), backend_name);

// --since and --until take the reader's days inclusively; --bom only adds
// the mark, and only to CSV.
TEST(Export, DaysAndByteOrderMark) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    std::unique_ptr<Store> store = open_store(target);
    collect(*store, "KDRA    ", {0, 720, 1440}, on(2024, 5, 3));  // 1, 2 and 3 May
    const struct {
        std::vector<std::string> args;
        int exit_code;
        bool bom;
        std::vector<std::string> days;  // of the rows, in order
    } cases[] = {
        {{}, 0, false, {"2024-05-01", "2024-05-02", "2024-05-03"}},
        {{"--until", "2024-05-02"}, 0, false, {"2024-05-01", "2024-05-02"}},
        {{"--since", "2024-05-02", "--until", "2024-05-02", "--bom"}, 0, true, {"2024-05-02"}},
        {{"--bom", "--format", "json"}, 2, false, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"export", "--db", target};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const e2e::ProcessResult result = run_kdr(args, kDeadline);
        EXPECT_EQ(result.exit_code, c.exit_code) << fmt::format("{}", fmt::join(args, " "));
        std::string_view out = result.out;
        EXPECT_EQ(out.starts_with("\xEF\xBB\xBF"), c.bom) << out;
        out.remove_prefix(c.bom ? 3 : 0);
        std::vector<std::string> days;
        for (std::size_t line = out.find('\n'); line + 1 < out.size();
             line = out.find('\n', line + 1)) {
            days.emplace_back(out.substr(out.find('T', line) - 10, 10));  // the timestamp's day
        }
        EXPECT_EQ(days, c.days) << out;
    }
}

// The web view's CSV exports: a byte-order mark only when asked, and no
// cell a spreadsheet would run, in each of them.
TEST(Export, WebCsvForSpreadsheets) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    std::unique_ptr<Store> store = open_store(target);
    Download download = protocol::decode_records(
        std::string("\x02        00001") + std::string(nth_record(0).stamp.chars()) + "0@SUM(1)?\r",
        0);
    const auto now = std::chrono::system_clock::now();
    store->store_download({"-port", now, now, &download, false, "=CRADLE", 1, ReadCheck::Sure, {}});
    const web::WebView view(web::ViewSettings{});
    for (const std::string_view what : {"records", "readers", "downloads"}) {
        for (const bool bom : {false, true}) {
            const web::Parameters asked = bom ? web::Parameters{{"bom", "1"}} : web::Parameters{};
            const web::Answer answer = view.export_file(*store, what, "csv", asked);
            ASSERT_TRUE(answer.stream) << what;
            std::ostringstream written;
            answer.stream(written);
            const std::string body = written.str();
            EXPECT_EQ(body.starts_with("\xEF\xBB\xBF"), bom) << what;
            EXPECT_NE(body.find("\"'=CRADLE\""), std::string::npos) << body;
            EXPECT_NE(body.find(what == "records" ? "\"'@SUM(1)\"" : "\"'-port\""),
                      std::string::npos)
                << body;
        }
    }
}

// Collects committed but still in the write-ahead log are copied; another
// connection's open write transaction neither blocks the copy nor gets in.
TEST(Backup, CopiesEveryCommitWhileAnotherConnectionWrites) {
    const TempDir dir;
    const std::string target = (dir.path() / "records.sqlite").string();
    std::unique_ptr<Store> store = open_store(target);  // held open: the log stays
    collect(*store, "KDRA    ", {0, 1, 2}, on(2024, 1, 10));
    collect(*store, "KDRB    ", {3}, on(2024, 1, 10));
    ASSERT_GT(std::filesystem::file_size(target + "-wal"), 0U);
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(target.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer,
                           "BEGIN IMMEDIATE; INSERT INTO readers (machine_id, named) VALUES "
                           "(x'4B44525A', 0)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    const std::string copy = (dir.path() / "copy.sqlite").string();
    const e2e::ProcessResult result = run_kdr({"backup", "--db", target, copy}, kDeadline);
    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("2 reader(s), 4 record(s), 2 download(s)"), std::string::npos)
        << result.out;
    std::unique_ptr<Store> copied = open_store(copy, OpenMode::ReadOnly);
    EXPECT_EQ(stored_texts(*copied), stored_texts(*store));
    EXPECT_EQ(copied->readers().size(), 2U);
    // Nothing of the copy in the making is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
    }
}

}  // namespace
}  // namespace kdr::store::test
