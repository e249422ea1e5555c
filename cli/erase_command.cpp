// kdr erase: the reader read first (what would be lost, and whose it is),
// then erased and read back.
#include <fmt/format.h>

#include <cctype>
#include <exception>
#include <string>
#include <string_view>

#include "cli/commands.hpp"
#include "cli/options.hpp"
#include "collect/erase_check.hpp"
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

}  // namespace kdr::cli
