// A download written out in the command's formats. Each is a rendering of the
// decoded records (kdr::Download); none is read back.
#pragma once

#include <string>
#include <string_view>

#include "kdr/download.hpp"

namespace kdr::cli {

/// CR LF line ends become LF.
[[nodiscard]] std::string with_platform_line_ends(std::string_view text);

/// The date of a date line in ISO form ("2024-05-01") when it is a plain date,
/// else as the controller wrote it; and its time of day.
struct StampParts {
    std::string date;
    std::string time;
};
[[nodiscard]] StampParts split_stamp(std::string_view line);

/// The records as JSON: {"machine_id", "record_count" (announced), "received",
/// "complete", "records": [{"date", "time", "text"}]}. Texts are taken as
/// 8-bit characters (Latin-1) and written as UTF-8.
[[nodiscard]] std::string to_json(const Download& download);

/// The records as CSV with a header row: machine_id, record_count, record (its
/// number from 1), date, time, text. A reader without records gives one row
/// with the machine ID, the count and empty record fields. Fields are quoted
/// where they need it; rows end with LF; texts are written byte for byte.
[[nodiscard]] std::string to_csv(const Download& download);

}  // namespace kdr::cli
