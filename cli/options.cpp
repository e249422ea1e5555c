#include "cli/options.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace kdr::cli {

void add_line_options(CLI::App& command, LineOptions& options) {
    // KDR_PORT is read by the session, which then names it in port errors.
    command
        .add_option("-p,--port", options.port,
                    "The reader's serial device: /dev/ttyUSB0, /dev/serial/by-id/..., a "
                    "pseudo-terminal, or a port number or name (1 and COM1 are /dev/ttyS0); or "
                    "a serial device "
                    "server on the network, tcp://HOST:PORT (raw TCP) or rfc2217://HOST:PORT "
                    "(RFC 2217). \"kdr ports\" lists the devices")
        ->option_text("DEVICE")
        ->default_str("$KDR_PORT");
    // The environment or a file keeps the password out of the process list;
    // the session reads them (resolve_password) in this order.
    command
        .add_option("-w,--password", options.password,
                    "The reader's password; KDR_PASSWORD or --password-file keep it out of the "
                    "process list")
        ->option_text("TEXT")
        ->default_str("$KDR_PASSWORD, else $CREDENTIALS_DIRECTORY/password, else empty");
    command
        .add_option("--password-file", options.password_file,
                    "Read the password from the first line of FILE; it goes before KDR_PASSWORD "
                    "(not with --password)")
        ->option_text("FILE");
    command
        .add_option("--latency", options.latency,
                    "The round trip of a slow link to the reader (a cradle behind a VPN or a "
                    "radio link): 300, 300ms or 0.3s. Every wait for the reader grows by it. "
                    "Without it the first reply measures the round trip, and a network port "
                    "waits up to a second for that reply")
        ->option_text("TIME")
        ->default_str("$KDR_LATENCY, else measured");
    command.add_flag("--trace", options.trace,
                     "Dump every byte sent and received, with timestamps, to standard error");
    command.add_flag("-q,--quiet", options.quiet,
                     "Nothing on standard error but errors: no progress, no notes");
}

CLI::Option* add_format_option(CLI::App& command, std::string& format,
                               const std::vector<std::string>& names, const std::string& what) {
    // The value the options begin with is the default, when it is offered.
    if (std::find(names.begin(), names.end(), format) == names.end()) {
        format = names.front();
    }
    std::string choices;
    for (std::size_t i = 0; i < names.size(); ++i) {
        choices += i == 0 ? "" : i + 1 == names.size() ? " or " : ", ";
        choices += names[i];
    }
    return command.add_option("-f,--format", format, fmt::format("{}: {}", choices, what))
        ->option_text("FORMAT")
        ->default_str(format)
        ->check(CLI::IsMember(names));
}

const std::vector<std::string>& report_formats() {
    static const std::vector<std::string> names{"text", "json"};
    return names;
}

void add_db_option(CLI::App& command, std::optional<std::string>& db) {
    command
        .add_option("--db", db,
                    "The store: a SQLite file or a postgresql:// URI "
                    "(/usr/share/doc/kdr/STORE.md)")
        ->option_text("TARGET")
        ->default_str("$KDR_DB");
}

namespace {

// "scheme://...": letters, then letters, digits, "+", "-" or ".", then "://".
bool looks_like_uri(std::string_view target) {
    const std::size_t colon = target.find("://");
    if (colon == std::string_view::npos || colon == 0 ||
        std::isalpha(static_cast<unsigned char>(target.front())) == 0) {
        return false;
    }
    return std::all_of(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' ||
                                  c == '-' || c == '.';
                       });
}

}  // namespace

std::string store_target(const std::optional<std::string>& db) {
    const char* environment = std::getenv("KDR_DB");
    const bool from_environment = !db && environment != nullptr && *environment != '\0';
    if (!db && !from_environment) {
        throw UsageError(
            "no store given: name it with --db TARGET or the environment variable KDR_DB");
    }
    std::string target = db ? *db : std::string(environment);
    const std::string named = from_environment ? "KDR_DB " + target : "--db " + target;
    if (target.empty()) {
        throw UsageError(
            "--db is empty: give a SQLite file such as records.sqlite or a postgresql:// URI");
    }
    const bool postgres = target.starts_with("postgresql://") || target.starts_with("postgres://");
    if (!postgres && looks_like_uri(target)) {
        throw UsageError(fmt::format(
            "{}: no kind of store this program knows; give a SQLite file (such as "
            "records.sqlite) or a PostgreSQL database as postgresql://USER@HOST/DATABASE",
            named));
    }
    if (!postgres) {
        namespace fs = std::filesystem;
        const fs::path parent = fs::path(target).parent_path();
        const fs::path folder = parent.empty() ? fs::path(".") : parent;
        std::error_code ignored;
        if (!fs::is_directory(folder, ignored)) {
            throw UsageError(fmt::format("{}: the folder {} does not exist; create it first", named,
                                         folder.string()));
        }
    }
    return target;
}

}  // namespace kdr::cli
