// kdr collect, export and history. A collect opens the store before it talks
// to the reader (a store that cannot be written is found before a long
// transfer), stores the download in one transaction, and erases the reader
// only after that transaction is durably committed and only when the whole
// memory arrived. Whatever goes wrong before that point leaves the reader as
// it was; what goes wrong after it costs nothing stored.
#include "cli/store_commands.hpp"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>
#include <utility>

#include "cli/download_formats.hpp"
#include "kdr/error.hpp"
#include "store/store.hpp"

namespace kdr::cli {

namespace {

using store::EraseResult;
using store::Store;
using store::StoreError;

// What one collect came to: the line to print and the exit code.
struct CollectReport {
    int exit_code = kExitFailure;
    std::string line;
};

std::string reader_name(const Download& download) {
    const std::size_t end = download.machine_id.find_last_not_of(' ');
    return end == std::string::npos ? std::string("(reader without ID)")
                                    : download.machine_id.substr(0, end + 1);
}

std::string failure_text(const KDRController& controller, std::string_view otherwise) {
    const Failure& failure = controller.LastFailure();
    return failure ? failure.description : std::string(otherwise);
}

EraseResult erase_result(EraseReply reply) {
    switch (reply) {
        case EraseReply::Acknowledged:
            return EraseResult::Acknowledged;
        case EraseReply::Silent:
            return EraseResult::Silent;
        case EraseReply::Refused:
            return EraseResult::Refused;
        case EraseReply::NotSent:
        case EraseReply::Unrecognised:
            break;
    }
    return EraseResult::Failed;
}

// The download, the store and the erase, on a session whose connection is open.
CollectReport collect_open(Session& session, Store& store, bool erase) {
    KDRController& controller = session.controller();
    const auto started = std::chrono::system_clock::now();
    const std::optional<Download> download = controller.DownloadRecords();
    const auto ended = std::chrono::system_clock::now();
    const std::string& port = session.port_name();
    if (!download || !download->has_header) {
        return {kExitFailure, fmt::format("{}: nothing stored, nothing erased: {}", port,
                                          failure_text(controller, "the reader sent no download"))};
    }
    const bool complete = download->complete();
    const std::string name = fmt::format("{} on {}", reader_name(*download), port);

    store::StoreOutcome stored;
    try {
        stored = store.store_download({port, started, ended, &*download, erase && complete});
    } catch (const StoreError& error) {
        return {kExitFailure,
                fmt::format("{}: nothing stored, nothing erased: {}", name, error.what())};
    }
    std::string line = fmt::format("{}: {} new, {} already stored", name, stored.new_records,
                                   stored.already_stored);
    if (stored.new_memory) {
        line += " (the reader's memory was not what the store held: a new memory began)";
    }
    if (!complete) {
        return {kExitFailure, fmt::format("{}; not erased: {}", line,
                                          failure_text(controller, "the download was incomplete"))};
    }
    if (!erase) {
        return {kExitSuccess, line + "; not erased (no --erase)"};
    }

    EraseReply reply = EraseReply::NotSent;
    try {
        reply = controller.EraseRecords();
    } catch (const std::exception&) {
        reply = EraseReply::NotSent;
    }
    const EraseResult result = erase_result(reply);
    std::string unrecorded;
    try {
        store.set_erase_result(stored.download_id, result);
    } catch (const StoreError& error) {
        // The records are stored; only the note of the erase is missing, and
        // the next collect finds out what the reader holds by itself.
        unrecorded = fmt::format(" (the erase result was not recorded: {})", error.what());
    }
    switch (result) {
        case EraseResult::Acknowledged:
            return {kExitSuccess, line + "; erased" + unrecorded};
        case EraseResult::Silent:
            return {kExitSuccess,
                    line +
                        "; erase sent, the reader did not confirm it (the next collect "
                        "stores nothing twice either way)" +
                        unrecorded};
        case EraseResult::Refused:
            return {kExitFailure,
                    line + "; not erased: the reader refused the erase and keeps its records" +
                        unrecorded};
        default:
            return {kExitFailure,
                    fmt::format("{}; erase not confirmed: {}{}", line,
                                failure_text(controller, "the erase request failed"), unrecorded)};
    }
}

// Ctrl-C (and SIGTERM) in station mode: the loop ends between exchanges.
std::atomic<bool> g_stop{false};
extern "C" void request_stop(int /*signal*/) {
    g_stop.store(true);
}

class StopSignals {
  public:
    StopSignals() {
        g_stop.store(false);
        struct sigaction action {};
        action.sa_handler = request_stop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

std::string local_now() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// Station mode: a reader set into the cradle answers the poll, is collected
// once, and must stop answering (be taken out: two polls in a row without an
// answer) before the next one counts.
int watch(const CollectOptions& options, Console& console) {
    const StopSignals signals;
    std::unique_ptr<Store> store = store::open_store(options.db);
    std::ostringstream discard;
    Console quiet{console.in, discard, discard, false, false};
    {
        const Session port(options.line, quiet, "collect");
        console.out << fmt::format("{} watching {} every 2 s; Ctrl-C ends\n", local_now(),
                                   port.port_name())
                    << std::flush;
    }
    bool present = false;
    int unanswered = 0;
    while (!g_stop.load()) {
        bool answers = false;
        {
            Session poll(options.line, quiet, "collect");
            answers = poll.open();  // the one password exchange
        }
        discard.str({});
        if (answers && !present) {
            if (!store) {
                try {
                    store = store::open_store(options.db);
                } catch (const StoreError& error) {
                    console.out << fmt::format("{} kdr: {}\n", local_now(), error.what());
                }
            }
            std::string line;
            if (store) {
                Session session(options.line, quiet, "collect");
                line = session.open()
                           ? collect_open(session, *store, options.erase).line
                           : fmt::format(
                                 "{}: nothing stored, nothing erased: the reader stopped "
                                 "answering",
                                 session.port_name());
                discard.str({});
                // A store that failed is opened anew for the next reader.
                if (line.find("the store ") != std::string::npos) {
                    store.reset();
                }
                console.out << local_now() << ' ' << line << '\n' << std::flush;
            }
        }
        // One poll that went unanswered is not yet a reader taken out: a busy
        // line or a slow reader miss one now and then.
        unanswered = answers ? 0 : unanswered + 1;
        if (answers) {
            present = true;
        } else if (unanswered >= 2) {
            present = false;
        }
        for (int tick = 0; tick < 20 && !g_stop.load(); ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    console.out << fmt::format("{} stopped\n", local_now()) << std::flush;
    return kExitSuccess;
}

// The header of to_csv.
std::string header_line() {
    const std::string csv = to_csv(Download{});
    return csv.substr(0, csv.find('\n') + 1);
}

std::chrono::year_month_day parse_day(const std::string& text) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &year, &month, &day, &extra) != 3) {
        throw UsageError(fmt::format("--since {}: give a date as YYYY-MM-DD", text));
    }
    const std::chrono::year_month_day parsed{std::chrono::year{year}, std::chrono::month{month},
                                             std::chrono::day{day}};
    if (!parsed.ok()) {
        throw UsageError(fmt::format("--since {}: no such date", text));
    }
    return parsed;
}

void write_out(const std::string& text, Console& console) {
    console.out.write(text.data(), static_cast<std::streamsize>(text.size()));
    console.out.flush();
    if (!console.out) {
        throw Error(ErrorKind::IoError, "cannot write the result to standard output");
    }
}

}  // namespace

int command_collect(const CollectOptions& options, Console& console) {
    if (options.watch) {
        return watch(options, console);
    }
    // The store first: one that cannot be written is found before the reader
    // is touched.
    std::unique_ptr<Store> store;
    try {
        store = store::open_store(options.db);
    } catch (const StoreError& error) {
        console.err << "kdr: " << error.what() << "; nothing was downloaded or erased\n";
        return kExitFailure;
    }
    CollectReport report;
    {
        // The session ends (its progress line cleared) before the line is printed.
        Session session(options.line, console, "collect");
        if (!session.open()) {
            return kExitFailure;
        }
        report = collect_open(session, *store, options.erase);
    }
    if (report.exit_code == kExitSuccess) {
        console.out << report.line << '\n' << std::flush;
    } else {
        console.err << "kdr: " << report.line << '\n' << std::flush;
    }
    return report.exit_code;
}

int command_export(const ExportOptions& options, Console& console) {
    store::RecordFilter filter;
    filter.machine_id = options.reader;
    if (options.since) {
        filter.since = parse_day(*options.since);
    }
    std::unique_ptr<Store> store = store::open_store(options.db, store::OpenMode::MustExist);
    std::vector<store::StoredRecord> rows = store->records(filter);

    // Each reader's records as one download, in the formats of `kdr download`.
    std::vector<Download> readers;
    for (store::StoredRecord& row : rows) {
        if (readers.empty() || readers.back().machine_id != row.machine_id) {
            Download reader;
            reader.has_header = true;
            reader.machine_id = row.machine_id;
            readers.push_back(std::move(reader));
        }
        readers.back().records.push_back(std::move(row.record));
    }
    std::string text = options.format == "csv" ? header_line() : "[\n";
    for (std::size_t i = 0; i < readers.size(); ++i) {
        Download& reader = readers[i];
        reader.announced = static_cast<std::int32_t>(reader.records.size());
        if (options.format == "csv") {
            const std::string csv = to_csv(reader);
            text += csv.substr(csv.find('\n') + 1);
        } else {
            text += to_json(reader);
            text.insert(text.size() - 1, i + 1 < readers.size() ? "," : "");
        }
    }
    if (options.format == "json") {
        text += "]\n";
    }
    write_out(text, console);
    return kExitSuccess;
}

int command_history(const std::string& db, Console& console) {
    std::unique_ptr<Store> store = store::open_store(db, store::OpenMode::MustExist);
    std::string table = fmt::format(
        "{:>6}  {:<24}  {:<8}  {:<14}  {:>9}  {:>8}  {:>6}  {:>7}  {}\n", "id", "ended (UTC)",
        "reader", "port", "announced", "received", "new", "already", "erase");
    for (const store::StoredDownload& d : store->downloads()) {
        std::string erase(store::to_string(d.erase));
        if (!d.complete) {
            erase += " (incomplete download)";
        }
        table += fmt::format("{:>6}  {:<24}  {:<8}  {:<14}  {:>9}  {:>8}  {:>6}  {:>7}  {}\n", d.id,
                             d.ended, d.machine_id, d.port, d.announced, d.received, d.new_records,
                             d.already_stored, erase);
    }
    write_out(table, console);
    return kExitSuccess;
}

}  // namespace kdr::cli

namespace kdr::cli {

StoreCommands::StoreCommands(CLI::App& app, void (*add_line_options)(CLI::App&, LineOptions&)) {
    collect_ = app.add_subcommand(
        "collect",
        "Download the reader into a database and, with --erase, erase it once the records are "
        "stored. Records already stored are not stored again.");
    add_line_options(*collect_, collect_options_.line);
    collect_
        ->add_option("--db", collect_options_.db,
                     "The store: a SQLite file (created when missing) or a postgresql:// URI")
        ->type_name("TARGET")
        ->required();
    collect_->add_flag("--erase", collect_options_.erase,
                       "Erase the reader once its whole download is stored");
    collect_->add_flag("--watch", collect_options_.watch,
                       "Station mode: poll the port every 2 s, collect each reader that answers "
                       "once, until Ctrl-C");
    collect_->footer(R"(Prints one line: the reader, records new and already stored, erased or
not and why. Exit 1 when anything failed: nothing is erased then, and
nothing stored is lost. See docs/STORE.md.

Examples:
  kdr collect --port /dev/ttyUSB0 --db records.sqlite --erase
  kdr collect --port /dev/ttyUSB0 --db postgresql://kdr@dbhost/records --erase
  kdr collect --port /dev/ttyUSB0 --db records.sqlite --erase --watch)");

    export_ = app.add_subcommand("export", "Write stored records as CSV or JSON.");
    export_->add_option("--db", export_options_.db, "The store")->type_name("TARGET")->required();
    export_->add_option("--reader", export_options_.reader, "Only this reader's records (its ID)")
        ->type_name("ID");
    export_
        ->add_option("--since", export_options_.since,
                     "Only records stamped on or after this day, YYYY-MM-DD")
        ->type_name("DATE");
    export_->add_option("-f,--format", export_options_.format, "csv or json")
        ->check(CLI::IsMember({"csv", "json"}))
        ->capture_default_str();
    export_->footer(R"(Examples:
  kdr export --db records.sqlite > records.csv
  kdr export --db records.sqlite --reader KDR00077 --since 2024-05-01 --format json)");

    history_ = app.add_subcommand("history", "List the stored downloads: counts, erase results.");
    history_->add_option("--db", history_db_, "The store")->type_name("TARGET")->required();
    history_->footer(R"(Examples:
  kdr history --db records.sqlite)");
}

std::optional<int> StoreCommands::run(Console& console) const {
    try {
        if (collect_->parsed()) {
            return command_collect(collect_options_, console);
        }
        if (export_->parsed()) {
            return command_export(export_options_, console);
        }
        if (history_->parsed()) {
            return command_history(history_db_, console);
        }
    } catch (const StoreError& error) {
        console.err << "kdr: " << error.what() << '\n';
        return kExitFailure;
    }
    return std::nullopt;
}

}  // namespace kdr::cli
