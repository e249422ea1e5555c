// The commands of `kdr`, each with its parsed options (collect and serve
// in collect_command.hpp and serve_command.hpp); each is defined in a file
// of its own, cli/<name>_command.cpp.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
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
    std::string format = "text";  ///< a name of record_formats()
    bool raw = false;
    std::optional<std::string> output_file;
    std::string encoding = "cp1252";  ///< how the reader's 8-bit characters are read
    /// Read the reader again: write only what two reads agree on.
    bool verify = false;
};

struct PortsOptions {
    bool all = false;
    std::string format = "text";  ///< a name of report_formats()
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
    /// Written with the device path, whole, once the reader is ready, and
    /// again with each new device after a line drop.
    std::optional<std::string> path_file;
    /// The code page the ID and the record texts are stored in, as `kdr
    /// download --encoding` reads them back.
    std::string encoding = "cp1252";
};

struct ExportOptions {
    std::optional<std::string> db;
    std::optional<std::string> reader;
    std::optional<std::string> since;  ///< "YYYY-MM-DD"
    std::optional<std::string> until;  ///< "YYYY-MM-DD", inclusive
    std::string format = "csv";
    bool bom = false;  ///< a UTF-8 byte-order mark before CSV, for spreadsheets
    std::optional<std::string> output_file;  ///< -o; "-" or none: standard output
};

struct HistoryOptions {
    std::optional<std::string> db;
    std::optional<std::string> reader;
    std::optional<std::string> since;  ///< "YYYY-MM-DD", UTC
    std::optional<std::size_t> limit;  ///< the most recent N
    std::string format = "text";       ///< text or json
};

struct CheckOptions {
    std::optional<std::string> db;
    int stale_days = 7;
};

struct RebuildOptions {
    std::optional<std::string> db;
};

struct BackupOptions {
    std::optional<std::string> db;
    std::string file;  ///< the copy
    bool force = false;
};

struct PruneOptions {
    std::optional<std::string> db;
    std::string before;  ///< "YYYY-MM-DD", UTC
    bool dry_run = false;
};

struct DemoOptions {
    std::size_t records = 12;
    bool fast = false;
    std::string format = "text";
    bool trace = false;
    bool quiet = false;
};

// Each command's options on its subcommand, with its help.
void add_open_options(CLI::App& command, LineOptions& options);
void add_download_options(CLI::App& command, DownloadOptions& options);
void add_sync_time_options(CLI::App& command, LineOptions& options);
void add_erase_options(CLI::App& command, EraseOptions& options);
void add_ports_options(CLI::App& command, PortsOptions& options);
void add_simulate_options(CLI::App& command, SimulateOptions& options);
void add_demo_options(CLI::App& command, DemoOptions& options);
void add_export_options(CLI::App& command, ExportOptions& options);
void add_history_options(CLI::App& command, HistoryOptions& options);
void add_rebuild_options(CLI::App& command, RebuildOptions& options);
void add_check_options(CLI::App& command, CheckOptions& options);
void add_backup_options(CLI::App& command, BackupOptions& options);
void add_prune_options(CLI::App& command, PruneOptions& options);

int command_open(const LineOptions& options, Console& console);
int command_download(const DownloadOptions& options, Console& console);
int command_sync_time(const LineOptions& options, Console& console);
int command_erase(const EraseOptions& options, Console& console);
int command_ports(const PortsOptions& options, Console& console);
/// Serves until SIGINT, SIGTERM or SIGHUP.
int command_simulate(const SimulateOptions& options, Console& console);
int command_demo(const DemoOptions& options, Console& console);
int command_export(const ExportOptions& options, Console& console);
int command_history(const HistoryOptions& options, Console& console);
int command_rebuild(const RebuildOptions& options, Console& console);
/// Exit 0 when no reader needs attention, 1 when some do, 3 when the store
/// cannot be read.
int command_check(const CheckOptions& options, Console& console);
int command_backup(const BackupOptions& options, Console& console);
int command_prune(const PruneOptions& options, Console& console);

}  // namespace kdr::cli
