// The reader for C++ programs: plain types, one exception type.
//
//     kdr::Reader reader{kdr::open_port("/dev/ttyUSB0"), "1234"};
//     const kdr::Download download = reader.download();
//     for (const kdr::DownloadedRecord& record : download.records) { ... }
//     if (download.complete()) reader.erase();
//
// A Reader is the controller (KDRController) with a monotonic clock, the
// host's local time and no user interface: what the controller would show a
// user reaches an optional callback, and every failure is thrown as
// kdr::Error with its kind (ErrorKind) and a description a person can act on.
// A Reader is used from one thread; every call returns when its exchange with
// the reader has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/controller.hpp"
#include "kdr/download.hpp"
#include "kdr/error.hpp"
#include "kdr/platform.hpp"

namespace kdr {

/// The serial device at `path` ("/dev/ttyUSB0", "/dev/serial/by-id/...", a
/// pseudo-terminal), not yet opened. Messages name the port by its path.
[[nodiscard]] std::unique_ptr<SerialPort> open_port(std::string path);

/// How far a download has come.
struct DownloadProgress {
    std::size_t characters = 0;  ///< characters of the answer received so far
    std::size_t records = 0;     ///< records received whole so far
    /// The records the reader announced, once its header is in.
    std::optional<std::int32_t> announced;
};

struct ReaderOptions {
    /// Called whenever more of a download's answer has arrived.
    std::function<void(const DownloadProgress&)> on_progress;
    /// What the controller would show a user in a message box: title (empty
    /// for none) and text. Not needed to learn of failures: they are thrown.
    std::function<void(std::string_view title, std::string_view text)> on_message;
};

class Reader {
  public:
    /// Opens a password-checked connection with the reader on `port`. Throws
    /// kdr::Error when the port cannot be opened (PortMissing, PortBusy, ...),
    /// the reader does not answer (NoAnswer) or refuses the password (Refused).
    Reader(std::unique_ptr<SerialPort> port, std::string_view password, ReaderOptions options = {});
    /// Closes the connection; never throws.
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// Every record the reader holds; the reader keeps them. A download that
    /// arrived incomplete is returned all the same: `complete()` is false
    /// then. Throws kdr::Error when nothing usable arrived.
    [[nodiscard]] Download download();
    /// Sets the reader's clock to this computer's local time and returns the
    /// reader's clock as read back. Throws kdr::Error when the reader did not
    /// take it (ClockMismatch, Refused, NoAnswer, ...).
    LocalDateTime sync_clock();
    /// Tells the reader to erase its records. Returns Acknowledged, or Silent
    /// for a reader that does not confirm; throws kdr::Error when it refused
    /// (Refused), answered something else (BadAnswer) or the line failed.
    EraseReply erase();

    /// The controller underneath, for what this class does not offer.
    [[nodiscard]] KDRController& controller() noexcept { return *controller_; }

  private:
    class Host;
    class ProgressPort;
    [[noreturn]] void throw_last_failure() const;

    std::unique_ptr<Clock> clock_;
    std::unique_ptr<Host> host_;
    std::unique_ptr<KDRController> controller_;
};

}  // namespace kdr
