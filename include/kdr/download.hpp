// A reader's download as data: what the reader's answer to the download
// request holds, decoded once. The controller's result text, JSON, CSV and a
// database row are renderings of it; nothing reads a rendering back.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kdr {

/// What a record's time stamp is worth. Every stamp, the first record's too,
/// is judged by the reader's own limits alone: the host's clock plays no part.
enum class StampState : std::uint8_t {
    Valid,       ///< a real date and time
    OutOfRange,  ///< a field beyond the reader's limits (month 12, day 31, hour 24,
                 ///< minute and second 60): shown as "2000/01/01 00:00:00"
    NotADate,    ///< within the reader's limits but no calendar date and time (a day 0, a
                 ///< 31 February, an hour 24, a field below zero): shown as sent
};

/// A record's six-character time stamp (year of the century, month, day,
/// hour, minute, second, each character's code being the value plus 16).
struct Stamp {
    /// The characters as sent.
    std::array<std::uint8_t, 6> codes{};
    StampState state = StampState::Valid;
    /// The first field (1 year to 6 second) that is out of range or makes no
    /// date; 0 when the stamp is valid.
    std::uint8_t bad_field = 0;

    /// The stamp of six characters as sent, judged by the reader's limits.
    [[nodiscard]] static Stamp from_codes(std::string_view six);
    /// Field i (0 year to 5 second) as the reader counts it (the year of the
    /// century); negative for a character below code 16.
    [[nodiscard]] int value(std::size_t i) const noexcept { return int{codes.at(i)} - 16; }
    /// The six characters as sent.
    [[nodiscard]] std::string_view chars() const noexcept;
    /// The date line as the controller shows it: "2024/05/01 08:15:00", or
    /// "2000/01/01 00:00:00" for a stamp out of range.
    [[nodiscard]] std::string line() const;
    /// The date line appended to a text.
    void append_line(std::string& out) const;
    /// The moment in local time, for a valid stamp.
    [[nodiscard]] std::optional<std::chrono::local_seconds> time() const;

    friend bool operator==(const Stamp&, const Stamp&) = default;
};

/// One record as the reader stored it, byte for byte.
struct DownloadedRecord {
    Stamp stamp;
    /// The record's text, byte for byte: every character after the leading
    /// character up to the "?" CR that ends the record.
    std::string text;
    /// The character before the text, which the reader sends with every record
    /// but an empty one.
    char lead = '\0';
    /// False for an empty record: its "?" CR right after its stamp, without
    /// even a leading character (text is empty then, and lead is 0).
    bool has_lead = true;

    friend bool operator==(const DownloadedRecord&, const DownloadedRecord&) = default;
};

/// Whether a record separator ("?" CR) lies inside the record's stamp or
/// between its stamp and its leading character. A reader never sends that
/// (its clock characters are 16 and above): a separator made by line damage
/// inside the record before left a piece of it too short to end without
/// taking the real separator along, so this record is two records' pieces and
/// the one before it is cut short, although the count may come out right.
[[nodiscard]] bool separator_in_stamp(const DownloadedRecord& record) noexcept;

/// Whether what followed a download's last whole record leaves it whole:
/// nothing at all, or, from a reader that announced no record, the time stamp
/// (at most six characters) it sends after its header all the same.
[[nodiscard]] constexpr bool nothing_after_records(std::size_t received, std::int32_t announced,
                                                   std::size_t tail_size) noexcept {
    return tail_size == 0 || (announced == 0 && received == 0 && tail_size <= 6);
}

/// The whole download.
struct Download {
    /// False when the answer did not begin with the reader's header (the
    /// reader sent nothing, or something other than a reader answered).
    bool has_header = false;
    /// The eight characters of the reader's machine ID, as sent.
    std::string machine_id;
    /// The number of records the reader announced in its header.
    std::int32_t announced = 0;
    /// The records that arrived whole (empty ones included), in the order the
    /// answer brought them.
    std::vector<DownloadedRecord> records;
    /// The answer ended inside a record: `tail` holds that record from its
    /// stamp on.
    bool cut = false;
    /// What followed the last whole record (for an answer without one, what
    /// followed the header): the cut record, or fewer than eight characters
    /// that make no record. Empty when the answer ended with its last record.
    std::string tail;
    /// The host computer's year at the download. Only the controller's text
    /// uses it: it shows a first stamp later than this year as
    /// "2000/01/01 00:00:00", with the first record's text trimmed of spaces.
    int host_year = 0;
    /// The reader's answer as it was received, byte for byte.
    std::string answer;

    /// The stamp of the record the answer ended inside, when it was cut.
    [[nodiscard]] std::optional<Stamp> cut_stamp() const;
    /// True when the reader's whole memory arrived: its header, exactly the
    /// announced number of whole records, none with a separator in its stamp,
    /// and nothing after the last one (see nothing_after_records). Anything
    /// else is a download cut short or damaged on the line.
    [[nodiscard]] bool complete() const noexcept;

    friend bool operator==(const Download&, const Download&) = default;
};

/// How far a download's answer has come while it arrives.
struct DownloadProgress {
    std::size_t characters = 0;  ///< characters of the answer received so far
    std::size_t records = 0;     ///< records received whole so far, counted as decoded
    /// The records the reader announced, once its header is in.
    std::optional<std::int32_t> announced;
    friend bool operator==(const DownloadProgress&, const DownloadProgress&) = default;
};

/// Why a download is not complete, in one sentence for a person (the count
/// of what arrived and what to do); empty for a complete download.
[[nodiscard]] std::string why_incomplete(const Download& download);

/// What the controller shows of a download.
struct TextOptions {
    bool show_machine_id = false;
    bool show_rtc = false;
};

/// The controller's result text of a download: the summary ("Machine ID: "
/// and the ID and an empty line when asked for; "N record(s) received"; a
/// line holding one space), then per record its date line (when asked for),
/// its text and an empty line; an empty record shows nothing. Every line ends
/// with CR LF. The first record is shown by the controller's own rules (see
/// Download::host_year).
[[nodiscard]] std::string render_text(const Download& download, const TextOptions& options);

}  // namespace kdr
