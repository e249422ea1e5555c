// Options several commands share, declared once so that they read the same
// in every command's help.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/session.hpp"

namespace kdr::cli {

/// --port, --password, --trace and --quiet of every reader command.
void add_line_options(CLI::App& command, LineOptions& options);

/// -f/--format FORMAT, one of `names`, the first the default.
CLI::Option* add_format_option(CLI::App& command, std::string& format,
                               const std::vector<std::string>& names, const std::string& what);

/// The formats of the commands that report rather than write records.
[[nodiscard]] const std::vector<std::string>& report_formats();

/// --db TARGET, by default the environment variable KDR_DB.
void add_db_option(CLI::App& command, std::optional<std::string>& db);

/// The store --db or KDR_DB names, checked before anything is opened: one
/// that is named nowhere or empty, and a SQLite file in a folder that does
/// not exist, are bad usage (UsageError).
[[nodiscard]] std::string store_target(const std::optional<std::string>& db);

}  // namespace kdr::cli
