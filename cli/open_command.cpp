// kdr open: the connection alone, the reader checking the password.
#include <fmt/format.h>

#include "cli/commands.hpp"
#include "cli/options.hpp"

namespace kdr::cli {

void add_open_options(CLI::App& command, LineOptions& options) {
    add_line_options(command, options);
    command.footer(R"(Examples:
  kdr open --port /dev/ttyUSB0
  kdr open --port /dev/ttyUSB0 --password 1234
  KDR_PASSWORD=1234 kdr open --port /dev/ttyUSB0
  kdr open --port /dev/ttyUSB0 --trace        show every byte on the line)");
}

int command_open(const LineOptions& options, Console& console) {
    Session session(options, console, "open");
    if (!session.open()) {
        return kExitFailure;
    }
    console.out << fmt::format("The reader on {} accepted the password.\n", session.port_name());
    return kExitSuccess;
}

}  // namespace kdr::cli
