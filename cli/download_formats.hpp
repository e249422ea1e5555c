// A download written out in the command's formats. Each is a rendering of the
// decoded records (kdr::Download); none is read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "kdr/download.hpp"

namespace kdr::cli {

/// Turns the reader's 8-bit characters into UTF-8.
using TextDecoder = std::function<std::string(std::string_view)>;

/// "cp1252" (Windows-1252, what the Windows control shows on a Western
/// system), "latin1" (ISO 8859-1) or "utf8" (taken as UTF-8 already; a byte
/// that is no part of UTF-8 becomes U+FFFD). Throws UsageError otherwise.
[[nodiscard]] TextDecoder text_decoder(std::string_view encoding);
/// The default: Windows-1252.
[[nodiscard]] const TextDecoder& default_decoder();

/// CR LF line ends become LF.
[[nodiscard]] std::string with_platform_line_ends(std::string_view text);

/// The records as JSON: {"machine_id", "record_count" (announced), "received",
/// "complete", "records": [{"timestamp" ("2024-05-01T08:15:00"), "date",
/// "time", "date_line", "text"}]}. timestamp, date and time are null where the
/// reader's stamp was out of range or no date; date_line is the date line as
/// the controller shows it.
[[nodiscard]] std::string to_json(const Download& download,
                                  const TextDecoder& decode = default_decoder());

/// One record as the formats write it, for `kdr download` and `kdr export`
/// alike: a JSON object {"timestamp", "date", "time", "date_line", "text"}.
[[nodiscard]] nlohmann::ordered_json json_record(const DownloadedRecord& record,
                                                 const TextDecoder& decode = default_decoder());
/// The CSV header row, and one record's row under it (ending with LF).
inline constexpr std::string_view kCsvHeader =
    "machine_id,record_count,record,timestamp,date,time,date_line,text\n";
[[nodiscard]] std::string csv_row(std::string_view machine_id, std::int64_t record_count,
                                  std::int64_t number, const DownloadedRecord& record,
                                  const TextDecoder& decode = default_decoder());

/// The records as CSV with a header row: machine_id, record_count, record (its
/// number from 1), timestamp, date, time, date_line, text; empty fields where
/// JSON has null. A reader without records gives one row with the machine ID,
/// the count and empty record fields. Fields are quoted where they need it;
/// rows end with LF.
[[nodiscard]] std::string to_csv(const Download& download,
                                 const TextDecoder& decode = default_decoder());

}  // namespace kdr::cli
