#include "collect/collect.hpp"

#include <fmt/format.h>

#include <exception>

#include "collect/erase_check.hpp"
#include "kdr/text_encoding.hpp"
#include "store/rule.hpp"

namespace kdr::collect {

namespace {

using store::ReadCheck;
using store::StoreError;
using Got = Read::Got;

// A download's answer is read at most this often before the line is judged
// to damage it.
constexpr std::size_t kMostReads = 3;

bool blank(std::string_view id) {
    return id.find_first_not_of(' ') == std::string_view::npos;
}

bool has_header(const Fetched& fetched) {
    return fetched.download && fetched.download->has_header;
}

std::string reader_name(const Download& download, const std::string& given) {
    if (blank(download.machine_id)) {
        return given;
    }
    const std::size_t end = download.machine_id.find_last_not_of(' ');
    return cp1252_to_utf8(download.machine_id.substr(0, end + 1));
}

// Of reads that never agreed, the one to file the answers under: one whose
// machine ID another read shares (only the text was damaged), else the first.
std::size_t likeliest_reader(const std::vector<Fetched>& reads) {
    for (std::size_t i = 0; i < reads.size(); ++i) {
        for (std::size_t j = i + 1; j < reads.size(); ++j) {
            if (has_header(reads[i]) && has_header(reads[j]) &&
                reads[i].download->machine_id == reads[j].download->machine_id) {
                return i;
            }
        }
    }
    return 0;
}

// What a read that brought no download got.
Got got_from_failure(ErrorKind kind) {
    if (kind == ErrorKind::NoAnswer) {
        return Got::NoAnswer;
    }
    if (kind == ErrorKind::LineDropped) {
        return Got::Dropped;
    }
    return error_class(kind) == ErrorClass::Port ? Got::Failed : Got::Garbled;
}

Read read_of(const Fetched& fetched) {
    Read read;
    if (!has_header(fetched)) {
        read.got = got_from_failure(fetched.failure_kind);
    } else if (fetched.download->complete()) {
        read.got = Got::Whole;
    } else {
        read.got = Got::Cut;
        read.records = fetched.download->records.size();
        read.announced = fetched.download->announced;
    }
    return read;
}

// Whether no reader could have answered a failed first read: the port, or
// the device server in front of it, is gone or cannot be reached.
bool unreachable(ErrorKind kind) {
    return kind == ErrorKind::LineDropped || error_class(kind) == ErrorClass::Port;
}

CollectResult stopped(const std::string& port) {
    CollectResult result;
    result.outcome = Outcome::Stopped;
    result.port = port;
    return result;
}

}  // namespace

Fetched fetch(ReaderLink& reader, std::string_view what) {
    reader.reading(what);
    Fetched fetched;
    fetched.started = std::chrono::system_clock::now();
    try {
        fetched.download = reader.download();
    } catch (const Error& error) {
        fetched.failure = error.what();
        fetched.failure_kind = error.kind();
    } catch (const std::exception& error) {
        fetched.failure = error.what();
        fetched.failure_kind = ErrorKind::IoError;
    }
    fetched.ended = std::chrono::system_clock::now();
    fetched.reads = {read_of(fetched)};
    return fetched;
}

ReadVerdict judge_reads(const std::vector<std::optional<std::string>>& answers) {
    for (std::size_t i = 0; i < answers.size(); ++i) {
        for (std::size_t j = i + 1; j < answers.size(); ++j) {
            if (answers[i] && answers[j] && *answers[i] == *answers[j]) {
                return {ReadVerdict::Kind::Sure, i};
            }
        }
    }
    return {answers.size() >= kMostReads ? ReadVerdict::Kind::Unsure : ReadVerdict::Kind::ReadMore,
            0};
}

Fetched confirm(ReaderLink& reader, Fetched first, const StopSignal& stop) {
    std::vector<Fetched> reads;
    std::vector<std::optional<std::string>> answers;
    std::vector<Read> log;
    const auto add = [&](Fetched read) {
        answers.push_back(has_header(read) ? std::optional(read.download->answer) : std::nullopt);
        Read entry = read_of(read);
        for (std::size_t i = 0; i + 1 < answers.size(); ++i) {
            if (answers.back() && answers[i] == answers.back()) {
                entry.same_as = static_cast<int>(i + 1);
                break;
            }
        }
        log.push_back(entry);
        reads.push_back(std::move(read));
    };
    add(std::move(first));
    ReadVerdict verdict = judge_reads(answers);
    while (verdict.kind == ReadVerdict::Kind::ReadMore) {
        stop.throw_if_requested();
        add(fetch(reader, reads.size() == 1 ? "read 2 (to compare)" : "read 3 (to decide)"));
        verdict = judge_reads(answers);
    }
    const bool sure = verdict.kind == ReadVerdict::Kind::Sure;
    const std::size_t chosen = sure ? verdict.read : likeliest_reader(reads);
    Fetched result = reads[chosen];
    result.started = reads.front().started;
    result.ended = reads.back().ended;
    result.reads = std::move(log);
    result.check = sure ? ReadCheck::Sure : ReadCheck::Unsure;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        if (answers[i] && *answers[i] != *answers[chosen]) {
            result.other_answers.emplace_back(static_cast<int>(i + 1), *answers[i]);
        }
    }
    return result;
}

std::optional<CollectResult> refusal(const Request& request, const Fetched& first) {
    CollectResult result;
    result.reads = first.reads;
    result.read_count = static_cast<int>(first.reads.size());
    if (!has_header(first)) {
        result.outcome =
            unreachable(first.failure_kind) ? Outcome::Unreachable : Outcome::NoDownload;
        result.failure = error_class(first.failure_kind);
        result.detail = first.failure;
        return result;
    }
    result.machine_id = first.download->machine_id;
    // Readers never given an ID all send eight spaces: stored under one name
    // they would be taken for one reader, and each one's records for the
    // other's.
    if (blank(first.download->machine_id) && blank(request.reader_name)) {
        result.outcome = Outcome::NoMachineId;
        return result;
    }
    if (!blank(first.download->machine_id) && !blank(request.reader_name) &&
        reader_name(*first.download, {}) != request.reader_name) {
        result.outcome = Outcome::ReaderMismatch;
        result.reader = reader_name(*first.download, {});
        result.detail = request.reader_name;
        return result;
    }
    return std::nullopt;
}

CollectResult store_fetched(ReaderLink& reader, const std::string& port, store::Store& store,
                            const Request& request, const Fetched& first, StopSignal& stop) {
    if (std::optional<CollectResult> refused = refusal(request, first)) {
        refused->port = port;
        return *refused;
    }
    CollectResult result;
    result.port = port;
    Fetched fetched = first;
    try {
        if (!request.single_read && fetched.check == ReadCheck::NotChecked) {
            fetched = confirm(reader, first, stop);
        }
        stop.throw_if_requested();
    } catch (const StopRequested&) {
        return stopped(port);
    }
    // From here on the collect goes to its end: what is stored is erased
    // only as a whole, and a stop now would cut the two apart.
    stop.allow(false);
    struct AllowAgain {
        StopSignal& stop;
        ~AllowAgain() { stop.allow(true); }
    } const allow_again{stop};
    const Download& download = *fetched.download;
    const bool stores = store::stores_records(fetched.check);
    result.machine_id = download.machine_id;
    result.announced = download.announced;
    result.received = download.records.size();
    result.reads = fetched.reads;
    result.read_count = static_cast<int>(fetched.reads.size());
    result.check = fetched.check;
    const bool complete = download.complete();
    result.complete = complete;
    result.reader = reader_name(download, request.reader_name);

    store::StoreOutcome stored;
    try {
        store::CollectedDownload collected;
        collected.port = port;
        collected.started = fetched.started;
        collected.ended = fetched.ended;
        collected.download = &download;
        collected.erase_follows = request.erase && complete && stores;
        if (blank(download.machine_id)) {
            collected.reader_name = request.reader_name;
        }
        collected.reads = result.read_count;
        collected.check = fetched.check;
        collected.other_answers = fetched.other_answers;
        collected.read_log = encode_reads(fetched.reads);
        stored = store.store_download(collected);
    } catch (const StoreError& error) {
        result.outcome = error.kind() == store::StoreErrorKind::ReaderConflict
                             ? Outcome::ReaderConflict
                             : Outcome::StoreFailed;
        result.failure = ErrorClass::Store;
        result.detail = error.what();
        return result;
    }
    result.new_records = stored.new_records;
    result.already_stored = stored.already_stored;
    result.new_memory = stored.new_memory;
    if (!stores) {
        result.outcome = Outcome::Unsure;
        return result;
    }
    if (!complete) {
        result.outcome = Outcome::Incomplete;
        result.detail = why_incomplete(download);
        return result;
    }
    result.outcome = Outcome::Stored;
    if (!request.erase) {
        return result;
    }
    const EraseCheck check = erase_and_check(reader, download.machine_id);
    result.erase = check.result;
    result.erase_detail = check.detail;
    try {
        store.set_erase_result(stored.download_id, check.result);
    } catch (const StoreError& error) {
        // The records are stored; only the note of the erase is missing, and
        // the next collect finds out what the reader holds by itself.
        result.erase_unrecorded = error.what();
    }
    return result;
}

CollectResult collect(ReaderLink& reader, const std::string& port, store::Store& store,
                      const Request& request, StopSignal& stop) {
    Fetched first;
    try {
        first = fetch(reader);
    } catch (const StopRequested&) {
        return stopped(port);
    }
    return store_fetched(reader, port, store, request, first, stop);
}

CollectResult collect(ReaderLink& reader, const std::string& port, store::Store& store,
                      const Request& request) {
    StopSignal never;
    return collect(reader, port, store, request, never);
}

std::unique_ptr<store::Store> open_store_for(const std::string& target, const Request& request) {
    std::unique_ptr<store::Store> store = store::open_store(target);
    if (!request.reader_name.empty()) {
        store->check_reader_name(request.reader_name);
    }
    return store;
}

CollectResult collect(Reader& reader, const std::string& port, store::Store& store,
                      const Request& request) {
    LineReader link(reader);
    return collect(link, port, store, request);
}

}  // namespace kdr::collect
