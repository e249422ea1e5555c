// What the network port does beyond the byte-port contract: the Telnet
// layer, the port words, connect failures, and RFC 2217 against a server
// the test plays and against ser2net.
#include "kdr/network_port.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kdr/error.hpp"
#include "platform/telnet.hpp"
#include "tests/ports/pty.hpp"
#include "tests/support/ser2net.hpp"

namespace kdr {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using testing::expect_error;
namespace telnet = platform::telnet;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int value : values) {
        out += static_cast<char>(value);
    }
    return out;
}

struct DecodeCase {
    const char* name;
    std::string stream;
    std::string data;
    std::vector<telnet::Command> commands;
};

// Every case is fed whole, one byte at a time, and split in two at every
// point: a command cut anywhere must come out the same.
TEST(TelnetDecoder, SameResultHoweverTheStreamIsCut) {
    const std::vector<DecodeCase> cases{
        {"doubled IAC is one data byte",
         bytes({'a', 255, 255, 'b', 255, 255}),
         bytes({'a', 255, 'b', 255}),
         {}},
        {"negotiations between data",
         bytes({'x', 255, 253, 44, 'y', 255, 251, 0}),
         "xy",
         {{telnet::kDo, 44, {}}, {telnet::kWill, 0, {}}}},
        {"subnegotiation with a doubled IAC in its value",
         bytes({255, 250, 44, 101, 0, 0, 255, 255, 0, 255, 240, 'z'}),
         "z",
         {{telnet::kSb, 44, bytes({101, 0, 0, 255, 0})}}},
        {"NOP and GA vanish", bytes({'a', 255, 241, 'b', 255, 249}), "ab", {}},
    };
    for (const DecodeCase& c : cases) {
        std::vector<std::vector<std::string>> cuts{{c.stream}, {}};
        for (const char byte : c.stream) {
            cuts[1].emplace_back(1, byte);
        }
        for (std::size_t at = 1; at < c.stream.size(); ++at) {
            cuts.push_back({c.stream.substr(0, at), c.stream.substr(at)});
        }
        for (const std::vector<std::string>& pieces : cuts) {
            telnet::Decoder decoder;
            std::string data;
            std::vector<telnet::Command> commands;
            for (const std::string& piece : pieces) {
                decoder.feed(piece, data, commands);
            }
            EXPECT_EQ(data, c.data) << c.name << " in " << pieces.size() << " pieces";
            EXPECT_EQ(commands, c.commands) << c.name << " in " << pieces.size() << " pieces";
        }
    }
}

TEST(TelnetEncoding, EscapedDataDecodesToItself) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte) {
        all += static_cast<char>(byte);
    }
    const std::string wire =
        telnet::escape(all) + telnet::subnegotiation(telnet::kComPort, bytes({1, 0, 0, 255, 0}));
    telnet::Decoder decoder;
    std::string data;
    std::vector<telnet::Command> commands;
    decoder.feed(wire, data, commands);
    EXPECT_EQ(data, all);
    ASSERT_EQ(commands.size(), 1U);
    EXPECT_EQ(commands[0].option, telnet::kComPort);
    EXPECT_EQ(commands[0].payload, bytes({1, 0, 0, 255, 0}));
}

TEST(NetworkPortWord, TakesHostAndPortOnly) {
    for (const char* good : {"tcp://127.0.0.1:7001", "rfc2217://server.local:4001",
                             "tcp://[::1]:7001", "tcp://host:1/"}) {
        const NetworkSerialPort port(good);
        EXPECT_EQ(port.name(), good);
        EXPECT_EQ(port.state(), LineState::Closed);
    }
    for (const char* bad :
         {"tcp://", "tcp://host", "tcp://host:", "tcp://:7001", "tcp://host:0", "tcp://host:65536",
          "tcp://host:70x", "tcp://[::1]7001", "tcp://a:b:7001", "udp://host:7001"}) {
        SCOPED_TRACE(bad);
        expect_error([&] { const NetworkSerialPort port(bad); }, ErrorKind::InvalidArgument, bad);
    }
}

/// A loopback listener whose queue of unaccepted connections is full: a
/// further connection is never accepted.
class FullListener {
  public:
    FullListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(fd_, 0), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size), 0);
        port_ = ntohs(address.sin_port);
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(::connect(filler_, reinterpret_cast<sockaddr*>(&address), size), 0);
    }
    ~FullListener() {
        ::close(filler_);
        ::close(fd_);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    [[nodiscard]] int port() const { return port_; }

  private:
    int fd_;
    int filler_ = -1;
    int port_ = 0;
};

TEST(NetworkPort, AServerThatCannotBeReachedIsPortMissing) {
    const FullListener full;
    const int nobody = testing::free_port();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {fmt::format("tcp://127.0.0.1:{}", nobody),
         fmt::format("nothing listens on 127.0.0.1:{}: check the device server is running",
                     nobody)},
        {"rfc2217://kdr-no-such-host.invalid:7001", "kdr-no-such-host.invalid"},
        {fmt::format("tcp://127.0.0.1:{}", full.port()),
         "did not accept the connection within 0.3 s"},
    };
    for (const auto& [word, message] : cases) {
        SCOPED_TRACE(word);
        NetworkSerialPort port(word, 300ms);
        const auto start = steady_clock::now();
        expect_error([&] { port.open(LineSettings{}); }, ErrorKind::PortMissing, message);
        EXPECT_LT(steady_clock::now() - start, 5s);
        EXPECT_EQ(port.state(), LineState::Closed);
    }
}

/// One connection to a server the test plays: what the port sent it, data
/// and Telnet commands apart.
class Conversation {
  public:
    explicit Conversation(int fd) : fd_(fd) {}
    ~Conversation() { hang_up(); }
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    void send(std::string_view bytes) const {
        EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    /// Takes in what the port sends until `done` holds, the port closes the
    /// connection, or five seconds passed.
    void until(const std::function<bool()>& done) {
        const auto deadline = steady_clock::now() + 5s;
        while (!done() && !closed_ && steady_clock::now() < deadline) {
            pollfd watch{fd_, POLLIN, 0};
            if (::poll(&watch, 1, 50) != 1) {
                continue;
            }
            std::array<char, 4096> chunk{};
            const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
            closed_ = n <= 0;
            if (n > 0) {
                decoder_.feed({chunk.data(), static_cast<std::size_t>(n)}, data, commands);
            }
        }
    }
    void until_closed() {
        until([] { return false; });
    }
    /// The server closes the connection.
    void hang_up() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    /// The COM port control requests received, each as its payload.
    [[nodiscard]] std::vector<std::string> com_port_requests() const {
        std::vector<std::string> found;
        for (const telnet::Command& command : commands) {
            if (command.verb == telnet::kSb && command.option == telnet::kComPort) {
                found.push_back(command.payload);
            }
        }
        return found;
    }

    std::string data;
    std::vector<telnet::Command> commands;

  private:
    int fd_;
    bool closed_ = false;
    telnet::Decoder decoder_;
};

/// A device server the test plays on a loopback port, in a thread of its
/// own: it accepts a connection a script, in order, and runs the script on
/// it.
class ScriptedServer {
  public:
    using Script = std::function<void(Conversation&)>;
    explicit ScriptedServer(Script script, std::string_view scheme = "rfc2217")
        : ScriptedServer(std::vector<Script>{std::move(script)}, scheme) {}
    ScriptedServer(std::vector<Script> scripts, std::string_view scheme)
        : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size), 0);
        word_ = fmt::format("{}://127.0.0.1:{}", scheme, ntohs(address.sin_port));
        thread_ = std::jthread([this, scripts = std::move(scripts)](const std::stop_token& stop) {
            // A connection already waiting is served before a stop is heeded.
            for (const Script& script : scripts) {
                pollfd watch{listener_, POLLIN, 0};
                while (::poll(&watch, 1, 20) != 1) {
                    if (stop.stop_requested()) {
                        return;
                    }
                }
                conversations_.push_back(std::make_unique<Conversation>(
                    ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)));
                script(*conversations_.back());
            }
        });
    }
    ~ScriptedServer() {
        thread_ = {};
        ::close(listener_);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    [[nodiscard]] const std::string& word() const { return word_; }
    /// Every connection accepted, once the scripts ended (those without a
    /// connection are dropped).
    [[nodiscard]] const std::vector<std::unique_ptr<Conversation>>& all() {
        thread_.request_stop();
        thread_.join();
        return conversations_;
    }
    /// The last conversation once the scripts ended.
    [[nodiscard]] const Conversation& finished() {
        const auto& conversations = all();
        EXPECT_FALSE(conversations.empty());
        return *conversations.back();
    }

  private:
    int listener_;
    std::string word_;
    std::vector<std::unique_ptr<Conversation>> conversations_;
    std::jthread thread_;
};

std::string bytes_of(std::initializer_list<int> values) {
    return bytes(values);
}

/// Takes up the option, waits for the four settings and answers each with
/// `answer` (the request's payload by default, as the server set it).
void take_settings(Conversation& c,
                   const std::function<std::optional<std::string>(std::string)>& answer = {}) {
    c.send(telnet::negotiation(telnet::kDo, telnet::kComPort));
    c.until([&] { return c.com_port_requests().size() >= 4; });
    for (std::string request : c.com_port_requests()) {
        request[0] = static_cast<char>(request[0] + 100);
        const std::optional<std::string> reply = answer ? answer(request) : request;
        if (reply) {
            c.send(telnet::subnegotiation(telnet::kComPort, *reply));
        }
    }
}

constexpr LineSettings k9600e72{9600, 'e', 7, StopBits::Two};

TEST(Rfc2217, NegotiatesAndTellsCommandsFromData) {
    ScriptedServer server([](Conversation& c) {
        take_settings(c);
        // Commands alone, then data once the port asks for it.
        c.send(bytes_of({255, 241, 255, 253, 99}));
        c.until([&] { return c.data == "g"; });
        c.send(bytes_of({'a', 255, 255}));
        c.until_closed();
    });
    NetworkSerialPort port(server.word(), 2s);
    port.open(k9600e72);
    EXPECT_EQ(port.settings(), k9600e72);
    std::string got;
    const auto deadline = steady_clock::now() + 300ms;
    EXPECT_EQ(port.read(got, deadline), 0U);
    EXPECT_GE(steady_clock::now(), deadline);
    port.write("g");
    while (got.size() < 2 && port.read(got, steady_clock::now() + 5s) > 0) {
    }
    EXPECT_EQ(got, bytes_of({'a', 255}));
    port.discard_input();
    port.write(bytes_of({255}));
    port.close();

    const Conversation& c = server.finished();
    const std::vector<telnet::Command> expected = {
        {telnet::kWill, telnet::kComPort, {}},
        {telnet::kWill, telnet::kBinary, {}},
        {telnet::kWill, telnet::kSuppressGoAhead, {}},
        {telnet::kDo, telnet::kBinary, {}},
        {telnet::kDo, telnet::kSuppressGoAhead, {}},
        {telnet::kSb, telnet::kComPort, bytes_of({1, 0, 0, 0x25, 0x80})},  // 9600 baud
        {telnet::kSb, telnet::kComPort, bytes_of({2, 7})},                 // 7 data bits
        {telnet::kSb, telnet::kComPort, bytes_of({3, 3})},                 // even parity
        {telnet::kSb, telnet::kComPort, bytes_of({4, 2})},                 // 2 stop bits
        {telnet::kWont, 99, {}},                             // an option it does not know
        {telnet::kSb, telnet::kComPort, bytes_of({12, 1})},  // purge the receive buffer
    };
    EXPECT_EQ(c.commands, expected);
    EXPECT_EQ(c.data, bytes_of({'g', 255}));
}

TEST(Rfc2217, ServersThatDoNotSetTheLineAreRefusedInASentence) {
    struct Case {
        const char* name;
        ScriptedServer::Script script;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"refuses the option",
         [](Conversation& c) {
             c.send(telnet::negotiation(telnet::kDont, telnet::kComPort));
             c.until_closed();
         },
         "refuses the COM port control option (RFC 2217)"},
        {"never takes it up", [](Conversation& c) { c.until_closed(); },
         "did not take up the COM port control option (RFC 2217) within 0.3 s"},
        {"runs at another rate",
         [](Conversation& c) {
             take_settings(c, [](std::string reply) {
                 return reply[0] == 101 ? bytes_of({101, 0, 0, 0x4B, 0}) : reply;
             });
             c.until_closed();
         },
         "it refused the baud rate 9600 (it runs at 19200)"},
        {"leaves the stop bits unanswered",
         [](Conversation& c) {
             take_settings(c, [](std::string reply) {
                 return reply[0] == 104 ? std::nullopt : std::optional(reply);
             });
             c.until_closed();
         },
         "it did not confirm 2 stop bits within 0.3 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        NetworkSerialPort port(server.word(), 300ms);
        expect_error([&] { port.open(k9600e72); }, ErrorKind::InvalidSettings, c.message);
        EXPECT_EQ(port.state(), LineState::Closed);
    }
}

/// What ser2net does to a client that comes while its serial port is held,
/// or not yet freed by the client before: a notice, then the close.
void turn_away(Conversation& c) {
    c.send("Port already in use\r\n");
    c.hang_up();
}

TEST(NetworkPort, AConnectionTurnedAwayAtOnceIsMadeAgain) {
    for (const std::string_view scheme : {"tcp", "rfc2217"}) {
        SCOPED_TRACE(scheme);
        const auto take = [scheme](Conversation& c) {
            if (scheme == "rfc2217") {
                take_settings(c);
            }
            c.until([&] { return c.data == "+"; });
            c.send("ok");
            c.until_closed();
        };
        ScriptedServer server({turn_away, turn_away, take}, scheme);
        NetworkSerialPort port(server.word(), 2s);
        port.open(LineSettings{});
        port.write("+");
        std::string got;
        while (got.size() < 2 && port.read(got, steady_clock::now() + 5s) > 0) {
        }
        EXPECT_EQ(got, "ok");  // the notices are no bytes of the line
        port.close();
        const auto& conversations = server.all();
        ASSERT_EQ(conversations.size(), 3U);
        EXPECT_EQ(conversations.back()->data, "+");
    }
}

TEST(NetworkPort, AServerThatKeepsTurningItAwayIsRefusedInASentence) {
    struct Case {
        std::string_view scheme;
        ScriptedServer::Script script;
        ErrorKind kind;
        std::string message;
    };
    const ScriptedServer::Script close_at_once = [](Conversation& c) { c.hang_up(); };
    const std::string busy =
        "says its serial port is in use (\"Port already in use\") and turned every connection "
        "away for 0.3 s";
    const std::string dropped = "closed every connection at once for 0.3 s: check";
    const std::vector<Case> cases = {
        {"tcp", turn_away, ErrorKind::PortBusy, busy},
        {"rfc2217", turn_away, ErrorKind::PortBusy, busy},
        {"tcp", close_at_once, ErrorKind::LineDropped, dropped},
        {"rfc2217", close_at_once, ErrorKind::LineDropped, dropped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}, {}", c.scheme, c.message));
        ScriptedServer server(std::vector<ScriptedServer::Script>(100, c.script), c.scheme);
        NetworkSerialPort port(server.word(), 300ms);
        const auto start = steady_clock::now();
        expect_error([&] { port.open(LineSettings{}); }, c.kind, c.message);
        EXPECT_LT(steady_clock::now() - start, 3s);
        EXPECT_EQ(port.state(), LineState::Closed);
        EXPECT_GT(server.all().size(), 1U);  // it tried again
    }
}

TEST(NetworkPort, BytesTheLineSendsAtOnceAreKept) {
    // Text on a connection that stays, and a reader's bytes on one that
    // drops at once, are no notices of a server that turns the client away.
    ScriptedServer text(
        [](Conversation& c) {
            c.send("READY\r\n");
            c.until_closed();
        },
        "tcp");
    NetworkSerialPort port(text.word(), 2s);
    const auto start = steady_clock::now();
    port.open(LineSettings{});
    EXPECT_LT(steady_clock::now() - start, 1s);
    std::string got;
    EXPECT_EQ(port.read(got, steady_clock::now() + 5s), 7U);
    EXPECT_EQ(got, "READY\r\n");
    port.close();

    ScriptedServer dropping(
        [](Conversation& c) {
            c.send(bytes_of({0x02, 'R', 0xFF, 0x03}));
            c.hang_up();
        },
        "tcp");
    NetworkSerialPort dropped(dropping.word(), 2s);
    dropped.open(LineSettings{});
    got.clear();
    while (got.size() < 4 && dropped.read(got, steady_clock::now() + 5s) > 0) {
    }
    EXPECT_EQ(got, bytes_of({0x02, 'R', 0xFF, 0x03}));
    expect_error([&] { (void)dropped.read(got, steady_clock::now() + 5s); }, ErrorKind::LineDropped,
                 "closed the connection");
    EXPECT_EQ(dropping.all().size(), 1U);
}

TEST(Ser2netRfc2217, SetsTheLineBehindTheServerAndKeepsItWhenRefused) {
    const std::optional<std::string> binary = testing::ser2net_binary();
    if (!binary) {
        GTEST_SKIP() << "ser2net is not installed (scripts/ensure-deps.sh installs it)";
    }
    const testing::Pty pty;
    testing::Ser2net server(*binary, pty.path(), true);
    NetworkSerialPort port(server.word(), 1s);
    const LineSettings wanted{9600, 'n', 8, StopBits::Two};
    port.open(wanted);
    EXPECT_EQ(port.settings(), wanted);
    const auto expect_line = [&] {
        termios line{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &line), 0);
        EXPECT_EQ(::cfgetospeed(&line), B9600);
        EXPECT_NE(line.c_cflag & CSTOPB, 0U);
    };
    expect_line();
    expect_error(
        [&] {
            port.apply(LineSettings{19200, 'n', 8, StopBits::OnePointFive});
        },
        ErrorKind::InvalidSettings,
        "does not take the line settings 19200,n,8,1.5: it did not confirm 1.5 stop bits");
    EXPECT_EQ(port.settings(), wanted);
    expect_line();

    // ser2net turns a second client away; the first one leaving frees it.
    NetworkSerialPort second(server.word(), 300ms);
    expect_error([&] { second.open(wanted); }, ErrorKind::PortBusy,
                 "says its serial port is in use");
    port.close();
    second.open(wanted);
    EXPECT_EQ(second.state(), LineState::Open);
}

}  // namespace
}  // namespace kdr
