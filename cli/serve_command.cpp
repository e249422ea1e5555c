#include "cli/serve_command.hpp"

#include <fmt/format.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "cli/options.hpp"
#include "cli/session.hpp"
#include "web/server.hpp"

namespace kdr::cli {
namespace {

/// HOST:PORT, [IPv6]:PORT, :PORT or PORT; the host is loopback when not given.
std::pair<std::string, int> parse_listen(const std::string& text) {
    if (text.empty()) {
        return {"127.0.0.1", web::kDefaultPort};
    }
    std::string host = "127.0.0.1";
    std::string_view port_text = text;
    if (text.starts_with('[')) {
        const std::size_t close = text.find("]:");
        if (close == std::string::npos) {
            throw UsageError(fmt::format(
                "--listen {}: give an IPv6 address as [ADDRESS]:PORT, such as [::1]:8017", text));
        }
        host = text.substr(1, close - 1);
        port_text = std::string_view(text).substr(close + 2);
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (colon > 0) {
            host = text.substr(0, colon);
        }
        port_text = std::string_view(text).substr(colon + 1);
    }
    int port = 0;
    const auto [end, error] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (error != std::errc{} || end != port_text.data() + port_text.size() || port < 0 ||
        port > 65535 || host.empty()) {
        throw UsageError(fmt::format(
            "--listen {}: give HOST:PORT, such as 127.0.0.1:{} or 0.0.0.0:{} (port 0: any free "
            "one)",
            text, web::kDefaultPort, web::kDefaultPort));
    }
    return {host, port};
}

std::string read_token(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw UsageError(
            fmt::format("--token-file {}: cannot be read ({}): give a file that "
                        "holds the access token",
                        path, std::strerror(errno)));
    }
    std::string token;
    std::getline(in, token);
    std::string rest;
    if (std::getline(in, rest) && rest.find_first_not_of(" \t\r\n") != std::string::npos) {
        token += '\n';  // a second line: refused below
    }
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ' ||
                              token.back() == '\t')) {
        token.pop_back();
    }
    if (token.size() < 16 || token.find_first_of(" \t\r\n;,\"") != std::string::npos) {
        throw UsageError(fmt::format(
            "--token-file {}: the token must be one line of at least 16 characters without "
            "spaces, quotes, commas or semicolons; make one with: head -c 24 /dev/urandom | "
            "base64 | tr '+/' '-_' > {}",
            path, path));
    }
    return token;
}

}  // namespace

void add_serve_options(CLI::App& command, ServeOptions& options) {
    add_db_option(command, options.db);
    command
        .add_option("--listen", options.listen,
                    fmt::format("The address and port to serve on (default 127.0.0.1:{}: this "
                                "machine only)",
                                web::kDefaultPort))
        ->option_text("HOST:PORT");
    command
        .add_option("--token-file", options.token_file,
                    "A file holding the access token that every page and API call then needs; "
                    "required to listen beyond this machine (a service's credential named token "
                    "is taken when this is not given)")
        ->option_text("FILE");
    command
        .add_option("--stale-days", options.stale_days,
                    "Mark readers not collected for this many days (default 7)")
        ->option_text("DAYS")
        ->check(CLI::Range(1, 3650));
    command
        .add_option("--threads", options.threads,
                    "Requests answered at once, each with a store connection of its own (default "
                    "0: one per processor for SQLite, two for PostgreSQL, at least 2; more only "
                    "share the processors, unless the PostgreSQL server is on another machine)")
        ->option_text("N")
        ->check(CLI::Range(0, 256));
    command.footer(fmt::format(
        R"(Serves a read-only web view of the store until Ctrl+C or SIGTERM. The readers
page opens with how many readers need attention, by kind (last collect unsure
or incomplete, not erased, erase not verified, port unreachable, not
collected for --stale-days; /?attention=1 lists them), then every reader,
sortable, and a search over every reader's texts (/?q=TEXT). Each reader's
page has its records (a search and a date range) and its latest collects;
/downloads/N shows a download's reads side by side, as text and hex, where
they differ marked. A chart of records per day, CSV and JSON of what a page
shows (?bom=1 for spreadsheets). Open pages show new downloads as a station
stores them.

A JSON API for scripts and monitoring:
  /api/readers        every reader, its count, last download and attention
  /api/records?reader=&since=&until=&q=&limit=&offset=&after=
                      {{"total", "offset", "limit", "next", "records": [...]}};
                      limit at most {}, days as YYYY-MM-DD
  /api/downloads?reader=&since=&limit=&offset=
  /api/days?reader=&since=&until=&q=   records per day
  /metrics            Prometheus text format (readers, records, outcomes, ages)
  /healthz            200 when the store can be read, else 503; no token

The store is opened read-only: nothing is written. Listening beyond this
machine (such as --listen 0.0.0.0:{}) needs --token-file: open the view once
as http://HOST:PORT/?token=TOKEN (the browser keeps it), or send
"Authorization: Bearer TOKEN". Exit 2 for a usage error, 1 when the store
cannot be opened or the port taken.

Examples:
  kdr serve --db records.sqlite
  kdr serve --db postgresql://kdr@db/kdr --listen :9000
  kdr serve --db records.sqlite --listen 0.0.0.0:{} --token-file serve-token)",
        web::kMaxApiRows, web::kDefaultPort, web::kDefaultPort));
}

int command_serve(const ServeOptions& options, Console& console) {
    web::ServeSettings settings;
    settings.db = store_target(options.db);
    std::tie(settings.host, settings.port) = parse_listen(options.listen);
    // A service hands the token over as a credential, as the stations get
    // the password.
    std::optional<std::string> token_file = options.token_file;
    if (const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
        !token_file && credentials != nullptr && *credentials != '\0' &&
        std::filesystem::exists(std::filesystem::path(credentials) / "token")) {
        token_file = (std::filesystem::path(credentials) / "token").string();
    }
    if (token_file) {
        settings.token = read_token(*token_file);
    } else if (!web::is_loopback(settings.host)) {
        throw UsageError(fmt::format(
            "--listen {}: anyone who reaches this machine could read the store; give "
            "--token-file FILE with an access token to listen beyond this machine (as a service: "
            "the credential named token, LoadCredential=token:FILE in its unit), or listen "
            "on 127.0.0.1",
            options.listen));
    }
    settings.view.stale_days = options.stale_days;
    settings.threads = static_cast<std::size_t>(options.threads);
    settings.chart_script = KDR_CHART_SCRIPT;

    // SIGINT and SIGTERM are taken by a thread of their own, which stops the
    // server; every thread the server starts inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
    struct RestoreMask {
        sigset_t mask;
        ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};

    web::WebServer server(settings);
    if (!server.has_chart()) {
        console.err << fmt::format(
            "kdr serve: {} is missing, so the pages draw no chart (Debian: install "
            "libjs-chart.js)\n",
            settings.chart_script);
    }
    // The store's name, not --db: a PostgreSQL URI may hold a password, and
    // this line goes to the journal.
    console.out << fmt::format(
                       "kdr serve: http://{}:{}/ shows {}{} (Ctrl+C stops)\n",
                       web::shown_host(settings.host), server.port(), server.store_name(),
                       settings.token ? "; open it once with ?token= and the access token" : "")
                << std::flush;

    std::atomic<bool> served{false};
    std::thread stopper([&] {
        int signal = 0;
        sigwait(&stop_signals, &signal);
        // The server may not be listening yet: stop until it has ended.
        while (!served.load()) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    server.run();
    served.store(true);
    // Ends its wait, if it still waits: it blocks SIGTERM and takes it with
    // sigwait, so the signal stops nothing.
    // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread)
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    console.err << "kdr serve: stopped\n";
    return kExitSuccess;
}

}  // namespace kdr::cli
