// kdr prune: the records of reader memories that a verified erase ended
// before a day, removed; what the never-twice rule needs stays.
#include <fmt/format.h>

#include <memory>
#include <string>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/store_reading.hpp"
#include "kdr/text_encoding.hpp"
#include "store/store.hpp"

namespace kdr::cli {

void add_prune_options(CLI::App& command, PruneOptions& options) {
    add_db_option(command, options.db);
    command
        .add_option("--before", options.before,
                    "Remove the records of memories whose verified erase ended before this day "
                    "(UTC), YYYY-MM-DD")
        ->option_text("DATE")
        ->required();
    command.add_flag("--dry-run", options.dry_run, "Say what would be removed; remove nothing");
    command.footer(R"(A reader's memory is the records stored since its last erase. Only
memories that a verified erase ended (the reader read back empty) are
pruned; a reader's current memory, and one ended otherwise, stay: the next
collect needs them so as not to store records twice. Downloads and the
answers kept with them stay, so kdr history still tells what happened; kdr
rebuild then leaves pruned readers as they are. Prints per reader the
memories and records removed, all in one transaction.

Examples:
  kdr prune --db records.sqlite --before 2025-01-01 --dry-run
  kdr prune --db records.sqlite --before 2025-01-01)");
}

int command_prune(const PruneOptions& options, Console& console) {
    const std::chrono::year_month_day before = parse_day(options.before, "--before");
    std::unique_ptr<store::Store> store =
        store::open_store(store_target(options.db), store::OpenMode::MustExist);
    const store::PruneReport report = store->prune(before, options.dry_run);
    const char* verb = options.dry_run ? "would remove" : "removed";
    std::string text;
    std::size_t records = 0;
    for (const store::PruneReport::Reader& reader : report.readers) {
        text += fmt::format("{}: {} {} record(s) of {} memory(ies)\n",
                            cp1252_to_utf8(trim_spaces(reader.machine_id)), verb, reader.records,
                            reader.memories);
        records += reader.records;
    }
    text +=
        fmt::format("{}: {} {} record(s) of {} reader(s){}\n", store->name(), verb, records,
                    report.readers.size(), options.dry_run ? " (dry run: nothing removed)" : "");
    write_out(text, console);
    return kExitSuccess;
}

}  // namespace kdr::cli
