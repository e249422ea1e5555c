// kdr sync-time: the reader's clock set to this computer's and read back.
#include <fmt/format.h>

#include <exception>

#include "cli/commands.hpp"
#include "cli/options.hpp"

namespace kdr::cli {

void add_sync_time_options(CLI::App& command, LineOptions& options) {
    add_line_options(command, options);
    command.footer(R"(Examples:
  kdr sync-time --port /dev/ttyUSB0
  kdr sync-time --port /dev/ttyUSB0 --password 1234)");
}

int command_sync_time(const LineOptions& options, Console& console) {
    Session session(options, console, "sync-time");
    if (!session.open()) {
        return kExitFailure;
    }
    try {
        const LocalDateTime clock = session.reader().sync_clock();
        console.out << fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}\n", clock.year, clock.month,
                                   clock.day, clock.hour, clock.minute, clock.second);
    } catch (const std::exception& error) {
        return session.fail(error);
    }
    session.info() << fmt::format(
        "kdr: the reader on {} keeps this computer's time (its clock, read back, {})\n",
        session.port_name(),
        console.out_is_terminal ? "is above" : "was written to standard output");
    return kExitSuccess;
}

}  // namespace kdr::cli
