// The platform interfaces the controller is built on.
//
// The controller does no I/O of its own. It reaches the serial line (a byte
// port, kdr/byte_port.hpp), the progress display, the host's user interface and time through these
// small interfaces, so that the same controller code runs on Linux and on Windows, and unit tests
// run it against fakes on a virtual clock.
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
