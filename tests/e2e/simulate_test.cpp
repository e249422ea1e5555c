// The simulator's pseudo-terminal server, and `kdr simulate` serving a host
// application on the same machine.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "kdr/controller.hpp"
#include "kdr/memory_progress_bar.hpp"
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
        PortMap ports;
        ports.assign(1, device);
        controller =
            std::make_unique<KDRController>(std::make_unique<PosixSerialPort>(std::move(ports)),
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

}  // namespace
}  // namespace kdr::e2e
