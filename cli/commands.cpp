// The reader commands: every one opens the connection with OpenKDR, as a host
// does, and then calls exactly one method of the controller.
#include "cli/commands.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "cli/download_formats.hpp"
#include "cli/erase_check.hpp"
#include "cli/result_file.hpp"
#include "cli/serial_ports.hpp"
#include "kdr/error.hpp"

namespace kdr::cli {

namespace {

void write_stdout(std::string_view text, Console& console) {
    console.out.write(text.data(), static_cast<std::streamsize>(text.size()));
    console.out.flush();
    if (!console.out) {
        throw Error(ErrorKind::IoError, "cannot write the result to standard output");
    }
}

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

int command_open(const LineOptions& options, Console& console) {
    Session session(options, console, "open");
    if (!session.open()) {
        return kExitFailure;
    }
    console.out << fmt::format("The reader on {} accepted the password.\n", session.port_name());
    return kExitSuccess;
}

int command_download(const DownloadOptions& options, Console& console) {
    // A file that cannot be written is found before a long transfer, not after.
    std::optional<ResultFile> file;
    if (options.output_file) {
        file.emplace(*options.output_file);
    }
    const TextDecoder decoder = text_decoder(options.encoding);
    Session session(options.line, console, "download");
    if (!session.open()) {
        return kExitFailure;
    }
    Download download;
    try {
        download = session.reader().download();
        session.end_progress();
    } catch (const std::exception& error) {
        if (file) {
            session.err() << fmt::format("kdr: {} was left as it was\n", file->path());
        }
        return session.fail(error);
    }

    std::string rendered;
    if (options.raw) {
        rendered = render_text(download, {options.machine_id, options.dates});
    } else if (options.format == "text") {
        rendered = decoder(
            with_platform_line_ends(render_text(download, {options.machine_id, options.dates})));
    } else {
        rendered =
            options.format == "json" ? to_json(download, decoder) : to_csv(download, decoder);
    }

    // What arrived is written out in any case: whole to the file only when
    // the reader's whole memory arrived, else beside it, so that a good file
    // is never replaced by a cut one. A cut download is a failure all the
    // same, so that a script does not go on to erase what it never received.
    const bool complete = download.complete();
    if (!file) {
        write_stdout(rendered, console);
    } else if (complete) {
        file->commit(rendered);
        session.info() << fmt::format("kdr: {} record(s) written to {}\n", download.records.size(),
                                      file->path());
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
        "kdr: the reader on {} keeps this computer's time (its clock, read back, is above)\n",
        session.port_name());
    return kExitSuccess;
}

int command_erase(const EraseOptions& options, Console& console) {
    Session session(options.line, console, "erase");
    if (!options.yes && !console.in_is_terminal) {
        throw UsageError(
            "erase deletes every record in the reader: give --yes to erase without being "
            "asked (standard input is not a terminal to ask on)");
    }
    // A missing or busy port is said before anyone is asked to confirm.
    try {
        session.check_port();
    } catch (const Error& error) {
        return session.fail(error);
    }
    if (!options.yes) {
        session.err() << fmt::format(
                             "Erase every record in the reader on {}? This cannot be "
                             "undone. [y/N] ",
                             session.port_name())
                      << std::flush;
        std::string answer;
        std::getline(console.in, answer);
        if (!confirmed(answer)) {
            session.err() << "kdr: nothing was erased\n";
            return kExitFailure;
        }
    }
    if (!session.open()) {
        return kExitFailure;
    }
    EraseReply reply = EraseReply::NotSent;
    try {
        reply = session.reader().erase();
    } catch (const std::exception& error) {
        return session.fail(error);
    }
    // Neither an acknowledgement nor silence proves the records are gone:
    // the reader's header, read back, counts what it still holds.
    const EraseReadBack back = read_back_after_erase(session.reader(), {});
    switch (back.found) {
        case EraseReadBack::Found::Empty:
            console.out << fmt::format(
                "The reader on {} is erased: read back, it holds no record.\n",
                session.port_name());
            return kExitSuccess;
        case EraseReadBack::Found::Holds:
            session.err() << fmt::format(
                "kdr: the reader on {} was told to erase, but read back it still holds {} "
                "record(s): nothing was erased\n",
                session.port_name(), back.records);
            return kExitFailure;
        case EraseReadBack::Found::Unknown:
            break;
    }
    if (reply == EraseReply::Acknowledged) {
        console.out << fmt::format(
            "The reader on {} acknowledged the erase (it could not be read back: {}).\n",
            session.port_name(), back.why);
        return kExitSuccess;
    }
    session.err() << fmt::format(
        "kdr: the reader on {} was told to erase its records; it sent no answer and could not "
        "be read back ({}): whether it erased is not known\n",
        session.port_name(), back.why);
    return kExitFailure;
}

int command_ports(const PortsOptions& options, Console& console) {
    const std::vector<SerialDevice> devices = list_serial_devices();
    console.out << (options.format == "json" ? devices_to_json(devices, options.all)
                                             : format_device_table(devices, options.all));
    return kExitSuccess;
}

}  // namespace kdr::cli
