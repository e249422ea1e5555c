#include "collect/outcome.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "kdr/text_encoding.hpp"
#include "store/rule.hpp"

namespace kdr::collect {

namespace {

using Json = nlohmann::ordered_json;
using store::EraseResult;
using store::ReadCheck;
using Got = Read::Got;

constexpr std::array<std::pair<Got, std::string_view>, 6> kGotWords{{
    {Got::Whole, "whole"},
    {Got::Cut, "cut"},
    {Got::NoAnswer, "no answer"},
    {Got::Dropped, "dropped"},
    {Got::Garbled, "garbled"},
    {Got::Failed, "failed"},
}};

std::string_view got_word(Got got) {
    for (const auto& [value, word] : kGotWords) {
        if (value == got) {
            return word;
        }
    }
    return "failed";
}

// What one read got, for people.
std::string read_phrase(const Read& read) {
    switch (read.got) {
        case Got::Whole:
            return "whole";
        case Got::Cut:
            return fmt::format("cut after {} of {} records", read.records, read.announced);
        case Got::NoAnswer:
            return "no answer";
        case Got::Dropped:
            return "the line dropped";
        case Got::Garbled:
            return "garbled (no reader's header)";
        case Got::Failed:
            return "the port failed";
    }
    return "failed";
}

std::string each_read(const std::vector<Read>& reads) {
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        parts.push_back(fmt::format("read {} {}", i + 1, read_phrase(reads[i])));
    }
    return fmt::format("{}", fmt::join(parts, ", "));
}

std::size_t count_got(const std::vector<Read>& reads, Got got) {
    return static_cast<std::size_t>(
        std::count_if(reads.begin(), reads.end(), [got](const Read& r) { return r.got == got; }));
}

// The reads of a sure download that did not agree with the one kept.
std::string reads_that_missed(const std::vector<Read>& reads) {
    int kept = 0;
    for (const Read& read : reads) {
        if (read.same_as != 0) {
            kept = read.same_as;
        }
    }
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const int number = static_cast<int>(i + 1);
        if (number == kept || reads[i].same_as == kept) {
            continue;
        }
        parts.push_back(reads[i].got == Got::Whole
                            ? fmt::format("read {} differed", number)
                            : fmt::format("read {} {}", number, read_phrase(reads[i])));
    }
    return fmt::format("{}", fmt::join(parts, ", "));
}

std::string reader_and_port(const CollectResult& result) {
    return result.reader.empty() ? result.port
                                 : fmt::format("{} on {}", result.reader, result.port);
}

std::string no_answer_hint(const CollectResult& result) {
    if (!result.network || result.failure != ErrorClass::Reader) {
        return {};
    }
    return " (on a network port the link may be slower than the wait: give its round trip with "
           "--latency or KDR_LATENCY)";
}

// The erase's part of the line.
std::string erase_clause(const CollectResult& result) {
    if (result.outcome == Outcome::Incomplete) {
        return fmt::format(
            "not erased: {}",
            result.detail.empty()
                ? fmt::format("only {} of {} records arrived whole; download again before "
                              "erasing the reader",
                              result.received, result.announced)
                : result.detail);
    }
    if (!result.erase) {
        return "not erased (no --erase)";
    }
    const std::string unrecorded =
        result.erase_unrecorded.empty()
            ? std::string()
            : fmt::format(" (the erase result was not recorded: {})", result.erase_unrecorded);
    const std::string why =
        result.erase_detail.empty() ? std::string("not known") : result.erase_detail;
    switch (*result.erase) {
        case EraseResult::Verified:
            return "erased (read back: the reader holds no record)" + unrecorded;
        case EraseResult::Acknowledged:
            return fmt::format("erased (the reader confirmed it; {}){}", why, unrecorded);
        case EraseResult::Refused:
            return "not erased: the reader refused the erase and keeps its records" + unrecorded;
        case EraseResult::NotErased:
            return fmt::format("not erased: {}{}", why, unrecorded);
        case EraseResult::Pending:
            return "erase interrupted: whether the reader was erased is not known (the next "
                   "collect stores nothing twice either way)";
        default:
            return fmt::format(
                "erase not confirmed: {} (the next collect stores nothing twice either way){}", why,
                unrecorded);
    }
}

}  // namespace

std::string why_unsure(const std::vector<Read>& reads, int read_count, bool kept) {
    const std::string answers_kept = kept ? "; the answers are kept in the store" : "";
    if (reads.empty()) {
        return fmt::format(
            "{} reads of the reader gave no two answers that agree (check the cable, the cradle's "
            "contacts or the network link, then collect again{})",
            read_count, answers_kept);
    }
    const std::string each = each_read(reads);
    if (count_got(reads, Got::Whole) >= 2) {
        return fmt::format(
            "{}, and the whole answers differ: the line is damaging the data (check the cable, "
            "the cradle's contacts or the network link, then collect again{})",
            each, answers_kept);
    }
    if (count_got(reads, Got::Cut) > 0) {
        return fmt::format(
            "{}: the answers were cut short, so no two could be compared (a cradle's contacts or "
            "a link that breaks off: check them, then collect again{})",
            each, answers_kept);
    }
    return fmt::format(
        "{}: no second answer to compare the first with (the reader stopped answering or the "
        "line dropped: check the cable and the cradle, then collect again{})",
        each, kept ? "; the answer is kept in the store" : "");
}

std::string encode_reads(const std::vector<Read>& reads) {
    std::vector<std::string> tokens;
    for (const Read& read : reads) {
        std::string token(got_word(read.got));
        if (read.got == Got::Cut) {
            token += fmt::format(" {}/{}", read.records, read.announced);
        }
        if (read.same_as != 0) {
            token += fmt::format("={}", read.same_as);
        }
        tokens.push_back(std::move(token));
    }
    return fmt::format("{}", fmt::join(tokens, ","));
}

std::vector<Read> decode_reads(std::string_view text) {
    std::vector<Read> reads;
    const auto number = [](std::string_view digits, auto& into) {
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), into);
        return error == std::errc{} && end == digits.data() + digits.size();
    };
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        std::string_view token = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        Read read;
        if (const std::size_t equals = token.find('='); equals != std::string_view::npos) {
            if (!number(token.substr(equals + 1), read.same_as)) {
                return {};
            }
            token = token.substr(0, equals);
        }
        std::string_view counts;
        if (token.starts_with("cut ")) {
            counts = token.substr(4);
            token = token.substr(0, 3);
        }
        const auto known = std::find_if(kGotWords.begin(), kGotWords.end(),
                                        [&](const auto& entry) { return entry.second == token; });
        if (known == kGotWords.end()) {
            return {};
        }
        read.got = known->first;
        if (read.got == Got::Cut) {
            const std::size_t slash = counts.find('/');
            if (slash == std::string_view::npos || !number(counts.substr(0, slash), read.records) ||
                !number(counts.substr(slash + 1), read.announced)) {
                return {};
            }
        }
        reads.push_back(read);
    }
    return reads;
}

bool CollectResult::succeeded() const {
    return outcome == Outcome::Stored && (!erase || store::ends_memory(*erase));
}

bool CollectResult::erased() const {
    return erase && store::ends_memory(*erase);
}

std::string_view to_string(Outcome outcome) noexcept {
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
        case Outcome::Stopped:
            return "stopped";
    }
    return "unknown";
}

std::string reads_words(const CollectResult& result) {
    const int count = std::max<int>(result.read_count, static_cast<int>(result.reads.size()));
    switch (result.check) {
        case ReadCheck::NotChecked:
            return count <= 1 ? "1 read, not checked" : fmt::format("{} reads, not checked", count);
        case ReadCheck::Unsure:
            return fmt::format("{} reads, no two agreed", count);
        case ReadCheck::Sure:
            break;
    }
    if (count <= 2) {
        return "2 reads agreed";
    }
    const std::string missed = reads_that_missed(result.reads);
    return missed.empty() ? "sure after a third read"
                          : fmt::format("sure after a third read ({})", missed);
}

std::string erase_words(const CollectResult& result) {
    switch (result.outcome) {
        case Outcome::Incomplete:
            return "not erased: the download was incomplete";
        case Outcome::Unsure:
            return "not erased: the reads did not agree";
        case Outcome::Stored:
            break;
        default:
            return "nothing erased";
    }
    if (!result.erase) {
        return "not asked to erase";
    }
    switch (*result.erase) {
        case EraseResult::Verified:
            return "erased and verified";
        case EraseResult::Acknowledged:
            return "erased, not verified";
        case EraseResult::NotErased:
            return "not erased: the reader still holds records";
        case EraseResult::Refused:
            return "erase refused by the reader";
        case EraseResult::Pending:
            return "erase interrupted: not known";
        case EraseResult::Silent:
            return "erase not confirmed: no answer";
        case EraseResult::OtherReader:
            return "erase not confirmed: another reader answered";
        default:
            return "erase not confirmed";
    }
}

bool reads_worth_a_look(const CollectResult& result) {
    return result.check != ReadCheck::Sure || result.read_count > 2;
}

bool erase_worth_a_look(const CollectResult& result) {
    return result.outcome != Outcome::Stored ||
           (result.erase && *result.erase != EraseResult::Verified);
}

std::string describe(const CollectResult& result) {
    const std::string& port = result.port;
    const std::string name = reader_and_port(result);
    switch (result.outcome) {
        case Outcome::NoDownload:
        case Outcome::Unreachable:
            return fmt::format("{}: nothing stored, nothing erased: {}{}", port, result.detail,
                               no_answer_hint(result));
        case Outcome::Stopped:
            return fmt::format(
                "stopped during the download from {}: nothing stored, nothing erased", port);
        case Outcome::NoMachineId:
            return fmt::format(
                "{}: nothing stored, nothing erased: the reader has no machine ID (it sends "
                "eight spaces), so its records could be taken for another such reader's: give "
                "it an ID, or name it for this collect with --reader NAME",
                port);
        case Outcome::ReaderMismatch:
            return fmt::format(
                "{}: nothing stored, nothing erased: --reader {} names a reader without an ID, "
                "but this one is {}: leave --reader out",
                port, result.detail, result.reader);
        case Outcome::ReaderConflict:
            return fmt::format("{}: nothing stored, nothing erased: {}", port, result.detail);
        case Outcome::StoreFailed:
            return fmt::format("{}: nothing stored, nothing erased: {}", name, result.detail);
        case Outcome::Unsure:
            return fmt::format("{}: no record stored, nothing erased: {}", name,
                               why_unsure(result.reads, result.read_count, true));
        case Outcome::Incomplete:
        case Outcome::Stored:
            break;
    }
    std::string line = fmt::format("{}: {} new, {} already stored", name, result.new_records,
                                   result.already_stored);
    if (result.new_memory) {
        line += " (the reader's memory was not what the store held: a new memory began)";
    }
    if (reads_worth_a_look(result)) {
        line += "; " + reads_words(result);
    }
    return fmt::format("{}; {}", line, erase_clause(result));
}

Json to_json(const CollectResult& result) {
    Json json;
    json["port"] = result.port;
    json["reader"] = result.reader.empty() ? Json(nullptr) : Json(result.reader);
    json["outcome"] = to_string(result.outcome);
    json["succeeded"] = result.succeeded();
    json["announced"] = result.machine_id.empty() ? Json(nullptr) : Json(result.announced);
    json["received"] = result.received;
    json["complete"] = result.complete;
    json["reads"] = result.read_count;
    Json reads = Json::array();
    for (const Read& read : result.reads) {
        Json entry;
        entry["got"] = got_word(read.got);
        if (read.got == Got::Cut) {
            entry["records"] = read.records;
            entry["announced"] = read.announced;
        }
        entry["same_as"] = read.same_as == 0 ? Json(nullptr) : Json(read.same_as);
        reads.push_back(std::move(entry));
    }
    json["each_read"] = std::move(reads);
    json["check"] = store::to_string(result.check);
    json["sure"] = result.check == ReadCheck::Sure;
    json["new"] = result.new_records;
    json["already_stored"] = result.already_stored;
    json["new_memory"] = result.new_memory;
    json["erase"] = result.erase ? Json(store::to_string(*result.erase)) : Json(nullptr);
    json["failure"] =
        result.failure == ErrorClass::None ? Json(nullptr) : Json(to_string(result.failure));
    json["message"] = describe(result);
    return json;
}

CollectResult outcome_of(const store::StoredDownload& download) {
    CollectResult result;
    result.port = download.port;
    result.machine_id = download.machine_id;
    result.reader = cp1252_to_utf8(trim_spaces(download.machine_id));
    result.announced = static_cast<std::int32_t>(download.announced);
    result.received = static_cast<std::size_t>(download.received);
    result.reads = decode_reads(download.read_log);
    result.read_count = static_cast<int>(download.reads);
    result.check = download.check;
    result.complete = download.complete;
    result.new_records = static_cast<std::size_t>(download.new_records);
    result.already_stored = static_cast<std::size_t>(download.already_stored);
    result.outcome = download.check == ReadCheck::Unsure ? Outcome::Unsure
                     : !download.complete                ? Outcome::Incomplete
                                                         : Outcome::Stored;
    if (download.erase != EraseResult::NotRequested && download.erase != EraseResult::Skipped) {
        result.erase = download.erase;
    }
    return result;
}

std::string_view attention_key(Attention kind) noexcept {
    switch (kind) {
        case Attention::Unsure:
            return "unsure";
        case Attention::Incomplete:
            return "incomplete";
        case Attention::NotErased:
            return "not_erased";
        case Attention::EraseUnverified:
            return "erase_unverified";
        case Attention::PortUnreachable:
            return "port_unreachable";
        case Attention::Stale:
            return "stale";
    }
    return "unknown";
}

std::string_view attention_heading(Attention kind) noexcept {
    switch (kind) {
        case Attention::Unsure:
            return "last collect unsure";
        case Attention::Incomplete:
            return "last collect incomplete";
        case Attention::NotErased:
            return "not erased though asked";
        case Attention::EraseUnverified:
            return "erase not verified";
        case Attention::PortUnreachable:
            return "port unreachable";
        case Attention::Stale:
            return "not collected lately";
    }
    return "unknown";
}

std::optional<std::chrono::sys_seconds> stored_time(std::string_view utc) {
    const auto number = [&](std::size_t from, std::size_t count, auto& into) {
        if (utc.size() < from + count) {
            return false;
        }
        const char* first = utc.data() + from;
        const auto [end, error] = std::from_chars(first, first + count, into);
        return error == std::errc{} && end == first + count;
    };
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day) || !number(11, 2, hour) ||
        !number(14, 2, minute) || !number(17, 2, second) || utc[4] != '-' || utc[7] != '-' ||
        utc[10] != 'T') {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{month},
                                           std::chrono::day{day}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return std::chrono::sys_days{date} + std::chrono::hours{hour} + std::chrono::minutes{minute} +
           std::chrono::seconds{second};
}

std::vector<Need> needs_attention(const store::ReaderSummary& reader,
                                  const std::vector<store::PortState>& ports,
                                  std::chrono::system_clock::time_point now, int stale_days) {
    std::vector<Need> needs;
    if (!reader.last_download) {
        needs.push_back({Attention::Stale, "never collected"});
        return needs;
    }
    const store::StoredDownload& last = *reader.last_download;
    const CollectResult result = outcome_of(last);
    if (result.outcome == Outcome::Unsure) {
        needs.push_back({Attention::Unsure, "last collect unsure: " + reads_words(result)});
    }
    if (result.outcome == Outcome::Incomplete) {
        needs.push_back(
            {Attention::Incomplete, fmt::format("last collect incomplete: {} of {} records",
                                                result.received, result.announced)});
    }
    if (result.erase) {
        switch (*result.erase) {
            case EraseResult::Verified:
                break;
            case EraseResult::NotErased:
            case EraseResult::Refused:
                needs.push_back({Attention::NotErased, erase_words(result)});
                break;
            default:
                needs.push_back({Attention::EraseUnverified, erase_words(result)});
                break;
        }
    }
    const auto port = std::find_if(ports.begin(), ports.end(), [&](const store::PortState& state) {
        return state.port == last.port;
    });
    if (port != ports.end() && !port->reachable) {
        const std::string since = port->since.size() >= 16
                                      ? fmt::format(" since {} {} UTC", port->since.substr(0, 10),
                                                    port->since.substr(11, 5))
                                      : std::string();
        needs.push_back({Attention::PortUnreachable,
                         fmt::format("port {} unreachable ({}){}", port->port,
                                     port->failure.empty() ? "unusable" : port->failure, since)});
    }
    const std::optional<std::chrono::sys_seconds> ended = stored_time(last.ended);
    const auto age =
        ended ? std::chrono::floor<std::chrono::days>(now - *ended).count() : std::int64_t{0};
    if (!ended || age >= stale_days) {
        needs.push_back({Attention::Stale, ended ? fmt::format("not collected for {} days", age)
                                                 : std::string("never collected")});
    }
    return needs;
}

}  // namespace kdr::collect
