// The commands of the record store: `kdr collect` (download into the store,
// then erase), `kdr export` and `kdr history`. docs/STORE.md describes the
// store and the rule that keeps a record from being stored twice.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "cli/app.hpp"
#include "cli/session.hpp"

namespace kdr::cli {

struct CollectOptions {
    LineOptions line;
    std::string db;
    bool erase = false;
    /// The name to store a reader without a machine ID under.
    std::string reader_name;
    /// Station mode: poll the port every two seconds and collect each reader
    /// that answers, until interrupted.
    bool watch = false;
};

struct ExportOptions {
    std::string db;
    std::optional<std::string> reader;
    std::optional<std::string> since;  ///< "YYYY-MM-DD"
    std::string format = "csv";
};

/// The store's subcommands on the command line: registered on the app
/// before it parses, run after.
class StoreCommands {
  public:
    /// `add_line_options` adds --port, --password and --trace.
    StoreCommands(CLI::App& app, void (*add_line_options)(CLI::App&, LineOptions&));
    /// The exit code of the store command that was parsed, if one was.
    std::optional<int> run(Console& console) const;

  private:
    CollectOptions collect_options_;
    ExportOptions export_options_;
    std::string history_db_;
    std::string rebuild_db_;
    CLI::App* collect_ = nullptr;
    CLI::App* export_ = nullptr;
    CLI::App* history_ = nullptr;
    CLI::App* rebuild_ = nullptr;
};

/// Downloads into the store and, with --erase, erases the reader once the
/// whole download is durably stored. Prints one line. Exit 1 when anything
/// failed (nothing is erased then, and nothing stored is lost).
int command_collect(const CollectOptions& options, Console& console);
int command_export(const ExportOptions& options, Console& console);
int command_history(const std::string& db, Console& console);

}  // namespace kdr::cli
