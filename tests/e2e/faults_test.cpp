// Every fault of the simulated reader against every command of the built
// `kdr`: each ends with its result, a clear message, the right exit code and
// within its time, never with a hang.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "kdr/error.hpp"
#include "reader.hpp"

namespace kdr::e2e {
namespace {

using namespace std::chrono_literals;

constexpr Seconds kDeadline = 20s;

struct FaultCase {
    std::string fault;
    std::string command;
    std::vector<std::string> options;
    int exit_code;
    std::vector<std::string> messages;  // each somewhere on standard error
    std::string letters;                // what the reader received
    Seconds within;
};

std::string case_name(const FaultCase& c) {
    std::string name = c.fault + "_" + c.command;
    for (char& ch : name) {
        if (ch == ':' || ch == '-') {
            ch = '_';
        }
    }
    return name;
}

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << case_name(c);
}

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, EndWithTheirResult) {
    const FaultCase& c = GetParam();
    SimulatedReader reader(reader_config({c.fault}));
    const ProcessResult result = run_kdr(command(c.command, reader, c.options), kDeadline);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    for (const std::string& message : c.messages) {
        EXPECT_NE(result.err.find(message), std::string::npos)
            << "missing \"" << message << "\" in:\n"
            << result.err;
    }
    EXPECT_EQ(reader.letters(), c.letters);
    EXPECT_LT(result.elapsed, c.within);
    if (c.command == "erase") {
        // No fault lets the records go, not even those the erase cannot notice.
        EXPECT_EQ(reader.server().records().size(), 10U);
    }
}

const std::string kNoAnswer = "kdr: The reader did not answer on /dev/pts/";
const std::string kRefused = "refused the password.";
const std::string kNotAck = "is neither its acknowledgement nor its refusal";

std::vector<FaultCase> connection_faults() {
    // A reader that misbehaves on "P" fails every command at its first step.
    std::vector<FaultCase> cases;
    const std::vector<std::pair<std::string, std::string>> faults{
        {"silent", kNoAnswer}, {"refuse", kRefused}, {"garble", kNotAck}, {"short:P", kNoAnswer}};
    for (const auto& [fault, message] : faults) {
        for (const std::string command : {"open", "download", "sync-time", "erase"}) {
            std::vector<std::string> options;
            if (command == "erase") {
                options.emplace_back("--yes");
            }
            cases.push_back({fault, command, options, 1, {message}, "P", 1.5s});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Connection, Faults, ::testing::ValuesIn(connection_faults()),
                         [](const auto& param) { return case_name(param.param); });

INSTANTIATE_TEST_SUITE_P(
    Operations, Faults,
    ::testing::Values(
        // The download: a silent reader leaves an answer without a header.
        FaultCase{"silent:D",
                  "download",
                  {},
                  1,
                  {"The reader sent nothing in answer to the download request"},
                  "PD",
                  3s},
        // The refusal frame as the answer: too short for the header.
        FaultCase{"refuse:D",
                  "download",
                  {},
                  1,
                  {"The reader's answer is too short for its header (5 characters)"},
                  "PD",
                  3s},
        FaultCase{"short:D",
                  "download",
                  {},
                  1,
                  {"The reader's answer is too short for its header (13 characters)"},
                  "PD",
                  3s},
        FaultCase{"drop", "download", {}, 1, {"the line was dropped"}, "PD", 3s},
        // The clock: no acknowledgement, a refusal, a damaged one, a damaged
        // read-back, a read-back too short to use.
        FaultCase{"silent:T",
                  "sync-time",
                  {},
                  1,
                  {"kdr: The reader did not acknowledge the new time on /dev/pts/"},
                  "PT",
                  2s},
        FaultCase{
            "refuse:T", "sync-time", {}, 1, {"kdr: The reader refused the new time."}, "PT", 2s},
        FaultCase{
            "garble:T", "sync-time", {}, 1, {"kdr: The reader refused the new time."}, "PT", 2s},
        FaultCase{"garble:R", "sync-time", {}, 1, {"kdr: The reader's clock reads"}, "PTR", 3s},
        // A read-back that only carries into the time sent is no clock.
        FaultCase{"borrow", "sync-time", {}, 1, {"impossible time"}, "PTR", 3s},
        FaultCase{"short",
                  "sync-time",
                  {},
                  1,
                  {"kdr: The reader acknowledged the new time but did not send its clock back"},
                  "PTR",
                  6s},
        // The erase: a refusal fails; after silence the reader is read back,
        // and still holding its records it fails too.
        FaultCase{"refuse:E",
                  "erase",
                  {"--yes"},
                  1,
                  {"The reader refused to erase its records. They are still in the reader."},
                  "PDPE",
                  4s},
        FaultCase{"silent:E",
                  "erase",
                  {"--yes"},
                  1,
                  {"was told to erase, but read back it still holds 10 record(s): nothing was "
                   "erased"},
                  "PDPEPD",
                  5s}),
    [](const auto& param) { return case_name(param.param); });

TEST(DownloadFaults, BurstsWithShortPausesArriveWhole) {
    sim::ReaderConfig config = reader_config({"bursts"});
    config.burst_size = 250;
    SimulatedReader reader(config);
    const std::size_t characters = sim::download_answer(kMachineId, config.records).size();
    const ProcessResult result =
        run_kdr(command("download", reader, {"--raw", "--rtc"}), kDeadline);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, expected_download(config.records, false, true));
    const auto pauses = static_cast<double>((characters - 1) / 250);
    ASSERT_GE(pauses, 2.0);
    EXPECT_GT(result.elapsed, Seconds(pauses * 0.15));
    EXPECT_LT(result.elapsed, Seconds(pauses * 0.15 + 3.0));
}

TEST(DownloadFaults, APauseLongerThanTheSilenceWaitCutsTheAnswer) {
    SimulatedReader reader(reader_config({"pause"}));
    const std::vector<sim::Record> records = reader.server().records();
    const std::string answer = sim::download_answer(kMachineId, records);
    const ProcessResult result = run_kdr(command("download", reader, {"--raw"}), kDeadline);
    EXPECT_EQ(result.exit_code, 1);
    // What came before the pause is written, as the controller decoded it.
    const std::string first_half = answer.substr(0, answer.size() / 2);
    EXPECT_EQ(result.out, decoded(first_half, false, false));
    const std::size_t complete =
        result.out.size() > 0
            ? static_cast<std::size_t>(std::count(first_half.begin(), first_half.end(), '\r'))
            : 0;
    EXPECT_NE(result.err.find(fmt::format("Only {} of {} record(s) arrived complete", complete,
                                          records.size())),
              std::string::npos)
        << result.err;
    EXPECT_LT(result.elapsed, 3s);
}

// --verify writes what two reads agree on: a damaged read is outvoted, and
// reads that never agree write nothing.
TEST(DownloadFaults, VerifyWritesOnlyWhatTwoReadsAgreeOn) {
    const std::vector<std::pair<std::string, int>> cases{{"garble:D@1", 0}, {"flip", 1}};
    for (const auto& [fault, exit_code] : cases) {
        SimulatedReader reader(reader_config({fault}));
        const std::string whole =
            decoded(sim::download_answer(kMachineId, reader.server().records()), true, true);
        const ProcessResult result = run_kdr(
            command("download", reader, {"--raw", "--machine-id", "--rtc", "--verify"}), kDeadline);
        EXPECT_EQ(result.exit_code, exit_code) << fault << result.err;
        EXPECT_EQ(result.out, exit_code == 0 ? whole : "") << fault;
        EXPECT_EQ(reader.letters(), "PDPDPD") << fault;  // three reads
    }
}

TEST(DownloadFaults, AGarbledAnswerIsNotTakenForTheRecords) {
    SimulatedReader reader(reader_config({"garble:D"}));
    const std::string answer =
        sim::garble(sim::download_answer(kMachineId, reader.server().records()));
    const ProcessResult result =
        run_kdr(command("download", reader, {"--raw", "--machine-id", "--rtc"}), kDeadline);
    EXPECT_EQ(result.exit_code, 1);
    try {
        EXPECT_EQ(result.out, decoded(answer, true, true));
        EXPECT_NE(result.err.find("cut short or damaged"), std::string::npos) << result.err;
    } catch (const Error& error) {
        // A header damaged beyond reading: the controller's message, no output.
        EXPECT_TRUE(result.out.empty());
        EXPECT_NE(result.err.find(error.what()), std::string::npos) << result.err;
    }
}

TEST(DownloadFaults, TheLineDropsAndTheReaderMovesToANewDevice) {
    SimulatedReader reader(reader_config({"drop"}));
    const std::string first = reader.path();
    const ProcessResult dropped = run_kdr(command("download", reader), kDeadline);
    EXPECT_EQ(dropped.exit_code, 1);
    EXPECT_EQ(reader.server().line_drops(), 1);
    EXPECT_NE(reader.path(), first);
    const ProcessResult reopened = run_kdr(command("open", reader), kDeadline);
    EXPECT_EQ(reopened.exit_code, 0) << reopened.err;
}

// A saved file is replaced only by a whole download; what a failed one
// brought goes beside it.
TEST(DownloadFaults, AFailedDownloadLeavesTheSavedFileAsItWas) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / fmt::format("kdr-o-{}", ::getpid());
    fs::create_directories(folder);
    const fs::path file = folder / "records.txt";
    const fs::path partial = folder / "records.txt.partial";
    struct Case {
        std::vector<std::string> faults;
        int exit_code;
        bool replaced;
        bool partial;
    };
    for (const Case& c : {Case{{"pause"}, 1, false, true}, Case{{"silent:D"}, 1, false, false},
                          Case{{"drop"}, 1, false, false}, Case{{}, 0, true, false}}) {
        SCOPED_TRACE(c.faults.empty() ? "sound" : c.faults.front());
        std::ofstream(file, std::ios::binary) << "yesterday's records\n";
        fs::remove(partial);
        SimulatedReader reader(reader_config(c.faults));
        const ProcessResult result =
            run_kdr(command("download", reader, {"-o", file.string()}), kDeadline);
        EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
        EXPECT_EQ(read_file_text(file) == "yesterday's records\n", !c.replaced)
            << read_file_text(file);
        EXPECT_EQ(fs::exists(partial), c.partial) << result.err;
        if (c.partial) {
            EXPECT_NE(result.err.find(partial.string()), std::string::npos) << result.err;
            EXPECT_EQ(read_file_text(partial).rfind("10 record(s) received\n", 0), 0U)
                << read_file_text(partial);
        }
        if (!c.replaced) {
            EXPECT_NE(result.err.find(file.string() + " was left as it was"), std::string::npos)
                << result.err;
        }
    }
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace kdr::e2e
