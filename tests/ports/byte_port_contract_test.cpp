// The contract every byte port keeps, over each kind of line: a
// pseudo-terminal, and ser2net in front of one, raw and with RFC 2217.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "kdr/byte_port.hpp"
#include "kdr/error.hpp"
#include "kdr/port_factory.hpp"
#include "tests/ports/pty.hpp"
#include "tests/support/ser2net.hpp"

namespace kdr {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using testing::expect_error;

enum class Line { Pty, Ser2netTcp, Ser2netRfc2217 };

std::string_view name_of(Line line) {
    switch (line) {
        case Line::Pty:
            return "Pty";
        case Line::Ser2netTcp:
            return "Ser2netTcp";
        default:
            return "Ser2netRfc2217";
    }
}

// Test names show the line by name rather than its bytes.
void PrintTo(Line line, std::ostream* out) {
    *out << name_of(line);
}

/// The reader's side of the line.
class FarEnd {
  public:
    FarEnd(Line line, const std::string& ser2net) {
        if (line != Line::Pty) {
            server_.emplace(ser2net, pty_.path(), line == Line::Ser2netRfc2217);
        }
    }
    [[nodiscard]] std::string word() const { return server_ ? server_->word() : pty_.path(); }
    void send(std::string_view bytes) const { pty_.send(bytes); }
    [[nodiscard]] std::string receive(std::size_t count) const { return pty_.receive(count); }
    /// The line goes away: the pseudo-terminal hangs up, the server dies.
    void hang_up() {
        if (server_) {
            server_->kill();
        } else {
            pty_.close_master();
        }
    }

  private:
    testing::Pty pty_;
    std::optional<testing::Ser2net> server_;
};

/// Reads until `count` bytes came or `within` passed.
std::string read_count(BytePort& port, std::size_t count, std::chrono::seconds within = 10s) {
    std::string got;
    const auto deadline = steady_clock::now() + within;
    while (got.size() < count && steady_clock::now() < deadline) {
        (void)port.read(got, deadline);
    }
    return got;
}

/// What available() counts once `count` bytes arrived, or after a while.
std::size_t wait_available(BytePort& port, std::size_t count) {
    const auto deadline = steady_clock::now() + 10s;
    std::size_t waiting = port.available();
    while (waiting < count && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        waiting = port.available();
    }
    return waiting;
}

class BytePortContract : public ::testing::TestWithParam<Line> {
  protected:
    void SetUp() override {
        std::string ser2net;
        if (GetParam() != Line::Pty) {
            const std::optional<std::string> binary = testing::ser2net_binary();
            if (!binary) {
                GTEST_SKIP() << "ser2net is not installed (scripts/ensure-deps.sh installs it)";
            }
            ser2net = *binary;
        }
        far_ = std::make_unique<FarEnd>(GetParam(), ser2net);
        port_ = make_byte_port(far_->word());
    }

    /// Opens the port and waits until a byte went through, so that a server
    /// has the device open before the far end sends.
    void open() {
        port_->open(LineSettings{});
        sync();
    }

    /// A byte out and at the far end: what the port asked of the line
    /// before it (a server's purge) is done.
    void sync() {
        port_->write("+");
        ASSERT_EQ(far_->receive(1), "+");
    }

    std::unique_ptr<FarEnd> far_;
    std::unique_ptr<BytePort> port_;
};

TEST_P(BytePortContract, OpensClosesAndIsNamedByItsWord) {
    EXPECT_EQ(port_->name(), far_->word());
    EXPECT_EQ(port_->link(), GetParam() == Line::Pty ? LinkKind::Local : LinkKind::Network);
    EXPECT_EQ(port_->state(), LineState::Closed);
    std::string got;
    const std::vector<std::function<void()>> uses = {
        [&] { (void)port_->read(got, steady_clock::now()); },
        [&] { port_->write("x"); },
        [&] { (void)port_->available(); },
        [&] { port_->discard_input(); },
        [&] { port_->apply(LineSettings{}); },
    };
    for (const auto& use : uses) {
        expect_error(use, ErrorKind::PortNotOpen, port_->name() + " is closed");
    }
    for (int round = 0; round < 2; ++round) {
        open();
        EXPECT_EQ(port_->state(), LineState::Open);
        expect_error([&] { port_->open(LineSettings{}); }, ErrorKind::InvalidArgument,
                     "open already");
        port_->close();
        EXPECT_EQ(port_->state(), LineState::Closed);
        port_->close();  // closing a closed port does nothing
    }
}

TEST_P(BytePortContract, CarriesEveryByteValueInOrderBothWays) {
    open();
    const std::string bytes = testing::all_byte_values() + testing::all_byte_values() + "\xFF\xFF";
    port_->write(bytes);
    EXPECT_EQ(far_->receive(bytes.size()), bytes);
    far_->send(bytes);
    EXPECT_EQ(read_count(*port_, bytes.size()), bytes);
}

TEST_P(BytePortContract, ReadWakesWhenBytesArriveAndWaitsOnlyUntilItsDeadline) {
    open();
    for (const bool while_waiting : {false, true}) {
        SCOPED_TRACE(while_waiting ? "sent while waiting" : "sent before the read");
        std::jthread sender;
        if (while_waiting) {
            sender = std::jthread([this] {
                std::this_thread::sleep_for(200ms);
                far_->send("ping");
            });
        } else {
            far_->send("ping");
        }
        const auto start = steady_clock::now();
        EXPECT_EQ(read_count(*port_, 4, 60s), "ping");
        EXPECT_LT(steady_clock::now() - start, 20s);
    }

    std::string got;
    const auto deadline = steady_clock::now() + 300ms;
    const auto cpu_before = testing::thread_cpu_time();
    EXPECT_EQ(port_->read(got, deadline), 0U);
    EXPECT_GE(steady_clock::now(), deadline);
    EXPECT_LT(testing::thread_cpu_time() - cpu_before, 100ms);  // it slept, it did not spin

    const auto start = steady_clock::now();
    EXPECT_EQ(port_->read(got, start - 1s), 0U);
    EXPECT_LT(steady_clock::now() - start, 1s);
    EXPECT_EQ(got, "");
}

TEST_P(BytePortContract, CountsAndDiscardsWaitingBytes) {
    open();
    EXPECT_EQ(port_->available(), 0U);
    far_->send("abc");
    EXPECT_EQ(wait_available(*port_, 3), 3U);
    port_->discard_input();
    EXPECT_EQ(port_->available(), 0U);
    // A server purges its side too: the bytes sent once it did are kept.
    sync();
    far_->send("de");
    EXPECT_EQ(read_count(*port_, 2), "de");
}

TEST_P(BytePortContract, HandsOverWhatCameBeforeTheLineDropped) {
    open();
    far_->send("tail");
    EXPECT_EQ(wait_available(*port_, 4), 4U);
    far_->hang_up();
    std::string got;
    EXPECT_EQ(port_->read(got, steady_clock::now() + 10s), 4U);
    EXPECT_EQ(got, "tail");
    expect_error([&] { (void)port_->read(got, steady_clock::now() + 10s); }, ErrorKind::LineDropped,
                 port_->name());
    EXPECT_EQ(port_->state(), LineState::Dropped);
    expect_error([&] { (void)port_->available(); }, ErrorKind::LineDropped, port_->name());
    expect_error([&] { port_->write("x"); }, ErrorKind::LineDropped, port_->name());
    port_->close();
    EXPECT_EQ(port_->state(), LineState::Closed);
}

INSTANTIATE_TEST_SUITE_P(Lines, BytePortContract,
                         ::testing::Values(Line::Pty, Line::Ser2netTcp, Line::Ser2netRfc2217),
                         [](const auto& line) { return std::string(name_of(line.param)); });

}  // namespace
}  // namespace kdr
