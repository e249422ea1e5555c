#include "operations/record_decoding.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <optional>

#include "kdr/error.hpp"
#include "operations/timestamp_fields.hpp"

namespace kdr::operations {
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
constexpr int kClockOffset = 16;  // every clock character is its value plus 16

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

// Whether a stamp the reader's limits accept is a calendar date and time.
void classify(Stamp& stamp) {
    const auto field = [&](std::size_t i) { return stamp.value(i); };
    const std::chrono::year_month_day date{std::chrono::year{2000 + field(0)},
                                           std::chrono::month{static_cast<unsigned>(field(1))},
                                           std::chrono::day{static_cast<unsigned>(field(2))}};
    std::uint8_t bad = 0;
    if (field(0) < 0 || field(0) > 99) {
        bad = 1;
    } else if (field(1) < 1 || field(1) > 12) {
        bad = 2;
    } else if (field(2) < 1 || !date.ok()) {
        bad = 3;
    } else if (field(3) < 0 || field(3) > 23) {
        bad = 4;
    } else if (field(4) < 0 || field(4) > 59) {
        bad = 5;
    } else if (field(5) < 0 || field(5) > 59) {
        bad = 6;
    }
    stamp.bad_field = bad;
    stamp.state = bad == 0 ? StampState::Valid : StampState::NotADate;
}

// The first record's stamp goes through the field methods: the year is checked
// against the host's year too, and an out-of-range field makes the rest of the
// stamp be skipped and the spaces around what follows be removed. A character
// below code 16 is no clock value at all and counts as out of range.
[[nodiscard]] Stamp take_first_stamp(std::string_view& rest, std::size_t answer_size,
                                     int current_year) {
    Stamp stamp;
    std::string time_str;
    for (std::size_t field = 0; field < kStampLength; ++field) {
        if (rest.empty()) {
            throw stamp_runs_out(answer_size);
        }
        const int value = code(rest.front()) - kClockOffset;
        stamp.codes.at(field) = static_cast<std::uint8_t>(rest.front());
        rest.remove_prefix(1);
        std::optional<std::size_t> skip;
        if (value < 0) {
            skip = kStampLength - 1 - field;
        } else {
            const std::string temp_time_str = fmt::format("{:02}", value);
            const auto i = static_cast<std::int32_t>(field % 3 + 1);
            if (field < 3) {
                time_str.push_back('/');
                time_str += temp_time_str;
                skip = complete_date_field(i, temp_time_str, time_str, current_year);
            } else {
                skip = complete_time_field(i, temp_time_str, time_str);
            }
        }
        if (skip) {
            if (rest.size() < *skip) {
                throw stamp_runs_out(answer_size);
            }
            rest = skip_and_trim(rest, *skip);
            stamp.state = StampState::OutOfRange;
            stamp.bad_field = static_cast<std::uint8_t>(field + 1);
            return stamp;
        }
    }
    classify(stamp);
    return stamp;
}

// Every later record's stamp: the year is taken as it comes, no field has a
// lower bound, and a character below 16 gives a negative field.
[[nodiscard]] Stamp later_stamp(std::string_view six) {
    Stamp stamp;
    std::transform(six.begin(), six.begin() + kStampLength, stamp.codes.begin(),
                   [](char c) { return static_cast<std::uint8_t>(c); });
    // The reader's limits: month 12, day 31, hour 24, minute and second 60.
    constexpr std::array<int, kStampLength> kLimits{999, 12, 31, 24, 60, 60};
    for (std::size_t i = 1; i < kStampLength; ++i) {
        if (stamp.value(i) > kLimits.at(i)) {
            stamp.state = StampState::OutOfRange;
            stamp.bad_field = static_cast<std::uint8_t>(i + 1);
            return stamp;
        }
    }
    classify(stamp);
    return stamp;
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
    if (options_.show_rtc) {
        stamp.append_line(text_);
        text_ += kLineEnd;
    }
}

void TextSink::record(char /*lead*/, std::string_view text) {
    text_ += text;
    text_ += kLineEnd;
    text_ += kLineEnd;
}

void DownloadSink::header(bool has_header, std::string_view machine_id, std::int32_t announced) {
    download_.has_header = has_header;
    download_.machine_id = machine_id;
    download_.announced = announced;
}

void DownloadSink::record(char lead, std::string_view text) {
    download_.records.push_back({stamp_, std::string(text), lead});
}

void DownloadSink::end(bool cut) {
    download_.cut = cut;
    if (cut) {
        bare();
    }
}

void DownloadSink::bare() {
    download_.bare_stamps.push_back({download_.records.size(), stamp_});
}

void TallySink::header(bool has_header, std::string_view machine_id, std::int32_t announced) {
    has_header_ = has_header;
    counts_.announced = announced;
    next_.header(has_header, machine_id, announced);
}

void TallySink::record(char lead, std::string_view text) {
    ++counts_.received;
    next_.record(lead, text);
}

void TallySink::empty_record() {
    ++empty_records_;
    next_.empty_record();
}

void TallySink::end(bool cut) {
    cut_ = cut;
    next_.end(cut);
}

DownloadTally TallySink::tally() const noexcept {
    return {has_header_, counts_,
            whole_memory(has_header_, cut_, empty_records_, counts_.received, counts_.announced)};
}

void decode_answer(std::string_view answer, int current_year, AnswerSink& sink,
                   DecodeHooks& hooks) {
    const Header header = take_header(answer);
    hooks.header_taken();
    sink.header(header.present, header.machine_id, header.record_count);
    hooks.summary_written();

    if (answer.size() < kShortestWithStamp) {
        sink.end(false);
        return;
    }
    std::string_view rest = answer.substr(kHeaderLength);
    sink.stamp(take_first_stamp(rest, answer.size(), current_year));
    hooks.step();

    // Records are found by their "?" CR ends, whatever the header's count says.
    for (;;) {
        const std::size_t end = rest.find(kRecordEnd);
        if (end == std::string_view::npos) {
            sink.end(true);  // the last stamp's record never ended
            return;
        }
        if (end > 0) {
            sink.record(rest.front(), rest.substr(1, end - 1));
        } else {
            sink.empty_record();  // it costs nothing but itself
        }
        rest.remove_prefix(end + kRecordEnd.size());
        hooks.step();

        if (rest.size() < kShortestNextRecord) {
            sink.end(false);
            return;
        }
        sink.stamp(later_stamp(rest.substr(0, kStampLength)));
        rest.remove_prefix(kStampLength);
    }
}

std::size_t TextSink::size_bound(std::string_view answer, const TextOptions& options) {
    return decoded_size_bound(answer, options);
}

std::string decode_download(std::string_view answer, const DecodeOptions& options,
                            DecodeHooks& hooks) {
    const TextOptions text_options{options.show_machine_id, options.show_rtc};
    TextSink sink(text_options);
    sink.reserve(TextSink::size_bound(answer, text_options));
    decode_answer(answer, options.current_year, sink, hooks);
    return sink.take();
}

std::string decode_download(std::string_view answer, const DecodeOptions& options) {
    DecodeHooks no_hooks;
    return decode_download(answer, options, no_hooks);
}

Download decode_records(std::string_view answer, int current_year, DecodeHooks& hooks) {
    DownloadSink sink;
    decode_answer(answer, current_year, sink, hooks);
    return sink.take();
}

Download decode_records(std::string_view answer, int current_year) {
    DecodeHooks no_hooks;
    return decode_records(answer, current_year, no_hooks);
}

}  // namespace kdr::operations

namespace kdr {

std::string render_text(const Download& download, const TextOptions& options) {
    operations::TextSink sink(options);
    sink.header(download.has_header, download.machine_id, download.announced);
    auto bare = download.bare_stamps.begin();
    const auto bare_stamps_before = [&](std::size_t record) {
        for (; bare != download.bare_stamps.end() && bare->before_record == record; ++bare) {
            sink.stamp(bare->stamp);
            sink.empty_record();
        }
    };
    for (std::size_t i = 0; i < download.records.size(); ++i) {
        bare_stamps_before(i);
        const DownloadedRecord& record = download.records[i];
        sink.stamp(record.stamp);
        sink.record(record.lead, record.text);
    }
    bare_stamps_before(download.records.size());
    sink.end(download.cut);
    return sink.take();
}

}  // namespace kdr
