#include "cli/download_text.hpp"

#include <fmt/format.h>

#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>

#include "kdr/error.hpp"

namespace kdr::cli {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kMachineIdLabel = "Machine ID: ";
constexpr std::string_view kSummarySuffix = " record(s) received\r\n \r\n";
constexpr std::size_t kMachineIdLength = 8;

[[noreturn]] void unreadable(std::string_view why) {
    throw Error(ErrorKind::BadAnswer, fmt::format("cannot read the download result: {}", why));
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One field of a stamp: an optional minus sign and two or three digits.
bool take_field(std::string_view& line) {
    std::size_t i = 0;
    if (i < line.size() && line[i] == '-') {
        ++i;
    }
    const std::size_t digits_start = i;
    while (i < line.size() && is_digit(line[i])) {
        ++i;
    }
    const std::size_t digits = i - digits_start;
    if (digits < 2 || digits > 3) {
        return false;
    }
    line.remove_prefix(i);
    return true;
}

bool take(std::string_view& line, char expected) {
    if (line.empty() || line.front() != expected) {
        return false;
    }
    line.remove_prefix(1);
    return true;
}

// "N record(s) received", CR LF, " ", CR LF at the front of `rest`.
long take_summary(std::string_view& rest) {
    std::size_t digits = 0;
    while (digits < rest.size() && is_digit(rest[digits])) {
        ++digits;
    }
    long count = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + digits, count);
    if (digits == 0 || error != std::errc{} || end != rest.data() + digits ||
        !rest.substr(digits).starts_with(kSummarySuffix)) {
        unreadable("no \"record(s) received\" line where it belongs");
    }
    rest.remove_prefix(digits + kSummarySuffix.size());
    return count;
}

// The machine ID lines: "Machine ID: " and eight characters, or nothing when
// the answer had no header, then CR LF CR LF.
std::string take_machine_id(std::string_view& rest) {
    if (!rest.starts_with(kMachineIdLabel)) {
        unreadable("no machine ID line");
    }
    rest.remove_prefix(kMachineIdLabel.size());
    const std::string_view after_empty = rest.substr(std::min<std::size_t>(4, rest.size()));
    if (rest.starts_with("\r\n\r\n") && after_empty.starts_with("0 record(s) received")) {
        rest.remove_prefix(4);
        return {};
    }
    if (rest.size() < kMachineIdLength + 4 ||
        rest.substr(kMachineIdLength, 4) != std::string_view("\r\n\r\n")) {
        unreadable("the machine ID line is damaged");
    }
    std::string id(rest.substr(0, kMachineIdLength));
    rest.remove_prefix(kMachineIdLength + 4);
    return id;
}

// Whether `rest` begins with a stamp line.
bool starts_with_stamp_line(std::string_view rest) {
    const std::size_t end = rest.find(kCrLf);
    return end != std::string_view::npos && is_stamp_line(rest.substr(0, end));
}

std::string latin1_to_utf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (code >> 6U));
            utf8 += static_cast<char>(0x80 | (code & 0x3FU));
        }
    }
    return utf8;
}

std::string csv_field(std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(field);
    }
    std::string quoted = "\"";
    for (const char c : field) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace

bool is_stamp_line(std::string_view line) {
    if (!line.starts_with("20")) {
        return false;
    }
    line.remove_prefix(2);
    return take_field(line) && take(line, '/') && take_field(line) && take(line, '/') &&
           take_field(line) && take(line, ' ') && take_field(line) && take(line, ':') &&
           take_field(line) && take(line, ':') && take_field(line) && line.empty();
}

DownloadedData parse_download_text(std::string_view text, bool with_machine_id, bool with_dates) {
    DownloadedData data;
    std::string_view rest = text;
    if (with_machine_id) {
        data.machine_id = take_machine_id(rest);
    }
    data.record_count = take_summary(rest);

    if (!with_dates) {
        while (!rest.empty()) {
            const std::size_t end = rest.find("\r\n\r\n");
            if (end == std::string_view::npos) {
                unreadable("a record without the empty line after it");
            }
            data.records.push_back({std::nullopt, std::string(rest.substr(0, end))});
            rest.remove_prefix(end + 4);
        }
        return data;
    }

    while (!rest.empty()) {
        const std::size_t stamp_end = rest.find(kCrLf);
        if (stamp_end == std::string_view::npos || !is_stamp_line(rest.substr(0, stamp_end))) {
            unreadable("a record without its date and time line");
        }
        DownloadedRecord record{std::string(rest.substr(0, stamp_end)), {}};
        rest.remove_prefix(stamp_end + kCrLf.size());
        if (rest.empty()) {
            data.trailing_stamp = true;
            break;
        }
        // The text ends at the first empty line that the next record's date
        // line, or the end, follows.
        std::size_t end = rest.find("\r\n\r\n");
        while (end != std::string_view::npos) {
            const std::string_view after = rest.substr(end + 4);
            if (after.empty() || starts_with_stamp_line(after)) {
                break;
            }
            end = rest.find("\r\n\r\n", end + 2);
        }
        if (end == std::string_view::npos) {
            unreadable("a record without the empty line after it");
        }
        record.text = std::string(rest.substr(0, end));
        rest.remove_prefix(end + 4);
        data.records.push_back(std::move(record));
    }
    return data;
}

std::string without_machine_id(std::string_view text) {
    std::string_view rest = text;
    static_cast<void>(take_machine_id(rest));
    return std::string(rest);
}

std::string with_platform_line_ends(std::string_view text) {
    std::string converted;
    converted.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        converted += text[i];
    }
    return converted;
}

StampParts split_stamp(std::string_view stamp) {
    const std::size_t space = stamp.find(' ');
    std::string date(stamp.substr(0, space));
    std::string time(space == std::string_view::npos ? std::string_view{}
                                                     : stamp.substr(space + 1));
    const bool plain =
        date.size() == 10 && date[4] == '/' && date[7] == '/' &&
        std::all_of(date.begin(), date.end(), [](char c) { return c == '/' || is_digit(c); });
    if (plain) {
        date[4] = '-';
        date[7] = '-';
    }
    return {std::move(date), std::move(time)};
}

std::string to_json(const DownloadedData& data) {
    nlohmann::ordered_json json;
    json["machine_id"] = latin1_to_utf8(data.machine_id.value_or(""));
    json["record_count"] = data.record_count;
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const DownloadedRecord& record : data.records) {
        const StampParts parts = split_stamp(record.stamp.value_or(""));
        nlohmann::ordered_json entry;
        entry["date"] = parts.date;
        entry["time"] = parts.time;
        entry["text"] = latin1_to_utf8(record.text);
        records.push_back(std::move(entry));
    }
    json["records"] = std::move(records);
    return json.dump(2) + "\n";
}

std::string to_csv(const DownloadedData& data) {
    std::string csv = "machine_id,record_count,record,date,time,text\n";
    const std::string id = csv_field(data.machine_id.value_or(""));
    if (data.records.empty()) {
        csv += fmt::format("{},{},,,,\n", id, data.record_count);
    }
    for (std::size_t i = 0; i < data.records.size(); ++i) {
        const DownloadedRecord& record = data.records[i];
        const StampParts parts = split_stamp(record.stamp.value_or(""));
        csv += fmt::format("{},{},{},{},{},{}\n", id, data.record_count, i + 1,
                           csv_field(parts.date), csv_field(parts.time), csv_field(record.text));
    }
    return csv;
}

}  // namespace kdr::cli
