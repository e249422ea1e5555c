// kdr export: stored records, written as `kdr download` writes a reader's.
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
    add_format_option(command, options.format, writers::format_names(true),
                      "the formats of kdr download");
    command
        .add_option("-o,--output", options.output_file,
                    "Write the records to FILE (\"-\": standard output), replacing it whole "
                    "only once every record is written; a file this user may not write is "
                    "refused")
        ->option_text("FILE")
        ->default_str("-");
    command.footer(R"(Exit 1 when --reader names no reader the store holds (the readers it
holds are named when they are few).

Examples:
  kdr export --db records.sqlite > records.csv
  kdr export --db records.sqlite -o records.csv
  kdr export --db records.sqlite --reader KDR00077 --since 2024-05-01 --format json)");
}

int command_export(const ExportOptions& options, Console& console) {
    store::RecordFilter filter;
    filter.machine_id = options.reader;
    if (options.since) {
        filter.since = parse_day(*options.since);
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

    write_result(file, writers::render_stored(options.format, rows), console);
    return kExitSuccess;
}

}  // namespace kdr::cli
