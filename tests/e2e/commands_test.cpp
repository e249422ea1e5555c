// Every command of the built `kdr` against the simulated reader over a
// pseudo-terminal: results, exit codes, what went over the line, time taken.
#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "reader.hpp"

namespace kdr::e2e {
namespace {

using namespace std::chrono_literals;

// Generous for a loaded machine, far below a hang.
constexpr Seconds kDeadline = 20s;

std::string iso_date(const LocalDateTime& when) {
    return fmt::format("{:04}-{:02}-{:02}", when.year, when.month, when.day);
}
std::string time_of_day(const LocalDateTime& when) {
    return fmt::format("{:02}:{:02}:{:02}", when.hour, when.minute, when.second);
}

TEST(Open, TheReaderAcceptsTheRightPasswordOnly) {
    SimulatedReader reader(reader_config());
    const ProcessResult accepted = run_kdr(command("open", reader), kDeadline);
    EXPECT_EQ(accepted.exit_code, 0) << accepted.err;
    EXPECT_EQ(accepted.out,
              fmt::format("The reader on {} accepted the password.\n", reader.path()));
    EXPECT_LT(accepted.elapsed, 1.5s);

    const ProcessResult refused =
        run_kdr({"open", "--port", reader.path(), "--password", "guess"}, kDeadline);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err,
              fmt::format("kdr: The reader on {} refused the password.\n", reader.path()));
    EXPECT_TRUE(refused.out.empty());

    ASSERT_EQ(reader.server().requests().size(), 2U);
    EXPECT_EQ(reader.server().requests()[0].verdict, sim::Verdict::Accepted);
    EXPECT_EQ(reader.server().requests()[1].verdict, sim::Verdict::WrongPassword);
}

TEST(Open, PasswordFromTheEnvironmentOrAFile) {
    SimulatedReader reader(reader_config());
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / fmt::format("kdr-password.{}", ::getpid());
    fs::create_directories(folder / "credentials");
    const std::string file = (folder / "password").string();
    std::ofstream(file, std::ios::binary) << "s3cret\r\nsecond line\n";
    struct Case {
        const char* environment;  // KDR_PASSWORD, when set
        const char* credential;   // $CREDENTIALS_DIRECTORY/password, when there
        std::vector<std::string> extra;
        int exit_code;
    };
    // The option wins over the environment, the environment over the
    // service's credential, that over the empty default. A file gives its
    // first line without the line end.
    const std::string missing = (folder / "missing").string();
    const Case cases[] = {
        {"s3cret", nullptr, {}, 0},
        {"guess", nullptr, {}, 1},
        {"guess", nullptr, {"--password", "s3cret"}, 0},
        {"guess", nullptr, {"--password-file", file}, 0},
        {nullptr, "s3cret\n", {}, 0},
        {nullptr, "guess", {"--password-file", file}, 0},
        {"guess", "s3cret", {}, 1},
        {nullptr, nullptr, {"--password-file", missing}, 2},
        {nullptr, nullptr, {"--password", "s3cret", "--password-file", file}, 2},
    };
    for (const Case& c : cases) {
        if (c.environment != nullptr) {
            ::setenv("KDR_PASSWORD", c.environment, 1);
        }
        if (c.credential != nullptr) {
            std::ofstream(folder / "credentials" / "password", std::ios::binary) << c.credential;
            ::setenv("CREDENTIALS_DIRECTORY", (folder / "credentials").c_str(), 1);
        }
        std::vector<std::string> args{"open", "--port", reader.path()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ProcessResult result = run_kdr(args, kDeadline);
        ::unsetenv("KDR_PASSWORD");
        ::unsetenv("CREDENTIALS_DIRECTORY");
        const std::string name =
            fmt::format("{} / {} / {}", c.environment ? c.environment : "-",
                        c.credential ? c.credential : "-", fmt::join(c.extra, " "));
        EXPECT_EQ(result.exit_code, c.exit_code) << name << ": " << result.err;
        if (c.exit_code == 2) {
            EXPECT_EQ(result.err.rfind("kdr: --password", 0), 0U) << name << ": " << result.err;
        }
    }
    EXPECT_NE(run_kdr({"open", "--port", reader.path(), "--password-file", missing}, kDeadline)
                  .err.find(missing + ": the file cannot be read (No such file or directory)"),
              std::string::npos);
    fs::remove_all(folder);
}

TEST(Open, TraceDumpsEveryByteWithTimestamps) {
    SimulatedReader reader(reader_config());
    const ProcessResult result = run_kdr(command("open", reader, {"--trace"}), kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    // The request "P" + "s3cret  " and the acknowledgement, in hex and as text.
    EXPECT_NE(result.err.find("] > 02 50 73 33 63 72 65 74 20 20 0d"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("|.Ps3cret  ."), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("] < 02 06 0d 33 03"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("open " + reader.path() + " 19200,n,8,1"), std::string::npos);
    EXPECT_NE(result.err.find("close " + reader.path()), std::string::npos);
}

// ---- download: golden outputs generated from the reader's records ----------

struct Golden {
    const char* name;
    std::vector<std::string> options;
    bool machine_id;
    bool dates;
    bool platform_line_ends;
};

void PrintTo(const Golden& golden, std::ostream* out) {
    *out << golden.name;
}

class DownloadGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(DownloadGolden, WritesTheControllersResult) {
    const Golden& golden = GetParam();
    SimulatedReader reader(reader_config());
    const ProcessResult result = run_kdr(command("download", reader, golden.options), kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    std::string expected =
        expected_download(reader.server().records(), golden.machine_id, golden.dates);
    if (golden.platform_line_ends) {
        expected = lf_lines(expected);
    }
    EXPECT_EQ(result.out, expected);
    EXPECT_TRUE(result.err.empty()) << result.err;
    // The command's own connection, then the download's, then its request.
    EXPECT_EQ(reader.letters(), "PD");
    EXPECT_LT(result.elapsed, 3s);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DownloadGolden,
    ::testing::Values(
        Golden{"RawPlain", {"--raw"}, false, false, false},
        Golden{"RawWithIdAndDates", {"--raw", "--machine-id", "--rtc"}, true, true, false},
        Golden{"TextPlain", {}, false, false, true},
        Golden{"TextWithDates", {"--rtc", "--format", "text"}, false, true, true},
        Golden{"TextWithId", {"--machine-id"}, true, false, true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Download, JsonGoldenFromTheReadersRecords) {
    SimulatedReader reader(reader_config());
    const ProcessResult result =
        run_kdr(command("download", reader, {"--format", "json"}), kDeadline);
    ASSERT_EQ(result.exit_code, 0) << result.err;

    nlohmann::json expected;
    expected["machine_id"] = kMachineId;
    const std::vector<sim::Record> records = reader.server().records();
    expected["record_count"] = records.size();
    expected["received"] = records.size();
    expected["complete"] = true;
    expected["records"] = nlohmann::json::array();
    for (const sim::Record& record : records) {
        expected["records"].push_back(
            {{"timestamp", iso_date(record.stamp) + "T" + time_of_day(record.stamp)},
             {"date", iso_date(record.stamp)},
             {"time", time_of_day(record.stamp)},
             {"date_line",
              fmt::format("{:04}/{:02}/{:02} {}", record.stamp.year, record.stamp.month,
                          record.stamp.day, time_of_day(record.stamp))},
             {"text", record.text}});
    }
    EXPECT_EQ(nlohmann::json::parse(result.out), expected);
}

TEST(Download, CsvGoldenFromTheReadersRecordsToAFile) {
    SimulatedReader reader(reader_config());
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / fmt::format("kdr-e2e-{}.csv", ::getpid());
    const ProcessResult result =
        run_kdr(command("download", reader, {"--format", "csv", "-o", file.string()}), kDeadline);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(result.out.empty());
    EXPECT_EQ(result.err, fmt::format("kdr: 10 record(s) written to {}\n", file.string()));

    std::string expected = "machine_id,record_count,record,timestamp,date,time,date_line,text\n";
    const std::vector<sim::Record> records = reader.server().records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        // One record holds a comma and quotes: CSV quotes it and doubles them.
        const std::string text =
            records[i].text == "LOT \"7\", BIN 3" ? "\"LOT \"\"7\"\", BIN 3\"" : records[i].text;
        const std::string date = iso_date(records[i].stamp);
        const std::string time = time_of_day(records[i].stamp);
        std::string line = date + " " + time;
        std::replace(line.begin(), line.end(), '-', '/');
        expected += fmt::format("{},{},{},{}T{},{},{},{},{}\n", kMachineId, records.size(), i + 1,
                                date, time, date, time, line, text);
    }
    std::ifstream in(file, std::ios::binary);
    std::stringstream written;
    written << in.rdbuf();
    EXPECT_EQ(written.str(), expected);
    std::filesystem::remove(file);
}

TEST(Download, AtTheLineRateTakesTheTimeTheCharactersNeed) {
    sim::ReaderConfig config = reader_config({}, sim::Pacing::LineRate);
    config.records = sim::sample_records(60, config.clock);
    SimulatedReader reader(config);
    const std::size_t characters = sim::download_answer(kMachineId, config.records).size();
    ASSERT_GT(characters, 1200U);
    const ProcessResult result =
        run_kdr(command("download", reader, {"--raw", "--rtc"}), kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, expected_download(config.records, false, true));
    // No download is quicker than its characters on the line; the waits
    // around them end with what they wait for.
    const Seconds on_the_line{static_cast<double>(characters) / 1920.0};
    EXPECT_GT(result.elapsed, on_the_line);
    EXPECT_LT(result.elapsed, on_the_line + 3s);
}

// ---- sync-time and erase ------------------------------------------------------

TEST(SyncTime, SetsTheReadersClockToTheHostsTime) {
    sim::ReaderConfig config = reader_config();
    config.clock = {2001, 2, 3, 4, 5, 6};
    SimulatedReader reader(config);
    const ProcessResult result = run_kdr(command("sync-time", reader), kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(reader.letters(), "PTR");
    const LocalDateTime host = ConsoleHost().Now();
    const LocalDateTime clock = reader.server().reader_clock();
    // The reader's clock as read back, on standard output.
    EXPECT_EQ(result.out.rfind(iso_date(host), 0), 0U) << result.out;
    // Standard output here is a pipe: the note says where the clock went.
    EXPECT_NE(result.err.find("(its clock, read back, was written to standard output)"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(iso_date(clock), iso_date(host));
    EXPECT_LT(std::abs((clock.hour * 3600 + clock.minute * 60 + clock.second) -
                       (host.hour * 3600 + host.minute * 60 + host.second)),
              5);
    // The reader's second before its clock is read back.
    EXPECT_GT(result.elapsed, 1s);
    EXPECT_LT(result.elapsed, 3s);
}

TEST(Erase, WithYesTheReaderForgetsItsRecords) {
    SimulatedReader reader(reader_config());
    const ProcessResult result = run_kdr(command("erase", reader, {"--yes"}), kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out,
              fmt::format("Erased the reader KDR00077 on {}: read back, it holds no record.\n",
                          reader.path()));
    EXPECT_EQ(reader.letters(), "PDPEPD");  // read first, erased, read back
    EXPECT_TRUE(reader.server().records().empty());
    EXPECT_LT(result.elapsed, 3s);

    const ProcessResult after = run_kdr(command("download", reader, {"--machine-id"}), kDeadline);
    EXPECT_EQ(after.exit_code, 0) << after.err;
    EXPECT_EQ(after.out, "Machine ID: KDR00077\n\n0 record(s) received\n \n");
}

// On a terminal the command asks; the answer is typed into the terminal.
class EraseOnATerminal : public ::testing::TestWithParam<const char*> {};

TEST_P(EraseOnATerminal, AsksFirst) {
    const std::string answer = GetParam();
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::write(master, (answer + "\n").data(), answer.size() + 1),
              static_cast<ssize_t>(answer.size() + 1));

    SimulatedReader reader(reader_config());
    const ProcessResult result = run_kdr(command("erase", reader), kDeadline, terminal);
    ::close(terminal);
    ::close(master);
    EXPECT_NE(result.err.find("Erase the reader KDR00077 on " + reader.path() +
                              "? It holds 10 record(s). This cannot be undone. [y/N] "),
              std::string::npos)
        << result.err;
    if (answer == "y") {
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(reader.letters(), "PDPEPD");
        EXPECT_TRUE(reader.server().records().empty());
    } else {
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_NE(result.err.find("kdr: nothing was erased"), std::string::npos);
        EXPECT_EQ(reader.letters(), "PD");  // read, not erased
        EXPECT_EQ(reader.server().records().size(), 10U);
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, EraseOnATerminal, ::testing::Values("y", "n"),
                         [](const auto& param) { return std::string(param.param); });

// ---- demo and ports -------------------------------------------------------

TEST(Demo, DownloadsFromTheBuiltInSimulator) {
    const ProcessResult result = run_kdr({"demo"}, kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(result.out.starts_with("Machine ID: KDR00042\n\n12 record(s) received\n \n"))
        << result.out;
    EXPECT_NE(result.out.find("ITEM 00001 QTY 8"), std::string::npos);
    EXPECT_NE(result.err.find("\nkdr: running kdr download --port /dev/pts/"), std::string::npos)
        << result.err;
    EXPECT_LT(result.elapsed, 5s);
}

TEST(Ports, ListsOrSaysThereIsNothing) {
    const ProcessResult result = run_kdr({"ports", "--all"}, kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const bool table = result.out.starts_with("PORT  DEVICE");
    const bool nothing = result.out.starts_with("No serial devices found.");
    EXPECT_TRUE(table || nothing) << result.out;
}

}  // namespace
}  // namespace kdr::e2e
