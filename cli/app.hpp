// The `kdr` command: work with a KDR reader from a shell.
//
//   kdr open | download | sync-time | erase   talk to a reader on a serial port
//   kdr ports                                 list the serial devices
//   kdr simulate                              play a reader on a pseudo-terminal
//   kdr demo                                  a download from the built-in simulator
//
// Exit codes: 0 success, 1 the operation failed, 2 bad usage.
#pragma once

#include <array>
#include <functional>
#include <istream>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace kdr::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// Where the command reads and writes, and what of it is a terminal.
struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool in_is_terminal = false;   ///< erase asks for confirmation only then
    bool err_is_terminal = false;  ///< a progress line is drawn only then
    /// The error number of a write to `out` that failed (0: none or unknown).
    std::function<int()> out_error = {};
    /// Standard output or error goes to the systemd journal, which stamps
    /// every line with its time: the station's lines leave out their own.
    bool to_journal = false;
    /// Results are seen on a terminal, where notes may point at them ("above").
    bool out_is_terminal = false;
};

/// Output to a file descriptor that keeps the error of the first write that
/// failed, so that the command can say why its results went nowhere.
class DescriptorOutput final : public std::streambuf {
  public:
    explicit DescriptorOutput(int fd) : fd_(fd) {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    }
    ~DescriptorOutput() override { sync(); }
    DescriptorOutput(const DescriptorOutput&) = delete;
    DescriptorOutput& operator=(const DescriptorOutput&) = delete;

    [[nodiscard]] int error() const noexcept { return error_; }

  protected:
    int_type overflow(int_type c) override;
    int sync() override;

  private:
    bool drain();

    int fd_;
    int error_ = 0;
    std::array<char, 8192> buffer_{};
};

/// Runs the command line `args` (without the program name) and returns the
/// exit code. Results go to console.out, messages, progress and traces to
/// console.err. Never throws.
int run(const std::vector<std::string>& args, Console& console);

/// Whether `fd` is the stream systemd connected to its journal, which it names
/// in JOURNAL_STREAM ("DEVICE:INODE") for the services it starts.
[[nodiscard]] bool is_journal_stream(int fd);

}  // namespace kdr::cli
