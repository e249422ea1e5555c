#include "protocol/record_decoding.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <optional>

#include "kdr/error.hpp"
#include "kdr/text_encoding.hpp"
#include "protocol/timestamp_fields.hpp"

namespace kdr::protocol {
namespace {

constexpr char kStx = '\x02';
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kRecordEnd = "?\r";  // a "?" without CR is text

// Layout of the answer.
constexpr std::size_t kHeaderLength = 14;  // STX, machine ID, count digits
constexpr std::size_t kMachineIdLength = 8;
constexpr std::size_t kCountDigits = 5;
constexpr std::size_t kStampLength = 6;
// An answer shorter than this holds no first time stamp worth reading.
constexpr std::size_t kShortestWithStamp = 17;
// Fewer characters than this after a record are the end of the data.
constexpr std::size_t kShortestNextRecord = 8;

[[nodiscard]] int code(char c) noexcept {
    return static_cast<unsigned char>(c);
}

struct Header {
    bool present = false;
    std::string_view machine_id;
    std::int32_t record_count = 0;
};

// The header is read by its fixed places: a machine ID may begin with spaces
// (an unset reader sends eight, a number may be right-aligned). The reader
// counts in five characters, each weighted by its code minus "0", so a damaged
// digit shows as a wrong count rather than as a failure; a space leaves
// nothing to count with.
[[nodiscard]] Header take_header(std::string_view answer) {
    if (answer.empty() || answer.front() != kStx) {
        return {};  // no header: the records are still decoded
    }
    if (answer.size() < kHeaderLength) {
        throw Error(ErrorKind::BadAnswer,
                    fmt::format("The reader's answer is too short for its header ({} characters)",
                                answer.size()));
    }
    const std::string_view count_field = answer.substr(1 + kMachineIdLength, kCountDigits);
    if (count_field.find(' ') != std::string_view::npos) {
        throw Error(ErrorKind::BadAnswer,
                    fmt::format("The record count in the reader's answer holds a space (\"{}\")",
                                count_field));
    }
    Header header{true, answer.substr(1, kMachineIdLength), 0};
    std::int32_t weight = 10'000;
    for (const char digit : count_field) {
        header.record_count += (code(digit) - '0') * weight;
        weight /= 10;
    }
    header.record_count = std::max(header.record_count, std::int32_t{0});
    return header;
}

[[nodiscard]] Error stamp_runs_out(std::size_t answer_size) {
    return Error(ErrorKind::BadAnswer,
                 fmt::format("The reader's answer ends inside the first record's time stamp "
                             "({} characters)",
                             answer_size));
}

// The size of the text an answer decodes to, at most, so that the result is
// allocated once: the summary, a record's text with its empty line is at most
// one character longer than its place in the answer, and a date line takes 21
// characters (a stamp with fields of three characters makes the string grow).
[[nodiscard]] std::size_t decoded_size_bound(std::string_view answer, const TextOptions& options) {
    std::size_t ends = 0;
    for (std::size_t at = answer.find(kRecordEnd); at != std::string_view::npos;
         at = answer.find(kRecordEnd, at + kRecordEnd.size())) {
        ++ends;
    }
    constexpr std::size_t kSummary = 64;
    constexpr std::size_t kDateLine = kDefaultTimestamp.size() + kLineEnd.size();
    // The first stamp's line, one per record and one for a trailing stamp.
    return kSummary + answer.size() + ends + (options.show_rtc ? kDateLine * (ends + 2) : 0);
}

}  // namespace

// ---- Sinks -----------------------------------------------------------------

void TextSink::header(bool /*has_header*/, std::string_view machine_id, std::int32_t announced) {
    if (options_.show_machine_id) {
        text_ += "Machine ID: ";
        text_ += machine_id;
        text_ += kLineEnd;
        text_ += kLineEnd;
    }
    const fmt::format_int count(announced);
    text_.append(count.data(), count.size());
    text_ += " record(s) received";
    text_ += kLineEnd;
    text_ += " ";
    text_ += kLineEnd;
}

void TextSink::stamp(const Stamp& stamp) {
    if (stamps_++ == 0) {
        // The controller reads the first stamp field by field against its
        // limits and the host's year; one out of range stands for all of it.
        trimmed_ = first_stamp_shown_out_of_range(stamp, host_year_) != 0;
        if (options_.show_rtc) {
            if (trimmed_) {
                text_ += kDefaultTimestamp;
            } else {
                stamp.append_line(text_);
            }
            text_ += kLineEnd;
        }
        return;
    }
    pending_ = stamp;
}

void TextSink::flush_stamp() {
    if (pending_ && options_.show_rtc) {
        pending_->append_line(text_);
        text_ += kLineEnd;
    }
    pending_.reset();
}

void TextSink::record(bool has_lead, char lead, std::string_view text) {
    flush_stamp();
    if (records_++ == 0 && trimmed_) {
        // Spaces after a first stamp out of range are dropped: the first
        // character left is taken as the leading character, and a record of
        // spaces only is an empty one.
        const std::size_t first = has_lead && lead != ' ' ? 0 : text.find_first_not_of(' ');
        if (!has_lead || first == std::string_view::npos) {
            return;
        }
        text = text.substr(has_lead && lead != ' ' ? 0 : first + 1);
    } else if (!has_lead) {
        return;  // an empty record shows nothing
    }
    text_ += text;
    text_ += kLineEnd;
    text_ += kLineEnd;
}

void TextSink::end(std::string_view tail, bool cut) {
    // A record cut short shows its date line only: when the end of the answer
    // was trimmed of spaces, only if eight characters remain.
    if (cut && pending_ && trimmed_ && trim_spaces(tail).size() < kShortestNextRecord) {
        pending_.reset();
    }
    flush_stamp();
}

void DownloadSink::header(bool has_header, std::string_view machine_id, std::int32_t announced) {
    download_.has_header = has_header;
    download_.machine_id = machine_id;
    download_.announced = announced;
}

void DownloadSink::record(bool has_lead, char lead, std::string_view text) {
    download_.records.push_back({stamp_, std::string(text), has_lead ? lead : '\0', has_lead});
}

void DownloadSink::end(std::string_view tail, bool cut) {
    download_.tail = tail;
    download_.cut = cut;
}

void TallySink::header(bool has_header, std::string_view machine_id, std::int32_t announced) {
    has_header_ = has_header;
    counts_.announced = announced;
    next_.header(has_header, machine_id, announced);
}

void TallySink::record(bool has_lead, char lead, std::string_view text) {
    ++counts_.received;
    shifted_ = shifted_ || separator_in_stamp({stamp_, {}, lead, has_lead});
    next_.record(has_lead, lead, text);
}

void TallySink::end(std::string_view tail, bool cut) {
    left_over_ = !nothing_after_records(counts_.received, counts_.announced, tail.size());
    next_.end(tail, cut);
}

DownloadTally TallySink::tally() const noexcept {
    const bool exact =
        counts_.announced >= 0 && counts_.received == static_cast<std::size_t>(counts_.announced);
    return {has_header_, counts_, left_over_, shifted_,
            has_header_ && exact && !left_over_ && !shifted_};
}

std::uint8_t first_stamp_shown_out_of_range(const Stamp& stamp, int host_year) {
    std::string time_str;
    for (std::size_t field = 0; field < kStampLength; ++field) {
        const int value = stamp.value(field);
        if (value < 0) {
            return static_cast<std::uint8_t>(field + 1);  // no clock value at all
        }
        const std::string temp_time_str = fmt::format("{:02}", value);
        const auto i = static_cast<std::int32_t>(field % 3 + 1);
        std::optional<std::size_t> skip;
        if (field < 3) {
            time_str.push_back('/');
            time_str += temp_time_str;
            skip = complete_date_field(i, temp_time_str, time_str, host_year);
        } else {
            skip = complete_time_field(i, temp_time_str, time_str);
        }
        if (skip) {
            return static_cast<std::uint8_t>(field + 1);
        }
    }
    return 0;
}

const DownloadProgress& AnswerProgress::update(std::string_view answer) {
    progress_.characters = answer.size();
    if (!header_read_ && answer.size() >= kHeaderLength) {
        header_read_ = true;
        try {
            const Header header = take_header(answer);
            if (header.present) {
                progress_.announced = header.record_count;
            }
        } catch (const Error&) {
            // A count the decoding cannot read announces nothing.
        }
    }
    if (answer.size() < kShortestWithStamp) {
        return progress_;
    }
    for (;;) {
        const std::size_t text_start = next_record_ + kStampLength;
        if (answer.size() < text_start) {
            break;
        }
        const std::size_t end = answer.find(kRecordEnd, std::max(text_start, searched_to_));
        if (end == std::string_view::npos) {
            // A "?" at the very end may yet be followed by its CR.
            searched_to_ = std::max(text_start, answer.size() - 1);
            break;
        }
        ++progress_.records;
        next_record_ = end + kRecordEnd.size();
        searched_to_ = 0;
    }
    return progress_;
}

std::string incomplete_message(const DownloadTally& tally) {
    if (tally.complete || !tally.has_header) {
        return {};
    }
    const RecordCounts& counts = tally.counts;
    const auto announced = static_cast<std::size_t>(std::max(counts.announced, 0));
    // More records than announced, or characters after the last one, mean a
    // record was split or cut on the line: which one cannot be told.
    const std::string count_line =
        counts.received < announced ? fmt::format("Only {} of {} record(s) arrived complete.",
                                                  counts.received, counts.announced)
        : counts.received > announced
            ? fmt::format("{} record(s) arrived where the reader announced {}.", counts.received,
                          counts.announced)
        : tally.left_over
            ? fmt::format("All {} record(s) arrived, but more followed the last one.",
                          counts.announced)
            : fmt::format("All {} record(s) arrived, but out of step with their time stamps.",
                          counts.announced);
    return fmt::format(
        "{}\r\n"
        "The answer was cut short or damaged on the line.\r\n"
        "Download again before erasing the reader.",
        count_line);
}

void decode_answer(std::string_view answer, AnswerSink& sink, DecodeHooks& hooks) {
    const Header header = take_header(answer);
    hooks.header_taken();
    sink.header(header.present, header.machine_id, header.record_count);
    hooks.summary_written();

    if (answer.size() < kShortestWithStamp) {
        sink.end(answer.substr(std::min(answer.size(), kHeaderLength)), false);
        return;
    }
    if (answer.size() < kHeaderLength + kStampLength) {
        throw stamp_runs_out(answer.size());
    }
    std::string_view rest = answer.substr(kHeaderLength);
    // Records are found by their "?" CR ends, whatever the header's count says.
    for (bool first = true;; first = false) {
        std::string_view record = rest;  // from its stamp on, for a cut record
        sink.stamp(Stamp::from_codes(rest.substr(0, kStampLength)));
        rest.remove_prefix(kStampLength);
        if (first) {
            hooks.step();
        }
        const std::size_t end = rest.find(kRecordEnd);
        if (end == std::string_view::npos) {
            sink.end(record, true);  // the last stamp's record never ended
            return;
        }
        if (end > 0) {
            sink.record(true, rest.front(), rest.substr(1, end - 1));
        } else {
            sink.record(false, '\0', {});  // an empty record: "?" CR right after the stamp
        }
        rest.remove_prefix(end + kRecordEnd.size());
        hooks.step();

        if (rest.size() < kShortestNextRecord) {
            sink.end(rest, false);
            return;
        }
    }
}

std::size_t TextSink::size_bound(std::string_view answer, const TextOptions& options) {
    return decoded_size_bound(answer, options);
}

std::string decode_download(std::string_view answer, const DecodeOptions& options,
                            DecodeHooks& hooks) {
    const TextOptions text_options{options.show_machine_id, options.show_rtc};
    TextSink sink(text_options, options.current_year);
    sink.reserve(TextSink::size_bound(answer, text_options));
    decode_answer(answer, sink, hooks);
    return sink.take();
}

std::string decode_download(std::string_view answer, const DecodeOptions& options) {
    DecodeHooks no_hooks;
    return decode_download(answer, options, no_hooks);
}

Download decode_records(std::string_view answer, int host_year, DecodeHooks& hooks) {
    DownloadSink sink;
    decode_answer(answer, sink, hooks);
    Download download = sink.take();
    download.host_year = host_year;
    download.answer = answer;
    return download;
}

Download decode_records(std::string_view answer, int host_year) {
    DecodeHooks no_hooks;
    return decode_records(answer, host_year, no_hooks);
}

}  // namespace kdr::protocol

namespace kdr {

std::string why_incomplete(const Download& download) {
    protocol::DownloadTally tally;
    tally.has_header = download.has_header;
    tally.counts = {download.records.size(), download.announced};
    tally.left_over =
        !nothing_after_records(download.records.size(), download.announced, download.tail.size());
    tally.shifted =
        std::any_of(download.records.begin(), download.records.end(),
                    [](const DownloadedRecord& record) { return separator_in_stamp(record); });
    tally.complete = download.complete();
    if (!download.has_header) {
        return "The answer did not begin with the reader's header.";
    }
    return one_line(protocol::incomplete_message(tally));
}

std::optional<Stamp> Download::cut_stamp() const {
    if (!cut || tail.size() < 6) {
        return std::nullopt;
    }
    return Stamp::from_codes(tail.substr(0, 6));
}

std::string render_text(const Download& download, const TextOptions& options) {
    protocol::TextSink sink(options, download.host_year);
    sink.header(download.has_header, download.machine_id, download.announced);
    for (const DownloadedRecord& record : download.records) {
        sink.stamp(record.stamp);
        sink.record(record.has_lead, record.lead, record.text);
    }
    if (const std::optional<Stamp> cut = download.cut_stamp()) {
        sink.stamp(*cut);
    }
    sink.end(download.tail, download.cut);
    return sink.take();
}

}  // namespace kdr
