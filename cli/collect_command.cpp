// kdr collect. A collect opens the store before it talks
// to the reader (a store that cannot be written is found before a long
// transfer), stores the download in one transaction, and erases the reader
// only after that transaction is durably committed and only when the whole
// memory arrived. Whatever goes wrong before that point leaves the reader as
// it was; what goes wrong after it costs nothing stored.
#include "cli/collect_command.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>
#include <utility>

#include "cli/options.hpp"
#include "collect/collect.hpp"
#include "collect/station_policy.hpp"
#include "kdr/error.hpp"
#include "kdr/port_factory.hpp"
#include "kdr/text_encoding.hpp"
#include "store/store.hpp"

namespace kdr::cli {

namespace {

using store::EraseResult;
using store::Store;
using store::StoreError;

using Outcome = CollectResult::Outcome;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

collect::Request collect_request(const CollectOptions& options) {
    return {options.erase, options.reader_name, options.single_read};
}

// The collect's one line for people.
std::string collect_line(const CollectResult& result, const std::string& port) {
    const std::string name =
        result.reader.empty() ? port : fmt::format("{} on {}", result.reader, port);
    switch (result.outcome) {
        case Outcome::NoDownload:
        case Outcome::Unreachable:
            return fmt::format("{}: nothing stored, nothing erased: {}", port, result.detail);
        case Outcome::NoMachineId:
            return fmt::format(
                "{}: nothing stored, nothing erased: the reader has no machine ID (it sends "
                "eight spaces), so its records could be taken for another such reader's: give "
                "it an ID, or name it for this collect with --reader NAME",
                port);
        case Outcome::ReaderMismatch:
            return fmt::format(
                "{}: nothing stored, nothing erased: --reader {} names a reader without an ID, "
                "but this one is {}: leave --reader out",
                port, result.detail, result.reader);
        case Outcome::ReaderConflict:
            return fmt::format("{}: nothing stored, nothing erased: {}", port, result.detail);
        case Outcome::StoreFailed:
            return fmt::format("{}: nothing stored, nothing erased: {}", name, result.detail);
        case Outcome::Unsure:
            return fmt::format("{}: no record stored, nothing erased: {}", name, result.detail);
        case Outcome::Incomplete:
        case Outcome::Stored:
            break;
    }
    std::string line = fmt::format("{}: {} new, {} already stored", name, result.new_records,
                                   result.already_stored);
    if (result.new_memory) {
        line += " (the reader's memory was not what the store held: a new memory began)";
    }
    if (result.outcome == Outcome::Incomplete) {
        return fmt::format("{}; not erased: {}", line, result.detail);
    }
    if (!result.erase) {
        return line + "; not erased (no --erase)";
    }
    const std::string unrecorded =
        result.erase_unrecorded.empty()
            ? std::string()
            : fmt::format(" (the erase result was not recorded: {})", result.erase_unrecorded);
    switch (*result.erase) {
        case EraseResult::Verified:
            return line + "; erased (read back: the reader holds no record)" + unrecorded;
        case EraseResult::Acknowledged:
            return fmt::format("{}; erased (the reader confirmed it; {}){}", line, result.detail,
                               unrecorded);
        case EraseResult::Refused:
            return line + "; not erased: the reader refused the erase and keeps its records" +
                   unrecorded;
        case EraseResult::NotErased:
            return fmt::format("{}; not erased: {}{}", line, result.detail, unrecorded);
        default:
            return fmt::format(
                "{}; erase not confirmed: {} (the next collect stores nothing twice either "
                "way){}",
                line, result.detail, unrecorded);
    }
}

Json collect_json(const CollectResult& result, const std::string& port) {
    Json json;
    json["port"] = port;
    json["reader"] = result.reader.empty() ? Json(nullptr) : Json(result.reader);
    json["outcome"] = to_string(result.outcome);
    json["succeeded"] = result.succeeded();
    json["announced"] = result.machine_id.empty() ? Json(nullptr) : Json(result.announced);
    json["reads"] = result.reads;
    json["new"] = result.new_records;
    json["already_stored"] = result.already_stored;
    json["new_memory"] = result.new_memory;
    json["erase"] = result.erase ? Json(store::to_string(*result.erase)) : Json(nullptr);
    json["message"] = collect_line(result, port);
    return json;
}

// Ctrl-C (and SIGTERM) in station mode: a flag the reader's waits look at,
// and a byte on a pipe that ends the sleep between two polls at once.
std::atomic<bool> g_stop{false};
std::atomic<int> g_stop_pipe{-1};
extern "C" void request_stop(int /*signal*/) {
    g_stop.store(true);
    const int fd = g_stop_pipe.load();
    if (fd >= 0) {
        const char byte = 1;
        const ssize_t ignored = ::write(fd, &byte, 1);  // the pipe full is awake enough
        static_cast<void>(ignored);
    }
}

// Thrown from the reader's waits once a stop was asked for. No
// std::exception, so that no failure handling on the way catches it for a
// failed exchange.
struct Stopped {};

class StopSignals {
  public:
    StopSignals() {
        g_stop.store(false);
        if (::pipe2(pipe_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), "a pipe for Ctrl-C");
        }
        g_stop_pipe.store(pipe_[1]);
        struct sigaction action {};
        action.sa_handler = request_stop;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
        g_stop_pipe.store(-1);
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    /// Sleeps until `wake` or a stop, whichever comes first.
    void sleep_until(std::chrono::steady_clock::time_point wake) const {
        using std::chrono::milliseconds;
        while (!g_stop.load()) {
            const auto left = wake - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return;
            }
            // Rounded up: a wait cut short of `wake` would only wait again.
            const auto wait = std::chrono::ceil<milliseconds>(left);
            pollfd stop{pipe_[0], POLLIN, 0};
            if (::poll(&stop, 1, static_cast<int>(std::min<milliseconds>(wait, 60s).count())) > 0) {
                std::array<char, 16> drained{};
                while (::read(pipe_[0], drained.data(), drained.size()) > 0) {
                }
            }
        }
    }

  private:
    std::array<int, 2> pipe_{-1, -1};
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// Output that goes nowhere: the station's own sessions say nothing; what
// they found comes back as a failure kind and text.
class NullBuffer final : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char* /*s*/, std::streamsize n) override { return n; }
};

std::string local_now() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

// Station mode: the I/O around collect::StationPolicy, which decides. Every
// poll is one password exchange; a reader that answers is downloaded over
// that same connection when the policy finds it due, stored when the policy
// asks, and the lines the policy asks for are printed.
class Station {
  public:
    using Decision = collect::Decision;

    Station(const CollectOptions& options, std::string target, Console& console)
        : options_(options),
          line_(read_password_once(options.line)),
          target_(std::move(target)),
          console_(console),
          quiet_{console.in, null_, null_, false, false} {}

    int run() {
        {
            // A port word that can name no port is bad usage, said before
            // the store is made.
            const Session port(line_, quiet_, "collect");
            port_ = port.port_name();
            network_ = port.network_port();
        }
        store_ = store::open_store(target_);
        if (!options_.reader_name.empty()) {
            store_->check_reader_name(options_.reader_name);  // before any reader is touched
        }
        const StopSignals signals;
        say(fmt::format("watching {} every {} s; Ctrl-C ends", port_,
                        StationPolicy::kPoll.count()));
        try {
            while (!g_stop.load()) {
                signals.sleep_until(step().wake);
            }
        } catch (const Stopped&) {
            // Said where it was caught in the middle of something.
        }
        say("stopped");
        return kExitSuccess;
    }

  private:
    using StationPolicy = collect::StationPolicy;
    using Clock = std::chrono::steady_clock;

    // A password file is read at the start, not at every poll.
    static LineOptions read_password_once(LineOptions line) {
        line.password = resolve_password(line);
        line.password_file.reset();
        return line;
    }

    // The reader's waits end at once on a stop, except where a stop would cut
    // a storing and an erase in two.
    std::function<void()> stop_check() {
        return [this] {
            if (interruptible_ && g_stop.load()) {
                throw Stopped{};
            }
        };
    }

    // One poll and what the policy asks for after it.
    Decision step() {
        Session session(line_, quiet_, "collect");
        const auto polled = Clock::now();                 // polls every 2 s, however long one takes
        const bool answers = session.open(stop_check());  // the one password exchange
        const collect::PollFound found =
            answers ? collect::PollFound::Reader
                    : collect::poll_failure(session.failure_kind(), network_);
        Decision decision = policy_.polled(found, polled);
        for (const collect::Notice notice : decision.notices) {
            say(notice_line(notice, session.failure()));
        }
        if (decision.what != Decision::Do::Download) {
            return decision;
        }
        if (!store_) {
            try {
                store_ = store::open_store(target_);
            } catch (const StoreError& error) {
                CollectResult result;
                result.outcome = Outcome::StoreFailed;
                result.detail = error.what();
                const auto now = Clock::now();
                decision = policy_.collected({}, now, now);
                report(result, decision.retry);
                return decision;
            }
        }
        const auto began = Clock::now();
        collect::Fetched fetched;
        try {
            fetched = collect::fetch(session.reader());
            if (g_stop.load()) {
                throw Stopped{};
            }
        } catch (const Stopped&) {
            say(fmt::format("stopped during the download from {}: nothing stored, nothing erased",
                            port_));
            throw;
        }
        std::optional<collect::Header> header;
        if (fetched.download && fetched.download->has_header) {
            header = collect::Header{fetched.download->machine_id, fetched.download->announced};
        }
        decision = policy_.looked(header, began, Clock::now());
        if (decision.what != Decision::Do::Store) {
            return decision;
        }
        const collect::Request request = collect_request(options_);
        try {
            // The reads that confirm the download may be stopped as the first.
            if (!request.single_read && !collect::refusal(request, fetched)) {
                collect::LineReader link(session.reader());
                fetched = collect::confirm(link, std::move(fetched));
            }
        } catch (const Stopped&) {
            say(fmt::format("stopped during the download from {}: nothing stored, nothing erased",
                            port_));
            throw;
        }
        interruptible_ = false;
        const CollectResult result =
            collect::store_fetched(session.reader(), port_, *store_, request, fetched);
        interruptible_ = true;
        if (result.outcome == Outcome::StoreFailed) {
            store_.reset();  // a store that failed is opened anew for the next try
        }
        decision = policy_.collected(
            {result.succeeded(), result.erased(), result.machine_id, result.announced}, began,
            Clock::now());
        report(result, decision.retry);
        return decision;
    }

    [[nodiscard]] std::string notice_line(collect::Notice notice, const std::string& why) const {
        switch (notice) {
            case collect::Notice::PortFailed:
                return fmt::format("kdr: {}; retrying every {} s, said again when it works", why,
                                   StationPolicy::kPoll.count());
            case collect::Notice::PortBack:
                return fmt::format("{} works again", port_);
            case collect::Notice::WrongPassword:
                return fmt::format(
                    "kdr: the reader on {} refuses the password{}: nothing is collected from it; "
                    "start the station with the readers' password (--password, --password-file "
                    "or KDR_PASSWORD; a service's is in /etc/kdr/password)",
                    port_, line_.password->empty() ? " (none was given)" : "");
        }
        return {};
    }

    // One line per collect: text, or a JSON object with the try's note.
    void report(const CollectResult& result, const std::optional<collect::Retry>& retry) {
        const std::string again = retry ? fmt::format("try {}; again in {} s while it stays",
                                                      retry->tries, retry->again.count())
                                        : std::string();
        if (options_.format == "json") {
            Json json = collect_json(result, port_);
            json["time"] = local_now();
            if (retry) {
                json["retry"] = again;
            }
            console_.out << json.dump() << '\n' << std::flush;
            return;
        }
        const std::string line = collect_line(result, port_);
        say(result.succeeded() ? line
                               : fmt::format("kdr: {}{}", line,
                                             retry ? fmt::format(" ({})", again) : std::string()));
    }

    // Notes of the station itself; with JSON they stay off standard output,
    // which then holds only the collects' objects.
    void say(std::string_view line) {
        std::ostream& out = options_.format == "json" ? console_.err : console_.out;
        if (!console_.to_journal) {
            out << local_now() << ' ';
        }
        out << line << '\n' << std::flush;
    }

    const CollectOptions& options_;
    LineOptions line_;
    std::string target_;
    Console& console_;
    NullBuffer null_buffer_;
    std::ostream null_{&null_buffer_};
    Console quiet_;
    std::string port_;
    bool network_ = false;
    std::unique_ptr<Store> store_;
    StationPolicy policy_;
    bool interruptible_ = true;
};

int watch(const CollectOptions& options, std::string target, Console& console) {
    Station station(options, std::move(target), console);
    return station.run();
}

}  // namespace

int command_collect(const CollectOptions& options, Console& console) {
    const std::string target = store_target(options.db);
    if (options.watch && !options.reader_name.empty() && !options.erase) {
        throw UsageError(
            "--watch with --reader needs --erase: readers without an ID stored under one name "
            "can be told apart only when each is emptied as it is collected (or collect such "
            "readers one at a time, without --watch)");
    }
    if (options.watch) {
        return watch(options, target, console);
    }
    // The options first (the port word), then the store: one that cannot be
    // written is found before the reader is touched. The session ends (its
    // progress line cleared) before the line is printed.
    std::optional<Session> session;
    session.emplace(options.line, console, "collect");
    std::unique_ptr<Store> store;
    try {
        store = store::open_store(target);
    } catch (const StoreError& error) {
        console.err << "kdr: " << error.what() << "; nothing was downloaded or erased\n";
        return kExitFailure;
    }
    if (!options.reader_name.empty()) {
        try {
            store->check_reader_name(options.reader_name);
        } catch (const StoreError& error) {
            console.err << "kdr: " << error.what() << "; nothing was downloaded or erased\n";
            return kExitFailure;
        }
    }
    CollectResult result;
    std::string port;
    if (!session->open()) {
        return kExitFailure;
    }
    port = session->port_name();
    result = collect::collect(session->reader(), port, *store, collect_request(options));
    session.reset();
    const std::string line = collect_line(result, port);
    if (options.format == "json") {
        console.out << collect_json(result, port).dump(2) << '\n' << std::flush;
    } else if (result.succeeded()) {
        console.out << line << '\n' << std::flush;
    }
    if (!result.succeeded()) {
        console.err << "kdr: " << line << '\n' << std::flush;
    }
    return result.succeeded() ? kExitSuccess : kExitFailure;
}

void add_collect_options(CLI::App& command, CollectOptions& options) {
    add_line_options(command, options.line);
    add_db_option(command, options.db);
    command.add_flag("--erase", options.erase,
                     "Erase the reader once its whole download is stored");
    command
        .add_option("--reader", options.reader_name,
                    "The name to store a reader under that has no machine ID of its own (it "
                    "sends eight spaces): printable ASCII, at most 32 characters, no other "
                    "reader's ID")
        ->option_text("NAME")
        ->default_str("none")
        ->check([](const std::string& name) { return store::reader_name_problem(name); });
    command.add_flag("--single-read", options.single_read,
                     "Trust one read of the reader: without a second read to compare, a byte "
                     "the line damaged is stored, and the reader erased, as if the reader had "
                     "sent it. For lines known to be sound; it halves the collect's time");
    command.add_flag("--watch", options.watch,
                     "Station mode: poll the port every 2 s, collect each reader that answers "
                     "once, until Ctrl-C");
    add_format_option(command, options.format, report_formats(),
                      "one line, or one JSON object (with --watch one a line)");
    command.footer(R"(Reads the reader twice and stores the download only when both answers are
the same, byte for byte (a third read decides when they differ; when no two
agree, no record is stored and the reader is not erased). Prints one line:
the reader, records new and already stored, erased or not and why. Exit 1
when anything failed: nothing is erased then, and nothing stored is lost.
The SQLite file is created when missing. See /usr/share/doc/kdr/STORE.md.

Examples:
  kdr collect --port /dev/ttyUSB0 --db records.sqlite --erase
  kdr collect --port /dev/ttyUSB0 --db postgresql://kdr@dbhost/records --erase
  kdr collect --port /dev/ttyUSB0 --db records.sqlite --erase --watch)");
}

}  // namespace kdr::cli
