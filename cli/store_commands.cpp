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
#include "cli/erase_check.hpp"
#include "kdr/error.hpp"
#include "kdr/text_encoding.hpp"
#include "store/store.hpp"

namespace kdr::cli {

namespace {

using store::EraseResult;
using store::Store;
using store::StoreError;

// What one collect came to: the line to print and the exit code, and for the
// station mode the reader it was and whether it is done with.
struct CollectReport {
    int exit_code = kExitFailure;
    std::string line;
    std::string machine_id;  // as sent; empty when no download came
    std::size_t new_records = 0;
    bool erased = false;  // read back empty (or confirmed)
    bool store_failed = false;
};

bool blank(std::string_view id) {
    return id.find_first_not_of(' ') == std::string_view::npos;
}

std::string reader_name(const Download& download, const std::string& given) {
    if (blank(download.machine_id)) {
        return given;
    }
    const std::size_t end = download.machine_id.find_last_not_of(' ');
    return cp1252_to_utf8(download.machine_id.substr(0, end + 1));
}

// The erase, then the reader read back: only a reader that counts no record
// afterwards is erased for sure.
EraseResult erase_and_check(Session& session, const std::string& machine_id, std::string& detail) {
    EraseReply reply = EraseReply::NotSent;
    try {
        reply = session.reader().erase();
    } catch (const Error& error) {
        detail = error.what();
        return error.kind() == ErrorKind::Refused ? EraseResult::Refused : EraseResult::Failed;
    } catch (const std::exception& error) {
        detail = error.what();
        return EraseResult::Failed;
    }
    const EraseReadBack back = read_back_after_erase(session.reader(), machine_id);
    switch (back.found) {
        case EraseReadBack::Found::Empty:
            return EraseResult::Verified;
        case EraseReadBack::Found::Holds:
            detail =
                fmt::format("the reader still holds {} record(s) after the erase", back.records);
            return EraseResult::NotErased;
        case EraseReadBack::Found::Unknown:
            break;
    }
    detail = fmt::format("it could not be read back ({})", back.why);
    return reply == EraseReply::Acknowledged ? EraseResult::Acknowledged
           : reply == EraseReply::Silent     ? EraseResult::Silent
                                             : EraseResult::Failed;
}

// A download from the reader and when it was made.
struct Fetched {
    std::optional<Download> download;
    std::string failure;  // why there is none
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
};

Fetched fetch(Session& session) {
    Fetched fetched;
    fetched.started = std::chrono::system_clock::now();
    try {
        fetched.download = session.reader().download();
    } catch (const std::exception& error) {
        fetched.failure = error.what();
    }
    fetched.ended = std::chrono::system_clock::now();
    return fetched;
}

// The store and the erase of a download, on a session whose connection is open.
CollectReport collect_fetched(Session& session, Store& store, const CollectOptions& options,
                              const Fetched& fetched) {
    const std::optional<Download>& download = fetched.download;
    const auto started = fetched.started;
    const auto ended = fetched.ended;
    const std::string& port = session.port_name();
    if (!download || !download->has_header) {
        return {kExitFailure,
                fmt::format("{}: nothing stored, nothing erased: {}", port, fetched.failure),
                {}};
    }
    CollectReport report;
    report.machine_id = download->machine_id;
    // Readers never given an ID all send eight spaces: stored under one name
    // they would be taken for one reader, and each one's records for the
    // other's.
    if (blank(download->machine_id) && blank(options.reader_name)) {
        report.line = fmt::format(
            "{}: nothing stored, nothing erased: the reader has no machine ID (it sends eight "
            "spaces), so its records could be taken for another such reader's: give it an ID, "
            "or name it for this collect with --reader NAME",
            port);
        return report;
    }
    if (!blank(download->machine_id) && !blank(options.reader_name) &&
        reader_name(*download, {}) != options.reader_name) {
        report.line = fmt::format(
            "{}: nothing stored, nothing erased: --reader {} names a reader without an ID, but "
            "this one is {}: leave --reader out",
            port, options.reader_name, reader_name(*download, {}));
        return report;
    }
    const bool complete = download->complete();
    const std::string name =
        fmt::format("{} on {}", reader_name(*download, options.reader_name), port);

    store::StoreOutcome stored;
    try {
        store::CollectedDownload collected{
            port, started, ended, &*download, options.erase && complete, {}};
        if (blank(download->machine_id)) {
            collected.reader_name = options.reader_name;
        }
        stored = store.store_download(collected);
    } catch (const StoreError& error) {
        report.store_failed = true;
        report.line = fmt::format("{}: nothing stored, nothing erased: {}", name, error.what());
        return report;
    }
    report.new_records = stored.new_records;
    report.exit_code = kExitFailure;
    std::string line = fmt::format("{}: {} new, {} already stored", name, stored.new_records,
                                   stored.already_stored);
    if (stored.new_memory) {
        line += " (the reader's memory was not what the store held: a new memory began)";
    }
    if (!complete) {
        report.line = fmt::format("{}; not erased: {}", line, why_incomplete(*download));
        return report;
    }
    if (!options.erase) {
        report.exit_code = kExitSuccess;
        report.line = line + "; not erased (no --erase)";
        return report;
    }

    std::string detail;
    const EraseResult result = erase_and_check(session, download->machine_id, detail);
    std::string unrecorded;
    try {
        store.set_erase_result(stored.download_id, result);
    } catch (const StoreError& error) {
        // The records are stored; only the note of the erase is missing, and
        // the next collect finds out what the reader holds by itself.
        unrecorded = fmt::format(" (the erase result was not recorded: {})", error.what());
    }
    report.erased = result == EraseResult::Verified || result == EraseResult::Acknowledged;
    switch (result) {
        case EraseResult::Verified:
            report.exit_code = kExitSuccess;
            report.line = line + "; erased (read back: the reader holds no record)" + unrecorded;
            break;
        case EraseResult::Acknowledged:
            report.exit_code = kExitSuccess;
            report.line =
                fmt::format("{}; erased (the reader confirmed it; {}){}", line, detail, unrecorded);
            break;
        case EraseResult::Refused:
            report.line = line +
                          "; not erased: the reader refused the erase and keeps its records" +
                          unrecorded;
            break;
        case EraseResult::NotErased:
            report.line = fmt::format("{}; not erased: {}{}", line, detail, unrecorded);
            break;
        default:
            report.line = fmt::format(
                "{}; erase not confirmed: {} (the next collect stores nothing twice either "
                "way){}",
                line, detail, unrecorded);
    }
    return report;
}

CollectReport collect_open(Session& session, Store& store, const CollectOptions& options) {
    return collect_fetched(session, store, options, fetch(session));
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

// Station mode. Every two seconds one password exchange asks whether a reader
// sits in the cradle. A reader that answers is collected; while it stays, its
// header is read again now and then, so that a reader swapped in between two
// polls is seen by its machine ID (or by records that appeared), and is
// collected in turn. A collect that failed is tried again, ever later. One
// line per reader and outcome, and one per failed try.
class Station {
  public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    Station(const CollectOptions& options, Console& console)
        : options_(options),
          console_(console),
          quiet_{console.in, discard_, discard_, false, false} {}

    int run() {
        const StopSignals signals;
        store_ = store::open_store(options_.db);
        {
            const Session port(options_.line, quiet_, "collect");
            say(fmt::format("watching {} every 2 s; Ctrl-C ends", port.port_name()));
        }
        int unanswered = 0;
        while (!g_stop.load()) {
            bool answers = false;
            {
                Session poll(options_.line, quiet_, "collect");
                answers = poll.open();  // the one password exchange
            }
            discard_.str({});
            // One poll that went unanswered is not yet a reader taken out: a
            // busy line or a slow reader miss one now and then.
            unanswered = answers ? 0 : unanswered + 1;
            if (unanswered >= 2) {
                docked_.reset();
            }
            if (answers && due()) {
                visit();
            }
            for (int tick = 0; tick < 20 && !g_stop.load(); ++tick) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        say("stopped");
        return kExitSuccess;
    }

  private:
    // The reader the station last collected, while it stays in the cradle.
    struct Docked {
        std::string machine_id;
        std::int32_t announced = 0;  // what its header counted after the collect
        bool done = false;           // collected (and erased, when asked)
        int failures = 0;
        SteadyTime next;  // the next try, or the next look at its header
    };

    static constexpr std::chrono::seconds kPoll{2};
    static constexpr std::chrono::seconds kLongestBackOff{60};

    [[nodiscard]] bool due() const {
        return !docked_ || std::chrono::steady_clock::now() >= docked_->next;
    }

    void visit() {
        if (!store_) {
            try {
                store_ = store::open_store(options_.db);
            } catch (const StoreError& error) {
                say(fmt::format("kdr: {}", error.what()));
                return;
            }
        }
        Session session(options_.line, quiet_, "collect");
        if (!session.open()) {
            discard_.str({});
            return;  // taken out between the poll and now
        }
        const auto began = std::chrono::steady_clock::now();
        const Fetched fetched = fetch(session);
        const bool same = docked_ && docked_->done && fetched.download &&
                          fetched.download->has_header &&
                          fetched.download->machine_id == docked_->machine_id &&
                          fetched.download->announced == docked_->announced;
        const bool nothing = !fetched.download || !fetched.download->has_header;
        if (nothing && docked_ && docked_->done) {
            // No answer where a collected reader sat: most likely taken out
            // just now; the polls will tell.
            discard_.str({});
            return;
        }
        if (same) {
            // The same reader, nothing new: look again later, sooner for one
            // that was erased (its header is all there is to read).
            docked_->next = began + std::max<std::chrono::steady_clock::duration>(
                                        kPoll, 5 * (std::chrono::steady_clock::now() - began));
            discard_.str({});
            return;
        }
        const CollectReport report = collect_fetched(session, *store_, options_, fetched);
        discard_.str({});
        if (report.store_failed) {
            store_.reset();  // a store that failed is opened anew for the next try
        }
        const bool another =
            !docked_ || (!report.machine_id.empty() && docked_->machine_id != report.machine_id);
        if (another) {
            docked_ = Docked{report.machine_id, 0, false, 0, {}};
        }
        const auto now = std::chrono::steady_clock::now();
        if (report.exit_code == kExitSuccess) {
            docked_->done = true;
            docked_->failures = 0;
            docked_->announced = report.erased ? 0 : fetched.download->announced;
            docked_->next = now + std::max<std::chrono::steady_clock::duration>(
                                      kPoll, report.erased ? kPoll : 5 * (now - began));
            say(report.line);
            return;
        }
        docked_->done = false;
        ++docked_->failures;
        const auto back_off = std::min<std::chrono::seconds>(
            kPoll * (1 << std::min(docked_->failures - 1, 5)), kLongestBackOff);
        docked_->next = now + back_off;
        say(fmt::format("kdr: {} (try {}; again in {} s while it stays)", report.line,
                        docked_->failures, back_off.count()));
    }

    void say(std::string_view line) {
        console_.out << local_now() << ' ' << line << '\n' << std::flush;
    }

    const CollectOptions& options_;
    Console& console_;
    std::ostringstream discard_;
    Console quiet_;
    std::unique_ptr<Store> store_;
    std::optional<Docked> docked_;
};

int watch(const CollectOptions& options, Console& console) {
    Station station(options, console);
    return station.run();
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
        report = collect_open(session, *store, options);
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
                             d.ended, cp1252_to_utf8(d.machine_id), d.port, d.announced, d.received,
                             d.new_records, d.already_stored, erase);
    }
    write_out(table, console);
    return kExitSuccess;
}

int command_rebuild(const std::string& db, Console& console) {
    std::unique_ptr<Store> store = store::open_store(db, store::OpenMode::MustExist);
    const store::RebuildReport report = store->rebuild();
    std::string text = fmt::format(
        "{}: {} download(s) replayed; {} record(s) before, {} after, {} changed\n", store->name(),
        report.downloads, report.records_before, report.records_after, report.records_changed);
    for (const std::string& id : report.kept_readers) {
        text += fmt::format(
            "{}: left as it was (downloaded before the store kept the reader's answers)\n",
            cp1252_to_utf8(id));
    }
    write_out(text, console);
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
        ->option_text("TARGET")
        ->required();
    collect_->add_flag("--erase", collect_options_.erase,
                       "Erase the reader once its whole download is stored");
    collect_
        ->add_option("--reader", collect_options_.reader_name,
                     "The name to store a reader under that has no machine ID of its own (it "
                     "sends eight spaces)")
        ->option_text("NAME");
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
    export_->add_option("--db", export_options_.db, "The store")->option_text("TARGET")->required();
    export_->add_option("--reader", export_options_.reader, "Only this reader's records (its ID)")
        ->option_text("ID");
    export_
        ->add_option("--since", export_options_.since,
                     "Only records stamped on or after this day, YYYY-MM-DD")
        ->option_text("DATE");
    export_->add_option("-f,--format", export_options_.format, "csv or json")
        ->option_text("FORMAT")
        ->check(CLI::IsMember({"csv", "json"}))
        ->capture_default_str();
    export_->footer(R"(Examples:
  kdr export --db records.sqlite > records.csv
  kdr export --db records.sqlite --reader KDR00077 --since 2024-05-01 --format json)");

    rebuild_ = app.add_subcommand(
        "rebuild",
        "Derive the stored records anew from the readers' answers the store keeps, by this "
        "kdr's rules, in one transaction.");
    rebuild_->add_option("--db", rebuild_db_, "The store")->option_text("TARGET")->required();
    rebuild_->footer(R"(Prints what changed. Readers with downloads from before the store kept
answers are left as they are.

Examples:
  kdr rebuild --db records.sqlite)");

    history_ = app.add_subcommand("history", "List the stored downloads: counts, erase results.");
    history_->add_option("--db", history_db_, "The store")->option_text("TARGET")->required();
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
        if (rebuild_->parsed()) {
            return command_rebuild(rebuild_db_, console);
        }
    } catch (const StoreError& error) {
        console.err << "kdr: " << error.what() << '\n';
        return kExitFailure;
    }
    return std::nullopt;
}

}  // namespace kdr::cli
