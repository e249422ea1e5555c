// kdr export: stored records, written as `kdr download` writes a reader's.
#include <fmt/format.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/result_file.hpp"
#include "cli/store_reading.hpp"
#include "store/store.hpp"
#include "writers/formats.hpp"
#include "writers/stored.hpp"

namespace kdr::cli {

void add_export_options(CLI::App& command, ExportOptions& options) {
    add_db_option(command, options.db);
    command.add_option("--reader", options.reader, "Only this reader's records (its ID)")
        ->option_text("ID")
        ->default_str("every reader");
    command
        .add_option("--since", options.since,
                    "Only records stamped on or after this day, YYYY-MM-DD")
        ->option_text("DATE")
        ->default_str("every day");
    command
        .add_option("--until", options.until,
                    "Only records stamped on or before this day (the reader's local day), "
                    "YYYY-MM-DD")
        ->option_text("DATE")
        ->default_str("every day");
    add_format_option(command, options.format, writers::format_names(true),
                      "the formats of kdr download");
    command
        .add_option("-o,--output", options.output_file,
                    "Write the records to FILE (\"-\": standard output), replacing it whole "
                    "only once every record is written; a file this user may not write is "
                    "refused")
        ->option_text("FILE")
        ->default_str("-");
    command.add_flag("--bom", options.bom,
                     "Begin a CSV file with a UTF-8 byte-order mark, for spreadsheets that "
                     "otherwise read it in the system's code page");
    command.footer(R"(Cells that a spreadsheet would take for a formula (beginning with =, +, -,
@, a tab or a carriage return) are written as text: a quote before them.

Exit 1 when --reader names no reader the store holds (the readers it
holds are named when they are few).

Examples:
  kdr export --db records.sqlite > records.csv
  kdr export --db records.sqlite -o records.csv
  kdr export --db records.sqlite --since 2024-05-01 --until 2024-05-31 --bom -o may.csv
  kdr export --db records.sqlite --reader KDR00077 --since 2024-05-01 --format json)");
}

int command_export(const ExportOptions& options, Console& console) {
    store::RecordFilter filter;
    filter.machine_id = options.reader;
    if (options.since) {
        filter.since = parse_day(*options.since);
    }
    if (options.until) {
        filter.until = parse_day(*options.until, "--until");
    }
    if (options.bom && options.format != "csv") {
        throw UsageError(
            fmt::format("--bom: only CSV files begin with a byte-order mark, not {} "
                        "(leave --bom out)",
                        options.format));
    }
    const std::string target = store_target(options.db);
    // A file that cannot be written is found before the store is read.
    std::optional<ResultFile> file;
    if (options.output_file && *options.output_file != "-") {
        file.emplace(*options.output_file);
    }
    std::unique_ptr<store::Store> store = store::open_store(target, store::OpenMode::ReadOnly);
    if (!reader_known(*store, options.reader, console)) {
        return kExitFailure;
    }
    const std::vector<store::StoredRecord> rows = store->records(filter);

    std::string text = writers::render_stored(options.format, rows);
    if (options.bom) {
        text.insert(0, writers::kUtf8Bom);
    }
    write_result(file, text, console);
    return kExitSuccess;
}

}  // namespace kdr::cli
