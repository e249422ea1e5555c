// The POSIX platform components against the real system: the serial
// component on pseudo-terminals that each test makes for itself, the
// monotonic clock, the console host; and the window-less progress bar.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kdr/error.hpp"
#include "kdr/memory_progress_bar.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/posix_platform.hpp"

namespace kdr {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

constexpr std::int16_t kPtyPort = 7;

/// A pseudo-terminal: the test plays the reader on the master side; the
/// component under test opens the slave path. The test keeps a slave
/// descriptor of its own, so that the master stays usable while the
/// component closes and reopens, and so that it can read the slave's settings.
class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error("cannot make a pseudo-terminal");
        }
        std::array<char, 128> name{};
        if (::ptsname_r(master_, name.data(), name.size()) != 0) {
            throw std::runtime_error("no pseudo-terminal name");
        }
        path_ = name.data();
        termios raw{};
        ::tcgetattr(master_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master_, TCSANOW, &raw);
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            throw std::runtime_error("cannot open the pseudo-terminal's slave");
        }
    }
    ~Pty() {
        close_master();
        ::close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] int slave() const { return slave_; }

    void close_master() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    void send(std::string_view data) const {
        ASSERT_EQ(::write(master_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    /// Reads from the master until `count` characters came or a second passed.
    [[nodiscard]] std::string receive(std::size_t count) const {
        std::string got;
        const auto deadline = steady_clock::now() + 1s;
        while (got.size() < count && steady_clock::now() < deadline) {
            pollfd watch{master_, POLLIN, 0};
            if (::poll(&watch, 1, 50) == 1) {
                std::array<char, 512> chunk{};
                const ssize_t n = ::read(master_, chunk.data(), chunk.size());
                if (n > 0) {
                    got.append(chunk.data(), static_cast<std::size_t>(n));
                }
            }
        }
        return got;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

PortMap map_to(const std::string& path) {
    PortMap map;
    map.assign(kPtyPort, path);
    return map;
}

std::unique_ptr<PosixSerialPort> open_port(const Pty& pty,
                                           std::chrono::milliseconds timeout = 3000ms) {
    auto port = std::make_unique<PosixSerialPort>(map_to(pty.path()), timeout);
    port->put_CommPort(kPtyPort);
    port->put_PortOpen(true);
    return port;
}

/// Characters written to the master reach the slave's buffer a moment later.
int wait_for_count(SerialPort& port, int count) {
    const auto deadline = steady_clock::now() + 1s;
    int waiting = port.get_InBufferCount();
    while (waiting < count && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        waiting = port.get_InBufferCount();
    }
    return waiting;
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

std::string all_byte_values() {
    std::string bytes;
    for (int code = 0; code < 256; ++code) {
        bytes += static_cast<char>(code);
    }
    return bytes;
}

void expect_error(const std::function<void()>& call, ErrorKind kind, std::string_view part) {
    try {
        call();
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_NE(std::string_view(e.what()).find(part), std::string_view::npos) << e.what();
    }
}

// ---- Port map ----------------------------------------------------------

TEST(PortMap, DefaultsToTtySAndTakesAssignments) {
    PortMap map;
    EXPECT_EQ(map.path_for(1), "/dev/ttyS0");
    EXPECT_EQ(map.path_for(3), "/dev/ttyS2");
    EXPECT_EQ(map.path_for(32767), "/dev/ttyS32766");
    map.assign(3, "/dev/ttyUSB0");
    EXPECT_EQ(map.path_for(3), "/dev/ttyUSB0");
    EXPECT_EQ(map.path_for(4), "/dev/ttyS3");

    for (const std::int16_t bad : {std::int16_t{0}, std::int16_t{-1}, std::int16_t{-32768}}) {
        expect_error([&] { (void)map.path_for(bad); }, ErrorKind::InvalidPortNumber, "invalid");
        expect_error([&] { map.assign(bad, "/dev/ttyUSB0"); }, ErrorKind::InvalidPortNumber,
                     "invalid");
    }
    expect_error([&] { map.assign(2, ""); }, ErrorKind::InvalidArgument, "empty");
}

// ---- Serial port on a pseudo-terminal ----------------------------------

TEST(PosixSerialPort, StartsClosedOnPortOneWithTheReaderSettings) {
    const PosixSerialPort port;
    EXPECT_EQ(port.get_CommPort(), 1);
    EXPECT_EQ(port.get_Settings(), "19200,n,8,1");
    EXPECT_FALSE(port.get_PortOpen());
}

TEST(PosixSerialPort, OpensClosesAndReopens) {
    Pty pty;
    PosixSerialPort port(map_to(pty.path()));
    port.put_CommPort(kPtyPort);
    for (int round = 0; round < 3; ++round) {
        port.put_PortOpen(true);
        EXPECT_TRUE(port.get_PortOpen());
        EXPECT_EQ(port.device_path(), pty.path());
        port.put_Output("x");
        EXPECT_EQ(pty.receive(1), "x");
        port.put_PortOpen(false);
        EXPECT_FALSE(port.get_PortOpen());
        port.put_PortOpen(false);  // closing a closed port does nothing
    }
}

TEST(PosixSerialPort, CarriesAllByteValuesBothWays) {
    Pty pty;
    auto port = open_port(pty);
    const std::string bytes = all_byte_values();

    port->put_Output(bytes);
    EXPECT_EQ(pty.receive(bytes.size()), bytes);

    pty.send(bytes);
    EXPECT_EQ(wait_for_count(*port, 256), 256);
    EXPECT_EQ(port->get_Input(), bytes);
    EXPECT_EQ(port->get_InBufferCount(), 0);
}

TEST(PosixSerialPort, CountsAndDiscardsWaitingInput) {
    Pty pty;
    auto port = open_port(pty);
    EXPECT_EQ(port->get_Input(), "");  // nothing waits: empty, at once

    pty.send("abc");
    EXPECT_EQ(wait_for_count(*port, 3), 3);
    port->put_InBufferCount(0);
    EXPECT_EQ(port->get_InBufferCount(), 0);
    EXPECT_EQ(port->get_Input(), "");

    expect_error([&] { port->put_InBufferCount(5); }, ErrorKind::InvalidArgument, "only be set");
    pty.send("de");
    EXPECT_EQ(wait_for_count(*port, 2), 2);
    EXPECT_EQ(port->get_Input(), "de");
}

TEST(PosixSerialPort, AppliesTheSettingsToTheDevice) {
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
    // device reads back exactly what was asked, or the text is refused with
    // InvalidSettings and the device and Settings keep the previous values.
    struct Case {
        std::string_view text;
        speed_t speed;
        tcflag_t bits;  // CSIZE, parity and stop bits as they must read back
    };
    const std::vector<Case> cases = {
        {"9600,n,8,2", B9600, CS8 | CSTOPB},
        {"115200,N,8,1", B115200, CS8},
        {"9600,e,7,2", B9600, CS7 | PARENB | CSTOPB},
        {"115200,o,8,1", B115200, CS8 | PARENB | PARODD},
        {"1200,m,6,1", B1200, CS6 | PARENB | PARODD | CMSPAR},
        {"300,S,5,2", B300, CS5 | PARENB | CMSPAR | CSTOPB},
        {"19200,n,8,1", B19200, CS8},
    };
    constexpr tcflag_t kBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        termios before{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);
        const std::string settings_before = port->settings_text();
        try {
            port->put_Settings(c.text);  // open: applied at once
            ASSERT_EQ(::tcgetattr(pty.slave(), &got), 0);
            EXPECT_EQ(::cfgetospeed(&got), c.speed);
            EXPECT_EQ(got.c_cflag & kBits, c.bits);
            EXPECT_EQ(parse_line_settings(port->settings_text()), parse_line_settings(c.text));
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::InvalidSettings);
            EXPECT_NE(std::string_view(e.what()).find("the device refused"), std::string_view::npos)
                << e.what();
            // Only parity and character size may be refused; 8N1 and 8N2 work.
            EXPECT_TRUE((c.bits & PARENB) != 0 || (c.bits & CSIZE) != CS8);
            ASSERT_EQ(::tcgetattr(pty.slave(), &got), 0);
            EXPECT_EQ(::cfgetospeed(&got), ::cfgetospeed(&before));
            EXPECT_EQ(got.c_cflag & kBits, before.c_cflag & kBits);
            EXPECT_EQ(port->settings_text(), settings_before);
        }
    }
}

TEST(PosixSerialPort, RefusesSettingsItCannotHonourAndKeepsTheOldOnes) {
    Pty pty;
    PosixSerialPort port(map_to(pty.path()));
    port.put_CommPort(kPtyPort);
    const std::vector<std::pair<std::string_view, std::string_view>> refused = {
        {"19200,n,8,1.5", "1.5 stop bits are not supported"},
        {"14400,n,8,1", "baud rate 14400 is not supported"},
        {"19200,n,9,1", "data bits"},
        {"fast", "four fields"},
    };
    for (const bool open : {false, true}) {
        port.put_PortOpen(open);
        port.put_Settings("9600,n,8,2");
        for (const auto& [text, part] : refused) {
            SCOPED_TRACE(text);
            expect_error([&] { port.put_Settings(text); }, ErrorKind::InvalidSettings, part);
            EXPECT_EQ(port.get_Settings(), "9600,n,8,2");
        }
    }
    termios got{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &got), 0);
    EXPECT_EQ(::cfgetospeed(&got), B9600);
    EXPECT_NE(got.c_cflag & CSTOPB, 0U);
}

TEST(PosixSerialPort, RefusesAPortChangeOrASecondOpenWhileOpen) {
    Pty pty;
    auto port = open_port(pty);
    expect_error([&] { port->put_CommPort(2); }, ErrorKind::InvalidArgument,
                 "cannot change the port while it is open");
    EXPECT_EQ(port->get_CommPort(), kPtyPort);
    expect_error([&] { port->put_PortOpen(true); }, ErrorKind::InvalidArgument, "open already");
    EXPECT_TRUE(port->is_open());
    port->put_PortOpen(false);
    port->put_CommPort(2);
    EXPECT_EQ(port->get_CommPort(), 2);
}

TEST(PosixSerialPort, SecondOpenerOfTheSameDeviceGetsPortBusy) {
    Pty pty;
    auto first = open_port(pty);
    PosixSerialPort second(map_to(pty.path()));
    second.put_CommPort(kPtyPort);
    expect_error([&] { second.put_PortOpen(true); }, ErrorKind::PortBusy,
                 "in use by another program");
    EXPECT_FALSE(second.get_PortOpen());

    // Another process is kept out the same way.
    EXPECT_EXIT(
        {
            PosixSerialPort other(map_to(pty.path()));
            other.put_CommPort(kPtyPort);
            try {
                other.put_PortOpen(true);
            } catch (const Error& e) {
                std::_Exit(e.kind() == ErrorKind::PortBusy ? 0 : 1);
            }
            std::_Exit(2);
        },
        ::testing::ExitedWithCode(0), "");

    first.reset();  // the destructor closes and lets go of the device
    second.put_PortOpen(true);
    EXPECT_TRUE(second.get_PortOpen());
}

/// The settings the tests compare: modes and speeds, not the control characters.
bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

TEST(PosixSerialPort, PutsTheDeviceSettingsBackWhenItLetsGo) {
    const std::vector<
        std::pair<std::string_view, std::function<void(std::unique_ptr<PosixSerialPort>&)>>>
        endings = {
            {"closed", [](auto& port) { port->put_PortOpen(false); }},
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
                PosixSerialPort port(map_to(path));
                port.put_CommPort(kPtyPort);
                try {
                    port.put_PortOpen(true);
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
            PosixSerialPort port(map_to(other.path()));
            port.put_CommPort(kPtyPort);
            port.put_PortOpen(true);
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
        std::int16_t port;
        std::string path;  // empty: the default mapping
        ErrorKind kind;
        std::string message_part;
    };
    const std::vector<Case> cases = {
        {5, "/nonexistent/ttyKDR", ErrorKind::PortMissing,
         "COM5 (/nonexistent/ttyKDR) does not exist"},
        {5, "/dev/ttyKDR-missing", ErrorKind::PortMissing, "/dev/ttyKDR-missing"},
        {5, "/dev/null", ErrorKind::InvalidPortNumber, "/dev/null) is not a serial device"},
        {5, file, ErrorKind::InvalidPortNumber, "is not a serial device"},
        {5, "/", ErrorKind::InvalidPortNumber, "not a serial device"},
        {5, "/dev/tty", ErrorKind::InvalidPortNumber,
         "COM5 (/dev/tty) is this program's own terminal, not a serial port"},
        {5, pty.path(), ErrorKind::PortBusy, "in use by another program"},
        {0, "", ErrorKind::InvalidPortNumber, "port number 0"},
        {-3, "", ErrorKind::InvalidPortNumber, "port number -3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        PortMap map;
        if (!c.path.empty()) {
            map.assign(c.port, c.path);
        }
        PosixSerialPort port(std::move(map));
        port.put_CommPort(c.port);
        for (int attempt = 0; attempt < 3; ++attempt) {
            expect_error([&] { port.put_PortOpen(true); }, c.kind, c.message_part);
            EXPECT_FALSE(port.get_PortOpen());
        }
    }
    EXPECT_EQ(open_descriptors(), before);
    std::filesystem::remove(file);
}

TEST(PosixSerialPort, ClosedPortRefusesUseWithPortNotOpen) {
    PosixSerialPort port;
    const std::vector<std::pair<std::string_view, std::function<void()>>> uses = {
        {"InBufferCount", [&] { (void)port.get_InBufferCount(); }},
        {"InBufferCount", [&] { port.put_InBufferCount(0); }},
        {"Input", [&] { (void)port.get_Input(); }},
        {"Output", [&] { port.put_Output("x"); }},
    };
    for (const auto& [property, use] : uses) {
        SCOPED_TRACE(property);
        expect_error(use, ErrorKind::PortNotOpen, "COM1 is closed");
        expect_error(use, ErrorKind::PortNotOpen, property);
    }
}

TEST(PosixSerialPort, DroppedLineIsReportedAtOnceByEveryUse) {
    Pty pty;
    auto port = open_port(pty);
    pty.send("lost");
    EXPECT_EQ(wait_for_count(*port, 4), 4);
    pty.close_master();

    const std::vector<std::pair<std::string_view, std::function<void()>>> uses = {
        {"InBufferCount", [&] { (void)port->get_InBufferCount(); }},
        {"Input", [&] { (void)port->get_Input(); }},
        {"Output", [&] { port->put_Output("x"); }},
        {"discard", [&] { port->put_InBufferCount(0); }},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& [name, use] : uses) {
            SCOPED_TRACE(name);
            const auto start = steady_clock::now();
            expect_error(use, ErrorKind::LineDropped, pty.path());
            EXPECT_LT(steady_clock::now() - start, 100ms);
        }
    }
    EXPECT_TRUE(port->is_open());
    port->put_PortOpen(false);
    EXPECT_FALSE(port->is_open());
}

TEST(PosixSerialPort, OutputGivesUpOnALineThatAcceptsNothing) {
    Pty pty;
    auto port = open_port(pty, 100ms);
    // Nobody reads the master: its buffers fill, then the line takes nothing.
    const std::string flood(4 * 1024 * 1024, 'z');
    const auto start = steady_clock::now();
    expect_error([&] { port->put_Output(flood); }, ErrorKind::IoError, "the line accepts no data");
    const auto took = steady_clock::now() - start;
    EXPECT_GE(took, 100ms);
    EXPECT_LT(took, 1s);
}

// ---- Port factory --------------------------------------------------------

TEST(MakeSerialPort, MakesAPortNamedByItsPathOrSaysWhyNot) {
    Pty pty;
    const auto port = make_serial_port(pty.path());
    EXPECT_EQ(port->port_name(), pty.path());
    EXPECT_EQ(port->settings_text(), "19200,n,8,1");
    port->put_PortOpen(true);
    port->put_Output("x");
    EXPECT_EQ(pty.receive(1), "x");

    expect_error([] { (void)make_serial_port(""); }, ErrorKind::InvalidArgument,
                 "no port was given");
    expect_error([] { (void)make_serial_port("ftp://reader:4001"); }, ErrorKind::InvalidArgument,
                 "\"ftp://\" is no kind of port");
    // A path with colons has no scheme; failures name the port by its path alone.
    const struct {
        std::string word;
        ErrorKind kind;
        std::string message;
    } opened[] = {
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", ErrorKind::PortMissing,
         "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0 does not exist"},
        {"/dev/null", ErrorKind::InvalidPortNumber, "/dev/null is not a serial device"},
    };
    for (const auto& c : opened) {
        const auto other = make_serial_port(c.word);
        expect_error([&] { other->put_PortOpen(true); }, c.kind, c.message);
        EXPECT_EQ(std::string_view(other->port_name()), c.word);
    }
}

// ---- Clock ---------------------------------------------------------------

std::chrono::nanoseconds thread_cpu_time() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TEST(SteadyClock, ReadsTheMonotonicClock) {
    SteadyClock clock;
    timespec mono{};
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    const auto system = std::chrono::seconds(mono.tv_sec) + std::chrono::nanoseconds(mono.tv_nsec);
    const auto ours = clock.now().time_since_epoch();
    EXPECT_LT(ours - system, 10ms);
    EXPECT_GE(ours - system, 0ns);
}

TEST(SteadyClock, SleepsUntilTheDeadlineWithoutSpinning) {
    SteadyClock clock;
    for (const auto length : {1ms, 30ms}) {
        const auto deadline = clock.now() + length;
        const auto cpu_before = thread_cpu_time();
        clock.sleep_until(deadline);
        const auto woke = clock.now();
        EXPECT_GE(woke, deadline);
        EXPECT_LT(woke - deadline, 20ms);
        EXPECT_LT(thread_cpu_time() - cpu_before, 5ms);
    }
    // A deadline in the past returns at once.
    const auto start = clock.now();
    clock.sleep_until(start - 1s);
    clock.sleep_until(Clock::Instant{});
    EXPECT_LT(clock.now() - start, 5ms);
}

// ---- Console host --------------------------------------------------------

TEST(ConsoleHost, WritesMessagesAsLines) {
    struct Case {
        std::string_view text;
        std::optional<std::string_view> title;
        std::string_view shown;
    };
    const std::vector<Case> cases = {
        {"Device did not open.   ", std::nullopt, "Device did not open.   \n"},
        {"Device did not open.   ", "Erase Data From KDR",
         "Erase Data From KDR: Device did not open.   \n"},
        {"Communications failed to establish.   \r\nCheck physical connections and  \r\nmake "
         "sure reader is powered up.",
         "Download Data From KDR",
         "Download Data From KDR: Communications failed to establish.   \nCheck physical "
         "connections and  \nmake sure reader is powered up.\n"},
        {"a\rb\nc\r\n", "", "a\nb\nc\n\n"},
        {"", std::nullopt, "\n"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        ConsoleHost host(out);
        host.MsgBox(c.text, kMessageBoxInformation, c.title);
        EXPECT_EQ(out.str(), c.shown);
    }
}

TEST(ConsoleHost, DoEventsCallsTheOwnersCallback) {
    std::ostringstream out;
    int turns = 0;
    ConsoleHost host(out, [&] { ++turns; });
    host.DoEvents();
    host.DoEvents();
    EXPECT_EQ(turns, 2);
    ConsoleHost without(out);
    without.DoEvents();  // no callback: nothing to do
    EXPECT_EQ(out.str(), "");
}

TEST(ConsoleHost, NowIsTheLocalTime) {
    ConsoleHost host;
    const auto local = [](time_t at) {
        tm fields{};
        ::localtime_r(&at, &fields);
        return LocalDateTime{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                             fields.tm_hour,        fields.tm_min,     std::min(fields.tm_sec, 59)};
    };
    const time_t before = ::time(nullptr);
    const LocalDateTime now = host.Now();
    const time_t after = ::time(nullptr);
    EXPECT_TRUE(now == local(before) || now == local(after));
}

// ---- Progress bar ----------------------------------------------------------

TEST(MemoryProgressBar, KeepsItsValuesAndReportsChangesOfValueAndMax) {
    std::vector<std::pair<float, float>> seen;
    MemoryProgressBar bar([&](float value, float max) { seen.emplace_back(value, max); });
    EXPECT_EQ(bar.get_Max(), 100.0F);
    EXPECT_EQ(bar.get_Value(), 0.0F);

    bar.put_Max(100.0F);  // unchanged
    bar.put_Value(5.0F);
    bar.put_Value(5.0F);  // unchanged
    bar.put_Max(50.0F);
    bar.put_Left(60.0F);
    bar.put_Top(70.0F);
    bar.put_Width(4320.0F);
    bar.put_Height(795.0F);
    bar.put_Value(0.0F);

    const std::vector<std::pair<float, float>> expected = {
        {5.0F, 100.0F}, {5.0F, 50.0F}, {0.0F, 50.0F}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(bar.get_Left(), 60.0F);
    EXPECT_EQ(bar.get_Top(), 70.0F);
    EXPECT_EQ(bar.get_Width(), 4320.0F);
    EXPECT_EQ(bar.get_Height(), 795.0F);

    MemoryProgressBar silent;  // no observer
    silent.put_Value(3.0F);
    EXPECT_EQ(silent.get_Value(), 3.0F);
}

}  // namespace
}  // namespace kdr
