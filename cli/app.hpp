// The `kdr` command: work with a KDR reader from a shell.
//
//   kdr open | download | sync-time | erase   talk to a reader on a serial port
//   kdr ports                                 list the serial devices
//   kdr simulate                              play a reader on a pseudo-terminal
//   kdr demo                                  a download from the built-in simulator
//
// Exit codes: 0 success, 1 the operation failed, 2 bad usage.
#pragma once

#include <istream>
#include <ostream>
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
};

/// Runs the command line `args` (without the program name) and returns the
/// exit code. Results go to console.out, messages, progress and traces to
/// console.err. Never throws.
int run(const std::vector<std::string>& args, Console& console);

}  // namespace kdr::cli
