// The reader commands: every one opens the connection with OpenKDR, as a host
// does, and then calls exactly one method of the controller.
#include "cli/commands.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "cli/download_formats.hpp"
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
    Session session(options.line, console, "download");
    if (!session.open()) {
        return kExitFailure;
    }
    // The text formats show the machine ID and dates as asked; the others
    // always carry both.
    KDRController& controller = session.controller();
    const std::optional<Download> download = controller.DownloadRecords();
    session.progress().clear();
    if (!download) {
        if (file) {
            console.err << fmt::format("kdr: {} was left as it was\n", file->path());
        }
        return session.fail();
    }

    std::string rendered;
    if (options.raw || options.format == "text") {
        rendered = render_text(*download, {options.machine_id, options.dates});
        if (!options.raw) {
            rendered = with_platform_line_ends(rendered);
        }
    } else {
        rendered = options.format == "json" ? to_json(*download) : to_csv(*download);
    }

    // What arrived is written out in any case: whole to the file only when
    // the reader's whole memory arrived, else beside it, so that a good file
    // is never replaced by a cut one. A cut download is a failure all the
    // same, so that a script does not go on to erase what it never received.
    const bool complete = download->complete();
    if (!file) {
        write_stdout(rendered, console);
    } else if (complete) {
        file->commit(rendered);
        console.err << fmt::format("{} record(s) written to {}\n", download->records.size(),
                                   file->path());
    } else if (download->has_header || !download->records.empty()) {
        const std::string partial = file->keep_partial(rendered);
        console.err << fmt::format("kdr: {} record(s) written to {}; {} was left as it was\n",
                                   download->records.size(), partial, file->path());
    } else {
        console.err << fmt::format("kdr: {} was left as it was\n", file->path());
    }
    return complete ? kExitSuccess : session.fail();
}

int command_sync_time(const LineOptions& options, Console& console) {
    Session session(options, console, "sync-time");
    if (!session.open()) {
        return kExitFailure;
    }
    ClockSync sync;
    try {
        sync = session.controller().SyncClock();
    } catch (const std::exception&) {
        return session.fail();
    }
    if (sync.read_back) {
        const LocalDateTime& clock = *sync.read_back;
        console.out << fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}\n", clock.year, clock.month,
                                   clock.day, clock.hour, clock.minute, clock.second);
    }
    if (!sync.synced) {
        return session.fail();
    }
    console.err << fmt::format(
        "The reader on {} now keeps this computer's time (read back above).\n",
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
        console.err << "kdr: " << error.what() << '\n';
        return kExitFailure;
    }
    if (!options.yes) {
        console.err << fmt::format(
                           "Erase every record in the reader on {}? This cannot be "
                           "undone. [y/N] ",
                           session.port_name())
                    << std::flush;
        std::string answer;
        std::getline(console.in, answer);
        if (!confirmed(answer)) {
            console.err << "Nothing was erased.\n";
            return kExitFailure;
        }
    }
    if (!session.open()) {
        return kExitFailure;
    }
    EraseReply reply = EraseReply::NotSent;
    try {
        reply = session.controller().EraseRecords();
    } catch (const std::exception&) {
        return session.fail();
    }
    session.progress().clear();
    switch (reply) {
        case EraseReply::Acknowledged:
            console.out << fmt::format("The reader on {} acknowledged the erase.\n",
                                       session.port_name());
            return kExitSuccess;
        case EraseReply::Silent:
            console.out << fmt::format(
                "The reader on {} was told to erase its records; it sent no answer (not every "
                "reader confirms an erase).\n",
                session.port_name());
            return kExitSuccess;
        case EraseReply::NotSent:
        case EraseReply::Refused:
        case EraseReply::Unrecognised:
            break;
    }
    return session.fail();
}

int command_ports(bool all, Console& console) {
    console.out << format_device_table(list_serial_devices(), all);
    return kExitSuccess;
}

}  // namespace kdr::cli
