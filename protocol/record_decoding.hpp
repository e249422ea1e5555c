// Decoding of the reader's download answer.
//
// The answer: STX, an eight-character machine ID, five count digits, the
// first record's six-character time stamp, then records, each a leading
// character, its text and "?" CR, every record after the first preceded by its
// own time stamp. The decoding is one pass over the bytes that hands what it
// finds to a sink, in order: the header, then each stamp and the record that
// follows it. The controller's result text and the structured download are two
// such sinks. The only other outside effects are the hooks, through which the
// download closes its port and drives the progress display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kdr/download.hpp"
#include "kdr/error.hpp"

namespace kdr::protocol {

struct DecodeOptions {
    bool show_machine_id = false;
    bool show_rtc = false;
    int current_year =
        2000;  ///< the host's year: the text shows a first stamp after it as out of range
};

/// Where the decoding hands control back to the download exchange.
class DecodeHooks {
  public:
    virtual ~DecodeHooks() = default;
    /// The header has been taken; the download closes its port here.
    virtual void header_taken() {}
    /// The summary is written (also when the answer ends there): the progress
    /// bar is reset (Value 0, Max 100).
    virtual void summary_written() {}
    /// After the first time stamp and after each record: one progress step
    /// and one turn of the host's message loop.
    virtual void step() {}
};

/// Receives the download as the decoding finds it, every record as the
/// reader sent it.
class AnswerSink {
  public:
    virtual ~AnswerSink() = default;
    /// The header; machine_id is empty and announced 0 when there is none.
    virtual void header(bool has_header, std::string_view machine_id, std::int32_t announced) = 0;
    /// A record's time stamp; its record follows, unless the answer ends
    /// inside it.
    virtual void stamp(const Stamp& stamp) = 0;
    /// The record after the last stamp: its leading character and its text;
    /// has_lead is false for an empty record ("?" CR right after its stamp).
    virtual void record(bool has_lead, char lead, std::string_view text) = 0;
    /// The end of the answer: `tail` is what followed the last whole record
    /// (see Download::tail); cut when the answer ended inside a record.
    virtual void end(std::string_view tail, bool cut) = 0;
};

/// The controller's result text (see render_text), written as the records
/// are found. The first record is shown by the controller's rules: a first
/// stamp with a field out of range, or a year after `host_year`, shows as
/// "2000/01/01 00:00:00", and the spaces around what follows it are dropped.
class TextSink final : public AnswerSink {
  public:
    TextSink(const TextOptions& options, int host_year)
        : options_(options), host_year_(host_year) {}
    /// Room for the text of an answer, at most: reserved once, no regrowth.
    [[nodiscard]] static std::size_t size_bound(std::string_view answer,
                                                const TextOptions& options);
    void reserve(std::size_t size) { text_.reserve(size); }
    [[nodiscard]] std::string take() { return std::move(text_); }

    void header(bool has_header, std::string_view machine_id, std::int32_t announced) override;
    void stamp(const Stamp& stamp) override;
    void record(bool has_lead, char lead, std::string_view text) override;
    void end(std::string_view tail, bool cut) override;

  private:
    void flush_stamp();

    TextOptions options_;
    int host_year_;
    std::string text_;
    std::size_t stamps_ = 0;
    std::size_t records_ = 0;
    // The first stamp was out of range by the controller's rules: the first
    // record and the end of the answer are trimmed of spaces.
    bool trimmed_ = false;
    // A later stamp's date line waits for its record: at the end of an answer
    // trimmed of spaces, it shows only when eight characters remain.
    std::optional<Stamp> pending_;
};

/// The download as data.
class DownloadSink final : public AnswerSink {
  public:
    [[nodiscard]] Download take() { return std::move(download_); }

    void header(bool has_header, std::string_view machine_id, std::int32_t announced) override;
    void stamp(const Stamp& stamp) override { stamp_ = stamp; }
    void record(bool has_lead, char lead, std::string_view text) override;
    void end(std::string_view tail, bool cut) override;

  private:
    Download download_;
    Stamp stamp_;
};

/// What a download's records add up to.
struct DownloadTally {
    bool has_header = false;
    RecordCounts counts;
    /// Characters came after the last whole record (a cut record, or a few
    /// that make none).
    bool left_over = false;
    /// A record separator lay inside a stamp (see separator_in_stamp).
    bool shifted = false;
    /// The same test as Download::complete.
    bool complete = false;
};

/// Passes everything on to another sink and counts the records.
class TallySink final : public AnswerSink {
  public:
    explicit TallySink(AnswerSink& next) : next_(next) {}

    [[nodiscard]] DownloadTally tally() const noexcept;

    void header(bool has_header, std::string_view machine_id, std::int32_t announced) override;
    void stamp(const Stamp& stamp) override {
        stamp_ = stamp;
        next_.stamp(stamp);
    }
    void record(bool has_lead, char lead, std::string_view text) override;
    void end(std::string_view tail, bool cut) override;

  private:
    AnswerSink& next_;
    Stamp stamp_;
    bool has_header_ = false;
    bool left_over_ = false;
    bool shifted_ = false;
    RecordCounts counts_;
};

/// The download's counts as its answer arrives, by the decoding's own rules:
/// the header's count once it is in, and the records that end in "?" CR
/// after their stamp. Each call sees the whole answer so far; the work over
/// all calls is linear in the answer's length.
class AnswerProgress {
  public:
    const DownloadProgress& update(std::string_view answer);
    [[nodiscard]] const DownloadProgress& progress() const noexcept { return progress_; }

  private:
    DownloadProgress progress_;
    bool header_read_ = false;
    std::size_t next_record_ = 14;  // where the next record's stamp begins
    std::size_t searched_to_ = 0;   // its end is not before this place
};

/// The message the controller shows for a download that is not complete
/// (lines end in CR LF): what arrived against what was announced, and what
/// to do. Empty for a complete tally.
[[nodiscard]] std::string incomplete_message(const DownloadTally& tally);

/// Decodes a whole answer into the sink. An answer that does not begin with
/// STX has no header, and the rest is decoded all the same.
///
/// Throws kdr::Error(BadAnswer) for the damage that leaves nothing to read
/// (a header shorter than 14 characters, a space in the count, an answer of 17
/// to 19 characters, whose first stamp runs out); nothing more reaches the sink
/// or the hooks then. Every record reaches the sink as sent, the first one
/// too; an empty record is a record. Records of any length are decoded; the
/// time taken is linear in the answer's length.
void decode_answer(std::string_view answer, AnswerSink& sink, DecodeHooks& hooks);

/// The controller's result text of an answer (see render_text).
[[nodiscard]] std::string decode_download(std::string_view answer, const DecodeOptions& options,
                                          DecodeHooks& hooks);
/// The same without hooks.
[[nodiscard]] std::string decode_download(std::string_view answer, const DecodeOptions& options);

/// The answer as data; `host_year` becomes Download::host_year, and the
/// answer is kept in Download::answer.
[[nodiscard]] Download decode_records(std::string_view answer, int host_year, DecodeHooks& hooks);
[[nodiscard]] Download decode_records(std::string_view answer, int host_year);

/// The field (1 year to 6 second) at which the controller's text takes a
/// first stamp as out of range: a year after `host_year`, a month above 12, a
/// day above 31, an hour above 24, a minute or second above 60, or a
/// character below code 16. 0 when it shows the stamp as sent.
[[nodiscard]] std::uint8_t first_stamp_shown_out_of_range(const Stamp& stamp, int host_year);

}  // namespace kdr::protocol
