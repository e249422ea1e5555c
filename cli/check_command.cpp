// kdr check: the readers that need attention, one line each, with the exit
// status monitoring plugins and cron read.
#include <fmt/format.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/store_reading.hpp"
#include "collect/outcome.hpp"
#include "kdr/text_encoding.hpp"
#include "store/store.hpp"

namespace kdr::cli {

namespace {

// The monitoring plugins' "unknown": the store could not be read.
constexpr int kExitUnknown = 3;

}  // namespace

void add_check_options(CLI::App& command, CheckOptions& options) {
    add_db_option(command, options.db);
    command
        .add_option("--stale-days", options.stale_days,
                    "A reader not collected for this many days needs attention (default 7)")
        ->option_text("DAYS")
        ->check(CLI::Range(1, 3650));
    command.footer(R"(One line for each reader that needs attention: its ID, then what needs it
(its last collect unsure or incomplete, not erased though asked, an erase not
verified, its port unreachable, not collected for --stale-days). Exit 0 when
no reader needs attention, 1 when some do, 2 on bad usage, 3 when the store
cannot be read, as monitoring plugins do.

Examples:
  kdr check --db records.sqlite
  kdr check --db postgresql://kdr@db/kdr --stale-days 3 || mail -s kdr keeper)");
}

int command_check(const CheckOptions& options, Console& console) {
    const std::string target = store_target(options.db);
    std::vector<store::ReaderSummary> summaries;
    std::vector<store::PortState> ports;
    try {
        const std::unique_ptr<store::Store> store =
            store::open_store(target, store::OpenMode::ReadOnly);
        summaries = store->reader_summaries();
        ports = store->port_states();
    } catch (const store::StoreError& error) {
        console.err << fmt::format("kdr check: {}\n", error.what());
        return kExitUnknown;
    }
    const auto now = std::chrono::system_clock::now();
    std::string lines;
    for (const store::ReaderSummary& summary : summaries) {
        const std::vector<collect::Need> needs =
            collect::needs_attention(summary, ports, now, options.stale_days);
        if (needs.empty()) {
            continue;
        }
        std::string words;
        for (const collect::Need& need : needs) {
            words += (words.empty() ? "" : "; ") + need.words;
        }
        lines += fmt::format("{}: {}\n", trim_spaces(cp1252_to_utf8(summary.machine_id)), words);
    }
    write_out(lines, console);
    return lines.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace kdr::cli
