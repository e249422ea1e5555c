// The reader commands: every one opens the connection with OpenKDR, as a host
// does, and then calls exactly one method of the controller.
#include "cli/commands.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "cli/download_text.hpp"
#include "cli/serial_ports.hpp"
#include "kdr/error.hpp"

namespace kdr::cli {

namespace {

void write_output(const std::optional<std::string>& file, std::string_view text, Console& console) {
    if (!file) {
        console.out.write(text.data(), static_cast<std::streamsize>(text.size()));
        console.out.flush();
        if (!console.out) {
            throw Error(ErrorKind::IoError, "cannot write the result to standard output");
        }
        return;
    }
    std::ofstream out(*file, std::ios::binary | std::ios::trunc);
    if (out) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
    }
    if (!out) {
        throw Error(ErrorKind::IoError,
                    fmt::format("cannot write {}: {}", *file, std::strerror(errno)));
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
    Session session(options.line, console, "download");
    if (!session.open()) {
        return kExitFailure;
    }
    // The machine ID is always asked for: without it an answer that had no
    // header at all could not be told from a reader without records. The
    // dates are asked for when the output shows them or needs them to tell
    // records apart.
    const bool structured = !options.raw && options.format != "text";
    const bool dates = structured || options.dates;
    KDRController& controller = session.controller();
    controller.put_ShowMachineID(kVariantTrue);
    controller.put_ShowRTC(to_variant_bool(dates));
    const std::string result = controller.DownloadData();
    session.progress().clear();
    if (result.empty()) {
        return session.fail();
    }

    // The text formats are the result itself: they are written before the
    // result is read for the checks below, so that nothing is lost if it
    // cannot be read.
    if (!structured) {
        std::string text = options.machine_id ? result : without_machine_id(result);
        write_output(options.output_file, options.raw ? text : with_platform_line_ends(text),
                     console);
    }
    DownloadedData data;
    try {
        data = parse_download_text(result, true, dates);
    } catch (const Error& error) {
        if (structured) {
            throw;
        }
        console.err << "kdr: " << error.what() << '\n';
        return kExitFailure;
    }
    if (structured) {
        write_output(options.output_file, options.format == "json" ? to_json(data) : to_csv(data),
                     console);
    }
    if (options.output_file) {
        console.err << fmt::format("{} record(s) written to {}\n", data.records.size(),
                                   *options.output_file);
    }

    // What arrived is written out in any case; an answer that cannot be the
    // reader's whole memory is a failure all the same, so that a script does
    // not go on to erase records it never received.
    if (data.machine_id && data.machine_id->empty()) {
        console.err << "kdr: the answer to the download request did not begin with the "
                       "reader's header (machine ID and record count): the reader sent "
                       "nothing, or something other than a KDR reader answered\n";
        return kExitFailure;
    }
    if (data.records.size() != static_cast<std::size_t>(data.record_count) || data.trailing_stamp) {
        console.err << fmt::format(
            "kdr: the reader announced {} record(s) but {} arrived complete: the answer was cut "
            "short or damaged on the line; download again before erasing\n",
            data.record_count, data.records.size());
        return kExitFailure;
    }
    return kExitSuccess;
}

int command_sync_time(const LineOptions& options, Console& console) {
    Session session(options, console, "sync-time");
    if (!session.open()) {
        return kExitFailure;
    }
    VariantBool synced = kVariantFalse;
    try {
        synced = session.controller().SyncUpHostTime();
    } catch (const std::exception&) {
        return session.fail();
    }
    if (synced == kVariantFalse) {
        return session.fail();
    }
    console.out << fmt::format("The reader on {} now keeps the host's time.\n",
                               session.port_name());
    return kExitSuccess;
}

int command_erase(const EraseOptions& options, Console& console) {
    Session session(options.line, console, "erase");
    if (!options.yes) {
        if (!console.in_is_terminal) {
            throw UsageError(
                "erase deletes every record in the reader: give --yes to erase without being "
                "asked (standard input is not a terminal to ask on)");
        }
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
    try {
        static_cast<void>(session.controller().EraseData());
    } catch (const std::exception&) {
        return session.fail();
    }
    session.progress().clear();
    if (session.controller().LastFailure()) {
        return session.fail();
    }
    // The reader does not confirm an erase; the request went out whole.
    console.out << fmt::format("The reader on {} was told to erase its records.\n",
                               session.port_name());
    return kExitSuccess;
}

int command_ports(bool all, Console& console) {
    console.out << format_device_table(list_serial_devices(), all);
    return kExitSuccess;
}

}  // namespace kdr::cli
