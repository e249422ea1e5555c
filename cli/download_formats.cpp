#include "cli/download_formats.hpp"

#include <fmt/format.h>

#include <array>
#include <nlohmann/json.hpp>
#include <optional>

#include "cli/session.hpp"

namespace kdr::cli {

namespace {

void append_utf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6U));
        out += static_cast<char>(0x80 | (code & 0x3FU));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12U));
        out += static_cast<char>(0x80 | ((code >> 6U) & 0x3FU));
        out += static_cast<char>(0x80 | (code & 0x3FU));
    }
}

// Windows-1252 at 0x80 to 0x9F; the five codes it leaves free keep their
// Latin-1 (C1 control) meaning, as Windows converts them.
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string from_single_byte(std::string_view text, bool cp1252) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        append_utf8(utf8, cp1252 && code >= 0x80 && code < 0xA0 ? kCp1252High.at(code - 0x80U)
                                                                : char32_t{code});
    }
    return utf8;
}

// Valid UTF-8 passes; any other byte becomes U+FFFD.
std::string from_utf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            length = 1;
        } else if ((lead & 0xE0U) == 0xC0) {
            length = 2;
            minimum = 0x80;
        } else if ((lead & 0xF0U) == 0xE0) {
            length = 3;
            minimum = 0x800;
        } else if ((lead & 0xF8U) == 0xF0) {
            length = 4;
            minimum = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        char32_t code = length > 1 ? lead & (0x7FU >> length) : lead;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0U) == 0x80;
            code = (code << 6U) | (next & 0x3FU);
        }
        valid = valid && code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (valid) {
            utf8.append(text.substr(i, length));
            i += length;
        } else {
            utf8 += "\xEF\xBF\xBD";
            ++i;
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
        return [](std::string_view text) { return from_single_byte(text, true); };
    }
    if (encoding == "latin1") {
        return [](std::string_view text) { return from_single_byte(text, false); };
    }
    if (encoding == "utf8") {
        return from_utf8;
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
