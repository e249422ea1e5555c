#include "cli/app.hpp"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <numeric>
#include <sstream>

#include "cli/commands.hpp"
#include "cli/store_commands.hpp"
#include "kdr/error.hpp"

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
    std::string make_option_desc(const CLI::Option* option) const override {
        return wrap(option->get_description(), kHelpWidth - kNameColumn);
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

// Every message of the parser as the command's own.
std::string parse_failure(const CLI::App* /*app*/, const CLI::Error& error) {
    return fmt::format("kdr: {}\nRun \"kdr --help\" or \"kdr COMMAND --help\" for the options.\n",
                       error.what());
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

// The option every reader command takes, named for what it takes.
void add_line_options(CLI::App& command, LineOptions& options) {
    command
        .add_option("-p,--port", options.port,
                    "The reader's serial device: /dev/ttyUSB0, /dev/serial/by-id/..., a "
                    "pseudo-terminal, or a port number (1 is /dev/ttyS0). Default: KDR_PORT. "
                    "\"kdr ports\" lists the devices.")
        ->option_text("DEVICE")
        ->envname("KDR_PORT");
    // The environment keeps the password out of the process list.
    command
        .add_option("-w,--password", options.password,
                    "The reader's password (default: empty, or KDR_PASSWORD when set, which "
                    "keeps it out of the process list)")
        ->option_text("TEXT")
        ->envname("KDR_PASSWORD");
    command.add_flag("--trace", options.trace,
                     "Dump every byte sent and received, with timestamps, to standard error");
    command.add_flag("-q,--quiet", options.quiet,
                     "Nothing on standard error but errors: no progress, no notes");
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
password from --password or KDR_PASSWORD.

Results go to standard output; messages, progress and traces to standard
error (--quiet leaves only errors there).
Exit codes: 0 success, 1 the operation failed, 2 bad usage.
Run "kdr COMMAND --help" for the options of a command.)";

}  // namespace

int run(const std::vector<std::string>& args, Console& console) {
    CLI::App app{"kdr: work with a KDR portable data reader on a serial port", "kdr"};
    app.formatter(std::make_shared<Help>());
    app.failure_message(parse_failure);
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kdr 1.01"));
    app.footer(std::string(kOverview));

    LineOptions open_options;
    CLI::App* open = app.add_subcommand(
        "open", "Open a connection: the reader checks the password. Exit 0 when it accepts.");
    add_line_options(*open, open_options);
    open->footer(R"(Examples:
  kdr open --port /dev/ttyUSB0
  kdr open --port /dev/ttyUSB0 --password 1234
  KDR_PASSWORD=1234 kdr open --port /dev/ttyUSB0
  kdr open --port /dev/ttyUSB0 --trace        show every byte on the line)");

    DownloadOptions download_options;
    CLI::App* download = app.add_subcommand(
        "download", "Download every record in the reader (the reader keeps them).");
    add_line_options(*download, download_options.line);
    download->add_flag("--machine-id", download_options.machine_id,
                       "Begin the text with the reader's machine ID");
    download->add_flag("--rtc", download_options.dates,
                       "Put each record's date and time before its text");
    CLI::Option* format =
        download
            ->add_option("-f,--format", download_options.format,
                         "text (default): the records as lines; json, csv: machine ID, record "
                         "count and each record's timestamp, date line and text")
            ->option_text("FORMAT")
            ->check(CLI::IsMember({"text", "json", "csv"}));
    download
        ->add_flag("--raw", download_options.raw,
                   "Write the controller's result text byte for byte, with CR LF line ends")
        ->excludes(format);
    download
        ->add_option("--encoding", download_options.encoding,
                     "How the reader's 8-bit characters are read: cp1252 (default, as Windows "
                     "shows them), latin1 or utf8; the output is UTF-8")
        ->option_text("NAME");
    download
        ->add_option("-o,--output", download_options.output_file,
                     "Write the result to FILE, replacing it only when the whole download "
                     "arrived (else FILE.partial)")
        ->option_text("FILE");
    download->footer(R"(A download that is cut short or damaged (fewer records than the reader
announced) still writes what arrived, and exits with 1.

Examples:
  kdr download --port /dev/ttyUSB0
  kdr download --port /dev/ttyUSB0 --password 1234 --machine-id --rtc
  kdr download --port /dev/ttyUSB0 --format json -o records.json
  kdr download --port /dev/ttyUSB0 --format csv > records.csv
  kdr download --port /dev/ttyUSB0 --raw --rtc > records.raw)");

    LineOptions sync_options;
    CLI::App* sync = app.add_subcommand(
        "sync-time",
        "Set the reader's clock to this computer's time and read it back (printed). Exit 0 "
        "when the reader's clock took the time.");
    add_line_options(*sync, sync_options);
    sync->footer(R"(Examples:
  kdr sync-time --port /dev/ttyUSB0
  kdr sync-time --port /dev/ttyUSB0 --password 1234)");

    EraseOptions erase_options;
    CLI::App* erase =
        app.add_subcommand("erase", "Erase every record in the reader. Asks first on a terminal.");
    add_line_options(*erase, erase_options.line);
    erase->add_flag("-y,--yes", erase_options.yes,
                    "Erase without asking (needed when standard input is not a terminal)");
    erase->footer(R"(Exit 1 when the reader refuses. Download first, and check.

Examples:
  kdr erase --port /dev/ttyUSB0
  export KDR_PORT=/dev/ttyUSB0
  kdr download -o records.txt && kdr erase --yes)");

    PortsOptions ports_options;
    CLI::App* ports =
        app.add_subcommand("ports", "List the serial devices and what the system knows of them.");
    ports->add_flag("-a,--all", ports_options.all,
                    "Also list built-in ports with no hardware behind them");
    ports->add_option("-f,--format", ports_options.format, "text (default) or json")
        ->option_text("FORMAT")
        ->check(CLI::IsMember({"text", "json"}));
    ports->footer(R"(Examples:
  kdr ports
  kdr ports --all --format json)");

    SimulateOptions simulate_options;
    CLI::App* simulate = app.add_subcommand(
        "simulate",
        "Play a KDR reader on a pseudo-terminal: prints the device path to connect to on "
        "standard output, logs each request on standard error, serves until interrupted.");
    simulate
        ->add_option("-w,--password", simulate_options.password,
                     "The password the reader accepts (default: empty)")
        ->option_text("TEXT");
    simulate
        ->add_option("--id", simulate_options.machine_id,
                     "The machine ID, up to 8 characters (default KDR00001)")
        ->option_text("ID");
    simulate
        ->add_option("-n,--records", simulate_options.sample_records,
                     "How many sample records the reader holds (default 5, or 0 with --record)")
        ->option_text("N")
        ->check(CLI::Range(0, 99999));
    simulate
        ->add_option("-r,--record", simulate_options.record_texts,
                     "A record with this text (repeatable; stored after the samples)")
        ->option_text("TEXT");
    simulate
        ->add_option("--fault", simulate_options.faults,
                     "Misbehave: silent, refuse, garble, bursts, pause, drop, short, merge, split, "
                     "mute or borrow, optionally with the command letters it hits (\"refuse:T\", "
                     "\"short:PR\"); repeatable")
        ->option_text("KIND[:LETTERS]");
    simulate->add_flag("--fast", simulate_options.fast,
                       "Send replies at once rather than at the reader's 19200 baud");
    simulate
        ->add_option("--clock", simulate_options.clock,
                     "The reader's clock at start, \"YYYY-MM-DD HH:MM:SS\" (default: now)")
        ->option_text("TIME");
    simulate
        ->add_option("--path-file", simulate_options.path_file,
                     "Also write the device path to FILE, which appears whole once the reader "
                     "is ready")
        ->option_text("FILE");
    simulate->footer(R"(Faults hit every command unless letters are given, except: bursts, pause
and drop, merge and split hit the download (D), short hits the clock
read-back (R), mute the erase (E) and borrow the clock read-back (R).
  silent  no answer at all          refuse  the refusal frame, nothing done
  garble  damaged characters        bursts  answer in bursts, pauses < 0.3 s
  pause   a 0.6 s pause halfway     drop    the line drops halfway (new device)
  short   reply cut short (1 character of a frame, 9 of the clock, 13 of a
          download)
  merge   two records run together  split   one record cut in two after a "?"
  mute    carries out the request and sends nothing
  borrow  the clock read back as the next minute, its second below zero

Examples:
  kdr simulate
  kdr simulate --password 1234 --records 200 --fast
  kdr simulate --record "4006381333931" --record "QTY?3"
  kdr simulate --fault pause              test a host against a stalling line
  kdr simulate --path-file sim.path &     in a script: wait for sim.path)");

    DemoOptions demo_options;
    CLI::App* demo = app.add_subcommand(
        "demo", "Start the built-in reader simulator and download its records, with progress.");
    demo->add_option("-n,--records", demo_options.records,
                     "How many records the reader holds (default 12)")
        ->option_text("N")
        ->check(CLI::Range(0, 99999));
    demo->add_flag("--fast", demo_options.fast,
                   "Let the simulator answer at once rather than at 19200 baud");
    demo->add_option("-f,--format", demo_options.format, "text (default), json or csv")
        ->option_text("FORMAT")
        ->check(CLI::IsMember({"text", "json", "csv"}));
    demo->add_flag("--trace", demo_options.trace,
                   "Dump every byte sent and received, with timestamps, to standard error");
    demo->add_flag("-q,--quiet", demo_options.quiet,
                   "Nothing on standard error but errors: no progress, no notes");
    demo->footer(R"(Examples:
  kdr demo
  kdr demo --records 50 --format json
  kdr demo --trace)");

    const StoreCommands store_commands(app, add_line_options);  // collect, export, history

    // An unknown command: say which one was meant.
    const std::vector<CLI::App*> commands = app.get_subcommands({});
    const auto known = [&](const std::string& name) {
        return std::any_of(commands.begin(), commands.end(),
                           [&](const CLI::App* command) { return command->get_name() == name; });
    };
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
            "kdr: unknown command \"{}\"{}\nRun \"kdr --help\" for the "
            "commands.\n",
            args.front(), nearest.empty() ? "" : fmt::format("; did you mean {}?", nearest));
        return kExitUsage;
    }

    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error, console.out, console.err);
        return code == static_cast<int>(CLI::ExitCodes::Success) ? kExitSuccess : kExitUsage;
    }

    try {
        if (open->parsed()) {
            return command_open(open_options, console);
        }
        if (download->parsed()) {
            return command_download(download_options, console);
        }
        if (sync->parsed()) {
            return command_sync_time(sync_options, console);
        }
        if (erase->parsed()) {
            return command_erase(erase_options, console);
        }
        if (ports->parsed()) {
            return command_ports(ports_options, console);
        }
        if (simulate->parsed()) {
            return command_simulate(simulate_options, console);
        }
        if (demo->parsed()) {
            return command_demo(demo_options, console);
        }
        if (const std::optional<int> code = store_commands.run(console)) {
            return *code;
        }
    } catch (const UsageError& error) {
        console.err << "kdr: " << error.what() << "\nRun with --help for more information.\n";
        return kExitUsage;
    } catch (const std::exception& error) {
        console.err << "kdr: " << error.what() << '\n';
        return kExitFailure;
    }
    return kExitUsage;
}

}  // namespace kdr::cli
