// Records written out as text, CSV and JSON. Each format is a writer that
// takes one reader's records at a time (begin, record, end), so that a
// download, the demo, an export of the store and the web view share one
// rendering and a new format is one more entry in the table of formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kdr/download.hpp"

namespace kdr::writers {

/// A name that is no format or no encoding of the writers. what() names it
/// and the choices; the caller words it for its own users (an option, a
/// parameter) from kind() and name().
class UnknownName : public std::invalid_argument {
  public:
    enum class Kind { Format, Encoding };
    UnknownName(Kind kind, std::string_view name);

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& name() const noexcept { return name_; }

  private:
    Kind kind_;
    std::string name_;
};

/// Turns the reader's 8-bit characters into UTF-8.
using TextDecoder = std::function<std::string(std::string_view)>;

/// "cp1252" (Windows-1252, what the Windows control shows on a Western
/// system), "latin1" (ISO 8859-1) or "utf8" (taken as UTF-8 already; a byte
/// that is no part of UTF-8 becomes U+FFFD). Throws UnknownName otherwise.
[[nodiscard]] TextDecoder text_decoder(std::string_view encoding);
/// The default: Windows-1252.
[[nodiscard]] const TextDecoder& default_decoder();

/// Turns UTF-8 into the reader's 8-bit characters, the reverse of the
/// TextDecoder of the same name; throws kdr::Error(InvalidArgument) naming a
/// character that has no code there.
using TextEncoder = std::function<std::string(std::string_view)>;
/// "cp1252", "latin1" or "utf8" (the text as given). Throws UnknownName
/// otherwise.
[[nodiscard]] TextEncoder text_encoder(std::string_view encoding);

/// A CSV field, quoted where it needs to be. A field that begins with "=",
/// "+", "-", "@", a tab or a carriage return, which a spreadsheet would run
/// as a formula, is written as text: a single quote before it, quoted.
[[nodiscard]] std::string csv_field(std::string_view field);

/// The UTF-8 byte-order mark, which a spreadsheet needs before a CSV file to
/// read it as UTF-8 rather than in the system's code page.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

/// CR LF line ends become LF.
[[nodiscard]] std::string with_platform_line_ends(std::string_view text);

/// What is known of one reader before its records are written.
struct ReaderHeader {
    bool has_header = true;  ///< the answer began with the reader's header
    std::string machine_id;  ///< the eight characters as sent
    /// The count the reader announced; none where no reader announced one
    /// (records taken from the store).
    std::optional<std::int64_t> announced;
    std::size_t received = 0;      ///< the records that follow
    std::optional<bool> complete;  ///< whether the reader's whole memory arrived, when known
    // The controller's text shows these too: the host's year, and what
    // followed the last whole record.
    int host_year = 0;
    bool cut = false;
    std::string tail;
};

/// The header of a download as the writers take it.
[[nodiscard]] ReaderHeader header_of(const Download& download);

/// One format: the records of one or more readers, one reader at a time.
class RecordWriter {
  public:
    virtual ~RecordWriter() = default;
    RecordWriter() = default;
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    virtual void begin(const ReaderHeader& reader) = 0;
    virtual void record(const DownloadedRecord& record) = 0;
    /// Ends the reader begun last.
    virtual void end() = 0;
    /// After the last reader of a document of several (an export).
    virtual void finish() {}
};

/// How a writer renders what it is given.
struct WriterOptions {
    TextDecoder decode = default_decoder();
    TextOptions text;      ///< machine ID and dates in the controller's text
    bool several = false;  ///< one document of several readers (a JSON array)
};

/// The formats by name, in the order the help lists them.
struct RecordFormat {
    std::string_view name;
    /// Offered as a choice (the command line chooses raw by --raw instead).
    bool listed = true;
    /// Needs the reader's answer itself, so cannot write records from the store.
    bool needs_answer = false;
    std::unique_ptr<RecordWriter> (*make)(std::ostream& out, const WriterOptions& options);
};
[[nodiscard]] std::span<const RecordFormat> record_formats();
/// The names offered as a choice: every listed format, or those that can
/// write stored records.
[[nodiscard]] std::vector<std::string> format_names(bool stored_records);
/// Throws UnknownName for a name that is no format.
[[nodiscard]] std::unique_ptr<RecordWriter> make_writer(std::string_view format, std::ostream& out,
                                                        const WriterOptions& options = {});

/// Writes the whole download through the writer (begin, its records, end).
void write_download(RecordWriter& writer, const Download& download);
/// The download rendered in the format, as one text.
[[nodiscard]] std::string render(std::string_view format, const Download& download,
                                 const WriterOptions& options = {});

/// The records as JSON: {"machine_id", "record_count" (announced), "received",
/// "complete", "records": [{"timestamp" ("2024-05-01T08:15:00"), "date",
/// "time", "date_line", "text"}]}. timestamp, date and time are null where the
/// reader's stamp was out of range or no date; date_line is the date line as
/// the controller shows it.
[[nodiscard]] std::string to_json(const Download& download,
                                  const TextDecoder& decode = default_decoder());

/// The records as CSV with a header row: machine_id, record_count, record (its
/// number from 1), timestamp, date, time, date_line, text; empty fields where
/// JSON has null. A reader without records gives one row with the machine ID,
/// the count and empty record fields. Fields are quoted where they need it;
/// rows end with LF.
[[nodiscard]] std::string to_csv(const Download& download,
                                 const TextDecoder& decode = default_decoder());

}  // namespace kdr::writers
