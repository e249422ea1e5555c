// The commands of `kdr`, each with its parsed options.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/app.hpp"
#include "cli/session.hpp"

namespace kdr::cli {

struct DownloadOptions {
    LineOptions line;
    bool machine_id = false;
    bool dates = false;
    std::string format = "text";  ///< text, json or csv
    bool raw = false;
    std::optional<std::string> output_file;
    std::string encoding = "cp1252";  ///< how the reader's 8-bit characters are read
};

struct PortsOptions {
    bool all = false;
    std::string format = "text";  ///< text or json
};

struct EraseOptions {
    LineOptions line;
    bool yes = false;
};

struct SimulateOptions {
    std::string password;
    std::string machine_id = "KDR00001";
    std::optional<std::size_t> sample_records;  ///< default 5 when no record text is given
    std::vector<std::string> record_texts;
    std::vector<std::string> faults;
    bool fast = false;
    std::optional<std::string> clock;  ///< "YYYY-MM-DD HH:MM:SS"; default the host's time
    /// Written with the device path, whole, once the reader is ready.
    std::optional<std::string> path_file;
};

struct DemoOptions {
    std::size_t records = 12;
    bool fast = false;
    std::string format = "text";
    bool trace = false;
    bool quiet = false;
};

int command_open(const LineOptions& options, Console& console);
int command_download(const DownloadOptions& options, Console& console);
int command_sync_time(const LineOptions& options, Console& console);
int command_erase(const EraseOptions& options, Console& console);
int command_ports(const PortsOptions& options, Console& console);
/// Serves until SIGINT, SIGTERM or SIGHUP.
int command_simulate(const SimulateOptions& options, Console& console);
int command_demo(const DemoOptions& options, Console& console);

}  // namespace kdr::cli
