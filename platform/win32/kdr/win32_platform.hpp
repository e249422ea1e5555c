// The platform components for Windows: the serial component on the system's
// COM ports, the progress bar as a common-controls child window, the host
// services of a window program and a monotonic clock.
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

#include "kdr/line_settings.hpp"
#include "kdr/platform.hpp"

namespace kdr::win32 {

/// The serial component `MSComm1` on "\\.\COMn".
///
/// Starts as the hosted component does at design time: port 1, settings
/// "19200,n,8,1", closed. Opening takes the port for this program alone,
/// applies the settings with no flow control, DTR and RTS on, a receive
/// buffer of 1024 and a transmit buffer of 512 characters, and "?" in place
/// of characters received with a parity error. Input never waits for data;
/// Output sends every character and fails when the line accepts nothing for
/// the write timeout.
class SerialPort final : public kdr::SerialPort {
  public:
    static constexpr DWORD kDefaultWriteTimeoutMs = 3000;

    explicit SerialPort(DWORD write_timeout_ms = kDefaultWriteTimeoutMs);
    /// Closes the port if it is open.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    [[nodiscard]] std::int16_t get_CommPort() const override { return port_; }
    /// Any number is taken while closed (opening checks it); InvalidArgument
    /// while open.
    void put_CommPort(std::int16_t port) override;

    [[nodiscard]] std::string get_Settings() const override;
    /// InvalidSettings for a text parse_line_settings refuses, or that the open
    /// port does not take; a refused text leaves the settings unchanged.
    void put_Settings(std::string_view settings) override;

    [[nodiscard]] bool get_PortOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }
    /// true: InvalidPortNumber (below 1), PortMissing, PortBusy, InvalidSettings,
    /// IoError; InvalidArgument when open already. false closes.
    void put_PortOpen(bool open) override;

    [[nodiscard]] int get_InBufferCount() override;
    void put_InBufferCount(int count) override;
    [[nodiscard]] std::string get_Input() override;
    void put_Output(std::string_view data) override;

  private:
    [[nodiscard]] std::string describe() const;
    void require_open(std::string_view property) const;
    void apply(const LineSettings& settings) const;
    void close_port() noexcept;

    DWORD write_timeout_ms_;
    std::int16_t port_ = 1;
    LineSettings settings_{};
    HANDLE handle_ = INVALID_HANDLE_VALUE;
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
    [[nodiscard]] Instant now() override;
    /// Sleeps the thread (no message processing) until the deadline.
    void sleep_until(Instant deadline) override;
    /// Whether an operation's waits need the timer resolution raised
    /// (TimerResolution) to end on time.
    [[nodiscard]] bool needs_raised_resolution() const noexcept {
        return !timer_.high_resolution();
    }

  private:
    LONGLONG frequency_ = 1;
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
