// The commands of the record store: `kdr collect` (download into the store,
// then erase), `kdr export`, `kdr history` and `kdr rebuild`. docs/STORE.md
// describes the store and the rule that keeps a record from being stored
// twice.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/app.hpp"
#include "cli/session.hpp"
#include "collect/collect.hpp"
#include "store/store.hpp"

namespace kdr::cli {

struct CollectOptions {
    LineOptions line;
    std::optional<std::string> db;  ///< --db, or KDR_DB
    bool erase = false;
    /// The name to store a reader without a machine ID under.
    std::string reader_name;
    /// Station mode: poll the port every two seconds and collect each reader
    /// that answers, until interrupted.
    bool watch = false;
    /// Trust one read of the reader instead of two that agree.
    bool single_read = false;
    std::string format = "text";  ///< text or json
};

struct ExportOptions {
    std::optional<std::string> db;
    std::optional<std::string> reader;
    std::optional<std::string> since;  ///< "YYYY-MM-DD"
    std::string format = "csv";
    std::optional<std::string> output_file;  ///< -o; "-" or none: standard output
};

struct HistoryOptions {
    std::optional<std::string> db;
    std::optional<std::string> reader;
    std::optional<std::string> since;  ///< "YYYY-MM-DD", UTC
    std::optional<std::size_t> limit;  ///< the most recent N
    std::string format = "text";       ///< text or json
};

struct RebuildOptions {
    std::optional<std::string> db;
};

using collect::CollectResult;

/// Stored records in an export format ("csv", "json", ...), one reader after
/// another, as `kdr export` writes them. Throws UsageError for no such format.
[[nodiscard]] std::string render_stored(std::string_view format,
                                        const std::vector<store::StoredRecord>& rows);
/// A stored download as `kdr history --format json` lists it.
[[nodiscard]] nlohmann::ordered_json download_json(const store::StoredDownload& download);

void add_collect_options(CLI::App& command, CollectOptions& options);
void add_export_options(CLI::App& command, ExportOptions& options);
void add_history_options(CLI::App& command, HistoryOptions& options);
void add_rebuild_options(CLI::App& command, RebuildOptions& options);

/// Downloads into the store and, with --erase, erases the reader once the
/// whole download is durably stored. Prints one line (or one JSON object).
/// Exit 1 when anything failed (nothing is erased then, and nothing stored
/// is lost).
int command_collect(const CollectOptions& options, Console& console);
int command_export(const ExportOptions& options, Console& console);
int command_history(const HistoryOptions& options, Console& console);
int command_rebuild(const RebuildOptions& options, Console& console);

}  // namespace kdr::cli
