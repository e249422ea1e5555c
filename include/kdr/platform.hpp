// The platform interfaces the controller is built on.
//
// The controller does no I/O of its own. It reaches the serial line, the
// progress display, the host's user interface and time through these small
// interfaces, so that the same controller code runs on Linux and on Windows,
// and unit tests run it against fakes on a virtual clock.
//
// All of them are used from one thread, the host's user-interface thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/time.hpp"

namespace kdr {

/// The serial-port component hosted by the controller as `MSComm1`.
///
/// Property names follow the component's automation names (get_/put_ pairs).
/// Every failure is thrown as kdr::Error with a kind that says why.
class SerialPort {
  public:
    virtual ~SerialPort() = default;

    /// The port number (1 is the first port) used by the next open.
    [[nodiscard]] virtual std::int16_t get_CommPort() const = 0;
    /// Selects the port for the next open. Throws InvalidArgument while the
    /// port is open (a port cannot be changed under an open line).
    virtual void put_CommPort(std::int16_t port) = 0;

    /// The line settings, as "baud,parity,data bits,stop bits" ("19200,n,8,1").
    [[nodiscard]] virtual std::string get_Settings() const = 0;
    /// Takes a settings text; applies it at once when the port is open.
    /// Throws InvalidSettings for a text it cannot honour.
    virtual void put_Settings(std::string_view settings) = 0;

    [[nodiscard]] virtual bool get_PortOpen() const = 0;
    /// true opens the selected port with the current settings (PortMissing,
    /// PortBusy, InvalidPortNumber, InvalidSettings, IoError on failure;
    /// InvalidArgument when it is open already); false closes it (no effect
    /// when closed).
    virtual void put_PortOpen(bool open) = 0;

    /// The number of received characters waiting to be read. Throws
    /// PortNotOpen on a closed port and LineDropped on a line that went away.
    [[nodiscard]] virtual int get_InBufferCount() = 0;
    /// Setting 0 discards every received character not yet read; other values
    /// are refused with InvalidArgument.
    virtual void put_InBufferCount(int count) = 0;

    /// Every received character waiting, removed from the buffer; empty when
    /// nothing waits. Never waits for data.
    [[nodiscard]] virtual std::string get_Input() = 0;
    /// Sends every character of the text, one byte each, in order.
    virtual void put_Output(std::string_view data) = 0;

    /// How messages name the selected port: "port 3", or what the component
    /// knows better ("/dev/ttyUSB0").
    [[nodiscard]] virtual std::string port_name() const {
        return "port " + std::to_string(get_CommPort());
    }
};

/// The horizontal progress bar hosted by the controller as `ProgressBar1`.
/// Values are single-precision numbers, positions and sizes in twips.
class ProgressBar {
  public:
    virtual ~ProgressBar() = default;

    [[nodiscard]] virtual float get_Max() const = 0;
    virtual void put_Max(float value) = 0;
    [[nodiscard]] virtual float get_Value() const = 0;
    virtual void put_Value(float value) = 0;

    [[nodiscard]] virtual float get_Left() const = 0;
    virtual void put_Left(float value) = 0;
    [[nodiscard]] virtual float get_Top() const = 0;
    virtual void put_Top(float value) = 0;
    [[nodiscard]] virtual float get_Width() const = 0;
    virtual void put_Width(float value) = 0;
    [[nodiscard]] virtual float get_Height() const = 0;
    virtual void put_Height(float value) = 0;
};

/// A monotonic clock. Its readings only ever grow, whatever the wall clock does
/// (midnight, daylight saving, a user setting the time).
class Clock {
  public:
    using Duration = std::chrono::nanoseconds;
    using Instant = std::chrono::time_point<std::chrono::steady_clock, Duration>;

    virtual ~Clock() = default;
    [[nodiscard]] virtual Instant now() = 0;
    /// Blocks the calling thread, without using the processor, until now() has
    /// reached the deadline. Returns at once for a deadline in the past.
    virtual void sleep_until(Instant deadline) = 0;
};

/// Message-box style with an OK button and the information icon.
inline constexpr int kMessageBoxInformation = 64;

/// What the reader's operations need of the program they run in: its local
/// time and its message loop. A program without a user interface has a loop
/// with nothing to do.
class HostRuntime {
  public:
    virtual ~HostRuntime() = default;

    /// The current local date and time, read at once for all six fields.
    [[nodiscard]] virtual LocalDateTime Now() = 0;

    /// Gives the host's message loop one turn: pending window messages are
    /// processed and the call returns. During this turn the host may call the
    /// controller again.
    virtual void DoEvents() = 0;

    /// Lets the thread rest between two turns of a yielding wait: returns at
    /// the deadline, or earlier when the host has messages to process.
    virtual void idle_until(Clock& clock, Clock::Instant deadline) { clock.sleep_until(deadline); }
};

/// What the controller needs of the host application: its run-time and a
/// message box.
class HostServices : public HostRuntime {
  public:
    /// Shows a message to the user and returns once it was acknowledged.
    /// Without a title the platform's default caption is used.
    virtual void MsgBox(std::string_view text, int style,
                        std::optional<std::string_view> title) = 0;
};

}  // namespace kdr
