// The Telnet layer of the network ports, and the port words they take.
#include "kdr/network_port.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kdr/error.hpp"
#include "platform/telnet.hpp"

namespace kdr {
namespace {

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
        EXPECT_EQ(port.port_name(), good);
        EXPECT_FALSE(port.get_PortOpen());
    }
    for (const char* bad :
         {"tcp://", "tcp://host", "tcp://host:", "tcp://:7001", "tcp://host:0", "tcp://host:65536",
          "tcp://host:70x", "tcp://[::1]7001", "tcp://a:b:7001", "udp://host:7001"}) {
        try {
            const NetworkSerialPort port(bad);
            ADD_FAILURE() << bad << " was taken";
        } catch (const Error& error) {
            EXPECT_EQ(error.kind(), ErrorKind::InvalidArgument) << bad;
        }
    }
}

}  // namespace
}  // namespace kdr
