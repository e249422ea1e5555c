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

/// What a record's time stamp is worth.
enum class StampState : std::uint8_t {
    Valid,       ///< a real date and time
    OutOfRange,  ///< a field beyond the reader's limits (or, in the first record's stamp, a
                 ///< character that is no clock value): shown as "2000/01/01 00:00:00"
    NotADate,    ///< within the reader's limits but no calendar date and time (a day 0, a
                 ///< 31 February, an hour 24, a field below zero): shown as sent
};

/// A record's six-character time stamp (year of the century, month, day,
/// hour, minute, second, each character's code being the value plus 16).
struct Stamp {
    /// The characters as sent. When an out-of-range field ended the reading
    /// of the first record's stamp, the characters after it are 0.
    std::array<std::uint8_t, 6> codes{};
    StampState state = StampState::Valid;
    /// The first field (1 year to 6 second) that is out of range or makes no
    /// date; 0 when the stamp is valid.
    std::uint8_t bad_field = 0;

    /// Field i (0 year to 5 second) as the reader counts it (the year of the
    /// century); negative for a character below code 16.
    [[nodiscard]] int value(std::size_t i) const noexcept { return int{codes.at(i)} - 16; }
    /// The date line as the controller shows it: "2024/05/01 08:15:00", or
    /// "2000/01/01 00:00:00" for a stamp out of range.
    [[nodiscard]] std::string line() const;
    /// The date line appended to a text.
    void append_line(std::string& out) const;
    /// The moment in local time, for a valid stamp.
    [[nodiscard]] std::optional<std::chrono::local_seconds> time() const;

    friend bool operator==(const Stamp&, const Stamp&) = default;
};

/// One record as the reader stored it.
struct DownloadedRecord {
    Stamp stamp;
    /// The record's text, byte for byte: every character after the leading
    /// character up to the "?" CR that ends the record.
    std::string text;
    /// The character before the text, which the reader sends with every record.
    char lead = '\0';

    friend bool operator==(const DownloadedRecord&, const DownloadedRecord&) = default;
};

/// A time stamp whose record brought no text: an empty record (its "?" CR
/// right after the stamp, without even the leading character), or the last
/// record of an answer that was cut short.
struct BareStamp {
    std::size_t before_record = 0;  ///< its place: the number of records before it
    Stamp stamp;
    friend bool operator==(const BareStamp&, const BareStamp&) = default;
};

/// Whether a download brought the reader's whole memory: its header, every
/// announced record whole, no record empty or cut short.
[[nodiscard]] constexpr bool whole_memory(bool has_header, bool cut, std::size_t empty_records,
                                          std::size_t received, std::int32_t announced) noexcept {
    return has_header && !cut && empty_records == 0 &&
           received >= static_cast<std::size_t>(announced < 0 ? 0 : announced);
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
    /// The records that arrived complete, in the reader's order.
    std::vector<DownloadedRecord> records;
    /// Stamps without a record, in order (see BareStamp).
    std::vector<BareStamp> bare_stamps;
    /// The answer ended inside a record.
    bool cut = false;

    /// Empty records, which cost only themselves.
    [[nodiscard]] std::size_t empty_records() const noexcept {
        return bare_stamps.size() - (cut ? 1 : 0);
    }
    /// True when the reader's whole memory arrived: a header, every announced
    /// record complete, and no record cut short.
    [[nodiscard]] bool complete() const noexcept {
        return whole_memory(has_header, cut, empty_records(), records.size(), announced);
    }

    friend bool operator==(const Download&, const Download&) = default;
};

/// What the controller shows of a download.
struct TextOptions {
    bool show_machine_id = false;
    bool show_rtc = false;
};

/// The controller's result text of a download: the summary ("Machine ID: "
/// and the ID and an empty line when asked for; "N record(s) received"; a
/// line holding one space), then per record its date line (when asked for),
/// its text and an empty line. Every line ends with CR LF.
[[nodiscard]] std::string render_text(const Download& download, const TextOptions& options);

}  // namespace kdr
