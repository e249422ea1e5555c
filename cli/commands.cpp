// The reader commands: every one opens the connection with OpenKDR, as a host
// does, and then calls exactly one method of the controller.
#include "cli/commands.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "cli/download_formats.hpp"
#include "cli/options.hpp"
#include "cli/result_file.hpp"
#include "cli/serial_ports.hpp"
#include "collect/erase_check.hpp"
#include "kdr/error.hpp"
#include "kdr/text_encoding.hpp"

namespace kdr::cli {

namespace {

using collect::erase_and_check;
using collect::EraseCheck;
using collect::LineReader;
using store::EraseResult;

bool confirmed(std::string_view answer) {
    std::string lower;
    for (const char c : answer) {
        if (std::isspace(static_cast<unsigned char>(c)) == 0) {
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return lower == "y" || lower == "yes";
}

}  // namespace

void add_open_options(CLI::App& command, LineOptions& options) {
    add_line_options(command, options);
    command.footer(R"(Examples:
  kdr open --port /dev/ttyUSB0
  kdr open --port /dev/ttyUSB0 --password 1234
  KDR_PASSWORD=1234 kdr open --port /dev/ttyUSB0
  kdr open --port /dev/ttyUSB0 --trace        show every byte on the line)");
}

void add_download_options(CLI::App& command, DownloadOptions& options) {
    add_line_options(command, options.line);
    command.add_flag("--machine-id", options.machine_id,
                     "Begin the text with the reader's machine ID");
    command.add_flag("--rtc", options.dates, "Put each record's date and time before its text");
    CLI::Option* format = add_format_option(
        command, options.format, format_names(false),
        "the records as lines, or machine ID, record count and each record's timestamp, date "
        "line and text");
    command
        .add_flag("--raw", options.raw,
                  "Write the controller's result text byte for byte, with CR LF line ends")
        ->excludes(format);
    command
        .add_option("--encoding", options.encoding,
                    "How the reader's 8-bit characters are read: cp1252 (as Windows shows them), "
                    "latin1 or utf8; the output is UTF-8")
        ->option_text("NAME")
        ->default_str(options.encoding);
    command
        .add_option("-o,--output", options.output_file,
                    "Write the result to FILE (\"-\": standard output), replacing a file only "
                    "when the whole download arrived (else FILE.partial)")
        ->option_text("FILE")
        ->default_str("-");
    command.add_flag("--verify", options.verify,
                     "Read the reader again and write the records only when two reads agree "
                     "byte for byte (a third read decides): the reader sends no checksum, so one "
                     "read cannot tell a byte the line damaged. Takes twice as long");
    command.footer(R"(A download that is cut short or damaged (fewer records than the reader
announced) still writes what arrived, and exits with 1. With --verify, reads
that never agree write nothing and exit with 1.

Examples:
  kdr download --port /dev/ttyUSB0
  kdr download --port /dev/ttyUSB0 --password 1234 --machine-id --rtc
  kdr download --port /dev/ttyUSB0 --format json -o records.json
  kdr download --port /dev/ttyUSB0 --format csv > records.csv
  kdr download --port /dev/ttyUSB0 --raw --rtc > records.raw)");
}

void add_sync_time_options(CLI::App& command, LineOptions& options) {
    add_line_options(command, options);
    command.footer(R"(Examples:
  kdr sync-time --port /dev/ttyUSB0
  kdr sync-time --port /dev/ttyUSB0 --password 1234)");
}

void add_erase_options(CLI::App& command, EraseOptions& options) {
    add_line_options(command, options.line);
    command.add_flag("-y,--yes", options.yes,
                     "Erase without asking (needed when standard input is not a terminal)");
    command.footer(R"(Exit 1 when the reader refuses. Download first, and check.

Examples:
  kdr erase --port /dev/ttyUSB0
  export KDR_PORT=/dev/ttyUSB0
  kdr download --verify -o records.txt && kdr erase --yes)");
}

void add_ports_options(CLI::App& command, PortsOptions& options) {
    command.add_flag("-a,--all", options.all,
                     "Also list built-in ports with no hardware behind them");
    add_format_option(command, options.format, report_formats(), "the table, or one JSON array");
    command.footer(R"(Examples:
  kdr ports
  kdr ports --all --format json)");
}

int command_open(const LineOptions& options, Console& console) {
    Session session(options, console, "open");
    if (!session.open()) {
        return kExitFailure;
    }
    console.out << fmt::format("The reader on {} accepted the password.\n", session.port_name());
    return kExitSuccess;
}

namespace {

// The download two reads agree on, byte for byte, the way a collect takes
// one; throws when three reads never agree.
Download verified(Reader& reader, Download first) {
    collect::LineReader link(reader);
    collect::Fetched fetched;
    fetched.download = std::move(first);
    collect::Fetched sure = collect::confirm(link, std::move(fetched));
    if (!sure.sure) {
        throw Error(ErrorKind::BadAnswer,
                    fmt::format("{} reads of the reader gave {} different answers: the line is "
                                "damaging the data (check the cable, the cradle's contacts or "
                                "the network link, then download again); nothing was written",
                                sure.reads, sure.other_answers.size() + 1));
    }
    return std::move(*sure.download);
}

}  // namespace

int command_download(const DownloadOptions& options, Console& console) {
    // A file that cannot be written is found before a long transfer, not after.
    std::optional<ResultFile> file;
    if (options.output_file && *options.output_file != "-") {
        file.emplace(*options.output_file);
    }
    WriterOptions writing{
        text_decoder(options.encoding), {options.machine_id, options.dates}, false};
    const std::string format = options.raw ? std::string("raw") : options.format;
    Session session(options.line, console, "download");
    if (!session.open()) {
        return kExitFailure;
    }
    Download download;
    try {
        download = session.reader().download();
        if (options.verify) {
            download = verified(session.reader(), std::move(download));
        }
        session.end_progress();
    } catch (const std::exception& error) {
        if (file && file->kind() == ResultFile::Kind::Replaced) {
            session.err() << fmt::format("kdr: {} was left as it was\n", file->path());
        }
        return session.fail(error);
    }
    const std::string rendered = render(format, download, writing);

    // What arrived is written out in any case: whole to the file only when
    // the reader's whole memory arrived, else beside it, so that a good file
    // is never replaced by a cut one. A cut download is a failure all the
    // same, so that a script does not go on to erase what it never received.
    const bool complete = download.complete();
    if (!file) {
        console.out << rendered;
    } else if (complete) {
        file->commit(rendered);
        session.info() << fmt::format("kdr: {} record(s) written to {}\n", download.records.size(),
                                      file->path());
    } else if (file->kind() != ResultFile::Kind::Replaced) {
        session.err() << fmt::format("kdr: {} record(s) written to {}\n", download.records.size(),
                                     file->keep_partial(rendered));
    } else if (download.has_header || !download.records.empty()) {
        const std::string partial = file->keep_partial(rendered);
        session.err() << fmt::format("kdr: {} record(s) written to {}; {} was left as it was\n",
                                     download.records.size(), partial, file->path());
    } else {
        session.err() << fmt::format("kdr: {} was left as it was\n", file->path());
    }
    return complete ? kExitSuccess
                    : session.fail(Error(ErrorKind::Incomplete, why_incomplete(download)));
}

int command_sync_time(const LineOptions& options, Console& console) {
    Session session(options, console, "sync-time");
    if (!session.open()) {
        return kExitFailure;
    }
    try {
        const LocalDateTime clock = session.reader().sync_clock();
        console.out << fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}\n", clock.year, clock.month,
                                   clock.day, clock.hour, clock.minute, clock.second);
    } catch (const std::exception& error) {
        return session.fail(error);
    }
    session.info() << fmt::format(
        "kdr: the reader on {} keeps this computer's time (its clock, read back, {})\n",
        session.port_name(),
        console.out_is_terminal ? "is above" : "was written to standard output");
    return kExitSuccess;
}

int command_erase(const EraseOptions& options, Console& console) {
    Session session(options.line, console, "erase");
    if (!options.yes && !console.in_is_terminal) {
        throw UsageError(
            "erase deletes every record in the reader: give --yes to erase without being "
            "asked (standard input is not a terminal to ask on)");
    }
    if (!session.open()) {
        return kExitFailure;
    }
    // The reader is read first: the question says what would be lost, and
    // the read-back after the erase is held against this reader's ID, so
    // that a reader swapped in meanwhile is not taken for this one erased.
    Download before;
    try {
        before = session.reader().download();
    } catch (const std::exception& error) {
        session.fail(error);
        session.err() << "kdr: nothing was erased\n";
        return kExitFailure;
    }
    const std::string reader = fmt::format(
        "the reader {} on {}", cp1252_to_utf8(trim_spaces(before.machine_id)), session.port_name());
    if (!options.yes) {
        session.end_progress();
        session.err() << fmt::format(
                             "Erase {}? It holds {} record(s). This cannot be undone. [y/N] ",
                             reader, before.records.size())
                      << std::flush;
        std::string answer;
        std::getline(console.in, answer);
        if (!confirmed(answer)) {
            session.err() << "kdr: nothing was erased\n";
            return kExitFailure;
        }
    }
    LineReader link(session.reader());
    const EraseCheck check = erase_and_check(link, before.machine_id);
    switch (check.result) {
        case EraseResult::Verified:
            console.out << fmt::format("Erased {}: read back, it holds no record.\n", reader);
            return kExitSuccess;
        case EraseResult::Acknowledged:
            console.out << fmt::format("Erased {}: the reader acknowledged it ({}).\n", reader,
                                       check.detail);
            return kExitSuccess;
        case EraseResult::NotErased:
            session.err() << fmt::format(
                "kdr: {} was told to erase, but read back it still holds {} record(s): nothing "
                "was erased\n",
                reader, check.records);
            return kExitFailure;
        case EraseResult::Refused:
            // The reader's own sentence, as every command says a refusal.
            session.err() << "kdr: " << check.detail << '\n';
            return kExitFailure;
        case EraseResult::OtherReader:
            session.err() << fmt::format(
                "kdr: {} was told to erase its records, but {}: whether they are gone is not "
                "known\n",
                reader, check.detail);
            return kExitFailure;
        case EraseResult::Silent:
            session.err() << fmt::format(
                "kdr: {} was told to erase its records; it sent no answer and {}: whether it "
                "erased is not known\n",
                reader, check.detail);
            return kExitFailure;
        default:
            session.err() << fmt::format("kdr: {}: {}: whether it erased is not known\n", reader,
                                         check.detail);
            return kExitFailure;
    }
}

int command_ports(const PortsOptions& options, Console& console) {
    const std::vector<SerialDevice> devices = list_serial_devices();
    if (options.format == "json") {
        console.out << devices_to_json(devices, options.all);
        return kExitSuccess;
    }
    console.out << format_device_table(devices, options.all);
    // How to use the table is said beside it, not in it.
    console.err << device_table_hints(devices, options.all);
    return kExitSuccess;
}

}  // namespace kdr::cli
