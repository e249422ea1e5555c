// The simulator's pseudo-terminal server, and `kdr simulate` serving a host
// application on the same machine.
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "kdr/controller.hpp"
#include "kdr/memory_progress_bar.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/text_encoding.hpp"
#include "reader.hpp"

namespace kdr::e2e {
namespace {

using namespace std::chrono_literals;
using SteadyTime = std::chrono::steady_clock;

int open_descriptors() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (::readdir(dir) != nullptr) {
        ++count;
    }
    ::closedir(dir);
    return count;
}

/// A host application: the controller on the POSIX platform, its port 1 the
/// given device.
struct Host {
    explicit Host(const std::string& device) {
        controller = std::make_unique<KDRController>(
            [device](std::int16_t) { return make_byte_port(device); },
            std::make_unique<MemoryProgressBar>(), console, clock);
    }
    bool open(const std::string& password) {
        Variant port(std::int16_t{1});
        return controller->OpenKDR(Variant(password), port) == kVariantTrue;
    }
    std::ostringstream messages;
    ConsoleHost console{messages};
    SteadyClock clock;
    std::unique_ptr<KDRController> controller;
};

TEST(PtyServer, StopsPromptlyAndLeavesNoDescriptorsBehind) {
    const int before = open_descriptors();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 10; ++i) {
        sim::PtyServer server(reader_config());
        if (i % 2 == 0) {
            server.start();
            const auto start = SteadyTime::now();
            server.stop();
            EXPECT_LT(SteadyTime::now() - start, 200ms);
            server.stop();  // again: nothing happens
            EXPECT_THROW(server.start(), Error);
        }
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(PtyServer, ServesOnTheCallersThreadUntilAskedToStop) {
    sim::PtyServer server(reader_config());
    std::thread host([&server] {
        Host app(server.device_path());
        EXPECT_TRUE(app.open(kPassword));
        server.request_stop();
    });
    const auto start = SteadyTime::now();
    server.run();
    host.join();
    EXPECT_LT(SteadyTime::now() - start, 2s);
    EXPECT_EQ(server.requests().size(), 1U);
    EXPECT_FALSE(server.failure());
}

TEST(Simulate, AHostApplicationUsesTheDeviceAsAReader) {
    BackgroundKdr simulator({"simulate", "--password", "pw", "--records", "3", "--record",
                             "HOST TEST", "--fast", "--id", "SIM00001"});
    const std::optional<std::string> device = simulator.read_line(5s);
    ASSERT_TRUE(device) << "no device path printed";
    ASSERT_TRUE(device->starts_with("/dev/pts/")) << *device;

    // A host application through the controller ...
    {
        Host app(*device);
        ASSERT_TRUE(app.open("pw")) << app.controller->LastFailure().description;
        app.controller->put_ShowMachineID(kVariantTrue);
        const std::string text = app.controller->DownloadData();
        EXPECT_TRUE(text.starts_with("Machine ID: SIM00001\r\n\r\n4 record(s) received\r\n"))
            << text;
        EXPECT_NE(text.find("HOST TEST\r\n"), std::string::npos);
        EXPECT_EQ(app.controller->SyncUpHostTime(), kVariantTrue);
    }
    // ... and the command, on the same device.
    const ProcessResult json =
        run_kdr({"download", "--port", *device, "--password", "pw", "--format", "json"}, 20s);
    EXPECT_EQ(json.exit_code, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out).at("records").size(), 4U);
    ASSERT_TRUE(simulator.wait_for_err("request D: accepted", 5s));

    const ProcessResult stopped = simulator.stop(SIGINT, 5s);
    EXPECT_FALSE(stopped.timed_out);
    EXPECT_EQ(stopped.exit_code, 0);
    EXPECT_LT(stopped.elapsed, 1s);
    EXPECT_NE(stopped.err.find("KDR reader simulator on " + *device), std::string::npos);
    EXPECT_NE(stopped.err.find("request P: accepted"), std::string::npos);
    EXPECT_NE(stopped.err.find("request T: accepted"), std::string::npos);
    EXPECT_NE(stopped.err.find("kdr: simulator stopped"), std::string::npos);
}

TEST(Simulate, ALineDropMovesTheReaderToANewDevice) {
    BackgroundKdr simulator({"simulate", "--fault", "drop", "--fast"});
    const std::optional<std::string> device = simulator.read_line(5s);
    ASSERT_TRUE(device);
    const ProcessResult dropped = run_kdr({"download", "--port", *device}, 20s);
    EXPECT_EQ(dropped.exit_code, 1);
    EXPECT_NE(dropped.err.find("the line was dropped"), std::string::npos) << dropped.err;
    ASSERT_TRUE(simulator.wait_for_err("the reader now answers on", 5s));

    const ProcessResult stopped = simulator.stop(SIGTERM, 5s);
    EXPECT_EQ(stopped.exit_code, 0);
    EXPECT_NE(stopped.err.find("the line to " + *device + " dropped; the reader now answers on"),
              std::string::npos)
        << stopped.err;
}

TEST(Simulate, TextsAndIdAreStoredInTheCodePageTheDownloadReads) {
    const struct {
        const char* encoding;
        const char* id;
        const char* record;
    } cases[] = {
        {"cp1252", "K\u00e9R", "Gr\u00f6\u00dfe 5\u20ac"},
        {"cp1252", "ABCDEFG\u00e9", "Gr\u00f6\u00dfe"},  // eight bytes in the code page
        {"latin1", "K\u00e9R", "Gr\u00f6\u00dfe \u00bd"},
        {"utf8", "K\u0142", "Z\u0142oty"},  // padded to eight bytes, not characters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoding + std::string(" ") + c.id);
        BackgroundKdr simulator(
            {"simulate", "--fast", "--encoding", c.encoding, "--id", c.id, "--record", c.record});
        const std::optional<std::string> device = simulator.read_line(5s);
        ASSERT_TRUE(device) << simulator.stop(SIGTERM, 5s).err;
        const ProcessResult json = run_kdr(
            {"download", "--port", *device, "--format", "json", "--encoding", c.encoding}, 20s);
        ASSERT_EQ(json.exit_code, 0) << json.err;
        const nlohmann::json parsed = nlohmann::json::parse(json.out);
        EXPECT_EQ(trim_spaces(parsed.at("machine_id").get<std::string>()), c.id);
        ASSERT_EQ(parsed.at("records").size(), 1U);
        EXPECT_EQ(parsed.at("records")[0].at("text"), c.record);
    }
}

TEST(Simulate, RefusesWhatNoReaderHoldsAtOnce) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--record", "Z\u0142oty"}, "\"\u0142\" (U+0142) is no character of Windows-1252"},
        {{"--encoding", "latin1", "--id", "5\u20ac"}, "\"\u20ac\" (U+20AC) is no character"},
        {{"--id", "ABCDEFG\u00e9\u00e9"}, "9 bytes in cp1252"},
        {{"--encoding", "utf8", "--id", "ABCDEFG\u00e9"}, "9 bytes in utf8"},
        {{"--encoding", "ebcdic"}, "--encoding ebcdic"},
        {{"--records", "100000"}, "0 to 99999"},
        {{"--records", "99999", "--record", "ONE MORE"}, "100000 records"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"simulate", "--fast"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult refused = run_kdr(args, 10s);
        EXPECT_EQ(refused.exit_code, 2) << ::testing::PrintToString(c.args);
        EXPECT_NE(refused.err.find(c.message), std::string::npos) << refused.err;
        EXPECT_TRUE(refused.out.empty()) << refused.out;
        // Before any record is made: 99,999 sample records would take longer.
        EXPECT_LT(refused.elapsed, 2s) << ::testing::PrintToString(c.args);
    }
}

TEST(Simulate, ThePathFileNamesTheNewDeviceAfterALineDrop) {
    namespace fs = std::filesystem;
    const fs::path path_file =
        fs::temp_directory_path() / fmt::format("kdr-sim-path-{}", ::getpid());
    fs::remove(path_file);
    BackgroundKdr simulator(
        {"simulate", "--fast", "--fault", "drop:D@1", "--path-file", path_file.string()});
    // The file's text once it is other than `old`: it is renamed into place
    // right after standard output or the log line says so.
    const auto named_other_than = [&path_file](const std::string& old) {
        std::string named;
        for (const auto until = SteadyTime::now() + 2s; SteadyTime::now() < until;) {
            named = read_file_text(path_file.string());
            if (named != old) {
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        return named;
    };
    const std::optional<std::string> first = simulator.read_line(5s);
    ASSERT_TRUE(first);
    EXPECT_EQ(named_other_than(""), *first + "\n");

    const ProcessResult dropped = run_kdr({"download", "--port", *first}, 20s);
    EXPECT_EQ(dropped.exit_code, 1) << dropped.err;
    ASSERT_TRUE(simulator.wait_for_err("the reader now answers on", 5s));
    const std::string named = named_other_than(*first + "\n");
    ASSERT_TRUE(named.starts_with("/dev/pts/") && named.ends_with("\n")) << named;
    const std::string second = named.substr(0, named.size() - 1);
    EXPECT_NE(second, *first);
    // The file names the device the reader answers on now.
    const ProcessResult downloaded = run_kdr({"download", "--port", second}, 20s);
    EXPECT_EQ(downloaded.exit_code, 0) << downloaded.err;
    EXPECT_EQ(simulator.stop(SIGTERM, 5s).exit_code, 0);
    fs::remove(path_file);
}

}  // namespace
}  // namespace kdr::e2e
