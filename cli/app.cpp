#include "cli/app.hpp"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>

#include "cli/commands.hpp"
#include "cli/store_commands.hpp"
#include "kdr/error.hpp"

namespace kdr::cli {

namespace {

void add_line_options(CLI::App& command, LineOptions& options) {
    command
        .add_option("-p,--port", options.port,
                    "Serial port: a number (1 is /dev/ttyS0, 2 is /dev/ttyS1, ...) or a device "
                    "path such as /dev/ttyUSB0")
        ->capture_default_str();
    // The environment keeps the password out of the process list.
    command
        .add_option("-w,--password", options.password,
                    "The reader's password (default: empty, or KDR_PASSWORD when set)")
        ->envname("KDR_PASSWORD");
    command.add_flag("--trace", options.trace,
                     "Dump every byte sent and received, with timestamps, to standard error");
}

constexpr std::string_view kOverview = R"(Examples:
  kdr demo                                   download from the built-in simulator
  kdr ports                                  list the serial devices
  kdr open --port /dev/ttyUSB0 --password 1234
  KDR_PASSWORD=1234 kdr download --port 1    the password kept out of the process list
  kdr download --port 1 --rtc > records.txt
  kdr download --port /dev/ttyUSB0 --format json -o records.json
  kdr sync-time --port /dev/ttyUSB0
  kdr erase --port /dev/ttyUSB0 --yes
  kdr simulate --records 20                  a reader on a pseudo-terminal

Every reader command opens the connection (the reader checks the password)
and then does its one job. Messages go to standard error.
Exit codes: 0 success, 1 the operation failed, 2 bad usage.
Run "kdr COMMAND --help" for the options of a command.)";

}  // namespace

int run(const std::vector<std::string>& args, Console& console) {
    CLI::App app{"kdr: work with a KDR portable data reader on a serial port", "kdr"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kdr 1.01"));
    app.footer(std::string(kOverview));
    app.get_formatter()->column_width(34);

    LineOptions open_options;
    CLI::App* open = app.add_subcommand(
        "open", "Open a connection: the reader checks the password. Exit 0 when it accepts.");
    add_line_options(*open, open_options);
    open->footer(R"(Examples:
  kdr open --port 1
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
                         "text: the records as lines; json, csv: machine ID, record count and "
                         "each record's date, time and text")
            ->check(CLI::IsMember({"text", "json", "csv"}))
            ->capture_default_str();
    download
        ->add_flag("--raw", download_options.raw,
                   "Write the controller's result text byte for byte, with CR LF line ends")
        ->excludes(format);
    download->add_option("-o,--output", download_options.output_file,
                         "Write the result to FILE instead of standard output");
    download->footer(R"(A download that is cut short or damaged (fewer records than the reader
announced) still writes what arrived, and exits with 1.

Examples:
  kdr download --port 1
  kdr download --port /dev/ttyUSB0 --password 1234 --machine-id --rtc
  kdr download --port /dev/ttyUSB0 --format json -o records.json
  kdr download --port /dev/ttyUSB0 --format csv > records.csv
  kdr download --port /dev/ttyUSB0 --raw --rtc > records.raw)");

    LineOptions sync_options;
    CLI::App* sync = app.add_subcommand(
        "sync-time",
        "Set the reader's clock to this computer's time and check it by reading it "
        "back. Exit 0 when the reader's clock agrees.");
    add_line_options(*sync, sync_options);
    sync->footer(R"(Examples:
  kdr sync-time --port 1
  kdr sync-time --port /dev/ttyUSB0 --password 1234)");

    EraseOptions erase_options;
    CLI::App* erase =
        app.add_subcommand("erase", "Erase every record in the reader. Asks first on a terminal.");
    add_line_options(*erase, erase_options.line);
    erase->add_flag("-y,--yes", erase_options.yes,
                    "Erase without asking (needed when standard input is not a terminal)");
    erase->footer(R"(The reader does not confirm an erase: download first, and check.

Examples:
  kdr erase --port /dev/ttyUSB0
  kdr download --port /dev/ttyUSB0 -o records.txt && kdr erase --port /dev/ttyUSB0 --yes)");

    bool ports_all = false;
    CLI::App* ports =
        app.add_subcommand("ports", "List the serial devices and what the system knows of them.");
    ports->add_flag("-a,--all", ports_all, "Also list built-in ports with no hardware behind them");
    ports->footer(R"(Examples:
  kdr ports
  kdr ports --all)");

    SimulateOptions simulate_options;
    CLI::App* simulate = app.add_subcommand(
        "simulate",
        "Play a KDR reader on a pseudo-terminal: prints the device path to connect to on "
        "standard output, logs each request on standard error, serves until interrupted.");
    simulate->add_option("-w,--password", simulate_options.password,
                         "The password the reader accepts (default: empty)");
    simulate->add_option("--id", simulate_options.machine_id, "The machine ID (up to 8 characters)")
        ->capture_default_str();
    simulate
        ->add_option("-n,--records", simulate_options.sample_records,
                     "How many sample records the reader holds (default 5, or 0 with --record)")
        ->check(CLI::Range(0, 99999));
    simulate->add_option("-r,--record", simulate_options.record_texts,
                         "A record with this text (repeatable; stored after the samples)");
    simulate->add_option(
        "--fault", simulate_options.faults,
        "Misbehave: silent, refuse, garble, bursts, pause, drop or short, optionally with the "
        "command letters it hits (\"refuse:T\", \"short:PR\"); repeatable");
    simulate->add_flag("--fast", simulate_options.fast,
                       "Send replies at once rather than at the reader's 19200 baud");
    simulate->add_option("--clock", simulate_options.clock,
                         "The reader's clock at start, \"YYYY-MM-DD HH:MM:SS\" (default: now)");
    simulate->footer(R"(Faults hit every command unless letters are given, except: bursts, pause
and drop hit the download (D) and short hits the clock read-back (R).
  silent  no answer at all          refuse  the refusal frame, nothing done
  garble  damaged characters        bursts  answer in bursts, pauses < 0.3 s
  pause   a 0.6 s pause halfway     drop    the line drops halfway (new device)
  short   reply cut short (1 character of a frame, 9 of the clock, 13 of a download)

Examples:
  kdr simulate
  kdr simulate --password 1234 --records 200 --fast
  kdr simulate --record "4006381333931" --record "QTY?3"
  kdr simulate --fault pause              test a host against a stalling line
  kdr simulate > sim.path &               in a script: the first line is the path)");

    DemoOptions demo_options;
    CLI::App* demo = app.add_subcommand(
        "demo", "Start the built-in reader simulator and download its records, with progress.");
    demo->add_option("-n,--records", demo_options.records, "How many records the reader holds")
        ->check(CLI::Range(0, 99999))
        ->capture_default_str();
    demo->add_flag("--fast", demo_options.fast,
                   "Let the simulator answer at once rather than at 19200 baud");
    demo->add_option("-f,--format", demo_options.format, "text, json or csv")
        ->check(CLI::IsMember({"text", "json", "csv"}))
        ->capture_default_str();
    demo->add_flag("--trace", demo_options.trace,
                   "Dump every byte sent and received, with timestamps, to standard error");
    demo->footer(R"(Examples:
  kdr demo
  kdr demo --records 50 --format json
  kdr demo --trace)");

    const StoreCommands store_commands(app, add_line_options);  // collect, export, history

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
            return command_ports(ports_all, console);
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
