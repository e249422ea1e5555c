// `kdr collect`: download into the store, then erase. docs/STORE.md
// describes the store and the rule that keeps a record from being stored
// twice.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

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

using collect::CollectResult;

void add_collect_options(CLI::App& command, CollectOptions& options);

/// Downloads into the store and, with --erase, erases the reader once the
/// whole download is durably stored. Prints one line (or one JSON object).
/// Exit 1 when anything failed (nothing is erased then, and nothing stored
/// is lost).
int command_collect(const CollectOptions& options, Console& console);

}  // namespace kdr::cli
