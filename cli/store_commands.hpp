// The commands of the record store: `kdr collect` (download into the store,
// then erase), `kdr export`, `kdr history` and `kdr rebuild`. docs/STORE.md
// describes the store and the rule that keeps a record from being stored
// twice.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/app.hpp"
#include "cli/session.hpp"
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
    std::string format = "text";  ///< text or json
};

struct ExportOptions {
    std::optional<std::string> db;
    std::optional<std::string> reader;
    std::optional<std::string> since;  ///< "YYYY-MM-DD"
    std::string format = "csv";
};

struct HistoryOptions {
    std::optional<std::string> db;
    std::string format = "text";  ///< text or json
};

struct RebuildOptions {
    std::optional<std::string> db;
};

/// What one collect came to.
struct CollectResult {
    enum class Outcome : std::uint8_t {
        Stored,          ///< the whole download is stored (erase says what became of the erase)
        Incomplete,      ///< what came before the first gap is stored; not erased
        NoDownload,      ///< the reader sent no download: nothing stored
        NoMachineId,     ///< a reader without an ID and no --reader: nothing stored
        ReaderMismatch,  ///< --reader named a reader that has an ID: nothing stored
        StoreFailed,     ///< the store could not be written: nothing stored, nothing erased
        Unreachable,     ///< the port or its device server went away or cannot be reached:
                         ///< nothing stored, nothing erased
    };
    Outcome outcome = Outcome::NoDownload;
    std::string reader;      ///< the name it is stored under; empty when unknown
    std::string machine_id;  ///< as sent; empty when no download came
    std::int32_t announced = 0;
    std::size_t new_records = 0;
    std::size_t already_stored = 0;
    bool new_memory = false;  ///< the store began a new memory for the reader
    /// What became of the erase; none when it was not asked for or not tried.
    std::optional<store::EraseResult> erase;
    std::string erase_unrecorded;  ///< why the store could not note the erase result
    std::string detail;            ///< why, for people

    /// Stored whole, and erased when asked.
    [[nodiscard]] bool succeeded() const;
    /// Read back empty, or confirmed by the reader.
    [[nodiscard]] bool erased() const;
    [[nodiscard]] bool nothing_new() const {
        return outcome == Outcome::Stored && new_records == 0;
    }
};

/// The outcome's word in JSON ("stored", "incomplete", ...).
[[nodiscard]] std::string_view to_string(CollectResult::Outcome outcome) noexcept;

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
