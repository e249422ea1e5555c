// What the termios port does beyond the byte-port contract: the device's
// settings, its refusals, exclusive use, the write timeout, and the port
// words the factory takes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kdr/error.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/posix_platform.hpp"
#include "tests/ports/pty.hpp"

namespace kdr {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using testing::expect_error;
using testing::Pty;

constexpr LineSettings settings(int baud, char parity, int data_bits, StopBits stop_bits) {
    return LineSettings{baud, parity, data_bits, stop_bits};
}

std::unique_ptr<PosixSerialPort> open_port(const Pty& pty, std::chrono::milliseconds timeout = 3s) {
    auto port = std::make_unique<PosixSerialPort>(pty.path(), "", timeout);
    port->open(LineSettings{});
    return port;
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

/// The settings the tests compare: modes and speeds, not the control characters.
bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

TEST(PortMap, DefaultsToTtySAndTakesAssignments) {
    PortMap map;
    EXPECT_EQ(map.path_for(1), "/dev/ttyS0");
    EXPECT_EQ(map.path_for(32767), "/dev/ttyS32766");
    map.assign(3, "/dev/ttyUSB0");
    EXPECT_EQ(map.path_for(3), "/dev/ttyUSB0");
    EXPECT_EQ(map.path_for(4), "/dev/ttyS3");
    for (const std::int16_t bad : {std::int16_t{0}, std::int16_t{-32768}}) {
        expect_error([&] { (void)map.path_for(bad); }, ErrorKind::InvalidPortNumber, "invalid");
        expect_error([&] { map.assign(bad, "/dev/ttyUSB0"); }, ErrorKind::InvalidPortNumber,
                     "invalid");
    }
    expect_error([&] { map.assign(2, ""); }, ErrorKind::InvalidArgument, "empty");
}

TEST(PosixSerialPort, PutsTheReaderSettingsOnTheDeviceOrRefusesThem) {
    Pty pty;
    auto port = open_port(pty);
    termios got{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &got), 0);
    EXPECT_EQ(::cfgetospeed(&got), B19200);
    EXPECT_EQ(::cfgetispeed(&got), B19200);
    EXPECT_EQ(got.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(got.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(got.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(got.c_lflag & (ICANON | ECHO | ISIG), 0U);
    EXPECT_EQ(got.c_iflag & (IXON | IXOFF | ICRNL), 0U);
    EXPECT_EQ(got.c_oflag & OPOST, 0U);

    // Pseudo-terminals of recent kernels keep CS8 without parity whatever
    // they are asked. The port must then refuse, not pretend: either the
    // device reads back exactly what was asked, or InvalidSettings, and the
    // device and settings() keep the previous values.
    struct Case {
        LineSettings wanted;
        speed_t speed;
        tcflag_t bits;  // CSIZE, parity and stop bits as they must read back
    };
    const std::vector<Case> cases = {
        {settings(9600, 'n', 8, StopBits::Two), B9600, CS8 | CSTOPB},
        {settings(115200, 'n', 8, StopBits::One), B115200, CS8},
        {settings(9600, 'e', 7, StopBits::Two), B9600, CS7 | PARENB | CSTOPB},
        {settings(115200, 'o', 8, StopBits::One), B115200, CS8 | PARENB | PARODD},
        {settings(1200, 'm', 6, StopBits::One), B1200, CS6 | PARENB | PARODD | CMSPAR},
        {settings(300, 's', 5, StopBits::Two), B300, CS5 | PARENB | CMSPAR | CSTOPB},
        {LineSettings{}, B19200, CS8},
    };
    constexpr tcflag_t kBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const Case& c : cases) {
        SCOPED_TRACE(to_string(c.wanted));
        termios before{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
        const LineSettings settings_before = port->settings();
        try {
            port->apply(c.wanted);
            ASSERT_EQ(::tcgetattr(pty.slave(), &got), 0);
            EXPECT_EQ(::cfgetospeed(&got), c.speed);
            EXPECT_EQ(got.c_cflag & kBits, c.bits);
            EXPECT_EQ(port->settings(), c.wanted);
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::InvalidSettings);
            EXPECT_NE(std::string_view(e.what()).find("the device refused"), std::string_view::npos)
                << e.what();
            // Only parity and character size may be refused; 8N1 and 8N2 work.
            EXPECT_TRUE((c.bits & PARENB) != 0 || (c.bits & CSIZE) != CS8);
            ASSERT_EQ(::tcgetattr(pty.slave(), &got), 0);
            EXPECT_EQ(::cfgetospeed(&got), ::cfgetospeed(&before));
            EXPECT_EQ(got.c_cflag & kBits, before.c_cflag & kBits);
            EXPECT_EQ(port->settings(), settings_before);
        }
    }
}

TEST(PosixSerialPort, RefusesSettingsTheSystemCannotSetAtOpenAndLater) {
    const std::vector<std::pair<LineSettings, std::string_view>> refused = {
        {settings(19200, 'n', 8, StopBits::OnePointFive), "1.5 stop bits are not supported"},
        {settings(14400, 'n', 8, StopBits::One), "baud rate 14400 is not supported"},
        {settings(19200, 'n', 9, StopBits::One), "data bits"},
        {settings(19200, 'x', 8, StopBits::One), "parity"},
    };
    Pty pty;
    PosixSerialPort port(pty.path());
    for (const auto& [wanted, part] : refused) {
        SCOPED_TRACE(part);
        expect_error([&port, &wanted = wanted] { port.open(wanted); }, ErrorKind::InvalidSettings,
                     part);
        EXPECT_EQ(port.state(), LineState::Closed);
    }
    port.open(settings(9600, 'n', 8, StopBits::Two));
    for (const auto& [wanted, part] : refused) {
        SCOPED_TRACE(part);
        expect_error([&port, &wanted = wanted] { port.apply(wanted); }, ErrorKind::InvalidSettings,
                     part);
        EXPECT_EQ(port.settings(), settings(9600, 'n', 8, StopBits::Two));
    }
    termios got{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &got), 0);
    EXPECT_EQ(::cfgetospeed(&got), B9600);
    EXPECT_NE(got.c_cflag & CSTOPB, 0U);
}

TEST(PosixSerialPort, SecondOpenerOfTheSameDeviceGetsPortBusy) {
    Pty pty;
    auto first = open_port(pty);
    PosixSerialPort second(pty.path());
    expect_error([&] { second.open(LineSettings{}); }, ErrorKind::PortBusy,
                 "in use by another program");
    EXPECT_EQ(second.state(), LineState::Closed);

    // Another process is kept out the same way.
    EXPECT_EXIT(
        {
            PosixSerialPort other(pty.path());
            try {
                other.open(LineSettings{});
            } catch (const Error& e) {
                std::_Exit(e.kind() == ErrorKind::PortBusy ? 0 : 1);
            }
            std::_Exit(2);
        },
        ::testing::ExitedWithCode(0), "");

    first.reset();  // the destructor closes and lets go of the device
    second.open(LineSettings{});
    EXPECT_EQ(second.state(), LineState::Open);
}

TEST(PosixSerialPort, PutsTheDeviceSettingsBackWhenItLetsGo) {
    const std::vector<
        std::pair<std::string_view, std::function<void(std::unique_ptr<PosixSerialPort>&)>>>
        endings = {
            {"closed", [](auto& port) { port->close(); }},
            {"destroyed", [](auto& port) { port.reset(); }},
        };
    for (const auto& [name, end] : endings) {
        SCOPED_TRACE(name);
        Pty pty;
        // A terminal as a shell leaves it: cooked, echoing, at 9600 baud.
        termios before{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
        before.c_lflag |= ICANON | ECHO | ISIG;
        before.c_iflag |= ICRNL | IXON;
        before.c_oflag |= OPOST;
        ::cfsetispeed(&before, B9600);
        ::cfsetospeed(&before, B9600);
        ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &before), 0);
        ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);

        auto port = open_port(pty);
        termios during{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &during), 0);
        EXPECT_FALSE(same_settings(during, before));
        end(port);
        termios after{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
        EXPECT_TRUE(same_settings(after, before));
    }
}

TEST(PosixSerialPort, RefusesTheProgramsOwnTerminalUnderAnyName) {
    const Pty other;
    EXPECT_EXIT(
        {
            // A new session whose controlling terminal is a fresh pty plays the
            // user's terminal.
            Pty own;
            if (::setsid() < 0 || ::ioctl(own.slave(), TIOCSCTTY, 0) != 0) {
                std::_Exit(3);
            }
            termios before{};
            ::tcgetattr(own.slave(), &before);
            std::string failures;
            for (const std::string& path : {std::string("/dev/tty"), own.path()}) {
                PosixSerialPort port(path);
                try {
                    port.open(LineSettings{});
                    failures += path + " opened\n";
                } catch (const Error& e) {
                    if (e.kind() != ErrorKind::InvalidPortNumber ||
                        std::string_view(e.what()).find(
                            "is this program's own terminal, not a serial port") ==
                            std::string_view::npos) {
                        failures += path + ": " + e.what() + "\n";
                    }
                }
            }
            termios after{};
            ::tcgetattr(own.slave(), &after);
            if (!same_settings(before, after)) {
                failures += "the terminal's settings changed\n";
            }
            // Any other terminal is still a port.
            PosixSerialPort port(other.path());
            port.open(LineSettings{});
            std::fputs(failures.c_str(), stderr);
            std::_Exit(failures.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PosixSerialPort, FailedOpensSayWhyAndLeakNoDescriptor) {
    Pty pty;
    auto holder = open_port(pty);  // makes the pty busy for the other openers
    std::string file = (std::filesystem::temp_directory_path() / "kdr-port-XXXXXX").string();
    const int file_fd = ::mkstemp(file.data());
    ASSERT_GE(file_fd, 0);
    ::close(file_fd);
    const std::size_t before = open_descriptors();

    struct Case {
        std::string word;
        ErrorKind kind;
        std::string message_part;
    };
    const std::vector<Case> cases = {
        {"/nonexistent/ttyKDR", ErrorKind::PortMissing, "/nonexistent/ttyKDR does not exist"},
        {"COM300", ErrorKind::PortMissing, "/dev/ttyS299 does not exist"},
        {"300", ErrorKind::PortMissing, "/dev/ttyS299 does not exist"},
        // A path with colons has no scheme.
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", ErrorKind::PortMissing,
         "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0 does not exist"},
        {"/dev/null", ErrorKind::InvalidPortNumber, "/dev/null is not a serial device"},
        {file, ErrorKind::InvalidPortNumber, "is not a serial device"},
        {"/", ErrorKind::InvalidPortNumber, "not a serial device"},
        {"/dev/tty", ErrorKind::InvalidPortNumber,
         "/dev/tty is this program's own terminal, not a serial port"},
        {pty.path(), ErrorKind::PortBusy, "in use by another program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        const auto port = make_byte_port(c.word);
        // A number or COM name is named by its device.
        EXPECT_EQ(port->name(), c.word.find('/') == std::string::npos ? "/dev/ttyS299" : c.word);
        for (int attempt = 0; attempt < 2; ++attempt) {
            expect_error([&] { port->open(LineSettings{}); }, c.kind, c.message_part);
            EXPECT_EQ(port->state(), LineState::Closed);
        }
    }
    EXPECT_EQ(open_descriptors(), before);
    std::filesystem::remove(file);
}

TEST(PosixSerialPort, WriteGivesUpOnALineThatAcceptsNothing) {
    Pty pty;
    auto port = open_port(pty, 100ms);
    // Nobody reads the master: its buffers fill, then the line takes nothing.
    const std::string flood(std::size_t{4} * 1024 * 1024, 'z');
    const auto start = steady_clock::now();
    expect_error([&] { port->write(flood); }, ErrorKind::IoError, "the line accepts no data");
    const auto took = steady_clock::now() - start;
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 5s);
}

TEST(MakeBytePort, ParsesTheWordOnce) {
    struct Good {
        std::string word;
        std::string device;  // empty: a network port
    };
    for (const Good& c : std::vector<Good>{{"3", "/dev/ttyS2"},
                                           {"COM3", "/dev/ttyS2"},
                                           {"com12", "/dev/ttyS11"},
                                           {"COM32767", "/dev/ttyS32766"},
                                           {"/dev/ttyUSB0", "/dev/ttyUSB0"},
                                           {"tcp://[::1]:7001", ""},
                                           {"rfc2217://reader.local:4001/", ""}}) {
        SCOPED_TRACE(c.word);
        const auto port = make_byte_port(c.word);
        EXPECT_EQ(port->name(), c.device.empty() ? c.word : c.device);
        EXPECT_EQ(port->state(), LineState::Closed);
        const auto* serial = dynamic_cast<const PosixSerialPort*>(port.get());
        EXPECT_EQ(serial != nullptr ? serial->device_path() : "", c.device);
        EXPECT_EQ(port->link(), c.device.empty() ? LinkKind::Network : LinkKind::Local);
    }
    const std::vector<std::tuple<std::string, ErrorKind, std::string>> bad = {
        {"", ErrorKind::InvalidArgument, "no port was given"},
        {"ftp://reader:4001", ErrorKind::InvalidArgument, "\"ftp://\" is no kind of port"},
        {"COM0", ErrorKind::InvalidPortNumber, "COM0 names no serial port"},
        {"0", ErrorKind::InvalidPortNumber, "0 names no serial port"},
        {"com32768", ErrorKind::InvalidPortNumber, "com32768 names no serial port"},
        {"tcp://reader", ErrorKind::InvalidArgument, "give the device server as tcp://HOST:PORT"},
        {"ttyUSB0", ErrorKind::InvalidArgument, "ttyUSB0 names no port: give the reader's"},
    };
    for (const auto& [word, kind, message] : bad) {
        SCOPED_TRACE(word);
        expect_error([&word = word] { (void)make_byte_port(word); }, kind, message);
    }

    const auto numbered = make_numbered_port(3);
    EXPECT_EQ(numbered->name(), "COM3");
    EXPECT_EQ(dynamic_cast<const PosixSerialPort&>(*numbered).device_path(), "/dev/ttyS2");
    expect_error([] { (void)make_numbered_port(0); }, ErrorKind::InvalidPortNumber,
                 "port number 0");
}

}  // namespace
}  // namespace kdr
