// kdr download: every record of the reader, written in a format of the
// writers to standard output or a file.
#include <fmt/format.h>

#include <exception>
#include <optional>
#include <string>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "cli/result_file.hpp"
#include "collect/collect.hpp"
#include "kdr/error.hpp"
#include "writers/formats.hpp"

namespace kdr::cli {

namespace {

// The download two reads agree on, byte for byte, the way a collect takes
// one; throws when three reads never agree.
Download verified(Reader& reader, Download first) {
    collect::LineReader link(reader);
    collect::Fetched fetched;
    fetched.download = std::move(first);
    collect::Fetched sure = collect::confirm(link, std::move(fetched));
    if (sure.check != store::ReadCheck::Sure) {
        throw Error(ErrorKind::BadAnswer,
                    fmt::format("{}; nothing was written",
                                collect::why_unsure(sure.reads, static_cast<int>(sure.reads.size()),
                                                    false)));
    }
    return std::move(*sure.download);
}

}  // namespace

void add_download_options(CLI::App& command, DownloadOptions& options) {
    add_line_options(command, options.line);
    command.add_flag("--machine-id", options.machine_id,
                     "Begin the text with the reader's machine ID");
    command.add_flag("--rtc", options.dates, "Put each record's date and time before its text");
    CLI::Option* format = add_format_option(
        command, options.format, writers::format_names(false),
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

int command_download(const DownloadOptions& options, Console& console) {
    // A file that cannot be written is found before a long transfer, not after.
    std::optional<ResultFile> file;
    if (options.output_file && *options.output_file != "-") {
        file.emplace(*options.output_file);
    }
    writers::WriterOptions writing{
        writers::text_decoder(options.encoding), {options.machine_id, options.dates}, false};
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
    const std::string rendered = writers::render(format, download, writing);

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

}  // namespace kdr::cli
