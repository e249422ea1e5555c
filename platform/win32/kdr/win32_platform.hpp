// The platform components for Windows: the byte port of a COM port, the
// progress bar as a common-controls child window, the host services of a
// window program and a monotonic clock.
//
// Like the interfaces they implement, none of these is thread-safe: each
// object is used from the thread that created it, the host's user-interface
// thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/byte_port.hpp"
#include "kdr/error.hpp"
#include "kdr/line_settings.hpp"
#include "kdr/platform.hpp"

namespace kdr::win32 {

/// The system's monotonic clock: QueryPerformanceCounter since the system
/// started, in nanoseconds. Clock::now() reads it, and a SerialPort's read
/// deadlines are on it. std::chrono::steady_clock is no substitute here: the
/// C++ library of mingw-w64's win32 thread model reads the wall clock for it.
[[nodiscard]] kdr::Clock::Instant monotonic_now() noexcept;

/// The byte port of one COM port, "\\.\COMn".
///
/// Opening takes the port for this program alone, applies the settings with
/// no flow control, DTR and RTS on, a receive buffer of 1024 and a transmit
/// buffer of 512 characters, and "?" in place of characters received with a
/// parity error. A read with a deadline in the past takes what has arrived
/// and never waits; one with a later deadline waits in the driver until the
/// first byte arrives or the deadline (on monotonic_now) passes (under Wine,
/// whose driver ends such a wait only at its time-out, within 5 ms of the
/// first byte). A write
/// fails when the line accepts nothing for the write timeout. A line the
/// driver reports gone (an unplugged adapter; under Wine, a pseudo-terminal
/// whose other end closed) turns Dropped.
class SerialPort final : public kdr::BytePort {
  public:
    static constexpr DWORD kDefaultWriteTimeoutMs = 3000;

    /// COM port `number`, closed. Throws InvalidPortNumber below 1.
    explicit SerialPort(std::int16_t number, DWORD write_timeout_ms = kDefaultWriteTimeoutMs);
    /// Closes the port if it is open.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    [[nodiscard]] std::int16_t number() const noexcept { return number_; }

    void open(const LineSettings& settings) override;
    void close() noexcept override;
    [[nodiscard]] LineState state() const noexcept override;
    [[nodiscard]] LineSettings settings() const override { return settings_; }
    /// PortNotOpen on a closed port.
    void apply(const LineSettings& settings) override;
    void write(std::string_view bytes) override;
    std::size_t read(std::string& into, kdr::Clock::Instant deadline) override;
    [[nodiscard]] std::size_t available() override;
    void discard_input() override;
    /// "COM3".
    [[nodiscard]] std::string name() const override;
    [[nodiscard]] LinkKind link() const noexcept override { return LinkKind::Local; }

  private:
    /// Throws PortNotOpen on a closed port, LineDropped on a dropped line.
    void require_usable(std::string_view action) const;
    /// The error for a failed call `what`; a code that says the device went
    /// away marks the line Dropped and gives LineDropped.
    [[nodiscard]] Error failure(DWORD code, std::string_view what, ErrorKind otherwise);
    void set_state(const LineSettings& settings);
    /// Sets the read time-outs: 0 returns at once with what has arrived;
    /// more waits up to that many milliseconds for the first byte.
    void set_read_wait(DWORD wait_ms);
    [[nodiscard]] DWORD queued(std::string_view what);
    /// Appends what has arrived without waiting, in reads of at most the
    /// queued count, under any time-outs.
    std::size_t take_queued(std::string& into);
    std::size_t read_now(std::string& into);
    std::size_t read_waiting(std::string& into, kdr::Clock::Instant deadline);

    std::int16_t number_;
    DWORD write_timeout_ms_;
    LineSettings settings_{};
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool dropped_ = false;
    DWORD read_wait_ms_ = 0;
};

/// The horizontal progress bar `ProgressBar1`: a msctls_progress32 child of the
/// control's window while the control has one.
///
/// Values, position and size (twips) are kept by the object itself, so that
/// they hold while the control has no window (created without a form, or not
/// yet in-place active) and reach the child as soon as it is created.
class ProgressBar final : public kdr::ProgressBar {
  public:
    ProgressBar() = default;
    ~ProgressBar() override;
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Creates the child window in `parent` with the kept values. Throws
    /// kdr::Error(IoError) when the window cannot be created.
    void attach(HWND parent);
    /// Destroys the child window; the values stay.
    void detach() noexcept;
    [[nodiscard]] HWND window() const noexcept { return bar_; }

    [[nodiscard]] float get_Max() const override { return max_; }
    void put_Max(float value) override;
    [[nodiscard]] float get_Value() const override { return value_; }
    void put_Value(float value) override;
    [[nodiscard]] float get_Left() const override { return left_; }
    void put_Left(float value) override;
    [[nodiscard]] float get_Top() const override { return top_; }
    void put_Top(float value) override;
    [[nodiscard]] float get_Width() const override { return width_; }
    void put_Width(float value) override;
    [[nodiscard]] float get_Height() const override { return height_; }
    void put_Height(float value) override;

  private:
    void show_position() const;
    void show_value() const;

    float max_ = 100.0F;
    float value_ = 0.0F;
    float left_ = 0.0F;
    float top_ = 0.0F;
    float width_ = 0.0F;
    float height_ = 0.0F;
    HWND bar_ = nullptr;
};

/// Twips and pixels on the screen: 1440 twips an inch at the screen's
/// logical resolution (96 pixels an inch gives 15 twips a pixel).
struct ScreenScale {
    int dpi_x = 96;
    int dpi_y = 96;

    /// The screen's logical resolution, 96 by 96 when it cannot be read.
    [[nodiscard]] static ScreenScale current() noexcept;
    [[nodiscard]] float x_to_twips(int pixels) const noexcept;
    [[nodiscard]] float y_to_twips(int pixels) const noexcept;
    /// Rounded to the nearest pixel.
    [[nodiscard]] int x_to_pixels(float twips) const noexcept;
    [[nodiscard]] int y_to_pixels(float twips) const noexcept;
};

/// How a wait reaches its end. The system's timer ticks about every 15.6 ms
/// by default, and a plain Sleep or wait timeout ends on a tick: a 3 ms wait
/// would last 15.6 ms.
enum class WaitPrecision {
    /// A high-resolution waitable timer where the system has one (Windows 10
    /// version 1803 and later); otherwise as raised_resolution.
    automatic,
    /// A waitable timer on the system's timer, whose resolution the caller
    /// raises to 1 ms for the length of an operation (TimerResolution).
    raised_resolution,
};

/// A one-shot waitable timer that ends a wait at its deadline rather than at
/// the system timer's next tick. Relative due times run on the system's
/// interrupt time, so changes of the wall clock do not move them.
class WaitTimer {
  public:
    explicit WaitTimer(WaitPrecision precision = WaitPrecision::automatic) noexcept;
    ~WaitTimer();
    WaitTimer(const WaitTimer&) = delete;
    WaitTimer& operator=(const WaitTimer&) = delete;

    /// True when the timer keeps its time without a raised timer resolution.
    [[nodiscard]] bool high_resolution() const noexcept { return high_resolution_; }

    /// Blocks the thread for `length` at least, without using the processor;
    /// with `wake_on_input`, returns earlier when the thread has a message
    /// to process.
    void wait(kdr::Clock::Duration length, bool wake_on_input) noexcept;

  private:
    HANDLE timer_ = nullptr;
    bool high_resolution_ = false;
};

/// Raises the system's timer resolution to 1 ms while it lives, when `needed`
/// (the waits have no high-resolution timer): meant for the length of one
/// operation, never for the life of the process.
class TimerResolution {
  public:
    explicit TimerResolution(bool needed) noexcept;
    ~TimerResolution();
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;

  private:
    bool raised_ = false;
};

/// A Clock on QueryPerformanceCounter: unaffected by changes of the wall clock.
class Clock final : public kdr::Clock {
  public:
    explicit Clock(WaitPrecision precision = WaitPrecision::automatic) noexcept;
    /// monotonic_now().
    [[nodiscard]] Instant now() override;
    /// Sleeps the thread (no message processing) until the deadline.
    void sleep_until(Instant deadline) override;
    /// Whether an operation's waits need the timer resolution raised
    /// (TimerResolution) to end on time.
    [[nodiscard]] bool needs_raised_resolution() const noexcept {
        return !timer_.high_resolution();
    }

  private:
    WaitTimer timer_;
};

/// The host services of a window program.
///
/// MsgBox shows the system's message box, owned by the window that `owner`
/// returns at the time (the control's window; none while it has no window),
/// with "KDRCtrl" as the caption when no title is given. DoEvents processes
/// every message waiting for the thread and returns; a WM_QUIT it meets is
/// posted again for the host's own loop. idle_until waits for the deadline or
/// for a message for the thread, whichever comes first, on a WaitTimer.
class HostServices final : public kdr::HostServices {
  public:
    static constexpr std::string_view kDefaultTitle = "KDRCtrl";

    explicit HostServices(std::function<HWND()> owner = {},
                          WaitPrecision precision = WaitPrecision::automatic);

    void MsgBox(std::string_view text, int style, std::optional<std::string_view> title) override;
    void DoEvents() override;
    [[nodiscard]] LocalDateTime Now() override;
    void idle_until(kdr::Clock& clock, kdr::Clock::Instant deadline) override;

  private:
    std::function<HWND()> owner_;
    WaitTimer timer_;
};

/// The text of a system error code, without the trailing line break.
[[nodiscard]] std::string system_message(DWORD code);

}  // namespace kdr::win32
