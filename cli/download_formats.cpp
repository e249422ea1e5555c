#include "cli/download_formats.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace kdr::cli {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
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

std::string to_json(const Download& download) {
    nlohmann::ordered_json json;
    json["machine_id"] = latin1_to_utf8(download.machine_id);
    json["record_count"] = download.announced;
    json["received"] = download.records.size();
    json["complete"] = download.complete();
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const DownloadedRecord& record : download.records) {
        const StampParts parts = split_stamp(record.stamp.line());
        nlohmann::ordered_json entry;
        entry["date"] = parts.date;
        entry["time"] = parts.time;
        entry["text"] = latin1_to_utf8(record.text);
        records.push_back(std::move(entry));
    }
    json["records"] = std::move(records);
    return json.dump(2) + "\n";
}

std::string to_csv(const Download& download) {
    std::string csv = "machine_id,record_count,record,date,time,text\n";
    const std::string id = csv_field(download.machine_id);
    if (download.records.empty()) {
        csv += fmt::format("{},{},,,,\n", id, download.announced);
    }
    for (std::size_t i = 0; i < download.records.size(); ++i) {
        const DownloadedRecord& record = download.records[i];
        const StampParts parts = split_stamp(record.stamp.line());
        csv += fmt::format("{},{},{},{},{},{}\n", id, download.announced, i + 1,
                           csv_field(parts.date), csv_field(parts.time), csv_field(record.text));
    }
    return csv;
}

}  // namespace kdr::cli
