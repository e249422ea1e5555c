// kdr history: the stored downloads, as a table or as JSON.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/store_reading.hpp"
#include "collect/outcome.hpp"
#include "kdr/text_encoding.hpp"
#include "store/store.hpp"
#include "writers/stored.hpp"

namespace kdr::cli {

namespace {

using Json = nlohmann::ordered_json;

}  // namespace

void add_history_options(CLI::App& command, HistoryOptions& options) {
    add_db_option(command, options.db);
    command.add_option("--reader", options.reader, "Only this reader's downloads (its ID)")
        ->option_text("ID")
        ->default_str("every reader");
    command
        .add_option("--since", options.since,
                    "Only downloads that ended on or after this day, YYYY-MM-DD, in UTC as the "
                    "table shows them")
        ->option_text("DATE")
        ->default_str("every day");
    command
        .add_option("--limit", options.limit,
                    "Only the most recent N downloads (of those --reader and --since let "
                    "through), still listed oldest first")
        ->option_text("N")
        ->default_str("all")
        ->check([](const std::string& text) {
            std::size_t value = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), value);
            return error == std::errc{} && end == text.data() + text.size() && value > 0
                       ? std::string()
                       : fmt::format("{} is no count of downloads: give 1 or more", text);
        });
    add_format_option(command, options.format, report_formats(),
                      "a table, or one JSON array of the downloads");
    command.footer(R"(Lists the downloads oldest first. Exit 1 when --reader names no reader the
store holds (the readers it holds are named when they are few).

Examples:
  kdr history --db records.sqlite
  kdr history --db records.sqlite --reader KDR00077 --limit 10
  kdr history --db records.sqlite --since 2024-05-01 --format json)");
}

int command_history(const HistoryOptions& options, Console& console) {
    store::DownloadFilter filter;
    filter.machine_id = options.reader;
    if (options.since) {
        filter.since = parse_day(*options.since);
    }
    filter.limit = options.limit;
    std::unique_ptr<store::Store> store =
        store::open_store(store_target(options.db), store::OpenMode::ReadOnly);
    if (!reader_known(*store, options.reader, console)) {
        return kExitFailure;
    }
    const std::vector<store::StoredDownload> downloads = store->downloads(filter);
    if (options.format == "json") {
        Json list = Json::array();
        for (const store::StoredDownload& d : downloads) {
            list.push_back(writers::download_json(d));
        }
        write_out(list.dump(2) + "\n", console);
        return kExitSuccess;
    }
    // What each collect came to, in the collect's own words: its erase, and
    // its reads where they were anything but two that agreed.
    std::vector<collect::CollectResult> outcomes;
    std::size_t erase_width = 5;
    for (const store::StoredDownload& d : downloads) {
        outcomes.push_back(collect::outcome_of(d));
        erase_width = std::max(erase_width, collect::erase_words(outcomes.back()).size());
    }
    std::string table =
        fmt::format("{:>6}  {:<24}  {:<8}  {:<14}  {:>9}  {:>8}  {:>6}  {:>7}  {:<{}}  {}\n", "id",
                    "ended (UTC)", "reader", "port", "announced", "received", "new", "already",
                    "erase", erase_width, "reads");
    for (std::size_t i = 0; i < downloads.size(); ++i) {
        const store::StoredDownload& d = downloads[i];
        table += fmt::format(
            "{:>6}  {:<24}  {:<8}  {:<14}  {:>9}  {:>8}  {:>6}  {:>7}  {:<{}}  {}\n", d.id, d.ended,
            cp1252_to_utf8(d.machine_id), d.port, d.announced, d.received, d.new_records,
            d.already_stored, collect::erase_words(outcomes[i]), erase_width,
            collect::reads_words(outcomes[i]));
    }
    write_out(table, console);
    return kExitSuccess;
}

}  // namespace kdr::cli
