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
#include <string>
#include <string_view>

#include "kdr/download.hpp"
#include "kdr/error.hpp"

namespace kdr::operations {

struct DecodeOptions {
    bool show_machine_id = false;
    bool show_rtc = false;
    int current_year = 2000;  ///< the host's year: a first stamp after it is out of range
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

/// Receives the download as the decoding finds it.
class AnswerSink {
  public:
    virtual ~AnswerSink() = default;
    /// The header; machine_id is empty and announced 0 when there is none.
    virtual void header(bool has_header, std::string_view machine_id, std::int32_t announced) = 0;
    /// A record's time stamp; its record (or empty_record) follows, unless
    /// the answer ends here.
    virtual void stamp(const Stamp& stamp) = 0;
    /// The record after the last stamp: its leading character and its text.
    virtual void record(char lead, std::string_view text) = 0;
    /// The record after the last stamp is empty ("?" CR right after it).
    virtual void empty_record() = 0;
    /// The end of the answer; cut when it ended inside a record.
    virtual void end(bool cut) = 0;
};

/// The controller's result text (see render_text), written as the records are found.
class TextSink final : public AnswerSink {
  public:
    explicit TextSink(const TextOptions& options) : options_(options) {}
    /// Room for the text of an answer, at most: reserved once, no regrowth.
    [[nodiscard]] static std::size_t size_bound(std::string_view answer,
                                                const TextOptions& options);
    void reserve(std::size_t size) { text_.reserve(size); }
    [[nodiscard]] std::string take() { return std::move(text_); }

    void header(bool has_header, std::string_view machine_id, std::int32_t announced) override;
    void stamp(const Stamp& stamp) override;
    void record(char lead, std::string_view text) override;
    void empty_record() override {}
    void end(bool /*cut*/) override {}

  private:
    TextOptions options_;
    std::string text_;
};

/// The download as data.
class DownloadSink final : public AnswerSink {
  public:
    [[nodiscard]] Download take() { return std::move(download_); }

    void header(bool has_header, std::string_view machine_id, std::int32_t announced) override;
    void stamp(const Stamp& stamp) override { stamp_ = stamp; }
    void record(char lead, std::string_view text) override;
    void empty_record() override { bare(); }
    void end(bool cut) override;

  private:
    void bare();
    Download download_;
    Stamp stamp_;
};

/// What a download's records add up to.
struct DownloadTally {
    bool has_header = false;
    RecordCounts counts;
    /// The same test as Download::complete.
    bool complete = false;
};

/// Passes everything on to another sink and counts the records.
class TallySink final : public AnswerSink {
  public:
    explicit TallySink(AnswerSink& next) : next_(next) {}

    [[nodiscard]] DownloadTally tally() const noexcept;

    void header(bool has_header, std::string_view machine_id, std::int32_t announced) override;
    void stamp(const Stamp& stamp) override { next_.stamp(stamp); }
    void record(char lead, std::string_view text) override;
    void empty_record() override;
    void end(bool cut) override;

  private:
    AnswerSink& next_;
    bool has_header_ = false;
    bool cut_ = false;
    std::size_t empty_records_ = 0;
    RecordCounts counts_;
};

/// Decodes a whole answer into the sink. An answer that does not begin with
/// STX has no header, and the rest is decoded all the same.
///
/// Throws kdr::Error(BadAnswer) for the damage that leaves nothing to read
/// (a header shorter than 14 characters, a space in the count, an answer of 17
/// to 19 characters, whose first stamp runs out); nothing more reaches the sink
/// or the hooks then. Damage within a record costs only that record: an empty
/// record is reported as such, a stamp character that is no clock value makes
/// that stamp out of range or no date. Records of any length are decoded; the
/// time taken is linear in the answer's length.
void decode_answer(std::string_view answer, int current_year, AnswerSink& sink, DecodeHooks& hooks);

/// The controller's result text of an answer (see render_text).
[[nodiscard]] std::string decode_download(std::string_view answer, const DecodeOptions& options,
                                          DecodeHooks& hooks);
/// The same without hooks.
[[nodiscard]] std::string decode_download(std::string_view answer, const DecodeOptions& options);

/// The answer as data.
[[nodiscard]] Download decode_records(std::string_view answer, int current_year,
                                      DecodeHooks& hooks);
[[nodiscard]] Download decode_records(std::string_view answer, int current_year);

}  // namespace kdr::operations
