#include "collect/erase_check.hpp"

#include <fmt/format.h>

#include <exception>

#include "kdr/error.hpp"
#include "kdr/text_encoding.hpp"

namespace kdr::collect {

using store::EraseResult;

namespace {

struct ReadBack {
    enum class Found : std::uint8_t { Empty, Holds, OtherReader, Unknown };
    Found found = Found::Unknown;
    std::int32_t records = 0;
    std::string why;
};

ReadBack read_back(ReaderLink& reader, std::string_view machine_id) {
    reader.reading("read-back");
    try {
        const Download download = reader.download();
        if (!download.has_header) {
            return {ReadBack::Found::Unknown, 0, "the reader sent no header"};
        }
        if (download.machine_id != machine_id) {
            return {ReadBack::Found::OtherReader, 0,
                    fmt::format("read back, the machine ID was {}, not {}",
                                cp1252_to_utf8(trim_spaces(download.machine_id)),
                                cp1252_to_utf8(trim_spaces(machine_id)))};
        }
        if (download.announced == 0 && download.records.empty()) {
            return {ReadBack::Found::Empty, 0, {}};
        }
        return {ReadBack::Found::Holds,
                download.announced > 0 ? download.announced
                                       : static_cast<std::int32_t>(download.records.size()),
                {}};
    } catch (const std::exception& error) {
        return {ReadBack::Found::Unknown, 0, error.what()};
    }
}

}  // namespace

EraseCheck erase_and_check(ReaderLink& reader, std::string_view machine_id) {
    EraseReply reply = EraseReply::NotSent;
    try {
        reply = reader.erase();
    } catch (const Error& error) {
        return {error.kind() == ErrorKind::Refused ? EraseResult::Refused : EraseResult::Failed, 0,
                error.what()};
    } catch (const std::exception& error) {
        return {EraseResult::Failed, 0, error.what()};
    }
    const ReadBack back = read_back(reader, machine_id);
    switch (back.found) {
        case ReadBack::Found::Empty:
            return {EraseResult::Verified, 0, {}};
        case ReadBack::Found::Holds:
            return {
                EraseResult::NotErased, back.records,
                fmt::format("the reader still holds {} record(s) after the erase", back.records)};
        case ReadBack::Found::OtherReader:
            // Another reader in the cradle, or this one's ID damaged on the
            // line: either way this reader's erase is not shown.
            return {EraseResult::OtherReader, 0, back.why};
        case ReadBack::Found::Unknown:
            break;
    }
    const std::string detail = fmt::format("it could not be read back ({})", back.why);
    return {reply == EraseReply::Acknowledged ? EraseResult::Acknowledged
            : reply == EraseReply::Silent     ? EraseResult::Silent
                                              : EraseResult::Failed,
            0, detail};
}

}  // namespace kdr::collect
