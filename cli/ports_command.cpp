// kdr ports: the serial devices and what the system knows of them.
#include <vector>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/serial_ports.hpp"

namespace kdr::cli {

void add_ports_options(CLI::App& command, PortsOptions& options) {
    command.add_flag("-a,--all", options.all,
                     "Also list built-in ports with no hardware behind them");
    add_format_option(command, options.format, report_formats(), "the table, or one JSON array");
    command.footer(R"(Examples:
  kdr ports
  kdr ports --all --format json)");
}

int command_ports(const PortsOptions& options, Console& console) {
    const std::vector<SerialDevice> devices = list_serial_devices();
    if (options.format == "json") {
        console.out << devices_to_json(devices, options.all);
        return kExitSuccess;
    }
    console.out << format_device_table(devices, options.all);
    // How to use the table is said beside it, not in it.
    console.err << device_table_hints(devices, options.all);
    return kExitSuccess;
}

}  // namespace kdr::cli
