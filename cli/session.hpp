// What every reader command sets up: the port named on the command line or in
// KDR_PORT, the reader on it (traced on request), and the terminal's status
// line for progress.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>

#include "cli/app.hpp"
#include "kdr/reader.hpp"
#include "kdr/system.hpp"

namespace kdr::cli {

/// Bad usage found after the command line was parsed: exit code 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// The port a --port word names, not yet opened (make_byte_port). Throws
/// UsageError for a word that can name no port: an unknown scheme
/// ("udp://x"), a network port without a host or a port number from 1 to
/// 65535, a port number outside 1 to 32767. Whether the port exists or
/// answers is not looked at.
[[nodiscard]] std::unique_ptr<BytePort> port_for_word(std::string_view word);

/// A --latency value in milliseconds: "300", "300ms", "0.3s". Throws
/// UsageError for anything else and for more than a minute.
[[nodiscard]] std::chrono::milliseconds parse_latency(std::string_view text);

/// The columns of the terminal on standard error: its window size, else
/// COLUMNS, else 80.
[[nodiscard]] std::size_t terminal_columns();

/// One line of a terminal, redrawn in place; other output first clears it.
/// A line wider than the terminal would wrap and leave its first part behind
/// at each redraw, so it is cut to `columns` - 1 characters (0: no limit).
/// While it is enabled, SIGINT and SIGTERM clear a drawn line (on standard
/// error) before they end the program.
class StatusLine {
  public:
    StatusLine(std::ostream& terminal, bool enabled, std::size_t columns = 0);
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;
    ~StatusLine();

    /// Draws the text in place of what the line showed; nothing when disabled.
    void show(std::string_view text);
    /// Removes the line, so that other output starts on a clean line.
    void clear();
    /// The widest text drawn whole; 0 for no limit.
    [[nodiscard]] std::size_t width() const noexcept { return columns_ > 0 ? columns_ - 1 : 0; }

  private:
    std::ostream& out_;
    bool enabled_;
    std::size_t columns_;
    bool drawn_ = false;
    bool handling_signals_ = false;
};

/// Output that clears the status line before it is written, so that messages
/// and trace lines never run into the progress shown there.
class StatusAwareBuffer final : public std::streambuf {
  public:
    StatusAwareBuffer(std::streambuf& target, StatusLine& status)
        : target_(target), status_(status) {}

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override { return target_.pubsync(); }

  private:
    std::streambuf& target_;
    StatusLine& status_;
};

/// A download's progress for people: records of the announced count,
/// characters, the rate and the time left.
class DownloadProgressLine {
  public:
    using Clock = std::chrono::steady_clock;
    explicit DownloadProgressLine(StatusLine& status) : status_(status) {}

    /// Redraws at most ten times a second.
    void update(const DownloadProgress& progress);
    /// A new download begins: its line is labelled so ("read 2 (to compare)")
    /// and its rate counted from its own first character.
    void begin(std::string label);
    /// The line for a progress `elapsed` after the first character arrived,
    /// its later parts left out where they would pass `width` (0: no limit).
    [[nodiscard]] static std::string render(const DownloadProgress& progress,
                                            std::chrono::duration<double> elapsed,
                                            std::size_t width = 0,
                                            std::string_view label = "download");

  private:
    StatusLine& status_;
    std::string label_ = "download";
    std::optional<Clock::time_point> first_;
    std::optional<Clock::time_point> drawn_;
};

/// Options every reader command takes.
struct LineOptions {
    std::optional<std::string> port;      ///< --port; the session falls back on KDR_PORT
    std::optional<std::string> password;  ///< --password
    bool trace = false;
    bool quiet = false;                        ///< nothing on standard error but errors
    std::optional<std::string> password_file;  ///< --password-file
    std::optional<std::string> latency;        ///< --latency; else KDR_LATENCY
};

/// The password to send: --password, else the first line of
/// --password-file, else KDR_PASSWORD, else the first line of the
/// service manager's credential $CREDENTIALS_DIRECTORY/password, else empty.
/// Throws UsageError when both options are given or the file cannot be read.
[[nodiscard]] std::string resolve_password(const LineOptions& options);

class Session {
  public:
    /// Throws UsageError when no port is named or it is malformed
    /// (check_port_word), and for a password that cannot be sent; warns of
    /// one longer than a reader's.
    Session(const LineOptions& options, Console& console, std::string_view command);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Connects: the reader checks the password. False after saying why.
    /// `on_wait` is the reader's (ReaderOptions::on_wait): what it throws
    /// that is no std::exception ends the call and passes through.
    [[nodiscard]] bool open(std::function<void()> on_wait = {});
    /// The connected reader (after open()).
    [[nodiscard]] Reader& reader() { return *reader_; }
    /// How messages name the port ("/dev/ttyUSB0"; "/dev/ttyS0" for 1).
    [[nodiscard]] const std::string& port_name() const { return port_name_; }

    /// Messages and errors: standard error, after the status line is cleared.
    [[nodiscard]] std::ostream& err() { return err_; }
    /// What a person may like to know beside the results; nothing with --quiet.
    [[nodiscard]] std::ostream& info() { return quiet_ ? null_ : err_; }
    /// Removes the progress line, before results are written.
    void end_progress() { status_.clear(); }
    /// The next download's progress is labelled `what` and timed on its own.
    void label_download(std::string_view what) { progress_.begin(std::string(what)); }
    /// Says why and returns kExitFailure.
    int fail(const std::exception& error);
    /// The kind of the last failure fail() reported; None before any, and
    /// for failures that are no kdr::Error.
    [[nodiscard]] ErrorKind failure_kind() const noexcept { return failure_kind_; }
    /// The description of the last failure fail() reported; empty before any.
    [[nodiscard]] const std::string& failure() const noexcept { return failure_; }
    /// Whether the port is one reached over the network, as the port says.
    [[nodiscard]] bool network_port() const { return network_; }

  private:
    [[nodiscard]] std::unique_ptr<BytePort> make_port();

    Console& console_;
    StatusLine status_;
    StatusAwareBuffer err_buffer_;
    std::ostream err_;
    std::ostream null_{nullptr};
    DownloadProgressLine progress_;
    std::unique_ptr<Clock> clock_ = make_monotonic_clock();
    std::unique_ptr<Reader> reader_;
    std::string password_;
    std::string port_word_;
    std::string port_name_;
    std::chrono::milliseconds latency_{0};
    bool trace_ = false;
    bool quiet_ = false;
    bool port_from_environment_ = false;  ///< port errors then name KDR_PORT
    bool network_ = false;
    ErrorKind failure_kind_ = ErrorKind::None;
    std::string failure_;
};

}  // namespace kdr::cli
