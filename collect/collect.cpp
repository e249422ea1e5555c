#include "collect/collect.hpp"

#include <fmt/format.h>

#include <exception>

#include "collect/erase_check.hpp"
#include "kdr/text_encoding.hpp"
#include "store/rule.hpp"

namespace kdr::collect {

namespace {

using store::StoreError;
using Outcome = CollectResult::Outcome;

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

}  // namespace

bool unreachable(ErrorKind kind) noexcept {
    return kind == ErrorKind::PortMissing || kind == ErrorKind::LineDropped;
}

Fetched fetch(ReaderLink& reader) {
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

Fetched fetch(Reader& reader) {
    LineReader link(reader);
    return fetch(link);
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

Fetched confirm(ReaderLink& reader, Fetched first) {
    std::vector<Fetched> reads;
    std::vector<std::optional<std::string>> answers;
    const auto add = [&](Fetched read) {
        answers.push_back(has_header(read) ? std::optional(read.download->answer) : std::nullopt);
        reads.push_back(std::move(read));
    };
    add(std::move(first));
    ReadVerdict verdict = judge_reads(answers);
    while (verdict.kind == ReadVerdict::Kind::ReadMore) {
        add(fetch(reader));
        verdict = judge_reads(answers);
    }
    const bool sure = verdict.kind == ReadVerdict::Kind::Sure;
    const std::size_t chosen = sure ? verdict.read : likeliest_reader(reads);
    Fetched result = reads[chosen];
    result.started = reads.front().started;
    result.ended = reads.back().ended;
    result.reads = static_cast<int>(reads.size());
    result.sure = sure;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        if (answers[i] && *answers[i] != *answers[chosen]) {
            result.other_answers.emplace_back(static_cast<int>(i + 1), *answers[i]);
        }
    }
    return result;
}

std::optional<CollectResult> refusal(const Request& request, const Fetched& first) {
    CollectResult result;
    if (!has_header(first)) {
        result.outcome =
            unreachable(first.failure_kind) ? Outcome::Unreachable : Outcome::NoDownload;
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
                            const Request& request, const Fetched& first) {
    if (std::optional<CollectResult> refused = refusal(request, first)) {
        return *refused;
    }
    CollectResult result;
    Fetched fetched = first;
    if (request.single_read) {
        fetched.sure = true;
    } else if (!fetched.sure && fetched.reads == 1) {
        fetched = confirm(reader, first);
    }
    const Download& download = *fetched.download;
    result.machine_id = download.machine_id;
    result.announced = download.announced;
    result.reads = fetched.reads;
    const bool complete = download.complete();
    result.reader = reader_name(download, request.reader_name);

    store::StoreOutcome stored;
    try {
        store::CollectedDownload collected;
        collected.port = port;
        collected.started = fetched.started;
        collected.ended = fetched.ended;
        collected.download = &download;
        collected.erase_follows = request.erase && complete && fetched.sure;
        if (blank(download.machine_id)) {
            collected.reader_name = request.reader_name;
        }
        collected.reads = fetched.reads;
        collected.sure = fetched.sure;
        collected.other_answers = fetched.other_answers;
        stored = store.store_download(collected);
    } catch (const StoreError& error) {
        result.outcome = error.kind() == store::StoreErrorKind::ReaderConflict
                             ? Outcome::ReaderConflict
                             : Outcome::StoreFailed;
        result.detail = error.what();
        return result;
    }
    result.new_records = stored.new_records;
    result.already_stored = stored.already_stored;
    result.new_memory = stored.new_memory;
    if (!fetched.sure) {
        result.outcome = Outcome::Unsure;
        result.detail = fmt::format(
            "{} reads of the reader gave {} different answers: the line is damaging the data "
            "(check the cable, the cradle's contacts or the network link, then collect again; "
            "the answers are kept in the store)",
            fetched.reads, fetched.other_answers.size() + 1);
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
    result.detail = check.detail;
    try {
        store.set_erase_result(stored.download_id, check.result);
    } catch (const StoreError& error) {
        // The records are stored; only the note of the erase is missing, and
        // the next collect finds out what the reader holds by itself.
        result.erase_unrecorded = error.what();
    }
    return result;
}

CollectResult store_fetched(Reader& reader, const std::string& port, store::Store& store,
                            const Request& request, const Fetched& fetched) {
    LineReader link(reader);
    return store_fetched(link, port, store, request, fetched);
}

CollectResult collect(ReaderLink& reader, const std::string& port, store::Store& store,
                      const Request& request) {
    return store_fetched(reader, port, store, request, fetch(reader));
}

CollectResult collect(Reader& reader, const std::string& port, store::Store& store,
                      const Request& request) {
    LineReader link(reader);
    return collect(link, port, store, request);
}

bool CollectResult::succeeded() const {
    return outcome == Outcome::Stored && (!erase || store::ends_memory(*erase));
}

bool CollectResult::erased() const {
    return erase && store::ends_memory(*erase);
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
        case Outcome::ReaderConflict:
            return "reader conflict";
        case Outcome::Unsure:
            return "unsure";
        case Outcome::StoreFailed:
            return "store failed";
        case Outcome::Unreachable:
            return "unreachable";
    }
    return "unknown";
}

}  // namespace kdr::collect
