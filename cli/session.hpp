// What every reader command sets up: the port, the controller with its
// serial component (traced on request), the console host and the progress line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "cli/app.hpp"
#include "kdr/controller.hpp"
#include "kdr/posix_platform.hpp"

namespace kdr::cli {

/// Bad usage found after the command line was parsed: exit code 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A --port value: a port number, or a device path given to port 1.
struct PortChoice {
    std::int16_t number = 1;
    std::optional<std::string> path;
};
/// "3" is port 3 (/dev/ttyS2); anything with a "/" is a device path. Throws
/// UsageError for anything else and for numbers outside 1 to 32767.
[[nodiscard]] PortChoice parse_port(std::string_view text);

/// A progress line on a terminal: "label [#####     ]", redrawn in place.
class ProgressLine {
  public:
    ProgressLine(std::ostream& out, bool enabled, std::string label)
        : out_(out), enabled_(enabled), label_(std::move(label)) {}
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { clear(); }

    /// Draws the bar for value out of max; nothing when disabled or unchanged.
    void update(float value, float max);
    /// Removes the line, so that other output starts on a clean line.
    void clear();
    /// Turns drawing on or off; the line is drawn only while on.
    void set_enabled(bool enabled) { enabled_ = enabled; }
    /// The line as drawn for value out of max, without the carriage return.
    [[nodiscard]] std::string render(float value, float max) const;

  private:
    static constexpr int kCells = 30;
    std::ostream& out_;
    bool enabled_;
    std::string label_;
    int drawn_cells_ = -1;
};

/// The host's services for the command: message boxes become lines on
/// standard error ("title: text"), after the progress line is cleared.
class CliHost final : public HostServices {
  public:
    CliHost(std::ostream& err, ProgressLine& progress) : console_(err), progress_(progress) {}
    void MsgBox(std::string_view text, int style, std::optional<std::string_view> title) override;
    void DoEvents() override {}
    [[nodiscard]] LocalDateTime Now() override { return console_.Now(); }
    /// The text of the last message shown.
    [[nodiscard]] const std::optional<std::string>& last_message() const { return last_message_; }

  private:
    ConsoleHost console_;
    ProgressLine& progress_;
    std::optional<std::string> last_message_;
};

/// Options every reader command takes.
struct LineOptions {
    std::string port = "1";
    std::string password;
    bool trace = false;
};

class Session {
  public:
    /// Throws UsageError for a bad --port and for a password that cannot be
    /// sent; warns of one longer than a reader's.
    Session(const LineOptions& options, Console& console, std::string progress_label);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    [[nodiscard]] KDRController& controller() { return *controller_; }
    [[nodiscard]] ProgressLine& progress() { return progress_; }
    /// "/dev/ttyUSB0" for a path, "port 1 (/dev/ttyS0)" for a number.
    [[nodiscard]] const std::string& port_name() const { return port_name_; }

    /// OpenKDR with the password on the port; on failure reports why.
    [[nodiscard]] bool open();
    /// Opens and closes the port: throws kdr::Error when it is missing,
    /// busy or no serial port.
    void check_port();
    /// Reports why the last call failed, unless a message said it already,
    /// and returns kExitFailure.
    int fail();

  private:
    Console& console_;
    SteadyClock clock_;
    ProgressLine progress_;
    CliHost host_;
    std::unique_ptr<KDRController> controller_;
    std::int16_t port_ = 1;
    PortMap ports_;
    std::string password_;
    std::string port_name_;
};

}  // namespace kdr::cli
