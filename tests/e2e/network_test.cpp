// The built `kdr` against the simulated reader behind a real ser2net: once
// as a raw TCP port, once as a Telnet port with RFC 2217 control.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "reader.hpp"
#include "tests/support/ser2net.hpp"

namespace kdr::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr Seconds kDeadline = 20s;

using testing::free_port;
using testing::Ser2net;
using testing::ser2net_binary;

/// A record holding every byte the reader can keep: 1 to 255 (its text may
/// hold anything but "?" followed by CR, and 63 is followed by 64 here).
sim::Record every_byte_record() {
    std::string text;
    for (int byte = 1; byte <= 255; ++byte) {
        text += static_cast<char>(byte);
    }
    text += std::string(3, '\xFF');  // IAC runs, as Telnet escapes them
    return {ConsoleHost().Now(), text, 'Z'};
}

class Network : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        binary_ = ser2net_binary();
        if (!binary_) {
            GTEST_SKIP() << "ser2net is not installed (scripts/ensure-deps.sh installs it)";
        }
    }
    std::optional<std::string> binary_;
};

std::vector<std::string> on(const std::string& word, const std::string& name,
                            std::vector<std::string> extra = {}) {
    std::vector<std::string> args{name, "--port", word, "--password", kPassword};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST_P(Network, EveryCommandThroughTheDeviceServer) {
    sim::ReaderConfig config = reader_config();
    config.records.push_back(every_byte_record());
    config.clock = sim::add_seconds(config.clock, -400 * 86400);  // for sync-time to correct
    SimulatedReader reader(config);
    Ser2net server(*binary_, reader.path(), GetParam());

    // What the pseudo-terminal gives directly is what the network must give.
    const ProcessResult direct = run_kdr(command("download", reader, {"--raw"}), kDeadline);
    ASSERT_EQ(direct.exit_code, 0) << direct.err;
    const ProcessResult download = run_kdr(on(server.word(), "download", {"--raw"}), kDeadline);
    EXPECT_EQ(download.exit_code, 0) << download.err << server.log_text();
    EXPECT_EQ(download.out, direct.out);
    EXPECT_NE(download.out.find(config.records.back().text), std::string::npos);

    const ProcessResult sync = run_kdr(on(server.word(), "sync-time"), kDeadline);
    EXPECT_EQ(sync.exit_code, 0) << sync.err;
    EXPECT_EQ(reader.server().reader_clock().year, ConsoleHost().Now().year);

    const fs::path db = fs::temp_directory_path() / fmt::format("kdr-net-{}.sqlite", ::getpid());
    fs::remove(db);
    const ProcessResult collect =
        run_kdr(on(server.word(), "collect", {"--db", db.string()}), kDeadline);
    EXPECT_EQ(collect.exit_code, 0) << collect.err;
    const ProcessResult exported = run_kdr({"export", "--db", db.string()}, kDeadline);
    EXPECT_EQ(exported.exit_code, 0) << exported.err;
    std::size_t rows = 0;  // the every-byte record's LF sits inside its quoted text
    for (std::size_t at = 0;
         (at = exported.out.find("\n" + kMachineId + ",", at)) != std::string::npos; ++at) {
        ++rows;
    }
    EXPECT_EQ(rows, config.records.size()) << exported.out;
    fs::remove(db);

    const ProcessResult erase = run_kdr(on(server.word(), "erase", {"--yes"}), kDeadline);
    EXPECT_EQ(erase.exit_code, 0) << erase.err;
    EXPECT_TRUE(reader.server().records().empty());
}

TEST_P(Network, ServerKilledMidDownloadErasesNothing) {
    sim::ReaderConfig config = reader_config({}, sim::Pacing::LineRate);
    config.records = sim::sample_records(150, ConsoleHost().Now());
    SimulatedReader reader(config);
    Ser2net server(*binary_, reader.path(), GetParam());
    const fs::path db = fs::temp_directory_path() / fmt::format("kdr-kill-{}.sqlite", ::getpid());
    fs::remove(db);

    BackgroundKdr collect(on(server.word(), "collect", {"--erase", "--db", db.string()}));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (reader.letters().find('D') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(300ms);
    server.kill();
    const ProcessResult result = collect.stop(0, kDeadline);
    fs::remove(db);

    EXPECT_EQ(result.exit_code, 1) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(result.err.starts_with("kdr: ")) << result.err;
    EXPECT_NE(result.err.find("closed the connection"), std::string::npos) << result.err;
    EXPECT_EQ(reader.letters().find('E'), std::string::npos) << reader.letters();
    EXPECT_EQ(reader.server().records().size(), 150U);
}

// The station tells a device server that is down from an empty cradle, and
// collects once the server is back.
TEST_P(Network, StationSaysWhenTheServerIsDown) {
    SimulatedReader reader(reader_config());
    const int port = free_port();
    const std::string word = fmt::format("{}://127.0.0.1:{}", GetParam() ? "rfc2217" : "tcp", port);
    const fs::path db =
        fs::temp_directory_path() / fmt::format("kdr-station-{}.sqlite", ::getpid());
    fs::remove(db);
    // Said once, whatever the failure (nothing listening, a connection that
    // closed), and again when it works.
    const std::string down = fmt::format("kdr: {}: ", word);
    const std::string retrying = "; retrying every 2 s, said again when it works";

    BackgroundKdr station(on(word, "collect", {"--watch", "--db", db.string()}));
    ASSERT_TRUE(station.read_line(10s).has_value());  // "watching ..."
    const std::optional<std::string> first = station.read_line(10s);
    ASSERT_TRUE(first.has_value());
    EXPECT_NE(first->find(down), std::string::npos) << *first;
    EXPECT_NE(first->find(retrying), std::string::npos) << *first;
    {
        const Ser2net server(*binary_, reader.path(), GetParam(), port);
        const std::optional<std::string> back = station.read_line(15s);
        ASSERT_TRUE(back.has_value());
        EXPECT_NE(back->find(word + " works again"), std::string::npos) << *back;
        const std::optional<std::string> collected = station.read_line(15s);
        ASSERT_TRUE(collected.has_value());
        EXPECT_NE(collected->find(fmt::format("{} on {}: 10 new", kMachineId, word)),
                  std::string::npos)
            << *collected;
    }
    const std::optional<std::string> again = station.read_line(10s);
    ASSERT_TRUE(again.has_value());
    EXPECT_NE(again->find(down), std::string::npos) << *again;
    EXPECT_NE(again->find(retrying), std::string::npos) << *again;
    const ProcessResult stopped = station.stop(SIGINT, 10s);
    fs::remove(db);
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
}

INSTANTIATE_TEST_SUITE_P(Ser2net, Network, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Rfc2217" : "Tcp"; });

TEST(NetworkPort, NothingListeningIsOneSentence) {
    const std::string word = fmt::format("tcp://127.0.0.1:{}", free_port());
    const ProcessResult result = run_kdr({"download", "--port", word}, kDeadline);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, fmt::format("kdr: {}: nothing listens on {}: check the device server "
                                      "is running and the port number\n",
                                      word, word.substr(6)));
    EXPECT_LT(result.elapsed, 2s);
}

}  // namespace
}  // namespace kdr::e2e
