// Runs the built `kdr` as a child process with a deadline: a child that
// hangs is killed and the test fails rather than waits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kdr::e2e {

using Seconds = std::chrono::duration<double>;

struct ProcessResult {
    int exit_code = -1;  ///< -1 when killed or ended by a signal
    bool timed_out = false;
    std::string out;
    std::string err;
    Seconds elapsed{};
};

/// The path of the built `kdr`.
[[nodiscard]] std::string kdr_binary();

/// Runs `kdr` with `args` and waits for it, at most `deadline`. Standard input
/// is /dev/null unless `stdin_fd` is given.
[[nodiscard]] ProcessResult run_kdr(const std::vector<std::string>& args, Seconds deadline,
                                    std::optional<int> stdin_fd = std::nullopt);

/// The whole content of a file, empty when it cannot be read.
[[nodiscard]] std::string read_file_text(const std::string& path);

/// `kdr` running in the background, its output captured.
class BackgroundKdr {
  public:
    explicit BackgroundKdr(const std::vector<std::string>& args);
    /// Kills the process if it still runs.
    ~BackgroundKdr();
    BackgroundKdr(const BackgroundKdr&) = delete;
    BackgroundKdr& operator=(const BackgroundKdr&) = delete;

    /// The next line of standard output, without its end; nothing when none
    /// came within `deadline`.
    [[nodiscard]] std::optional<std::string> read_line(Seconds deadline);
    /// Waits until standard error holds `text`, at most `deadline`.
    [[nodiscard]] bool wait_for_err(const std::string& text, Seconds deadline);
    /// Sends a signal, then collects everything until the process ends, at
    /// most `deadline` (then it is killed).
    [[nodiscard]] ProcessResult stop(int signal, Seconds deadline);

  private:
    void pump(Seconds wait);

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string out_text_;
    std::string err_text_;
    std::size_t out_taken_ = 0;
};

}  // namespace kdr::e2e
