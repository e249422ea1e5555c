#include "cli/app.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <numeric>
#include <sstream>
#include <system_error>

#include "cli/collect_command.hpp"
#include "cli/command.hpp"
#include "cli/commands.hpp"
#include "cli/serve_command.hpp"
#include "kdr/error.hpp"
#include "writers/formats.hpp"

namespace kdr::cli {

namespace {

constexpr std::size_t kHelpWidth = 80;
constexpr std::size_t kNameColumn = 26;

// Words of `text` in lines of at most `width` characters, joined by "\n"
// (the help formatter indents each new line to its column).
std::string wrap(std::string_view text, std::size_t width) {
    std::string out;
    std::size_t line = 0;
    std::istringstream words{std::string(text)};
    for (std::string word; words >> word;) {
        if (line > 0 && line + 1 + word.size() > width) {
            out += '\n';
            line = 0;
        } else if (line > 0) {
            out += ' ';
            ++line;
        }
        out += word;
        line += word.size();
    }
    return out;
}

// Help in 80 columns: options named with their argument (--port DEVICE), no
// parser notes on types, defaults or exclusions; descriptions wrapped.
class Help final : public CLI::Formatter {
  public:
    Help() { column_width(kNameColumn); }
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_option_text().empty() ? std::string() : " " + option->get_option_text();
    }
    // A value's default follows its description: a fixed one, or the
    // environment variable that gives it.
    std::string make_option_desc(const CLI::Option* option) const override {
        std::string text = option->get_description();
        std::string fallback = option->get_default_str();
        if (!option->get_envname().empty()) {
            fallback = "$" + option->get_envname() + (fallback.empty() ? "" : ", else " + fallback);
        }
        if (!option->get_option_text().empty() && !fallback.empty()) {
            text += " (default: " + fallback + ")";
        }
        return wrap(text, kHelpWidth - kNameColumn);
    }
    std::string make_subcommand(const CLI::App* sub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_display_name(),
                                 wrap(sub->get_description(), kHelpWidth - kNameColumn),
                                 kNameColumn);
        return out.str();
    }
    std::string make_description(const CLI::App* app) const override {
        const std::string description = app->get_description();
        return description.empty() ? std::string() : wrap(description, kHelpWidth) + "\n\n";
    }
};

// The one line that follows every usage error: where to read on.
std::string hint(std::string_view command) {
    return command.empty() ? "Run \"kdr --help\" for the commands.\n"
                           : fmt::format("Run \"kdr {} --help\" for the options.\n", command);
}

// Edits between two words, for suggesting the command meant.
std::size_t distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

constexpr std::string_view kOverview = R"(Examples:
  kdr demo                                   download from the built-in simulator
  kdr ports                                  list the serial devices
  kdr open --port /dev/ttyUSB0 --password 1234
  export KDR_PORT=/dev/ttyUSB0 KDR_PASSWORD=1234
  kdr download --rtc > records.txt
  kdr download --format json -o records.json
  kdr sync-time
  kdr erase --yes
  kdr simulate --records 20                  a reader on a pseudo-terminal

Every reader command opens the connection (the reader checks the password)
and then does its one job. The port comes from --port or KDR_PORT, the
password from --password, --password-file or KDR_PASSWORD; the store of
collect, export, history, rebuild, backup, prune, check and serve from --db or
KDR_DB.

Results go to standard output; messages, progress and traces to standard
error (--quiet leaves only errors there).
Exit codes: 0 success, 1 the operation failed, 2 bad usage (check: 1 when a
reader needs attention, 3 when the store cannot be read).
Run "kdr COMMAND --help" for the options of a command.)";

// Every command of `kdr`, in the order the help lists them.
const std::array<Command, 15>& command_table() {
    static const std::array<Command, 15> table{
        make_command<LineOptions>(
            "open", "Open a connection: the reader checks the password. Exit 0 when it accepts.",
            add_open_options, command_open),
        make_command<DownloadOptions>(
            "download", "Download every record in the reader (the reader keeps them).",
            add_download_options, command_download),
        make_command<LineOptions>("sync-time",
                                  "Set the reader's clock to this computer's time and read it "
                                  "back (printed). Exit 0 when the reader's clock took the time.",
                                  add_sync_time_options, command_sync_time),
        make_command<EraseOptions>("erase",
                                   "Erase every record in the reader. Asks first on a terminal.",
                                   add_erase_options, command_erase),
        make_command<PortsOptions>("ports",
                                   "List the serial devices and what the system knows of them.",
                                   add_ports_options, command_ports),
        make_command<SimulateOptions>(
            "simulate",
            "Play a KDR reader on a pseudo-terminal: prints the device path to connect to on "
            "standard output, logs each request on standard error, serves until interrupted.",
            add_simulate_options, command_simulate),
        make_command<DemoOptions>(
            "demo", "Start the built-in reader simulator and download its records, with progress.",
            add_demo_options, command_demo),
        make_command<CollectOptions>(
            "collect",
            "Download the reader into a database and, with --erase, erase it once the records "
            "are stored. Records already stored are not stored again.",
            add_collect_options, command_collect),
        make_command<ExportOptions>("export", "Write stored records as CSV or JSON.",
                                    add_export_options, command_export),
        make_command<HistoryOptions>("history", "List the stored downloads: counts, erase results.",
                                     add_history_options, command_history),
        make_command<ServeOptions>(
            "serve",
            "Serve a read-only web view of the store: readers, records, downloads, a chart, "
            "CSV, JSON and an API for scripts.",
            add_serve_options, command_serve),
        make_command<RebuildOptions>(
            "rebuild",
            "Derive the stored records anew from the readers' answers the store keeps, by this "
            "kdr's rules, in one transaction.",
            add_rebuild_options, command_rebuild),
        make_command<BackupOptions>(
            "backup",
            "Copy a SQLite store as of one moment while collects write, and check the copy.",
            add_backup_options, command_backup),
        make_command<PruneOptions>(
            "prune",
            "Remove the records of reader memories that a verified erase ended before a day.",
            add_prune_options, command_prune),
        make_command<CheckOptions>(
            "check",
            "List the readers that need attention, for cron and monitoring: exit 0 when none, 1 "
            "when some, 3 when the store cannot be read.",
            add_check_options, command_check),
    };
    return table;
}

// A format or encoding the writers do not know, in the words of the option
// that named it.
std::string option_problem(const writers::UnknownName& error) {
    if (error.kind() == writers::UnknownName::Kind::Format) {
        return fmt::format("--format {}: no such format", error.name());
    }
    return fmt::format("--encoding {}: give cp1252, latin1 or utf8 for the reader's characters",
                       error.name());
}

// A parser message in the command's words where the parser's are obscure.
std::string usage_message(const CLI::ParseError& error, const CLI::App* command) {
    if (command != nullptr && dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        for (const CLI::Option* option : command->get_options()) {
            const auto most = static_cast<std::size_t>(option->get_items_expected_max());
            if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw &&
                option->count() > most && most > 0) {
                return fmt::format("{} was given {}; give it once", option->get_name(),
                                   option->count() == 2 ? std::string("twice")
                                                        : fmt::format("{} times", option->count()));
            }
        }
    }
    return error.what();
}

// Results that never reached standard output (a full disk, a closed pipe)
// fail the command, whatever it did besides.
int finish_output(int code, Console& console) {
    console.out.flush();
    if (console.out) {
        return code;
    }
    const int error = console.out_error ? console.out_error() : 0;
    console.err << "kdr: cannot write to standard output"
                << (error != 0 ? ": " + std::error_code(error, std::generic_category()).message()
                               : std::string())
                << '\n'
                << std::flush;
    return kExitFailure;
}

int dispatch(const std::vector<std::string>& args, Console& console) {
    CLI::App app{"kdr: work with a KDR portable data reader on a serial port", "kdr"};
    app.formatter(std::make_shared<Help>());
    app.require_subcommand(1);
    app.set_version_flag("-v,--version", std::string("kdr 1.01"), "Print the version and exit");
    app.footer(std::string(kOverview));

    std::vector<CLI::App*> commands;
    std::vector<std::function<int(Console&)>> runners;
    for (const Command& command : command_table()) {
        CLI::App* sub = app.add_subcommand(std::string(command.name), std::string(command.summary));
        commands.push_back(sub);
        runners.push_back(command.define(*sub));
    }
    const auto known = [&](const std::string& name) {
        return std::any_of(commands.begin(), commands.end(),
                           [&](const CLI::App* command) { return command->get_name() == name; });
    };

    // An unknown command: say which one was meant.
    if (!args.empty() && !args.front().starts_with('-') && !known(args.front())) {
        std::string nearest;
        std::size_t best = 3;  // more edits than this is no likely typo
        for (const CLI::App* command : commands) {
            const std::size_t edits = distance(args.front(), command->get_name());
            if (edits < best || (edits == best && nearest.empty() && edits < 3)) {
                best = edits;
                nearest = command->get_name();
            }
        }
        console.err << fmt::format(
            "kdr: unknown command \"{}\"{}\n{}", args.front(),
            nearest.empty() ? "" : fmt::format("; did you mean {}?", nearest), hint({}));
        return kExitUsage;
    }
    const std::string named = !args.empty() && known(args.front()) ? args.front() : std::string();

    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::Success& help) {
        app.exit(help, console.out, console.err);
        return kExitSuccess;
    } catch (const CLI::ParseError& error) {
        const auto parsed = std::find_if(commands.begin(), commands.end(),
                                         [](const CLI::App* command) { return command->parsed(); });
        console.err << "kdr: " << usage_message(error, parsed == commands.end() ? nullptr : *parsed)
                    << '\n'
                    << hint(named);
        return kExitUsage;
    }

    try {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (commands[i]->parsed()) {
                return runners[i](console);
            }
        }
    } catch (const UsageError& error) {
        console.err << "kdr: " << error.what() << '\n' << hint(named);
        return kExitUsage;
    } catch (const writers::UnknownName& error) {
        console.err << "kdr: " << option_problem(error) << '\n' << hint(named);
        return kExitUsage;
    } catch (const std::exception& error) {
        console.err << "kdr: " << error.what() << '\n';
        return kExitFailure;
    }
    return kExitUsage;
}

}  // namespace

bool DescriptorOutput::drain() {
    const char* next = pbase();
    while (next < pptr()) {
        const ssize_t n = ::write(fd_, next, static_cast<std::size_t>(pptr() - next));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error_ = error_ != 0 ? error_ : errno;
            setp(buffer_.data(), buffer_.data() + buffer_.size());
            return false;
        }
        next += n;
    }
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return true;
}

DescriptorOutput::int_type DescriptorOutput::overflow(int_type c) {
    if (!drain()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int DescriptorOutput::sync() {
    return drain() ? 0 : -1;
}

bool is_journal_stream(int fd) {
    const char* named = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (named == nullptr || ::fstat(fd, &status) != 0) {
        return false;
    }
    return fmt::format("{}:{}", status.st_dev, status.st_ino) == named;
}

int run(const std::vector<std::string>& args, Console& console) {
    return finish_output(dispatch(args, console), console);
}

}  // namespace kdr::cli
