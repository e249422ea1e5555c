// The C++ API against the simulated reader on a pseudo-terminal: plain
// results, progress as the answer arrives, failures as kdr::Error.
#include "kdr/reader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "kdr/posix_platform.hpp"
#include "kdr/simulator.hpp"

namespace kdr {
namespace {

namespace sim = kdr::simulator;

class ReaderApi : public ::testing::Test {
  protected:
    void serve(const std::vector<std::string>& faults = {},
               sim::Pacing pacing = sim::Pacing::Fast) {
        sim::ReaderConfig config;
        config.password = "1234";
        config.machine_id = "    0042";  // a right-aligned number
        config.clock = ConsoleHost().Now();
        config.records = sim::sample_records(40, sim::add_seconds(config.clock, -3600));
        config.pacing = pacing;
        for (const std::string& fault : faults) {
            config.faults.push_back(sim::parse_fault(fault));
        }
        server_ = std::make_unique<sim::PtyServer>(std::move(config));
        server_->start();
    }
    void TearDown() override {
        if (server_) {
            server_->stop();
        }
    }
    [[nodiscard]] std::string path() const { return server_->device_path(); }

    std::unique_ptr<sim::PtyServer> server_;
};

TEST_F(ReaderApi, DownloadsWithProgressSyncsAndErases) {
    serve();
    const std::vector<sim::Record> stored = server_->records();
    std::vector<DownloadProgress> seen;
    ReaderOptions options;
    options.on_progress = [&](const DownloadProgress& progress) { seen.push_back(progress); };
    Reader reader(open_port(path()), "1234", std::move(options));

    const Download download = reader.download();
    EXPECT_TRUE(download.complete());
    EXPECT_EQ(download.machine_id, "    0042");
    ASSERT_EQ(download.records.size(), stored.size());
    EXPECT_EQ(download.records.back().text, stored.back().text);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().records, stored.size());
    EXPECT_EQ(seen.back().announced, std::optional<std::int32_t>(40));
    EXPECT_EQ(seen.back().characters, sim::download_answer("    0042", stored).size());

    const LocalDateTime clock = reader.sync_clock();
    EXPECT_EQ(clock.year, ConsoleHost().Now().year);
    EXPECT_EQ(reader.erase(), EraseReply::Acknowledged);
    EXPECT_TRUE(reader.download().records.empty());
}

TEST_F(ReaderApi, HoldsItsPortForItsWholeLifeAndMoves) {
    serve();
    Reader first(open_port(path()), "1234");
    try {
        Reader second(open_port(path()), "1234");
        ADD_FAILURE() << "a second Reader opened a held port";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::PortBusy) << error.what();
    }
    Reader moved = std::move(first);
    EXPECT_TRUE(moved.download().complete());
    { const Reader gone = std::move(moved); }
    Reader again(open_port(path()), "1234");
    EXPECT_EQ(again.download().records.size(), 40U);
}

TEST_F(ReaderApi, AnExceptionFromTheWaitCheckEndsADownloadWithinASlice) {
    serve({}, sim::Pacing::LineRate);  // about 0.6 s of answer
    struct Stop {};
    using Steady = std::chrono::steady_clock;
    std::optional<Steady::time_point> stop_at;
    ReaderOptions options;
    options.on_progress = [&](const DownloadProgress&) {
        if (!stop_at) {
            stop_at = Steady::now() + std::chrono::milliseconds(120);
        }
    };
    options.on_wait = [&] {
        if (stop_at && Steady::now() >= *stop_at) {
            throw Stop{};
        }
    };
    {
        Reader reader(open_port(path()), "1234", std::move(options));
        EXPECT_THROW(static_cast<void>(reader.download()), Stop);
        ASSERT_TRUE(stop_at.has_value());
        EXPECT_LT(Steady::now() - *stop_at, std::chrono::milliseconds(100));
    }
    // The rest of the answer passes before the next Reader connects.
    Reader again(open_port(path()), "1234");
    EXPECT_TRUE(again.download().complete());
}

TEST_F(ReaderApi, FailuresAreThrownWithTheirKind) {
    const struct {
        std::vector<std::string> faults;
        const char* password;
        ErrorKind kind;
        int step;  // 0 connect, 1 download, 2 sync, 3 erase
    } cases[] = {
        {{}, "wrong", ErrorKind::Refused, 0},
        {{}, "", ErrorKind::Refused, 0},
        {{"silent:P"}, "1234", ErrorKind::NoAnswer, 0},
        {{"refuse:T"}, "1234", ErrorKind::Refused, 2},
        {{"refuse:E"}, "1234", ErrorKind::Refused, 3},
    };
    for (const auto& c : cases) {
        serve(c.faults);
        try {
            Reader reader(open_port(path()), c.password);
            if (c.step == 2) {
                reader.sync_clock();
            } else if (c.step == 3) {
                reader.erase();
            }
            ADD_FAILURE() << "no error at step " << c.step;
        } catch (const Error& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.what();
            if (std::string_view(c.password).empty()) {
                EXPECT_NE(std::string(error.what()).find("No password was given"),
                          std::string::npos)
                    << error.what();
            }
            if (c.kind == ErrorKind::NoAnswer) {
                // Named as the user gave the port.
                EXPECT_NE(std::string(error.what()).find(path()), std::string::npos)
                    << error.what();
            }
        }
        server_->stop();
    }
    EXPECT_THROW(Reader(open_port("/dev/kdr-no-such-device"), ""), Error);
}

}  // namespace
}  // namespace kdr
