// The platform components for Linux and other POSIX systems: the serial
// component on termios, a monotonic clock, and a console host.
//
// Like the interfaces they implement, none of these is thread-safe: each
// object is used from one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "kdr/line_settings.hpp"
#include "kdr/platform.hpp"

struct termios;

namespace kdr {

/// Maps the component's port numbers to device paths.
///
/// Without an assignment, port n (n >= 1) is "/dev/ttyS<n-1>": port 1 is
/// /dev/ttyS0, port 3 is /dev/ttyS2. A host points any port number at any
/// device: a USB adapter (/dev/ttyUSB0), a modem-class device (/dev/ttyACM0),
/// a stable link (/dev/serial/by-id/...) or a pseudo-terminal.
class PortMap {
  public:
    /// Makes port number `port` open `path`. Throws InvalidPortNumber for a
    /// port below 1 and InvalidArgument for an empty path.
    void assign(std::int16_t port, std::string path);

    /// The device path of a port number: its assignment, else the default.
    /// Throws InvalidPortNumber for 0 and negative numbers.
    [[nodiscard]] std::string path_for(std::int16_t port) const;

    /// Messages name a port by its device alone ("/dev/ttyUSB0") rather than
    /// by number and device ("COM1 (/dev/ttyUSB0)"): for programs whose users
    /// chose a device, not a number.
    void name_ports_by_device() noexcept { by_device_ = true; }
    [[nodiscard]] bool names_by_device() const noexcept;
    /// The name messages use for the port.
    [[nodiscard]] std::string label(std::int16_t port, std::string_view path) const;

  private:
    std::map<std::int16_t, std::string> paths_;
    bool by_device_ = false;
};

/// The serial component `MSComm1` on a termios device.
///
/// Starts as the hosted component does at design time: port 1, settings
/// "19200,n,8,1", closed. Opening takes the device for itself (a second
/// opener, in this process or another, gets PortBusy), puts it in raw mode
/// with the settings, no flow control, and DTR and RTS on where the device
/// has modem lines. Closing puts the device's settings back as they were
/// before the open. Only a terminal device other than the program's own
/// controlling terminal is opened: /dev/tty, the user's own /dev/pts/N, a
/// regular file or /dev/null are refused before anything is sent. Reads and
/// writes never wait for the other side, except that an Output waits up to the
/// write timeout for the line to accept more characters.
///
/// A line that goes away while open (an adapter unplugged, a pseudo-terminal
/// whose other side closed) makes every later InBufferCount, Input and Output
/// throw LineDropped until the port is closed. PortOpen stays true until then.
///
/// Errors name the port and the device, say why, and where possible what to do.
class PosixSerialPort final : public SerialPort {
  public:
    /// How long an Output waits for a line that accepts nothing before it
    /// gives up with IoError.
    static constexpr std::chrono::milliseconds kDefaultWriteTimeout{3000};

    explicit PosixSerialPort(PortMap ports = {},
                             std::chrono::milliseconds write_timeout = kDefaultWriteTimeout);
    /// Closes the port if it is open.
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    [[nodiscard]] std::int16_t get_CommPort() const override { return port_; }
    /// Any number is taken while closed (open checks it against the map);
    /// while open, throws InvalidArgument: the port cannot change under an
    /// open line.
    void put_CommPort(std::int16_t port) override;

    /// The settings in the form "19200,n,8,1".
    [[nodiscard]] std::string get_Settings() const override;
    /// Throws InvalidSettings for a text parse_line_settings refuses and for
    /// values this system cannot set (1.5 stop bits, a baud rate without a
    /// termios speed); when open, applies the settings at once and throws
    /// InvalidSettings when the device does not take them (LineDropped on a
    /// line that went away). A refused text leaves the settings, and the
    /// device's, as they were.
    void put_Settings(std::string_view settings) override;

    [[nodiscard]] bool get_PortOpen() const override { return fd_ >= 0; }
    /// true opens the port: InvalidPortNumber (no device for the number, or
    /// a path that is no serial port: not a terminal device, or this
    /// program's own terminal), PortMissing (no such device), PortBusy (held
    /// by another program or another port object), InvalidSettings, IoError
    /// (no permission, ...); InvalidArgument when it is open already. false
    /// closes it and restores the device's settings.
    void put_PortOpen(bool open) override;

    [[nodiscard]] int get_InBufferCount() override;
    void put_InBufferCount(int count) override;
    [[nodiscard]] std::string get_Input() override;
    /// Writes every character; throws IoError when the line accepts nothing
    /// for the write timeout, saying how many characters went out.
    void put_Output(std::string_view data) override;

    /// The device path of the open port; empty while closed.
    [[nodiscard]] const std::string& device_path() const noexcept { return path_; }
    /// "port 3", or the device path when the port map names ports by device.
    [[nodiscard]] std::string port_name() const override;

  private:
    [[nodiscard]] std::string describe() const;
    void require_open(std::string_view property) const;
    void check_line() const;
    [[noreturn]] void throw_dropped() const;
    void wait_writable(std::size_t sent, std::size_t total) const;
    void close_port() noexcept;

    PortMap ports_;
    std::chrono::milliseconds write_timeout_;
    std::int16_t port_ = 1;
    LineSettings settings_{};
    int fd_ = -1;
    std::string path_;
    /// The device's settings before the open, restored at close.
    std::unique_ptr<termios> original_settings_;
};

/// A Clock on the system's monotonic clock (CLOCK_MONOTONIC): unaffected by
/// changes of the wall clock. sleep_until sleeps in the kernel until the
/// deadline; it does not spin.
class SteadyClock final : public Clock {
  public:
    [[nodiscard]] Instant now() override;
    void sleep_until(Instant deadline) override;
};

/// Host services for a program without windows.
///
/// MsgBox writes the message as a line to a stream ("title: text" when a title
/// is given; CR LF inside the text becomes a line break) and returns at once.
/// DoEvents has no message loop to turn; it calls the owner's callback, when
/// one was given, so that a program can do its own periodic work there.
class ConsoleHost final : public HostServices {
  public:
    explicit ConsoleHost(std::ostream& out = std::cerr, std::function<void()> on_do_events = {});

    void MsgBox(std::string_view text, int style, std::optional<std::string_view> title) override;
    void DoEvents() override;
    /// The local date and time from one reading of the system clock. A leap
    /// second reads as second 59.
    [[nodiscard]] LocalDateTime Now() override;

  private:
    std::ostream& out_;
    std::function<void()> on_do_events_;
};

}  // namespace kdr
