// The text DownloadData returns, read back into records and written out in
// the command's formats.
//
// The text: "Machine ID: " and the ID, then an empty line (only when the
// machine ID was asked for); "N record(s) received"; a line holding one space;
// then per record its date and time (only when asked for), its text and an
// empty line. Every line ends with CR LF.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kdr::cli {

struct DownloadedRecord {
    /// "YYYY/MM/DD HH:MM:SS" as the controller wrote it; only with dates.
    std::optional<std::string> stamp;
    std::string text;
    friend bool operator==(const DownloadedRecord&, const DownloadedRecord&) = default;
};

struct DownloadedData {
    /// Only with the machine ID; empty when the answer did not begin with the
    /// reader's header.
    std::optional<std::string> machine_id;
    /// The number of records the reader announced in its header.
    long record_count = 0;
    std::vector<DownloadedRecord> records;
    /// With dates: a time stamp after the last record with no text after it,
    /// left by an answer that ended in the middle of a record.
    bool trailing_stamp = false;
};

/// Reads the result text of DownloadData made with the given display
/// switches. Without dates, records are told apart by their empty lines, so a
/// record text holding an empty line reads as two records; with dates, a
/// record's text runs to the first empty line that is followed by a date line
/// or the end. Throws kdr::Error(BadAnswer) for a text of another shape.
[[nodiscard]] DownloadedData parse_download_text(std::string_view text, bool with_machine_id,
                                                 bool with_dates);

/// True for a date and time line as the controller writes them: "20", then
/// year, month, day, hour, minute and second in two or three digits, each
/// maybe with a minus sign, separated as in "2024/05/01 08:15:00".
[[nodiscard]] bool is_stamp_line(std::string_view line);

/// The text without its machine ID line and the empty line after it.
[[nodiscard]] std::string without_machine_id(std::string_view text);

/// CR LF line ends become LF.
[[nodiscard]] std::string with_platform_line_ends(std::string_view text);

/// The date of a stamp in ISO form ("2024-05-01") when it is a plain date,
/// else as the controller wrote it; and its time of day.
struct StampParts {
    std::string date;
    std::string time;
};
[[nodiscard]] StampParts split_stamp(std::string_view stamp);

/// The records as JSON: {"machine_id", "record_count", "records": [{"date",
/// "time", "text"}]}. Texts are taken as 8-bit characters (Latin-1) and
/// written as UTF-8.
[[nodiscard]] std::string to_json(const DownloadedData& data);

/// The records as CSV with a header row: machine_id, record_count, record (its
/// number from 1), date, time, text. A reader without records gives one row
/// with the machine ID, the count 0 and empty record fields. Fields are quoted
/// where they need it; rows end with LF; texts are written byte for byte.
[[nodiscard]] std::string to_csv(const DownloadedData& data);

}  // namespace kdr::cli
