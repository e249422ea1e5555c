// The platform components for Linux and other POSIX systems: the byte port
// on termios, a monotonic clock, and a console host.
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

#include "kdr/byte_port.hpp"
#include "kdr/line_settings.hpp"
#include "kdr/platform.hpp"

struct termios;

namespace kdr {

/// Maps port numbers to device paths, for hosts that choose a port by
/// number (the control's CommPort, "--port 3").
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

  private:
    std::map<std::int16_t, std::string> paths_;
};

/// A serial line on a termios device (a serial port, a USB serial adapter,
/// a pseudo-terminal), as a BytePort.
///
/// Opening takes the device for this port alone (a second opener, in this
/// process or another, gets PortBusy), puts it in raw mode with the
/// settings, no flow control, and DTR and RTS on where the device has modem
/// lines. Closing puts the device's settings back as they were before the
/// open. Only a terminal device other than the program's own controlling
/// terminal is opened: /dev/tty, the user's own /dev/pts/N, a regular file or
/// /dev/null are refused with InvalidPortNumber before anything is sent.
///
/// read waits in poll() for the device; write waits at most the write
/// timeout for a line that accepts nothing. available() takes what the
/// device holds into the port's own buffer, so that bytes once counted are
/// handed over even when the line goes away before they are read (a
/// pseudo-terminal drops its buffer when the other side closes).
///
/// A line that goes away while open (an adapter unplugged, a pseudo-terminal
/// whose other side closed) makes state() Dropped and every later read,
/// available, write, discard_input and apply throw LineDropped, once the
/// bytes received before were handed over, until the port is closed.
///
/// Errors name the port by its word, and by its device when the word is not
/// the path ("COM3 (/dev/ttyS2)"), say why, and where possible what to do.
class PosixSerialPort final : public BytePort {
  public:
    /// How long a write waits for a line that accepts nothing before it
    /// gives up with IoError.
    static constexpr std::chrono::milliseconds kDefaultWriteTimeout{3000};

    /// A port on the device at `path`, named `name` in messages and by
    /// name() (the path when empty). Nothing is opened yet.
    explicit PosixSerialPort(std::string path, std::string name = {},
                             std::chrono::milliseconds write_timeout = kDefaultWriteTimeout);
    /// Closes the port if it is open.
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    /// Throws InvalidSettings for values this system cannot set (1.5 stop
    /// bits, a baud rate without a termios speed) or the device refuses.
    void open(const LineSettings& settings) override;
    void close() noexcept override;
    [[nodiscard]] LineState state() const noexcept override;

    [[nodiscard]] LineSettings settings() const override { return settings_; }
    /// As open, InvalidSettings for values the system or the device refuses,
    /// leaving the device as it was; PortNotOpen on a closed port.
    void apply(const LineSettings& settings) override;

    void write(std::string_view bytes) override;
    std::size_t read(std::string& into, Clock::Instant deadline) override;
    [[nodiscard]] std::size_t available() override;
    /// Discards the port's buffer and the device's input queue.
    void discard_input() override;

    [[nodiscard]] std::string name() const override { return name_; }
    [[nodiscard]] LinkKind link() const noexcept override { return LinkKind::Local; }

    /// The device path the port opens.
    [[nodiscard]] const std::string& device_path() const noexcept { return path_; }

  private:
    [[nodiscard]] std::string describe() const;
    void require_open(std::string_view doing) const;
    /// Throws LineDropped when the line was found gone.
    void check_line();
    [[noreturn]] void throw_dropped();
    /// Moves what the device holds into pending_, without waiting; false
    /// when the line went away.
    bool drain();
    void wait_writable(std::size_t sent, std::size_t total);
    void close_port() noexcept;

    std::string path_;
    std::string name_;
    std::chrono::milliseconds write_timeout_;
    LineSettings settings_{};
    int fd_ = -1;
    bool dropped_ = false;
    /// Bytes taken from the device and not yet handed over.
    std::string pending_;
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
