#include "cli/download_formats.hpp"

#include <fmt/format.h>

#include <array>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/session.hpp"
#include "kdr/text_encoding.hpp"

namespace kdr::cli {

namespace {

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

// A record's moment, as one ISO 8601 local timestamp and as its two halves;
// none for a stamp that is no real date and time.
struct Moment {
    std::string timestamp;
    std::string date;
    std::string time;
};

std::optional<Moment> moment_of(const Stamp& stamp) {
    if (stamp.state != StampState::Valid) {
        return std::nullopt;
    }
    Moment moment;
    moment.date =
        fmt::format("{:04}-{:02}-{:02}", 2000 + stamp.value(0), stamp.value(1), stamp.value(2));
    moment.time = fmt::format("{:02}:{:02}:{:02}", stamp.value(3), stamp.value(4), stamp.value(5));
    moment.timestamp = moment.date + "T" + moment.time;
    return moment;
}

}  // namespace

TextDecoder text_decoder(std::string_view encoding) {
    if (encoding == "cp1252") {
        return cp1252_to_utf8;
    }
    if (encoding == "latin1") {
        return latin1_to_utf8;
    }
    if (encoding == "utf8") {
        return checked_utf8;
    }
    throw UsageError(fmt::format(
        "--encoding {}: give cp1252, latin1 or utf8 for the reader's characters", encoding));
}

const TextDecoder& default_decoder() {
    static const TextDecoder decoder = text_decoder("cp1252");
    return decoder;
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

nlohmann::ordered_json json_record(const DownloadedRecord& record, const TextDecoder& decode) {
    const std::optional<Moment> moment = moment_of(record.stamp);
    nlohmann::ordered_json entry;
    entry["timestamp"] = moment ? nlohmann::ordered_json(moment->timestamp) : nullptr;
    entry["date"] = moment ? nlohmann::ordered_json(moment->date) : nullptr;
    entry["time"] = moment ? nlohmann::ordered_json(moment->time) : nullptr;
    entry["date_line"] = record.stamp.line();
    entry["text"] = decode(record.text);
    return entry;
}

std::string csv_row(std::string_view machine_id, std::int64_t record_count, std::int64_t number,
                    const DownloadedRecord& record, const TextDecoder& decode) {
    const Moment moment = moment_of(record.stamp).value_or(Moment{});
    return fmt::format("{},{},{},{},{},{},{},{}\n", csv_field(decode(machine_id)), record_count,
                       number, moment.timestamp, moment.date, moment.time, record.stamp.line(),
                       csv_field(decode(record.text)));
}

std::string to_json(const Download& download, const TextDecoder& decode) {
    nlohmann::ordered_json json;
    json["machine_id"] = decode(download.machine_id);
    json["record_count"] = download.announced;
    json["received"] = download.records.size();
    json["complete"] = download.complete();
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const DownloadedRecord& record : download.records) {
        records.push_back(json_record(record, decode));
    }
    json["records"] = std::move(records);
    return json.dump(2) + "\n";
}

std::string to_csv(const Download& download, const TextDecoder& decode) {
    std::string csv(kCsvHeader);
    if (download.records.empty()) {
        csv += fmt::format("{},{},,,,,,\n", csv_field(decode(download.machine_id)),
                           download.announced);
    }
    for (std::size_t i = 0; i < download.records.size(); ++i) {
        csv += csv_row(download.machine_id, download.announced, static_cast<std::int64_t>(i + 1),
                       download.records[i], decode);
    }
    return csv;
}

}  // namespace kdr::cli
