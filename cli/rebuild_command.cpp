// kdr rebuild: the stored records derived anew from the readers' kept
// answers.
#include <fmt/format.h>

#include <memory>
#include <string>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/store_reading.hpp"
#include "kdr/text_encoding.hpp"
#include "store/store.hpp"

namespace kdr::cli {

void add_rebuild_options(CLI::App& command, RebuildOptions& options) {
    add_db_option(command, options.db);
    command.footer(R"(Prints what changed. Readers with downloads from before the store kept
answers, and readers kdr prune pruned, are left as they are.

Examples:
  kdr rebuild --db records.sqlite)");
}

int command_rebuild(const RebuildOptions& options, Console& console) {
    std::unique_ptr<store::Store> store =
        store::open_store(store_target(options.db), store::OpenMode::MustExist);
    const store::RebuildReport report = store->rebuild();
    std::string text = fmt::format(
        "{}: {} download(s) replayed; {} record(s) before, {} after, {} changed\n", store->name(),
        report.downloads, report.records_before, report.records_after, report.records_changed);
    for (const std::string& id : report.kept_readers) {
        text += fmt::format(
            "{}: left as it was (downloaded before the store kept the reader's answers)\n",
            cp1252_to_utf8(id));
    }
    for (const std::string& id : report.pruned_readers) {
        text += fmt::format(
            "{}: left as it was (records of its ended memories were pruned by kdr prune)\n",
            cp1252_to_utf8(id));
    }
    write_out(text, console);
    return kExitSuccess;
}

}  // namespace kdr::cli
