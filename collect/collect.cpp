#include "collect/collect.hpp"

#include <fmt/format.h>

#include <exception>

#include "collect/erase_check.hpp"
#include "kdr/text_encoding.hpp"

namespace kdr::collect {

namespace {

using store::EraseResult;
using store::StoreError;
using Outcome = CollectResult::Outcome;

bool blank(std::string_view id) {
    return id.find_first_not_of(' ') == std::string_view::npos;
}

std::string reader_name(const Download& download, const std::string& given) {
    if (blank(download.machine_id)) {
        return given;
    }
    const std::size_t end = download.machine_id.find_last_not_of(' ');
    return cp1252_to_utf8(download.machine_id.substr(0, end + 1));
}

// The erase, then the reader read back: only a reader that counts no record
// afterwards is erased for sure.
EraseResult erase_and_check(Reader& reader, const std::string& machine_id, std::string& detail) {
    EraseReply reply = EraseReply::NotSent;
    try {
        reply = reader.erase();
    } catch (const Error& error) {
        detail = error.what();
        return error.kind() == ErrorKind::Refused ? EraseResult::Refused : EraseResult::Failed;
    } catch (const std::exception& error) {
        detail = error.what();
        return EraseResult::Failed;
    }
    const EraseReadBack back = read_back_after_erase(reader, machine_id);
    switch (back.found) {
        case EraseReadBack::Found::Empty:
            return EraseResult::Verified;
        case EraseReadBack::Found::Holds:
            detail =
                fmt::format("the reader still holds {} record(s) after the erase", back.records);
            return EraseResult::NotErased;
        case EraseReadBack::Found::Unknown:
            break;
    }
    detail = fmt::format("it could not be read back ({})", back.why);
    return reply == EraseReply::Acknowledged ? EraseResult::Acknowledged
           : reply == EraseReply::Silent     ? EraseResult::Silent
                                             : EraseResult::Failed;
}

}  // namespace

bool unreachable(ErrorKind kind) noexcept {
    return kind == ErrorKind::PortMissing || kind == ErrorKind::LineDropped;
}

Fetched fetch(Reader& reader) {
    Fetched fetched;
    fetched.started = std::chrono::system_clock::now();
    try {
        fetched.download = reader.download();
    } catch (const Error& error) {
        fetched.failure = error.what();
        fetched.failure_kind = error.kind();
    } catch (const std::exception& error) {
        fetched.failure = error.what();
    }
    fetched.ended = std::chrono::system_clock::now();
    return fetched;
}

CollectResult store_fetched(Reader& reader, const std::string& port, store::Store& store,
                            const Request& request, const Fetched& fetched) {
    const std::optional<Download>& download = fetched.download;
    CollectResult result;
    if (!download || !download->has_header) {
        result.outcome =
            unreachable(fetched.failure_kind) ? Outcome::Unreachable : Outcome::NoDownload;
        result.detail = fetched.failure;
        return result;
    }
    result.machine_id = download->machine_id;
    result.announced = download->announced;
    // Readers never given an ID all send eight spaces: stored under one name
    // they would be taken for one reader, and each one's records for the
    // other's.
    if (blank(download->machine_id) && blank(request.reader_name)) {
        result.outcome = Outcome::NoMachineId;
        return result;
    }
    if (!blank(download->machine_id) && !blank(request.reader_name) &&
        reader_name(*download, {}) != request.reader_name) {
        result.outcome = Outcome::ReaderMismatch;
        result.reader = reader_name(*download, {});
        result.detail = request.reader_name;
        return result;
    }
    const bool complete = download->complete();
    result.reader = reader_name(*download, request.reader_name);

    store::StoreOutcome stored;
    try {
        store::CollectedDownload collected{port,       fetched.started,           fetched.ended,
                                           &*download, request.erase && complete, {}};
        if (blank(download->machine_id)) {
            collected.reader_name = request.reader_name;
        }
        stored = store.store_download(collected);
    } catch (const StoreError& error) {
        result.outcome = Outcome::StoreFailed;
        result.detail = error.what();
        return result;
    }
    result.new_records = stored.new_records;
    result.already_stored = stored.already_stored;
    result.new_memory = stored.new_memory;
    if (!complete) {
        result.outcome = Outcome::Incomplete;
        result.detail = why_incomplete(*download);
        return result;
    }
    result.outcome = Outcome::Stored;
    if (!request.erase) {
        return result;
    }
    result.erase = erase_and_check(reader, download->machine_id, result.detail);
    try {
        store.set_erase_result(stored.download_id, *result.erase);
    } catch (const StoreError& error) {
        // The records are stored; only the note of the erase is missing, and
        // the next collect finds out what the reader holds by itself.
        result.erase_unrecorded = error.what();
    }
    return result;
}

CollectResult collect(Reader& reader, const std::string& port, store::Store& store,
                      const Request& request) {
    return store_fetched(reader, port, store, request, fetch(reader));
}

bool CollectResult::succeeded() const {
    return outcome == Outcome::Stored &&
           (!erase || *erase == EraseResult::Verified || *erase == EraseResult::Acknowledged);
}

bool CollectResult::erased() const {
    return erase && (*erase == EraseResult::Verified || *erase == EraseResult::Acknowledged);
}

std::string_view to_string(CollectResult::Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::Stored:
            return "stored";
        case Outcome::Incomplete:
            return "incomplete";
        case Outcome::NoDownload:
            return "no download";
        case Outcome::NoMachineId:
            return "no machine ID";
        case Outcome::ReaderMismatch:
            return "reader mismatch";
        case Outcome::StoreFailed:
            return "store failed";
        case Outcome::Unreachable:
            return "unreachable";
    }
    return "unknown";
}

}  // namespace kdr::collect
