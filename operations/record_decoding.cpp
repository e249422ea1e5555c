#include "operations/record_decoding.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
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
    std::string_view machine_id;
    std::int32_t record_count = 0;
};

// The reader counts in five characters, each weighted by its code minus "0",
// so a damaged digit shows as a wrong count rather than as a failure.
[[nodiscard]] Header take_header(std::string_view answer) {
    if (answer.empty() || answer.front() != kStx) {
        return {};  // no header: the records are still decoded
    }
    if (answer.size() < kHeaderLength) {
        throw Error(ErrorKind::BadAnswer,
                    fmt::format("The reader's answer is too short for its header ({} characters)",
                                answer.size()));
    }
    // The reader pads no field: a machine ID that begins with a space, or a
    // count with a space anywhere, is a damaged header.
    if (answer[1] == ' ') {
        throw Error(ErrorKind::BadAnswer,
                    "The machine ID in the reader's answer begins with a space");
    }
    const std::string_view count_field = answer.substr(1 + kMachineIdLength, kCountDigits);
    if (count_field.find(' ') != std::string_view::npos) {
        throw Error(ErrorKind::BadAnswer,
                    fmt::format("The record count in the reader's answer holds a space (\"{}\")",
                                count_field));
    }
    Header header{answer.substr(1, kMachineIdLength), 0};
    std::int32_t weight = 10'000;
    for (const char digit : count_field) {
        header.record_count += (code(digit) - '0') * weight;
        weight /= 10;
    }
    header.record_count = std::max(header.record_count, std::int32_t{0});
    return header;
}

// Room for the longest date line: "20", five fields of three characters ("-16"
// or "239") and a year of three, five separators.
constexpr std::size_t kLongestDateLine = 25;

// A clock field (-16 to 239) in decimal with at least two digits; a negative
// one keeps its sign in front ("-05").
[[nodiscard]] char* write_field(char* out, int value) noexcept {
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    if (value >= 100) {
        *out++ = static_cast<char>('0' + value / 100);
    }
    *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

[[nodiscard]] Error stamp_runs_out(std::size_t answer_size) {
    return Error(ErrorKind::BadAnswer,
                 fmt::format("The reader's answer ends inside the first record's time stamp "
                             "({} characters)",
                             answer_size));
}

// The first record's stamp goes through the field methods: the year is checked
// against the host's year too, and an out-of-range field makes the rest of the
// stamp be skipped and the spaces around what follows be removed.
[[nodiscard]] std::string take_first_stamp(std::string_view& rest, std::size_t answer_size,
                                           int current_year) {
    std::string time_str;
    for (std::int32_t field = 0; field < static_cast<std::int32_t>(kStampLength); ++field) {
        if (rest.empty()) {
            throw stamp_runs_out(answer_size);
        }
        const int value = code(rest.front()) - kClockOffset;
        rest.remove_prefix(1);
        if (value < 0) {
            throw Error(ErrorKind::BadAnswer,
                        fmt::format("The first record's time stamp holds an invalid character "
                                    "(code {} in field {})",
                                    value + kClockOffset, field + 1));
        }
        std::array<char, 4> digits{};
        const std::string temp_time_str(digits.data(), write_field(digits.data(), value));
        std::optional<std::size_t> skip;
        if (field < 3) {
            time_str.push_back('/');
            time_str += temp_time_str;
            skip = complete_date_field(field + 1, temp_time_str, time_str, current_year);
        } else {
            skip = complete_time_field(field - 2, temp_time_str, time_str);
        }
        if (skip) {
            if (rest.size() < *skip) {
                throw stamp_runs_out(answer_size);
            }
            rest = skip_and_trim(rest, *skip);
            return std::string(kDefaultTimestamp);
        }
    }
    return time_str;
}

// Every later record's stamp: the year is taken as it comes, no field has a
// lower bound, and a character below 16 gives a negative field.
void append_later_stamp(std::string& out, std::string_view stamp) {
    std::array<int, kStampLength> values{};
    std::transform(stamp.begin(), stamp.begin() + kStampLength, values.begin(),
                   [](char c) { return code(c) - kClockOffset; });
    const auto [year, month, day, hour, minute, second] = values;
    if (month > 12 || day > 31 || hour > 24 || minute > 60 || second > 60) {
        out += kDefaultTimestamp;
        return;
    }
    std::array<char, kLongestDateLine> line{};
    char* end = line.data();
    *end++ = '2';
    *end++ = '0';
    end = write_field(end, year);
    *end++ = '/';
    end = write_field(end, month);
    *end++ = '/';
    end = write_field(end, day);
    *end++ = ' ';
    end = write_field(end, hour);
    *end++ = ':';
    end = write_field(end, minute);
    *end++ = ':';
    end = write_field(end, second);
    out.append(line.data(), end);
}

// The size of the text the records in rest decode to, at most, so that the
// result is allocated once: a record's text with its empty line is at most one
// character longer than its place in the answer, and a date line takes 21
// characters (a stamp with fields of three characters makes the string grow).
[[nodiscard]] std::size_t decoded_size_bound(std::string_view rest, bool show_rtc) {
    std::size_t ends = 0;
    for (std::size_t at = rest.find(kRecordEnd); at != std::string_view::npos;
         at = rest.find(kRecordEnd, at + kRecordEnd.size())) {
        ++ends;
    }
    constexpr std::size_t kDateLine = kDefaultTimestamp.size() + kLineEnd.size();
    // The first stamp's line, one per record and one for a trailing stamp.
    return rest.size() + ends + (show_rtc ? kDateLine * (ends + 2) : 0);
}

}  // namespace

std::string decode_download(std::string_view answer, const DecodeOptions& options,
                            DecodeHooks& hooks) {
    const Header header = take_header(answer);
    hooks.header_taken();

    std::string result;
    if (options.show_machine_id) {
        result += "Machine ID: ";
        result += header.machine_id;
        result += kLineEnd;
        result += kLineEnd;
    }
    const fmt::format_int count(header.record_count);
    result.append(count.data(), count.size());
    result += " record(s) received";
    result += kLineEnd;
    result += " ";
    result += kLineEnd;
    hooks.summary_written();

    if (answer.size() < kShortestWithStamp) {
        return result;
    }
    std::string_view rest = answer.substr(kHeaderLength);
    const std::string first_stamp = take_first_stamp(rest, answer.size(), options.current_year);
    result.reserve(result.size() + decoded_size_bound(rest, options.show_rtc));
    if (options.show_rtc) {
        result += first_stamp;
        result += kLineEnd;
    }
    hooks.step();

    // Records are found by their "?" CR ends, whatever the header's count says.
    bool first_record = true;
    for (;;) {
        const std::size_t end = rest.find(kRecordEnd);
        if (end == std::string_view::npos) {
            break;
        }
        if (end > 0) {
            result += rest.substr(1, end - 1);  // the leading character is never shown
            result += kLineEnd;
            result += kLineEnd;
        } else if (first_record) {
            throw Error(ErrorKind::BadAnswer,
                        "The reader's first record is empty: it lacks even its leading character");
        }
        // A later empty record is dropped: it costs nothing but itself.
        rest.remove_prefix(end + kRecordEnd.size());
        first_record = false;
        hooks.step();

        if (rest.size() < kShortestNextRecord) {
            break;
        }
        if (options.show_rtc) {
            append_later_stamp(result, rest.substr(0, kStampLength));
            result += kLineEnd;
        }
        rest.remove_prefix(kStampLength);
    }
    return result;
}

std::string decode_download(std::string_view answer, const DecodeOptions& options) {
    DecodeHooks no_hooks;
    return decode_download(answer, options, no_hooks);
}

}  // namespace kdr::operations
