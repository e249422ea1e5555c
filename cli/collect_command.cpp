// kdr collect: the command's wiring of Collect. Collect decides and words
// what happened; this file opens the port and the store, hands Ctrl-C to
// the collect as a stop it takes between steps, and prints Collect's line.
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
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>
#include <utility>

#include "cli/options.hpp"
#include "collect/collect.hpp"
#include "collect/outcome.hpp"
#include "collect/station.hpp"
#include "kdr/error.hpp"
#include "store/store.hpp"

namespace kdr::cli {

namespace {

using store::Store;
using store::StoreError;

using Outcome = CollectResult::Outcome;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

// The exit code of a command that Ctrl-C ended, as shells give it.
constexpr int kExitInterrupted = 130;

collect::Request collect_request(const CollectOptions& options) {
    return {options.erase, options.reader_name, options.single_read};
}

// Ctrl-C (and SIGTERM): a flag the reader's waits look at,
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

// The station's I/O for the command: a session per poll (its own lines
// silent: what it found comes back as a failure kind and text), the store,
// the steady clock, Ctrl-C, and lines on standard output (with JSON, the
// station's own notes on standard error, which then holds no collect).
class CommandStationIo final : public collect::StationIo {
  public:
    CommandStationIo(const CollectOptions& options, LineOptions line, std::string target,
                     std::unique_ptr<Store> store, Console& console, const StopSignals& signals)
        : options_(options),
          line_(std::move(line)),
          target_(std::move(target)),
          console_(console),
          quiet_{console.in, null_, null_, false, false},
          signals_(signals),
          store_(std::move(store)) {}

    collect::Poll poll(const collect::StopSignal& stop) override {
        auto held = std::make_unique<HeldSession>(line_, quiet_);
        collect::Poll poll;
        if (held->session.open([&stop] { stop.throw_if_requested(); })) {
            poll.reader = std::move(held);
        } else {
            poll.failure = held->session.failure_kind();
            poll.why = held->session.failure();
        }
        return poll;
    }
    Store& store() override {
        if (!store_) {
            store_ = collect::open_store_for(target_, collect_request(options_));
        }
        return *store_;
    }
    void drop_store() override { store_.reset(); }
    Time now() override { return std::chrono::steady_clock::now(); }
    void sleep_until(Time wake) override { signals_.sleep_until(wake); }
    bool stop_requested() override { return g_stop.load(); }
    void say(std::string_view line, bool failure) override {
        std::ostream& out = options_.format == "json" ? console_.err : console_.out;
        if (!console_.to_journal) {
            out << local_now() << ' ';
        }
        out << (failure ? "kdr: " : "") << line << '\n' << std::flush;
    }
    void report(const CollectResult& result, const std::optional<collect::Retry>& retry) override {
        if (options_.format == "json") {
            Json json = collect::to_json(result);
            json["time"] = local_now();
            if (retry) {
                json["retry"] = fmt::format("try {}; again in {} s while it stays", retry->tries,
                                            retry->again.count());
            }
            console_.out << json.dump() << '\n' << std::flush;
            return;
        }
        say(collect::station_line(result, retry), !result.succeeded());
    }

  private:
    // A session that took the password, held for the docking's collect.
    struct HeldSession final : collect::ReaderLink {
        HeldSession(const LineOptions& line, Console& console)
            : session(line, console, "collect") {}
        [[nodiscard]] Download download() override { return session.reader().download(); }
        EraseReply erase() override { return session.reader().erase(); }
        Session session;
    };

    const CollectOptions& options_;
    LineOptions line_;
    std::string target_;
    Console& console_;
    NullBuffer null_buffer_;
    std::ostream null_{&null_buffer_};
    Console quiet_;
    const StopSignals& signals_;
    std::unique_ptr<Store> store_;
};

int watch(const CollectOptions& options, const std::string& target, Console& console) {
    // A password file is read at the start, not at every poll.
    LineOptions line = options.line;
    line.password = resolve_password(line);
    line.password_file.reset();
    collect::StationSettings settings;
    {
        // A port word that can name no port is bad usage, said before the
        // store is made.
        NullBuffer null_buffer;
        std::ostream null(&null_buffer);
        Console quiet{console.in, null, null, false, false};
        const Session port(line, quiet, "collect");
        settings.port = port.port_name();
        settings.network = port.network_port();
    }
    settings.request = collect_request(options);
    settings.password_given = !line.password->empty();
    // Made before any reader is touched (a reader name checked against it).
    std::unique_ptr<Store> store = collect::open_store_for(target, settings.request);
    const StopSignals signals;
    CommandStationIo io(options, line, target, std::move(store), console, signals);
    collect::Station station(io, settings);
    station.run();
    return kExitSuccess;
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
    const collect::Request request = collect_request(options);
    std::unique_ptr<Store> store;
    try {
        store = collect::open_store_for(target, request);
    } catch (const StoreError& error) {
        console.err << "kdr: " << error.what() << "; nothing was downloaded or erased\n";
        return kExitFailure;
    }
    const StopSignals signals;
    collect::StopSignal stop([] { return g_stop.load(); });
    CollectResult result;
    try {
        if (!session->open([&stop] { stop.throw_if_requested(); })) {
            return kExitFailure;
        }
        collect::LineReader link(session->reader(), [&session](std::string_view what) {
            session->label_download(what);
        });
        result = collect::collect(link, session->port_name(), *store, request, stop);
    } catch (const collect::StopRequested&) {
        result.outcome = Outcome::Stopped;
        result.port = session->port_name();
    }
    result.network = session->network_port();
    session.reset();
    const std::string line = collect::describe(result);
    if (options.format == "json") {
        console.out << collect::to_json(result).dump(2) << '\n' << std::flush;
    } else if (result.succeeded()) {
        console.out << line << '\n' << std::flush;
    }
    if (!result.succeeded()) {
        console.err << "kdr: " << line << '\n' << std::flush;
    }
    if (result.outcome == Outcome::Stopped) {
        return kExitInterrupted;
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
the same, byte for byte (a third read decides when they differ, and the line
says so; when no two agree, no record is stored, the reader is not erased,
and the line says what each read got). With --single-read the download is
"not checked". Prints one line: the reader, records new and already stored,
erased or not and why. Exit 1 when anything failed: nothing is erased then,
and nothing stored is lost; 130 after Ctrl-C, having stored and erased
nothing. The SQLite file is created when missing. See
/usr/share/doc/kdr/STORE.md.

Examples:
  kdr collect --port /dev/ttyUSB0 --db records.sqlite --erase
  kdr collect --port /dev/ttyUSB0 --db postgresql://kdr@dbhost/records --erase
  kdr collect --port /dev/ttyUSB0 --db records.sqlite --erase --watch)");
}

}  // namespace kdr::cli
